// morrask on the simulated board: the real spidev nodes with a simulated PLL
// chip behind each bus, and the PLL reset register in the board's physical
// memory at 0x520000004, reached through /dev/mem as on the board.
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <ctime>

#include <map>

#include "guest_test.h"

namespace {

const std::string kSpi = "/sys/kernel/debug/sim_spi/bus";
const char* const kOut = "/tmp/morrask.out";
const char* const kCfg = "/tmp/test.cfg";
const char* const kSample = "/lib/board/samples/vkc-pll.cfg";

struct Transfer {
    unsigned len, speed, bits, mode;
    std::vector<int> bytes;
};

using Registers = std::map<int, int>;

// The 16-bit reset register, mapped for the whole test program.
volatile uint16_t* resetRegister()
{
    static volatile uint16_t* reg = nullptr;
    if (!reg) {
        int fd = open("/dev/mem", O_RDWR | O_SYNC);
        void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0x520000000);
        close(fd);
        if (page == MAP_FAILED) {
            std::perror("/dev/mem");
            std::exit(1);
        }
        reg = static_cast<volatile uint16_t*>(page) + 2;
    }
    return reg;
}

void clearChips()
{
    guest::writeText(kSpi + "0/clear", "1");
    guest::writeText(kSpi + "1/clear", "1");
}

std::vector<Transfer> transfers(int bus)
{
    std::vector<Transfer> list;
    std::string text = guest::readText(kSpi + std::to_string(bus) + "/transfers");
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        Transfer t{};
        int used = 0;
        std::sscanf(line.c_str(), "len=%u speed=%u bits=%u mode=%x ns=%*u data=%n", &t.len, &t.speed,
                    &t.bits, &t.mode, &used);
        for (const char* p = line.c_str() + used; *p;) {
            char* next;
            long byte = std::strtol(p, &next, 16);
            if (next == p)
                break;
            t.bytes.push_back(static_cast<int>(byte));
            p = next;
        }
        list.push_back(t);
    }
    return list;
}

Registers registers(int bus)
{
    Registers map;
    std::string text = guest::readText(kSpi + std::to_string(bus) + "/registers");
    int address, value, used;
    for (const char* p = text.c_str(); std::sscanf(p, "%x %x\n%n", &address, &value, &used) == 2; p += used)
        map[address] = value;
    return map;
}

// Every transfer is one chip-select period of a write, as the loader frames it.
void checkFraming(const std::vector<Transfer>& sent, const std::vector<std::vector<int>>& expected)
{
    CHECK_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size() && i < expected.size(); ++i) {
        CHECK(sent[i].bytes == expected[i]);
        CHECK_EQ(sent[i].len, expected[i].size());
        CHECK_EQ(sent[i].speed, 10000000);
        CHECK_EQ(sent[i].bits, 8);
        CHECK_EQ(sent[i].mode, 0);
    }
}

struct Run {
    int status;
    std::vector<uint16_t> resetValues;  // the register's successive values
};

pid_t startMorrask(std::vector<std::string> args)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(kOut, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>("morrask")};
        for (std::string& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv("/bin/morrask", argv.data());
        _exit(127);
    }
    return pid;
}

// Runs /bin/morrask with its output in kOut, watching the reset register.
Run morrask(const std::vector<std::string>& args)
{
    uint16_t before = *resetRegister();
    Run run{-1, {before}};
    pid_t pid = startMorrask(args);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        uint16_t value = *resetRegister();
        if (value != run.resetValues.back())
            run.resetValues.push_back(value);
        usleep(1000);
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// A count from the chip's summary line, e.g. chipCount(1, "writes").
int chipCount(int bus, const std::string& name)
{
    std::string chip = guest::readText(kSpi + std::to_string(bus) + "/chip");
    size_t at = chip.find(" " + name + "=");
    if (at == std::string::npos)
        at = chip.find(name + "=") == 0 ? 0 : std::string::npos;
    return at == std::string::npos ? -1 : std::atoi(chip.c_str() + chip.find('=', at) + 1);
}

bool waitFor(int bus, const std::string& name, int atLeast)
{
    for (int i = 0; i < 500; ++i, usleep(10000))
        if (chipCount(bus, name) >= atLeast)
            return true;
    return false;
}

double nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

const char* const kThreeWrites = "X,0x0123,0x45\nX,0x0400,0x81\nX,0x0005,0xA5\n";
const Registers kThreeWritten = {{0x123, 0x45}, {0x400, 0x81}, {0x005, 0xA5}};

}  // namespace

GUEST_TEST(vka_and_vkb_write_msb_first_on_bus_0)
{
    guest::writeText(kCfg, kThreeWrites);
    for (const char* board : {"VKA", "VKB"}) {
        clearChips();
        std::printf("  board %s\n", board);
        CHECK_EQ(morrask({"-r", "-b", board, kCfg}).status, 0);
        checkFraming(transfers(0), {{0x7F, 0x02}, {0x23, 0x45}, {0x7F, 0x08}, {0x00, 0x81}, {0x7F, 0x00}, {0x05, 0xA5}});
        CHECK(registers(0) == kThreeWritten);
        CHECK(transfers(1).empty());
    }
}

GUEST_TEST(vkc_writes_each_byte_bit_reversed_on_bus_1)
{
    guest::writeText(kCfg, kThreeWrites);
    clearChips();
    CHECK_EQ(morrask({"-r", kCfg}).status, 0);
    checkFraming(transfers(1), {{0x7F, 0x40}, {0x62, 0xA2}, {0x7F, 0x10}, {0x00, 0x81}, {0x7F, 0x00}, {0x50, 0xA5}});
    CHECK(registers(1) == kThreeWritten);
    CHECK(transfers(0).empty());
}

GUEST_TEST(the_reset_pulse_clears_and_sets_only_the_boards_bit)
{
    guest::writeText(kCfg, "X,0x0001,0x01\n");
    struct Case {
        std::vector<std::string> args;
        uint16_t before;
        std::vector<uint16_t> seen;
    } cases[] = {
        {{"-b", "VKA", kCfg}, 0xFFFF, {0xFFFF, 0xDFFF, 0xFFFF}},
        {{"-b", "VKB", kCfg}, 0xFFFF, {0xFFFF, 0xF7FF, 0xFFFF}},
        {{kCfg}, 0x1234, {0x1234, 0x1A34}},  // VKC: bit 11 was already clear
        {{"-r", kCfg}, 0x0000, {0x0000}},
    };
    for (const Case& c : cases) {
        *resetRegister() = c.before;
        Run run = morrask(c.args);
        CHECK_EQ(run.status, 0);
        CHECK(run.resetValues == c.seen);
        for (uint16_t value : run.resetValues)
            std::printf("  0x%04X", value);
        std::printf("\n");
    }
}

// The sample: 400 writes, waits, comments, CR LF line ends.
GUEST_TEST(the_sample_configuration_loads_completely)
{
    Registers expected;
    int writes = 0;
    FILE* f = std::fopen(kSample, "r");
    char line[256];
    unsigned address, value;
    while (f && std::fgets(line, sizeof(line), f))
        if (std::sscanf(line, "X,%x,%x", &address, &value) == 2) {
            expected[address] = value;
            ++writes;
        }
    if (f)
        std::fclose(f);
    CHECK_EQ(writes, 400);

    clearChips();
    CHECK_EQ(morrask({"-r", kSample}).status, 0);
    CHECK(registers(1) == expected);
    CHECK_EQ(transfers(1).size(), 800);
    CHECK(guest::readText(kSpi + "1/chip").find(" writes=400 rejected=0 failed=0 aborted=0 dropped=0 ") != std::string::npos);
}

GUEST_TEST(a_failing_write_leaves_exactly_the_writes_before_it_and_exits_1)
{
    guest::writeText(kCfg, "X,0x0123,0x45\nX,0x0124,0x46\nX,0x0800,0x11\nX,0x0125,0x47\n");
    clearChips();
    CHECK_EQ(morrask({"-r", kCfg}).status, 1);
    CHECK(registers(1) == (Registers{{0x123, 0x45}, {0x124, 0x46}}));
    CHECK_EQ(transfers(1).size(), 4);  // nothing sent for 0x800

    // The bus refuses the second write's register transfer.
    clearChips();
    guest::writeNumber(kSpi + "1/fail_next", 4);
    CHECK_EQ(morrask({"-r", kCfg}).status, 1);
    CHECK(registers(1) == (Registers{{0x123, 0x45}}));
    CHECK(guest::readText(kSpi + "1/chip").find("transfers=4 writes=1 rejected=0 failed=1") == 0);
    CHECK(guest::readText(kOut).find("spi_write: Error writing to SPI device, err=5[Input/output error]") !=
          std::string::npos);
}

GUEST_TEST(option_errors_touch_neither_bus_nor_reset_register)
{
    guest::writeText(kCfg, kThreeWrites);
    const std::vector<std::string> bad[] = {
        {"-d", "spidev9.9", kCfg}, {"-b", "VKX", kCfg}, {"-m", "middle", kCfg}};
    for (const std::vector<std::string>& args : bad) {
        clearChips();
        *resetRegister() = 0xFFFF;
        Run run = morrask(args);
        CHECK_EQ(run.status, 2);
        CHECK(run.resetValues == std::vector<uint16_t>{0xFFFF});
        CHECK(guest::readText(kSpi + "0/chip").find("transfers=0 ") == 0);
        CHECK(guest::readText(kSpi + "1/chip").find("transfers=0 ") == 0);
    }
}

// END_OF_FILE past the 127 bytes of a line that fit ends the file there,
// in a comment and in a register write alike; the line after never reaches
// the chip.
GUEST_TEST(end_of_file_in_the_tail_of_an_overlong_line_ends_loading)
{
    const std::string lines[] = {
        "; " + std::string(130, '-') + " END_OF_FILE\n",
        "X,0x0400,0x81" + std::string(107, ' ') + "END_OF_FILE\n",  // the word starts at byte 120
    };
    for (const std::string& line : lines) {
        guest::writeText(kCfg, "X,0x0123,0x45\n" + line + "X,0x0005,0xA5\n");
        clearChips();
        CHECK_EQ(morrask({"-r", kCfg}).status, 0);
        CHECK(registers(1) == (Registers{{0x123, 0x45}}));
        CHECK_EQ(transfers(1).size(), 2);
    }
}

// On a slow bus a signal that reaches the loader cuts the transfer short;
// only SIGTERM (and SIGKILL) may, the others wait for its end.
GUEST_TEST(sigint_and_sighup_wait_for_the_transfer_sigterm_ends_at_once)
{
    guest::writeText(kCfg, kThreeWrites);
    for (int sig : {SIGINT, SIGHUP, SIGTERM}) {
        clearChips();
        guest::writeNumber(kSpi + "1/delay_ms", 400);
        pid_t pid = startMorrask({"-r", kCfg});
        CHECK(waitFor(1, "busy", 1));  // the first page select is under way
        usleep(100000);
        double sent = nowMs();
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        double took = nowMs() - sent;
        std::printf("  signal %d: ended after %.0f ms, %s\n", sig, took,
                    guest::readText(kSpi + "1/chip").c_str());
        CHECK(WIFSIGNALED(status) && WTERMSIG(status) == sig);
        CHECK_EQ(chipCount(1, "transfers"), 1);
        CHECK_EQ(chipCount(1, "aborted"), sig == SIGTERM ? 1 : 0);
        CHECK(sig == SIGTERM ? took < 150 : took > 150);
        guest::writeNumber(kSpi + "1/delay_ms", 0);
    }
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

GUEST_TEST(a_configuration_changed_while_loading_is_never_loaded_in_pieces)
{
    const int lines = 600;
    const std::string original = numberedLines(lines, 7), other = numberedLines(lines, 5);
    struct Case {
        const char* name;
        void (*change)(const std::string& other);
        int status;
    } cases[] = {
        // Line 357 ends cut after "X,0x0167,0x1": it would still parse.
        {"truncated in the middle of a value", [](const std::string&) { CHECK(truncate(kCfg, 357 * 14 + 12) == 0); }, 1},
        {"rewritten in place",
         [](const std::string& text) {
             int fd = open(kCfg, O_WRONLY);
             CHECK(write(fd, text.data(), text.size()) == (ssize_t)text.size());
             close(fd);
         },
         1},
        {"replaced by a new file",
         [](const std::string& text) {
             guest::writeText("/tmp/new.cfg", text);
             rename("/tmp/new.cfg", kCfg);
         },
         0},
    };
    for (const Case& c : cases) {
        std::printf("  %s\n", c.name);
        guest::writeText(kCfg, original);
        usleep(20000);  // past the file system's time stamp granularity
        clearChips();
        guest::writeNumber(kSpi + "1/delay_ms", 100);
        pid_t pid = startMorrask({"-r", kCfg});
        CHECK(waitFor(1, "writes", 2));
        c.change(other);
        guest::writeNumber(kSpi + "1/delay_ms", 0);
        int status = 0;
        waitpid(pid, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == c.status);
        // Whatever reached the chip is the start of the file as it was.
        Registers written = registers(1);
        int k = chipCount(1, "writes");
        CHECK_EQ(written.size(), k);
        for (int i = 0; i < k; ++i)
            CHECK(written.count(lineAddress(i)) && written[lineAddress(i)] == ((i * 7 + 3) & 0xFF));
        CHECK_EQ(k == lines, c.status == 0);
    }
}

// The simulation itself: both buses go and come back with the module.
GUEST_TEST(the_simulated_buses_unload_and_reload)
{
    CHECK_EQ(guest::unloadModule("sim_spi"), 0);
    usleep(100000);
    CHECK(!guest::exists("/dev/spidev0.1") && !guest::exists("/dev/spidev1.1"));
    CHECK_EQ(guest::loadModule("/lib/board/sim/sim_spi.ko"), 0);
    usleep(100000);
    CHECK(guest::exists("/dev/spidev0.1") && guest::exists("/dev/spidev1.1"));
    guest::writeText(kCfg, kThreeWrites);
    CHECK_EQ(morrask({"-r", kCfg}).status, 0);
    CHECK(registers(1) == kThreeWritten);
}

int main()
{
    return guest::runAll();
}
