// The whole loader, main included, run as a program on the simulated board.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"
#include "test_support.h"

namespace {

const char USAGE[] = "Usage: morrask  [options] <pll_configuration_file>    \n"
                     "       -r or -R   No PLL reset                   \n"
                     "       -b or -B   <board_type>                   \n"
                     "                  Supported boards: VKA,VKB,VKC  \n"
                     "       -m or -M   SPI mode        : lsb,msb      \n"
                     "       -d or -D   SPD device [example: spidev0.1]\n";

using MorraskRun = ProgramRun;

MorraskRun runMorrask(const std::vector<std::string> &args, const std::vector<std::string> &environment = {})
{
    return runProgram(MORRASK_SIM_BINARY, "morrask", "MORRASK_SIM_REPORT", args, environment);
}

const char BANNER[] = "\n ---- PLL SPI CONFIGURATION ---- \n\n PLL chip reset request ";

bool touchedHardware(const MorraskRun &run)
{
    return run.report.find("spi_open") != std::string::npos || run.report.find("mem_open") != std::string::npos;
}

} // namespace

TEST(Morrask, WithoutAConfigurationFileOnlyTheUsageIsShown)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-b", "XYZ", "-r"}}) {
        MorraskRun run = runMorrask(args);
        EXPECT_EQ(255, run.status);
        EXPECT_EQ(std::string::npos, run.out.find("PLL SPI CONFIGURATION"));
        // The usage names the program as started; a memory checker starts it by its path.
        size_t usage = run.err.find("Usage: ");
        size_t options = run.err.find(USAGE + strlen("Usage: morrask"));
        EXPECT_TRUE(usage != std::string::npos && options != std::string::npos &&
                    run.err.find(' ', usage + 7) == options)
            << run.err;
        EXPECT_FALSE(touchedHardware(run));
    }
}

TEST(Morrask, OptionErrorsAreAllReportedAndStopTheRun)
{
    std::string cfg = scratchFile("X,0x0123,0x45\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-b", "XYZ", cfg}, "\nmain: Error unknown board type [XYZ]"},
        // Only the first 20 characters are searched; the name ends at the 21st.
        {{"-b", std::string(18, 'x') + "vka", cfg}, "\nmain: Error unknown board type [xxxxxxxxxxxxxxxxxxvka]"},
        {{"-M", "foo", cfg}, "\n main: Error wrong lsb/msb mode requested [foo]"},
        {{"-d", "spidev9.9", cfg},
         "\n main: Error driver [/dev/spidev9.9] doesn't exists, err=0x2[No such file or directory]"},
        {{"-x", "-d", "null", cfg}, ""},
        {{"-d", "null", cfg, "-b"}, ""},
        {{"-b", "XYZ", "-m", "foo", "-d", "null", cfg},
         "\nmain: Error unknown board type [XYZ]\n main: Error wrong lsb/msb mode requested [foo]"},
        // A device path is never cut short, and must be a character device.
        {{"-n", "-d", std::string(123, 'x'), cfg},
         "\n main: Error driver name longer than 122 characters [" + std::string(123, 'x') + "]"},
        {{"-d", ".." + cfg, cfg},
         "\n main: Error driver [/dev/.." + cfg + "] is not a character device, st_mode=0x81A4"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        MorraskRun run = runMorrask(c.args);
        EXPECT_EQ(2, run.status);
        EXPECT_EQ(c.message, run.out);
        EXPECT_FALSE(touchedHardware(run)) << run.report;
        EXPECT_EQ(c.message.empty(), !run.err.empty()) << "getopt's own diagnostic";
    }
}

TEST(Morrask, LoadsAFileCompletelyWithoutRealSleeping)
{
    std::string cfg = scratchFile("; set-up\r\nX,0x0123,0x45\r\nW,5000000\r\n\r\nX, 7F , 01\r\nX,0x7FE,0x1234\r\n");
    auto start = std::chrono::steady_clock::now();
    MorraskRun run = runMorrask({"-d", "null", cfg});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    EXPECT_EQ(0, run.status) << run.out;
    EXPECT_EQ(std::string(BANNER) + "YES \n Reseting PLL chip on VKC board"
                                    "\n PLL chip in reset,     timeout=200 ms\n PLL chip out of reset, timeout=2000 ms"
                                    "\n WRITE: 0x0123  0x45\n WAIT : 5000000 us\n WRITE: 0x007F  0x01"
                                    "\n WRITE: 0x07FE  0x1234\n\n",
              run.out);
    EXPECT_EQ("", run.err);
    EXPECT_NE(std::string::npos, run.report.find("\nsleep 5000000\n"));
    EXPECT_NE(std::string::npos, run.report.find("[reset-register]\n0xFFFF\n[open-handles]\n0\n"));
    EXPECT_NE(std::string::npos, run.report.find("\n0x0120: -- -- -- 45 --")) << run.report;
    EXPECT_NE(std::string::npos, run.report.find("\n0x07F0: -- -- -- -- -- -- -- -- -- -- -- -- -- -- 34 --\n"));
}

TEST(Morrask, ResetCanBeSkippedButTheCheckStillRuns)
{
    std::string missing = scratchPath("missing.cfg");
    MorraskRun run = runMorrask({"-r", "-d", "null", missing});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(std::string(BANNER) + "NO \n checkPllCfg: Error call stat() for file " + missing +
                  ", err=0x2[No such file or directory]F:morrask,L:",
              run.out.substr(0, run.out.find("F:morrask,L:") + 12));
    EXPECT_NE(std::string::npos, run.out.find("\n main: Error PLL config check not successfulF:morrask,L:"));
    EXPECT_EQ("\n\n", run.out.substr(run.out.size() - 2));
    EXPECT_FALSE(touchedHardware(run));

    run = runMorrask({"-R", "-d", "null", scratchFile("X,0x10,0x20\n")});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string::npos, run.report.find("mem_open"));
}

TEST(Morrask, BoardDeviceAndModeTakeEffectInEitherOrder)
{
    std::string cfg = scratchFile("X,0x0123,0x45\n");
    struct Case {
        std::vector<std::string> args;
        std::string pageSelect; // bit order on the wire
        std::string resetWrite; // board's reset bit
        std::string board;      // as the reset pulse names it
    } cases[] = {
        {{"-d", "null"}, "7F 40", "F7FF", "VKC"},
        {{"-b", "VKA", "-d", "null"}, "7F 02", "DFFF", "VKA"},
        {{"-d", "null", "-b", "vkb"}, "7F 02", "F7FF", "VKB"},
        {{"-m", "lsb", "-b", " VKA", "-d", "null"}, "7F 40", "DFFF", "VKA"},
        {{"-b", "xVKAy", "-M", "LsB", "-d", "null"}, "7F 40", "DFFF", "VKA"},
        {{"-b", "VKC", "-m", "msb", "-d", "null"}, "7F 02", "F7FF", "VKC"},
        {{"-b", "vkcVKBvka", "-d", "null"}, "7F 02", "DFFF", "VKA"}, // VKA is looked for first
        {{"-b", std::string(17, '-') + "vkb", "-d", "null"}, "7F 02", "F7FF", "VKB"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(cfg);
        MorraskRun run = runMorrask(args);
        SCOPED_TRACE(args[0] + " " + args[1] + " " + args[2]);
        EXPECT_EQ(0, run.status) << run.out;
        EXPECT_NE(std::string::npos, run.report.find("spi_open /dev/null "));
        EXPECT_NE(std::string::npos, run.report.find("spi_xfer fd=102 len=2: " + c.pageSelect)); // after lock, mem
        EXPECT_NE(std::string::npos, run.report.find("mem_write16 offset=4 value=0x" + c.resetWrite));
        EXPECT_NE(std::string::npos, run.out.find("\n Reseting PLL chip on " + c.board + " board\n")) << run.out;
    }
    // A board's default device, when no -d is given.
    MorraskRun run = runMorrask({"-b", "VKA", cfg});
    EXPECT_NE(std::string::npos, run.out.find("Error call stat() for device /dev/spidev0.1, err=0x2["));
}

TEST(Morrask, LoadingStopsAtTheFirstBadLineOrFailedWrite)
{
    struct Case {
        std::string content;
        std::vector<std::string> environment;
        std::string message;
        unsigned chipWrites;
        std::string err = ""; // the transfer's own report, on standard error
    } cases[] = {
        {"X,0x10,0x20\nhello,1\nX,0x20,0x30\n", {}, "\n main: Error parsing configuration entry [hello]F:", 1},
        {"X,0x10\nX,0x20,0x30\n", {}, "\n main: Error parsing configuration entry [X]F:", 0},
        {"X,0x10,0x20\nX,0x1005,0x30\nX,0x20,0x30\n",
         {},
         "\n main: Error writing PLL register, addr=0x1005,val=0x30,err=0xFFFFFFFFF:",
         1},
        {"X,0x10,0x20\nX,0x11,0x21\nX,0x12,0x22\n",
         {"MORRASK_SIM_FAIL=spi_open@2"},
         "\n main: Error writing PLL register, addr=0x0011,val=0x21,err=0xFFFFFFFFF:",
         1},
        {"X,0x10,0x20\nX,0x11,0x21\nX,0x12,0x22\n",
         {"MORRASK_SIM_FAIL=spi_ioctl@4"},
         "\n main: Error writing PLL register, addr=0x0011,val=0x21,err=0xFFFFFFFFF:",
         1,
         "]spi_write: Error writing to SPI device, err=5[Input/output error]"},
        {"X,0x10,0x20" + std::string(120, ' ') + "\nX,0x20,0x30\n",
         {},
         "\n readEntry: Error PLL configuration line longer than 127 bytes [X,0x10,0x20",
         0},
        {"X,0x10,0x20\n", {"MORRASK_SIM_FAIL=mem_unmap"}, "Error unmaping physical memory for PLL reset", 1},
        {"W,-1\nX,0x10,0x20\n", {}, "\n main: Error parsing configuration entry [W]F:", 0},
        {"X,0x100000010,0x20\n", {}, "\n main: Error parsing configuration entry [X]F:", 0},
        {"X,0x10,0x20\n",
         {"MORRASK_SIM_FAIL=spi_lock"},
         "\n main: Error SPI device /dev/null is being loaded by another morraskF:",
         0},
        // A node that is no spidev node is found out before the reset.
        {"X,0x10,0x20\n",
         {"MORRASK_SIM_FAIL=spi_mode"},
         "\n main: Error /dev/null does not answer as an SPI device, PLL chip not reset, err=0x19[",
         0},
        // A chip whose reset pulse failed is not loaded.
        {"X,0x10,0x20\n", {"MORRASK_SIM_FAIL=mem_open"}, "\n main: Error reseting PLL chipF:", 0},
        {"X,0x10,0x20\n",
         {"MORRASK_SIM_FAIL=mem_map,mem_close"},
         "\n pllReset: Error closing MEM driver, err=0x5[Input/output error]F:",
         0},
        // Releasing /dev/mem or the bus fails after a whole load: reported all the same.
        {"X,0x10,0x20\n",
         {"MORRASK_SIM_FAIL=mem_close"},
         "\n pllReset: Error closing MEM driver, err=0x5[Input/output error]F:",
         1},
        {"X,0x10,0x20\n",
         {"MORRASK_SIM_FAIL=spi_unlock"},
         "\n main: Error unlocking SPI device /dev/null, err=0x5[Input/output error]F:",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        MorraskRun run = runMorrask({"-d", "null", scratchFile(c.content)}, c.environment);
        EXPECT_EQ(1, run.status);
        EXPECT_NE(std::string::npos, run.out.find(c.message)) << run.out;
        EXPECT_NE(std::string::npos, run.err.find(c.err)) << run.err;
        EXPECT_NE(std::string::npos, run.report.find("writes " + std::to_string(c.chipWrites) + " ")) << run.report;
        EXPECT_EQ("\n\n", run.out.substr(run.out.size() - 2));
    }

    // A long comment is cut, and its tail is not a line: loading goes on.
    MorraskRun run =
        runMorrask({"-d", "null", scratchFile("; " + std::string(130, '=') + ",X,0x10,0x20\nX,0x20,0x30\n")});
    EXPECT_EQ(0, run.status) << run.out;
    EXPECT_NE(std::string::npos, run.report.find("writes 1 "));
}

TEST(Morrask, TheDryRunNamesEveryBadLineAndTouchesNothing)
{
    std::string bad =
        std::string("; set-up\r\nX,0x0123,0x45\r\nX,zz,yy\r\nW,-1\nX,0x800,0x01\nhello,1\nX,0x10\n") + "X,0x10,0x20" +
        std::string(120, ' ') + "\n" + std::string("\0X,1,2\n", 7) +
        "W,99999999999999999999\nW,100 us\nX,0x7FE,0x1234\nX,0x10,0x20\rX,0x11,0x21\n; END_OF_FILE\nX,zz,0\n";
    std::string path = scratchFile(bad);
    MorraskRun run = runMorrask({"-n", path});
    EXPECT_EQ(1, run.status);
    const std::string report = "\n checkConfiguration: Error line ";
    EXPECT_EQ(report + "3: address without a hexadecimal digit [X,zz,yy]F:morrask,L:*" + report +
                  "4: negative wait time [W,-1]F:morrask,L:*" + report +
                  "5: address 0x800 beyond the last register 0x7FF [X,0x800,0x01]F:morrask,L:*" + report +
                  "6: unknown command [hello,1]F:morrask,L:*" + report +
                  "7: register write without a value [X,0x10]F:morrask,L:*" + report +
                  "8: longer than 127 bytes [X,0x10,0x20" + std::string(116, ' ') + "]F:morrask,L:*" + report +
                  "9: no field []F:morrask,L:*" + report +
                  "10: wait time beyond 32 bits [W,99999999999999999999]F:morrask,L:*"
                  "\n checkConfiguration: Warning line 12: value wider than a byte, 0x1234: 0x34 is sentF:morrask,L:*" +
                  report +
                  "13: carriage return inside the line [X,0x10,0x20\rX,0x11,0x21]F:morrask,L:*"
                  "\n Checked " +
                  path + ": bad lines 9, register writes 2, waits 100 us in all\n\n",
              maskReportLines(run.out));
    EXPECT_EQ("", run.err);
    EXPECT_EQ(std::string::npos, run.report.find("\nsleep")) << run.report;
    EXPECT_FALSE(touchedHardware(run));

    // A clean file, with no SPI device on this machine; an empty one.
    run = runMorrask({"-N", SAMPLE_CONFIG});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string("\n Checked ") + SAMPLE_CONFIG +
                  ": bad lines 0, register writes 400, waits 700000 us in all\n\n",
              run.out);
    EXPECT_EQ(std::string::npos, run.report.find("\nsleep"));
    run = runMorrask({"-n", scratchFile("")});
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.out.find("\n checkPllCfg: Error stat data, st_mode=0x81A4,st_size=0F:"))
        << run.out;
    // Text that configures nothing, such as /etc/os-release, or a file of
    // comments only.
    for (const char *nothing : {"NAME=\"Debian GNU/Linux\"\nID=debian\n", "; only a remark\n"}) {
        run = runMorrask({"-n", path = scratchFile(nothing)});
        EXPECT_EQ(1, run.status);
        EXPECT_NE(std::string::npos,
                  run.out.find("\n checkConfiguration: Error " + path + " holds no register writeF:"));
    }
    // A file that is not there fails the check as it would fail the load.
    std::string missing = scratchPath("missing.cfg");
    run = runMorrask({"-n", missing});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("\n openFile: Error opening file, file=" + missing +
                  ",err=0x2[No such file or directory]F:morrask,L:*\n\n",
              maskReportLines(run.out));
}

TEST(Morrask, CommentsOnlyFileLoadsNothingAndSucceeds)
{
    MorraskRun run = runMorrask({"-d", "null", scratchFile("; nothing\n\n;, still nothing\n")});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(std::string::npos, run.out.find("WRITE"));
    EXPECT_EQ(std::string::npos, run.report.find("spi_open"));
}

TEST(FilterWhiteSpace, KeepsTheFirstWordWithinCapacity)
{
    struct Case {
        const char *text;
        size_t capacity;
        const char *word;
    } cases[] = {
        {"  ab cd", 128, "ab"},    {"\tVKC\n", 128, "VKC"}, {"VKA", 128, "VKA"}, {"", 128, ""},
        {" \t\r\n", 128, ""},      {"abcdef", 4, "abc"},    {"   ab", 4, ""},    {"  ab", 4, "a"},
        {"\x7F\xA0xy", 128, "xy"}, {"  ab", 0, "  ab"}, // no room: left as it is
    };
    for (const Case &c : cases) {
        char buffer[128] = {};
        strncpy(buffer, c.text, sizeof(buffer) - 1);
        filterWhiteSpace(buffer, c.capacity);
        EXPECT_STREQ(c.word, buffer) << '"' << c.text << '"' << c.capacity;
    }
    testing::internal::CaptureStdout();
    filterWhiteSpace(nullptr, 128);
    EXPECT_EQ("\nfilterWhiteSpace: Wrong paramteres, string=(nil)", testing::internal::GetCapturedStdout());
}
