// morrask on the simulated board: the real spidev nodes with a simulated PLL
// chip behind each bus, and the PLL reset register in the board's physical
// memory at 0x520000004, reached through /dev/mem as on the board.
#include "harness.h"

namespace {

const char *const kMorrask = "/bin/morrask";
const char *const kOut = "/tmp/morrask.out";
const char *const kCfg = "/tmp/test.cfg";

using board::spi::Registers;
using board::spi::Transfer;

// Every transfer is one chip-select period of a write, as the loader frames it.
void checkFraming(const std::vector<Transfer> &sent, const std::vector<std::vector<int>> &expected)
{
    EXPECT_EQ(expected.size(), sent.size());
    for (size_t i = 0; i < sent.size() && i < expected.size(); ++i) {
        EXPECT_TRUE(sent[i].bytes == expected[i]);
        EXPECT_EQ(expected[i].size(), sent[i].len);
        EXPECT_EQ(10000000, sent[i].speed);
        EXPECT_EQ(8, sent[i].bits);
        EXPECT_EQ(0, sent[i].mode);
    }
}

struct Run {
    int status;
    std::vector<uint16_t> resetValues; // the register's successive values
};

// Runs morrask with its output in kOut, watching the reset register.
Run morrask(const std::vector<std::string> &args)
{
    Run run{-1, {*board::resetRegister()}};
    pid_t pid = board::startProgram(kMorrask, args, kOut);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        uint16_t value = *board::resetRegister();
        if (value != run.resetValues.back())
            run.resetValues.push_back(value);
        usleep(1000);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const char *const kThreeWrites = "X,0x0123,0x45\nX,0x0400,0x81\nX,0x0005,0xA5\n";
const Registers kThreeWritten = {{0x123, 0x45}, {0x400, 0x81}, {0x005, 0xA5}};

} // namespace

// Both buses and their chips as loaded: nothing recorded, no failure armed,
// no delay.
FIXTURE(Bus){};

FIXTURE_SETUP(Bus)
{
    ASSERT_TRUE(board::exists("/dev/spidev0.1") && board::exists("/dev/spidev1.1"));
    board::spi::clear();
}

FIXTURE_TEARDOWN(Bus)
{
    if (!board::moduleLoaded("sim_spi"))
        board::loadModule(std::string(board::kSimModules) + "sim_spi.ko");
    board::spi::clear(); // also ends a delay or a failure still armed
}

// VKA and VKB write most significant bit first on bus 0; VKC, the default
// board, each byte bit-reversed on bus 1.
TEST_F(Bus, each_board_writes_its_own_bus_in_its_bit_order)
{
    board::writeText(kCfg, kThreeWrites);
    const std::vector<std::vector<int>> msbFirst = {{0x7F, 0x02}, {0x23, 0x45}, {0x7F, 0x08},
                                                    {0x00, 0x81}, {0x7F, 0x00}, {0x05, 0xA5}};
    const std::vector<std::vector<int>> lsbFirst = {{0x7F, 0x40}, {0x62, 0xA2}, {0x7F, 0x10},
                                                    {0x00, 0x81}, {0x7F, 0x00}, {0x50, 0xA5}};
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int bus;
        const std::vector<std::vector<int>> &framing;
    } cases[] = {
        {"VKA", {"-r", "-b", "VKA", kCfg}, 0, msbFirst},
        {"VKB", {"-r", "-b", "VKB", kCfg}, 0, msbFirst},
        {"VKC", {"-r", kCfg}, 1, lsbFirst},
    };
    for (const Case &c : cases) {
        board::spi::clear();
        std::printf("# board %s\n", c.name);
        EXPECT_EQ(0, morrask(c.args).status);
        checkFraming(board::spi::transfers(c.bus), c.framing);
        EXPECT_TRUE(board::spi::registers(c.bus) == kThreeWritten);
        EXPECT_TRUE(board::spi::transfers(1 - c.bus).empty());
    }
}

TEST_F(Bus, the_reset_pulse_clears_and_sets_only_the_boards_bit)
{
    board::writeText(kCfg, "X,0x0001,0x01\n");
    struct Case {
        std::vector<std::string> args;
        uint16_t before;
        std::vector<uint16_t> seen;
    } cases[] = {
        {{"-b", "VKA", kCfg}, 0xFFFF, {0xFFFF, 0xDFFF, 0xFFFF}},
        {{"-b", "VKB", kCfg}, 0xFFFF, {0xFFFF, 0xF7FF, 0xFFFF}},
        {{kCfg}, 0x1234, {0x1234, 0x1A34}}, // VKC: bit 11 was already clear
        {{"-r", kCfg}, 0x0000, {0x0000}},
    };
    for (const Case &c : cases) {
        *board::resetRegister() = c.before;
        Run run = morrask(c.args);
        EXPECT_EQ(0, run.status);
        EXPECT_TRUE(run.resetValues == c.seen);
        std::printf("#");
        for (uint16_t value : run.resetValues)
            std::printf(" 0x%04X", value);
        std::printf("\n");
    }
}

// The sample: 400 writes, waits, comments, CR LF line ends; a second or two.
TEST_F_TIMEOUT(Bus, the_sample_configuration_loads_completely, 30)
{
    Registers expected;
    int writes = 0;
    FILE *f = std::fopen(board::kSampleConfig, "r");
    char line[256];
    unsigned address, value;
    while (f && std::fgets(line, sizeof(line), f))
        if (std::sscanf(line, "X,%x,%x", &address, &value) == 2) {
            expected[address] = value;
            ++writes;
        }
    if (f)
        std::fclose(f);
    ASSERT_EQ(400, writes);

    EXPECT_EQ(0, morrask({"-r", board::kSampleConfig}).status);
    EXPECT_TRUE(board::spi::registers(1) == expected);
    EXPECT_EQ(800, board::spi::transfers(1).size());
    for (const char *count : {"rejected", "failed", "aborted", "dropped"})
        EXPECT_EQ(0, board::spi::count(1, count));
    EXPECT_EQ(400, board::spi::count(1, "writes"));
}

TEST_F(Bus, a_failing_write_leaves_exactly_the_writes_before_it_and_exits_1)
{
    board::writeText(kCfg, "X,0x0123,0x45\nX,0x0124,0x46\nX,0x0800,0x11\nX,0x0125,0x47\n");
    EXPECT_EQ(1, morrask({"-r", kCfg}).status);
    EXPECT_TRUE(board::spi::registers(1) == (Registers{{0x123, 0x45}, {0x124, 0x46}}));
    EXPECT_EQ(4, board::spi::transfers(1).size()); // nothing sent for 0x800

    // The bus refuses the second write's register transfer.
    board::spi::clear();
    ASSERT_TRUE(board::spi::failNext(1, 4));
    EXPECT_EQ(1, morrask({"-r", kCfg}).status);
    EXPECT_TRUE(board::spi::registers(1) == (Registers{{0x123, 0x45}}));
    EXPECT_EQ(4, board::spi::count(1, "transfers"));
    EXPECT_EQ(1, board::spi::count(1, "writes"));
    EXPECT_EQ(0, board::spi::count(1, "rejected"));
    EXPECT_EQ(1, board::spi::count(1, "failed"));
    // The report names the error the bus gave.
    EXPECT_TRUE(board::readText(kOut).find(std::strerror(EIO)) != std::string::npos);
}

TEST_F(Bus, option_errors_touch_neither_bus_nor_reset_register)
{
    board::writeText(kCfg, kThreeWrites);
    const std::vector<std::string> bad[] = {{"-d", "spidev9.9", kCfg}, {"-b", "VKX", kCfg}, {"-m", "middle", kCfg}};
    for (const std::vector<std::string> &args : bad) {
        *board::resetRegister() = 0xFFFF;
        Run run = morrask(args);
        EXPECT_EQ(2, run.status);
        EXPECT_TRUE(run.resetValues == std::vector<uint16_t>{0xFFFF});
        EXPECT_EQ(0, board::spi::count(0, "transfers"));
        EXPECT_EQ(0, board::spi::count(1, "transfers"));
    }
}

// A node that is no spidev node is found out before the reset pulse, so
// the chip is never left fresh out of reset and unconfigured.
TEST_F(Bus, a_node_that_is_no_spidev_node_stops_the_run_before_the_reset)
{
    board::writeText(kCfg, kThreeWrites);
    for (const char *node : {"zero", "null"}) {
        *board::resetRegister() = 0xFFFF;
        Run run = morrask({"-d", node, kCfg});
        EXPECT_EQ(1, run.status);
        EXPECT_TRUE(run.resetValues == std::vector<uint16_t>{0xFFFF});
        EXPECT_TRUE(board::readText(kOut).find(std::string("Error /dev/") + node +
                                               " does not answer as an SPI device") != std::string::npos);
    }
}

// END_OF_FILE past the 127 bytes of a line that fit ends the file there,
// in a comment and in a register write alike; the line after never reaches
// the chip.
TEST_F(Bus, end_of_file_in_the_tail_of_an_overlong_line_ends_loading)
{
    const std::string lines[] = {
        "; " + std::string(130, '-') + " END_OF_FILE\n",
        "X,0x0400,0x81" + std::string(107, ' ') + "END_OF_FILE\n", // the word starts at byte 120
    };
    for (const std::string &line : lines) {
        board::writeText(kCfg, "X,0x0123,0x45\n" + line + "X,0x0005,0xA5\n");
        board::spi::clear();
        EXPECT_EQ(0, morrask({"-r", kCfg}).status);
        EXPECT_TRUE(board::spi::registers(1) == (Registers{{0x123, 0x45}}));
        EXPECT_EQ(2, board::spi::transfers(1).size());
    }
}

// On a slow bus a signal that reaches the loader cuts the transfer short;
// only SIGTERM (and SIGKILL) may. The others wait for the register transfer
// that follows the page select they came in: a write is never split.
TEST_F(Bus, sigint_and_sighup_wait_for_the_register_transfer_sigterm_ends_at_once)
{
    board::writeText(kCfg, kThreeWrites);
    for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
        board::spi::clear();
        ASSERT_TRUE(board::spi::setDelayMs(1, 400));
        pid_t pid = board::startProgram(kMorrask, {"-r", kCfg}, kOut);
        EXPECT_TRUE(board::spi::waitForCount(1, "busy", 1)); // the first page select is under way
        usleep(100000);
        double sent = board::monotonicMs();
        kill(pid, sig);
        int status = board::waitStatus(pid, 5000);
        double took = board::monotonicMs() - sent;
        std::printf("# signal %d: ended after %.0f ms, %s\n", sig, took, board::spi::chip(1).c_str());
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_EQ(sig == SIGTERM ? 1 : 2, board::spi::count(1, "transfers"));
        EXPECT_EQ(sig == SIGTERM ? 0 : 1, board::spi::count(1, "writes"));
        EXPECT_EQ(sig == SIGTERM ? 1 : 0, board::spi::count(1, "aborted"));
        EXPECT_TRUE(sig == SIGTERM ? took < 150 : took > 550);
    }
}

// A stop or an interrupt while the chip is held in reset acts once it is
// released: the loader never leaves the chip in reset, and sends nothing.
TEST_F(Bus, a_signal_during_the_reset_hold_leaves_the_chip_released)
{
    board::writeText(kCfg, kThreeWrites);
    for (int sig : {SIGTERM, SIGINT}) {
        *board::resetRegister() = 0xFFFF;
        pid_t pid = board::startProgram(kMorrask, {kCfg}, kOut);
        double until = board::monotonicMs() + 5000;
        while (*board::resetRegister() != 0xF7FF && board::monotonicMs() < until)
            usleep(1000);
        ASSERT_EQ(0xF7FF, *board::resetRegister()); // held in reset
        kill(pid, sig);
        int status = board::waitStatus(pid, 5000);
        std::printf("# signal %d: reset register 0x%04X after the run\n", sig, *board::resetRegister());
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == sig);
        EXPECT_EQ(0xFFFF, *board::resetRegister());
        EXPECT_EQ(0, board::spi::count(1, "transfers"));
    }
}

// While one loader loads a bus, a second one on it is refused before it
// touches the reset register or the bus; the first loads undisturbed.
TEST_F(Bus, a_second_loader_on_the_same_bus_is_refused)
{
    board::writeText(kCfg, kThreeWrites);
    *board::resetRegister() = 0xFFFF;
    ASSERT_TRUE(board::spi::setDelayMs(1, 200));
    pid_t first = board::startProgram(kMorrask, {"-r", kCfg}, kOut);
    EXPECT_TRUE(board::spi::waitForCount(1, "busy", 1));
    Run second = morrask({kCfg}); // with the reset pulse
    std::printf("# second loader: exit status %d, reset register", second.status);
    for (uint16_t value : second.resetValues)
        std::printf(" 0x%04X", value);
    std::printf("\n");
    EXPECT_EQ(1, second.status);
    EXPECT_TRUE(second.resetValues == std::vector<uint16_t>{0xFFFF});
    EXPECT_EQ(0, board::waitExit(first, 10000));
    EXPECT_EQ(6, board::spi::count(1, "transfers"));
    EXPECT_TRUE(board::spi::registers(1) == kThreeWritten);

    // Once the first has ended, the bus is free again.
    board::spi::setDelayMs(1, 0);
    EXPECT_EQ(0, morrask({"-r", kCfg}).status);
}

// Line i writes registers 0 to 126 of page after page (127 is the page
// register), a value that tells the line.
int lineAddress(int i)
{
    return i / 127 * 128 + i % 127;
}

// More lines than the loader's stdio buffer holds, so that it reads the
// file again while loading.
std::string numberedLines(int lines, int factor)
{
    std::string text;
    char line[32];
    for (int i = 0; i < lines; ++i) {
        std::snprintf(line, sizeof(line), "X,0x%04X,0x%02X\n", lineAddress(i), (i * factor + 3) & 0xFF);
        text += line;
    }
    return text;
}

TEST_F(Bus, a_configuration_changed_while_loading_is_never_loaded_in_pieces)
{
    const int lines = 600;
    const std::string original = numberedLines(lines, 7), other = numberedLines(lines, 5);
    struct Case {
        const char *name;
        void (*change)(const std::string &other);
        int status;
    } cases[] = {
        // Line 357 ends cut after "X,0x0167,0x1": it would still parse.
        {"truncated in the middle of a value", [](const std::string &) { EXPECT_EQ(0, truncate(kCfg, 357 * 14 + 12)); },
         1},
        {"rewritten in place",
         [](const std::string &text) {
             int fd = open(kCfg, O_WRONLY);
             EXPECT_EQ(text.size(), write(fd, text.data(), text.size()));
             close(fd);
         },
         1},
        {"replaced by a new file",
         [](const std::string &text) {
             EXPECT_TRUE(board::writeText("/tmp/new.cfg", text));
             EXPECT_EQ(0, rename("/tmp/new.cfg", kCfg));
         },
         0},
    };
    for (const Case &c : cases) {
        std::printf("# %s\n", c.name);
        board::writeText(kCfg, original);
        usleep(20000); // past the file system's time stamp granularity
        board::spi::clear();
        ASSERT_TRUE(board::spi::setDelayMs(1, 100));
        pid_t pid = board::startProgram(kMorrask, {"-r", kCfg}, kOut);
        EXPECT_TRUE(board::spi::waitForCount(1, "writes", 2));
        c.change(other);
        board::spi::setDelayMs(1, 0);
        EXPECT_EQ(c.status, board::waitExit(pid, 20000));
        // Whatever reached the chip is the start of the file as it was.
        Registers written = board::spi::registers(1);
        int k = board::spi::count(1, "writes");
        EXPECT_EQ(k, written.size());
        for (int i = 0; i < k; ++i)
            EXPECT_TRUE(written.count(lineAddress(i)) && written[lineAddress(i)] == ((i * 7 + 3) & 0xFF));
        EXPECT_EQ(c.status == 0, k == lines);
    }
}

// The simulation itself: both buses go and come back with the module.
TEST_F(Bus, the_simulated_buses_unload_and_reload)
{
    ASSERT_EQ(0, board::unloadModule("sim_spi"));
    usleep(100000);
    EXPECT_TRUE(!board::exists("/dev/spidev0.1") && !board::exists("/dev/spidev1.1"));
    ASSERT_EQ(0, board::loadModule(std::string(board::kSimModules) + "sim_spi.ko"));
    usleep(100000);
    EXPECT_TRUE(board::exists("/dev/spidev0.1") && board::exists("/dev/spidev1.1"));
    board::writeText(kCfg, kThreeWrites);
    EXPECT_EQ(0, morrask({"-r", kCfg}).status);
    EXPECT_TRUE(board::spi::registers(1) == kThreeWritten);
}

int main(int argc, char **argv)
{
    return harness::runAll(argc, argv);
}
