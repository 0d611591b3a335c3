#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "error_report.h"
#include "loader_settings.h"
#include "pll_reset.h"
#include "preflight.h"
#include "run_sequence.h"
#include "sim_platform.h"
#include "test_support.h"

namespace {

using Events = std::vector<std::string>;

int resetBoard(uint8_t boardType, uint16_t before, std::string *out)
{
    simReset();
    simSetResetRegister(before);
    loaderSettings.boardType = boardType;
    testing::internal::CaptureStdout();
    int result = pllReset(200);
    *out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, simOpenHandles());
    return result;
}

Events pulse(const char *held, const char *released)
{
    return {"mem_open /dev/mem flags=0x101002",
            "mem_map len=4096 prot=0x3 flags=0x1 fd=100 offset=0x520000000",
            std::string("mem_read16 offset=4 value=0x") + released,
            std::string("mem_write16 offset=4 value=0x") + held,
            "sleep 200000",
            std::string("mem_read16 offset=4 value=0x") + held,
            std::string("mem_write16 offset=4 value=0x") + released,
            "sleep 2000000",
            "mem_unmap len=4096",
            "mem_close fd=100"};
}

} // namespace

TEST(PllReset, PulsesTheBoardsResetBitAndWaits)
{
    std::string out;
    ASSERT_EQ(0, resetBoard(BOARD_VKA, 0xFFFF, &out));
    EXPECT_EQ(pulse("DFFF", "FFFF"), simEvents());
    // A line announces the pulse, one each register change.
    EXPECT_EQ(3, std::count(out.begin(), out.end(), '\n')) << out;

    ASSERT_EQ(0, resetBoard(BOARD_VKB, 0xFFFF, &out));
    EXPECT_EQ(pulse("F7FF", "FFFF"), simEvents());

    // Bit already clear: written back unchanged, then set.
    ASSERT_EQ(0, resetBoard(BOARD_VKC, 0x1234, &out));
    EXPECT_EQ("mem_write16 offset=4 value=0x1234", simEvents()[3]);
    EXPECT_EQ(0x1A34, simResetRegister());
}

// A stop during the hold acts only once the chip runs again.
TEST(PllReset, ASignalDuringTheHoldWaitsForTheRelease)
{
    static volatile sig_atomic_t registerAtSignal;
    struct sigaction noted = {}, previous;
    noted.sa_handler = [](int) { registerAtSignal = simResetRegister(); };
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        registerAtSignal = -1;
        sigaction(signal, &noted, &previous);
        simReset();
        simRaiseDuring("sleep", 1, signal);
        loaderSettings.boardType = BOARD_VKC;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, pllReset(200));
        testing::internal::GetCapturedStdout();
        sigaction(signal, &previous, nullptr);
        EXPECT_EQ(0xFFFF, registerAtSignal);
    }
}

TEST(PllReset, FailuresReleaseWhatWasOpened)
{
    std::string out;
    EXPECT_EQ(-1, resetBoard(7, 0xFFFF, &out));
    EXPECT_EQ("\n Board unknown [UNKNOWN], PLL will not be reset", out);
    EXPECT_TRUE(simEvents().empty());

    simReset();
    simFailCall("mem_map");
    loaderSettings.boardType = BOARD_VKC;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, pllReset(200));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Error mapping physical memory for PLL reset, err=0x5"));
    EXPECT_EQ("mem_close fd=100", simEvents().back());
    EXPECT_EQ(0xFFFF, simResetRegister());

    // An unmapping failure after the pulse is reported but not fatal.
    simReset();
    simFailCall("mem_unmap");
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, pllReset(200));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE("", out);
    EXPECT_EQ("mem_close fd=100", simEvents().back());
}

// A file put in the checked file's place before it is opened is refused,
// a FIFO at once, without waiting for a writer.
TEST(CheckPllCfg, OnlyTheFileCheckedIsLoaded)
{
    std::string path = scratchFile("X,0x10,0x20\n");
    FileIdentity checked;
    ASSERT_EQ(0, checkPllCfg("/dev/null", path.c_str(), &checked));
    const std::function<void()> swaps[] = {
        [&] { ASSERT_EQ(0, rename(scratchFile("X,0x10,0x99\n").c_str(), path.c_str())); },
        [&] {
            ASSERT_EQ(0, unlink(path.c_str()));
            ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        },
    };
    for (const auto &swap : swaps) {
        swap();
        simReset();
        alarm(10); // a hang ends the test program
        testing::internal::CaptureStdout();
        loadConfiguration(path.c_str(), &checked);
        std::string out = testing::internal::GetCapturedStdout();
        alarm(0);
        EXPECT_TRUE(simTransfers().empty());
        EXPECT_NE(std::string::npos, out.find("Error configuration file " + path + " replaced since it was checked"))
            << out;
    }
}

// Changed while it loads (here during a wait): the lines read ahead into the
// stream's buffer are the old ones, so not one line more is carried out.
TEST(CheckPllCfg, AFileChangedWhileLoadingStopsTheLoad)
{
    static char changed[128];
    std::string path = scratchFile("X,0x10,0x20\nW,1\nX,0x11,0x21\n");
    ASSERT_LT(path.size(), sizeof(changed));
    strcpy(changed, path.c_str());
    FileIdentity checked;
    ASSERT_EQ(0, checkPllCfg("/dev/null", path.c_str(), &checked));

    struct sigaction append = {}, previous;
    append.sa_handler = [](int) {
        int fd = open(changed, O_WRONLY | O_APPEND);
        if (fd >= 0) {
            ssize_t ignored = write(fd, "X,0x12,0x22\n", 12);
            (void)ignored;
            close(fd);
        }
    };
    sigaction(SIGUSR1, &append, &previous);
    simReset();
    simRaiseDuring("sleep", 1, SIGUSR1);
    int reports = errorReportCount();
    testing::internal::CaptureStdout();
    loadConfiguration(path.c_str(), &checked);
    std::string out = testing::internal::GetCapturedStdout();
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(2u, simTransfers().size()) << out; // the first write's page select and register
    EXPECT_EQ(reports + 1, errorReportCount()) << out;
}

TEST(CheckPllCfg, AcceptsOnlyANonEmptyOwnerReadableRegularFile)
{
    std::string good = scratchFile("X,1,2\n");
    std::string link = scratchPath("link.cfg");
    ASSERT_EQ(0, symlink(good.c_str(), link.c_str()));
    std::string folder = scratchPath("");
    struct Case {
        std::string device;
        std::string file;
        std::string message; // "" when accepted
    } cases[] = {
        {"/dev/null", good, ""},
        {"/dev/null", link, ""},
        {good, good, ""},   // any existing device path passes
        {folder, good, ""}, // a folder too
        {"/dev/null", scratchFile("", 0644), "Error stat data, st_mode=0x81A4,st_size=0F:morrask,L:"},
        {"/dev/null", scratchFile("X,1,2\n", 0044), "Error stat data, st_mode=0x8024,st_size=6F:morrask,L:"},
        {"/dev/null", folder, "Error stat data, st_mode=0x41"},
        {"/dev/null", scratchPath("none"), REPORTED},
        {"/dev/spidev9.9", scratchPath("none"), REPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.device + " " + c.file);
        testing::internal::CaptureStdout();
        int result = checkPllCfg(c.device.c_str(), c.file.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.message.empty() ? 0 : -1, result);
        if (c.message == REPORTED)
            EXPECT_NE("", out);
        else
            EXPECT_EQ(c.message.empty() ? "" : "\n checkPllCfg: " + c.message, out.substr(0, c.message.size() + 15));
    }
}
