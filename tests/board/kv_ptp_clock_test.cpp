// kv_ptp's clock set-up (ioctl 0x124) on the simulated board: the PTP and
// GPIO devices on the simulated SoC's PCI bus and the BTS block, with their
// registers read and preset through the simulation's debugfs files.
#include <sys/ioctl.h>

#include <cstdint>
#include <map>

#include "guest_test.h"
#include "kvPtpAuxApi.h"

namespace {

const char* const kModule = "/lib/board/kv_ptp.ko";
const char* const kSocModule = "/lib/board/sim/sim_soc.ko";
const char* const kFaultModule = "/lib/board/tools/sim_fault.ko";
const std::string kSoc = "/sys/kernel/debug/sim_soc/";

using Registers = std::map<unsigned, uint64_t>;

// The values the set-up writes whole, by block.
const Registers kPtpWrites = {{0xF18, 0x0000000100690690ULL}, {0xF50, 0}, {0xF58, 0},
                              {0xF60, 0x1DCD650000000000ULL}, {0xF68, 0x1DCD650000000000ULL}};
const Registers kGpioWrites = {{0x4D0, 0x5060000}, {0x4D8, 0x2510000}};

uint64_t readReg(const char* block, unsigned offset)
{
    uint64_t value = 0xBAD;
    int fd = open((kSoc + block + "/regs").c_str(), O_RDONLY);
    if (fd < 0 || pread(fd, &value, 8, offset) != 8)
        std::printf("  cannot read %s register 0x%X\n", block, offset);
    close(fd);
    return value;
}

void writeReg(const char* block, unsigned offset, uint64_t value)
{
    int fd = open((kSoc + block + "/regs").c_str(), O_WRONLY);
    if (fd < 0 || pwrite(fd, &value, 8, offset) != 8)
        std::printf("  cannot write %s register 0x%X\n", block, offset);
    close(fd);
}

// Every register of a block, by offset; sizes as the simulation maps them.
size_t registerCount(const char* block)
{
    return (std::string(block) == "bts" ? 0x2000 : 0x10000) / 8;
}

std::vector<uint64_t> snapshot(const char* block)
{
    std::vector<uint64_t> regs(registerCount(block), 0xBAD);
    int fd = open((kSoc + block + "/regs").c_str(), O_RDONLY);
    for (size_t i = 0; fd >= 0 && i < regs.size(); ++i)
        if (pread(fd, &regs[i], 8, i * 8) != 8)
            regs[i] = 0xBAD;
    close(fd);
    return regs;
}

// Fills a block with a pattern no register of it is set to.
void fill(const char* block)
{
    int fd = open((kSoc + block + "/regs").c_str(), O_WRONLY);
    for (size_t i = 0; fd >= 0 && i < registerCount(block); ++i) {
        uint64_t value = 0x5A5A000000000000ULL | i;
        if (pwrite(fd, &value, 8, i * 8) != 8)
            std::printf("  cannot fill %s\n", block);
    }
    close(fd);
}

// Errno of ioctl 0x124 on a kv_ptp node, 0 on success.
int clockSetup(unsigned long arg = 0)
{
    int fd = open("/dev/kv_ptp0", O_RDWR);
    if (fd < 0)
        return -1;
    int result = ioctl(fd, KV_PTP_IOCTL_CLOCK_SETUP, arg) == 0 ? 0 : errno;
    close(fd);
    return result;
}

bool programmed(const char* block, const Registers& writes)
{
    for (const auto& w : writes)
        if (readReg(block, w.first) != w.second)
            return false;
    return true;
}

// The simulated SoC again, with the given devices left off its bus.
void reloadSoc(const char* params)
{
    CHECK_EQ(guest::unloadModule("sim_soc"), 0);
    CHECK_EQ(guest::loadModule(kSocModule, params), 0);
}

// Mappings made by ioremap and not yet undone.
int ioremapCount()
{
    std::string info = guest::readText("/proc/vmallocinfo");
    int count = 0;
    for (size_t at = 0; (at = info.find(" ioremap\n", at)) != std::string::npos; ++at)
        ++count;
    return count;
}

}  // namespace

GUEST_TEST(read_modify_write_keeps_the_other_bits)
{
    CHECK_EQ(guest::loadModule(kModule), 0);
    struct Case {
        uint64_t ptpBefore, ptpAfter, btsBefore, btsAfter;
    } cases[] = {
        {0, 0x107, 0, 0x10000841},
        {0xFFFF, 0x307, ~0ULL, 0xFFFFFFFEDFE3FE41ULL},
        {~0ULL, 0xFFFFFFFFFFFF0307ULL, 0x0000000100000000ULL, 0x10000841},
    };
    for (const Case& c : cases) {
        writeReg("ptp", 0xF00, c.ptpBefore);
        writeReg("bts", 0, c.btsBefore);
        CHECK_EQ(clockSetup(), 0);
        CHECK_EQ(readReg("ptp", 0xF00), c.ptpAfter);
        CHECK_EQ(readReg("bts", 0), c.btsAfter);
    }
}

GUEST_TEST(only_the_documented_registers_change_and_twice_is_once)
{
    const char* blocks[] = {"ptp", "bts", "gpio"};
    std::map<std::string, std::vector<uint64_t>> before, once;
    for (const char* block : blocks) {
        fill(block);
        before[block] = snapshot(block);
    }
    CHECK_EQ(clockSetup(), 0);
    CHECK(programmed("ptp", kPtpWrites));
    CHECK(programmed("gpio", kGpioWrites));
    Registers changed = kPtpWrites;
    changed[0xF00] = 0;
    for (const char* block : blocks) {
        once[block] = snapshot(block);
        for (size_t i = 0; i < once[block].size(); ++i) {
            bool written = std::string(block) == "bts" ? i == 0
                         : std::string(block) == "ptp" ? changed.count(i * 8) != 0
                                                       : kGpioWrites.count(i * 8) != 0;
            if (!written && once[block][i] != before[block][i])
                std::printf("  %s register 0x%zX changed\n", block, i * 8);
            CHECK(written || once[block][i] == before[block][i]);
        }
    }
    CHECK_EQ(clockSetup(), 0);
    for (const char* block : blocks)
        CHECK(snapshot(block) == once[block]);
}

GUEST_TEST(log_lines_come_in_the_written_order_and_any_argument_will_do)
{
    const std::vector<std::string> expected = {
        "kv_ptp: Mapping PTP module base=",
        "kv_ptp: PTP_CLOCK_CFG=0x107",
        "kv_ptp: Mapping BTS module base=",
        "kv_ptp: BTS_PLL_CTL=0x10000841",
        "kv_ptp: Mapping GPIO module base=",
        "kv_ptp: GPIO_BIT_CFG+EXT_CLK_IN_PIN*8[0x4D0]=0x5060000",
        "kv_ptp: GPIO_BIT_CFG+TSTMP_IN_PIN*8[0x4D8]=0x2510000",
    };
    for (unsigned long arg : {0UL, 1UL, ~0UL}) {
        writeReg("ptp", 0xF00, 0);
        writeReg("bts", 0, 0);
        int log_fd = guest::kmsgOpen();
        CHECK_EQ(clockSetup(arg), 0);
        std::vector<guest::LogRecord> lines;
        for (const guest::LogRecord& r : guest::kmsgTake(log_fd))
            if (r.text.rfind("kv_ptp", 0) == 0)
                lines.push_back(r);
        CHECK_EQ(lines.size(), expected.size());
        for (size_t i = 0; i < lines.size() && i < expected.size(); ++i) {
            bool address = expected[i].back() == '=';  // followed by a hashed pointer
            CHECK_EQ(lines[i].level, 6);
            CHECK(address ? lines[i].text.rfind(expected[i], 0) == 0 &&
                                lines[i].text.size() > expected[i].size()
                          : lines[i].text == expected[i]);
        }
    }
}

GUEST_TEST(no_mapping_or_device_reference_outlives_a_call)
{
    long long ptpRefs = guest::readNumber(kSoc + "ptp/refs");
    long long gpioRefs = guest::readNumber(kSoc + "gpio/refs");
    int mappings = ioremapCount();
    for (int i = 0; i < 20; ++i)
        CHECK_EQ(clockSetup(), 0);
    CHECK_EQ(guest::readNumber(kSoc + "ptp/refs"), ptpRefs);
    CHECK_EQ(guest::readNumber(kSoc + "gpio/refs"), gpioRefs);
    CHECK_EQ(ioremapCount(), mappings);
}

// The remaining blocks are programmed all the same, but the failure is the result.
// The simulated SoC's bus is PCI domain 0001 on every kernel, and comes up
// without an error of the PCI core.
GUEST_TEST(a_missing_device_fails_the_command_after_all_blocks_ran)
{
    struct Case {
        const char* params;
        const char* missing;
        const char* present;
        const char* line;
        const char* missing_slot;
        const char* present_slot;
        const char* present_id;
    } cases[] = {
        {"ptp=0", "ptp", "gpio", "kv_ptp:Error PCI device not found, PTP[Vendor=0x177D,Dev_id=0xA00C]",
         "0001:00:00.0", "0001:00:01.0", "0xa00a\n"},
        {"gpio=0", "gpio", "ptp", "kv_ptp:Error PCI device not found, PTP[Vendor=0x177D,Dev_id=0xA00A]",
         "0001:00:01.0", "0001:00:00.0", "0xa00c\n"},
    };
    const std::string pci = "/sys/bus/pci/devices/";
    for (const Case& c : cases) {
        int reload_log = guest::kmsgOpen();
        reloadSoc(c.params);
        for (const guest::LogRecord& r : guest::kmsgTake(reload_log))
            if (r.level <= 3)
                guest::fail(__FILE__, __LINE__, "loading sim_soc logged: " + r.text);
        CHECK(!guest::exists(kSoc + c.missing));
        CHECK(!guest::exists(pci + c.missing_slot));
        CHECK(guest::readText(pci + c.present_slot + "/device") == c.present_id);
        fill(c.present);
        fill("bts");
        int log_fd = guest::kmsgOpen();
        CHECK_EQ(clockSetup(), ENODEV);
        auto log = guest::kmsgTake(log_fd);
        CHECK(guest::hasRecord(log, 3, c.line));
        CHECK_EQ(readReg("bts", 0), 0x5A5A000010000841ULL);
        CHECK(programmed(c.present, std::string(c.present) == "ptp" ? kPtpWrites : kGpioWrites));
    }
    reloadSoc("");
}

GUEST_TEST(a_failed_mapping_is_reported_and_the_other_blocks_still_run)
{
    struct Case {
        int nth;  // which mapping of the command fails: PTP, BTS, GPIO
        int error;
        const char* line;
    } cases[] = {
        {1, ENODEV, "kv_ptp:Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00C]"},
        {2, ENOMEM, "kv_ptp: Error memory maping BTS module"},
        {3, ENODEV, "kv_ptp:Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00A]"},
    };
    long long ptpRefs = guest::readNumber(kSoc + "ptp/refs");
    long long gpioRefs = guest::readNumber(kSoc + "gpio/refs");
    for (const Case& c : cases) {
        for (const char* block : {"ptp", "bts", "gpio"})
            fill(block);
        std::string params = "func=ioremap nth=" + std::to_string(c.nth) + " err=0";
        CHECK_EQ(guest::loadModule(kFaultModule, params.c_str()), 0);
        int log_fd = guest::kmsgOpen();
        CHECK_EQ(clockSetup(), c.error);
        auto log = guest::kmsgTake(log_fd);
        CHECK_EQ(guest::readNumber("/sys/kernel/debug/sim_fault/hits"), 3);
        CHECK_EQ(guest::unloadModule("sim_fault"), 0);
        CHECK(guest::hasRecord(log, 3, c.line));
        CHECK_EQ(programmed("ptp", kPtpWrites), c.nth != 1);
        CHECK_EQ(readReg("bts", 0) == 0x5A5A000010000841ULL, c.nth != 2);
        CHECK_EQ(programmed("gpio", kGpioWrites), c.nth != 3);
    }
    CHECK_EQ(guest::readNumber(kSoc + "ptp/refs"), ptpRefs);
    CHECK_EQ(guest::readNumber(kSoc + "gpio/refs"), gpioRefs);
    CHECK_EQ(guest::unloadModule("kv_ptp"), 0);
    const long long kTaintDieOrWarn = 1 << 7 | 1 << 9;
    CHECK_EQ(guest::readNumber("/proc/sys/kernel/tainted") & kTaintDieOrWarn, 0);
}

int main()
{
    return guest::runAll();
}
