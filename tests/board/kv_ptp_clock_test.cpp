// kv_ptp's clock set-up (ioctl 0x124) on the simulated board: the PTP and
// GPIO devices on the simulated SoC's PCI bus and the BTS block, with their
// registers read and preset through the simulation's debugfs files.
#include <linux/capability.h>
#include <sys/wait.h>

#include <map>

#include "kv_ptp_support.h"

namespace {

using Registers = std::map<unsigned, uint64_t>;

// The values the set-up writes whole, by block.
const Registers kPtpWrites = {{0xF18, 0x0000000100690690ULL},
                              {0xF50, 0},
                              {0xF58, 0},
                              {0xF60, 0x1DCD650000000000ULL},
                              {0xF68, 0x1DCD650000000000ULL}};
const Registers kGpioWrites = {{0x4D0, 0x5060000}, {0x4D8, 0x2510000}};

// Ioctl 0x124 on kv_ptp0: 0 or -errno.
long clockSetup(unsigned long arg = 0)
{
    return kvptp::queryOn(0, KV_PTP_IOCTL_CLOCK_SETUP, reinterpret_cast<const void *>(arg));
}

bool programmed(const char *block, const Registers &writes)
{
    for (const auto &w : writes)
        if (board::soc::readReg(block, w.first) != w.second)
            return false;
    return true;
}

// Mappings made by ioremap and not yet undone.
int ioremapCount()
{
    std::string info = board::readText("/proc/vmallocinfo");
    int count = 0;
    for (size_t at = 0; (at = info.find(" ioremap\n", at)) != std::string::npos; ++at)
        ++count;
    return count;
}

// Takes capability @cap away from this process, effective and permitted alike.
bool dropCapability(int cap)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[cap / 32].effective &= ~(1U << (cap % 32));
    data[cap / 32].permitted &= ~(1U << (cap % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

using board::soc::fill;
using board::soc::readReg;
using board::soc::snapshot;
using board::soc::writeReg;

TEST_F(Loaded, read_modify_write_keeps_the_other_bits)
{
    struct Case {
        uint64_t ptpBefore, ptpAfter, btsBefore, btsAfter;
    } cases[] = {
        {0, 0x107, 0, 0x10000841},
        {0xFFFF, 0x307, ~0ULL, 0xFFFFFFFEDFE3FE41ULL},
        {~0ULL, 0xFFFFFFFFFFFF0307ULL, 0x0000000100000000ULL, 0x10000841},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(writeReg("ptp", 0xF00, c.ptpBefore) && writeReg("bts", 0, c.btsBefore));
        EXPECT_EQ(0, clockSetup());
        EXPECT_EQ(c.ptpAfter, readReg("ptp", 0xF00));
        EXPECT_EQ(c.btsAfter, readReg("bts", 0));
    }
}

TEST_F(Loaded, only_the_documented_registers_change_and_twice_is_once)
{
    const char *blocks[] = {"ptp", "bts", "gpio"};
    std::map<std::string, std::vector<uint64_t>> before, once;
    for (const char *block : blocks) {
        ASSERT_TRUE(fill(block));
        before[block] = snapshot(block);
    }
    EXPECT_EQ(0, clockSetup());
    EXPECT_TRUE(programmed("ptp", kPtpWrites));
    EXPECT_TRUE(programmed("gpio", kGpioWrites));
    Registers changed = kPtpWrites;
    changed[0xF00] = 0;
    for (const char *block : blocks) {
        once[block] = snapshot(block);
        for (size_t i = 0; i < once[block].size(); ++i) {
            bool written = std::string(block) == "bts"   ? i == 0
                           : std::string(block) == "ptp" ? changed.count(i * 8) != 0
                                                         : kGpioWrites.count(i * 8) != 0;
            char what[64];
            std::snprintf(what, sizeof(what), "%s register 0x%zX changed", block, i * 8);
            if (!written && once[block][i] != before[block][i])
                ADD_FAILURE(what);
        }
    }
    EXPECT_EQ(0, clockSetup());
    for (const char *block : blocks)
        EXPECT_TRUE(snapshot(block) == once[block]);
}

// Re-clocking the SoC is for whoever may set the clock; reading PPS times
// is for every opener of a node.
TEST_F(Loaded, setup_asks_for_cap_sys_time_and_the_pps_query_does_not)
{
    std::map<std::string, std::vector<uint64_t>> before;
    for (const char *block : {"ptp", "bts", "gpio"}) {
        ASSERT_TRUE(fill(block));
        before[block] = snapshot(block);
    }
    int log_fd = board::kmsgOpen();
    pid_t child = fork();
    ASSERT_TRUE(child >= 0);
    if (child == 0) {
        if (!dropCapability(CAP_SYS_TIME))
            _exit(3);
        _exit(clockSetup() != -EPERM ? 1 : !kvptp::answersCorrectly(0) ? 2 : 0);
    }
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_EQ(0, status); // 1: set-up not refused, 2: query refused, 3: no drop
    for (const board::LogRecord &r : board::kmsgTake(log_fd))
        if (r.text.rfind("kv_ptp", 0) == 0)
            ADD_FAILURE("a refused set-up logged: " + r.text);
    for (const auto &block : before)
        EXPECT_TRUE(snapshot(block.first.c_str()) == block.second);
    EXPECT_EQ(0, clockSetup());
}

TEST_F(Loaded, log_lines_come_in_the_written_order_and_any_argument_will_do)
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
        ASSERT_TRUE(writeReg("ptp", 0xF00, 0) && writeReg("bts", 0, 0));
        int log_fd = board::kmsgOpen();
        EXPECT_EQ(0, clockSetup(arg));
        std::vector<board::LogRecord> lines;
        for (const board::LogRecord &r : board::kmsgTake(log_fd))
            if (r.text.rfind("kv_ptp", 0) == 0)
                lines.push_back(r);
        EXPECT_EQ(expected.size(), lines.size());
        for (size_t i = 0; i < lines.size() && i < expected.size(); ++i) {
            bool address = expected[i].back() == '='; // followed by a hashed pointer
            EXPECT_EQ(6, lines[i].level);
            if (address)
                EXPECT_TRUE(lines[i].text.rfind(expected[i], 0) == 0 && lines[i].text.size() > expected[i].size());
            else
                EXPECT_EQ(expected[i], lines[i].text);
        }
    }
}

TEST_F(Loaded, no_mapping_or_device_reference_outlives_a_call)
{
    long long ptpRefs = board::soc::refs("ptp");
    long long gpioRefs = board::soc::refs("gpio");
    int mappings = ioremapCount();
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(0, clockSetup());
    EXPECT_EQ(ptpRefs, board::soc::refs("ptp"));
    EXPECT_EQ(gpioRefs, board::soc::refs("gpio"));
    EXPECT_EQ(mappings, ioremapCount());
}

// The remaining blocks are programmed all the same, but the failure is the result.
// The simulated SoC's bus is PCI domain 0001 on every kernel, and comes up
// without an error of the PCI core.
TEST_F(Loaded, a_missing_device_fails_the_command_after_all_blocks_ran)
{
    struct Case {
        const char *params;
        const char *missing;
        const char *present;
        const char *line;
        const char *missing_slot;
        const char *present_slot;
        const char *present_id;
    } cases[] = {
        {"ptp=0", "ptp", "gpio", "kv_ptp:Error PCI device not found, PTP[Vendor=0x177D,Dev_id=0xA00C]", "0001:00:00.0",
         "0001:00:01.0", "0xa00a\n"},
        {"gpio=0", "gpio", "ptp", "kv_ptp:Error PCI device not found, PTP[Vendor=0x177D,Dev_id=0xA00A]", "0001:00:01.0",
         "0001:00:00.0", "0xa00c\n"},
    };
    const std::string pci = "/sys/bus/pci/devices/";
    for (const Case &c : cases) {
        int reload_log = board::kmsgOpen();
        ASSERT_EQ(0, board::soc::reload(c.params));
        for (const board::LogRecord &r : board::kmsgTake(reload_log))
            if (r.level <= 3)
                ADD_FAILURE("loading sim_soc logged: " + r.text);
        EXPECT_FALSE(board::soc::present(c.missing));
        EXPECT_FALSE(board::exists(pci + c.missing_slot));
        EXPECT_EQ(c.present_id, board::readText(pci + c.present_slot + "/device"));
        ASSERT_TRUE(fill(c.present) && fill("bts"));
        int log_fd = board::kmsgOpen();
        EXPECT_EQ(-ENODEV, clockSetup());
        auto log = board::kmsgTake(log_fd);
        EXPECT_TRUE(board::hasRecord(log, 3, c.line));
        EXPECT_EQ(0x5A5A000010000841ULL, readReg("bts", 0));
        EXPECT_TRUE(programmed(c.present, std::string(c.present) == "ptp" ? kPtpWrites : kGpioWrites));
    }
}

// Each mapping in turn fails; a clean unload and no warning at the end.
TEST_F(Loaded, a_failed_mapping_is_reported_and_the_other_blocks_still_run)
{
    struct Case {
        int nth; // which mapping of the command fails: PTP, BTS, GPIO
        int error;
        const char *line;
    } cases[] = {
        {1, ENODEV, "kv_ptp:Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00C]"},
        {2, ENOMEM, "kv_ptp: Error memory maping BTS module"},
        {3, ENODEV, "kv_ptp:Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00A]"},
    };
    long long ptpRefs = board::soc::refs("ptp");
    long long gpioRefs = board::soc::refs("gpio");
    for (const Case &c : cases) {
        for (const char *block : {"ptp", "bts", "gpio"})
            ASSERT_TRUE(fill(block));
        ASSERT_EQ(0, board::fault::arm("ioremap", c.nth, 0));
        int log_fd = board::kmsgOpen();
        EXPECT_EQ(-c.error, clockSetup());
        auto log = board::kmsgTake(log_fd);
        EXPECT_EQ(3, board::fault::hits());
        ASSERT_EQ(0, board::fault::disarm());
        EXPECT_TRUE(board::hasRecord(log, 3, c.line));
        EXPECT_EQ(c.nth != 1, programmed("ptp", kPtpWrites));
        EXPECT_EQ(c.nth != 2, readReg("bts", 0) == 0x5A5A000010000841ULL);
        EXPECT_EQ(c.nth != 3, programmed("gpio", kGpioWrites));
    }
    EXPECT_EQ(ptpRefs, board::soc::refs("ptp"));
    EXPECT_EQ(gpioRefs, board::soc::refs("gpio"));
    EXPECT_EQ(0, board::unloadModule("kv_ptp"));
    EXPECT_EQ(0, board::kernelTaint() & (board::kTaintDie | board::kTaintWarn));
}

int main(int argc, char **argv)
{
    return harness::runAll(argc, argv);
}
