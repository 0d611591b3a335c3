// The kernel's own fault injection on kv_ptp's load and on command 0x124
// (a kernel with CONFIG_FAILSLAB, such as 5.4-debug): the task's fail-nth
// makes its nth slab allocation fail, for n = 1, 2, ... until a call makes
// fewer than n, so every allocation of the call fails once, in the module
// loader, in each registration step of the load (the region, the class, each
// cdev, each device node) and in each mapping of 0x124. After each failure
// nothing may be left behind and the next call must work; each step must
// have failed at least once: each test prints its steps ("# step NAME") and
// one line per injected failure, saying which step failed and what was left,
// and scripts/kernel-check.sh matches them up over all boots. init's leak
// scan and log check follow the run.
//
// One failure the kernel cannot undo: when adding a device node's own sysfs
// folder fails, 5.4's device_add() leaves the class's folder in
// /sys/devices/virtual behind (its error path looks that folder up through
// the device, whose parent kobject_add() has just cleared), and no device
// of a class of that name can be added again until reboot. The load sweep
// then stops, saying where to go on from after a reboot:
//   /checks/kv_ptp_faults [--from=N] [TEST...]
#include "kv_ptp_support.h"

#include <dirent.h>

namespace {

const char *const kFailNth = "/proc/thread-self/fail-nth";
const char *const kGlueFolder = "/sys/devices/virtual/kv_ptp";
int firstAllocation = 1; // --from

// Runs call() with the calling thread's nth slab allocation made to fail,
// and takes the kernel log it made; false when the call made fewer than nth
// allocations (no failure was injected). The test ends when fail-nth cannot
// be armed.
template <typename Call> bool withNthAllocationFailing(int nth, Call call, std::vector<board::LogRecord> *log)
{
    int log_fd = board::kmsgOpen();
    int fd = open(kFailNth, O_RDWR | O_CLOEXEC);
    ASSERT_TRUE(fd >= 0);
    std::string text = std::to_string(nth);
    ASSERT_EQ(ssize_t(text.size()), write(fd, text.data(), text.size()));
    call();
    char left[32] = {};
    bool injected = pread(fd, left, sizeof(left) - 1, 0) > 0 && std::atoi(left) == 0;
    (void)!pwrite(fd, "0", 1, 0);
    close(fd);
    *log = board::kmsgTake(log_fd);
    return injected;
}

// failslab counts the allocations that may sleep too, in every cache but
// kmemleak's own, whose failures kmemleak absorbs from a reserve (they would
// double the sweep and test nothing of kv_ptp's); its log line, not a stack
// trace, for each injected failure.
void setUpFailslab()
{
    ASSERT_TRUE(board::writeText("/sys/kernel/debug/failslab/ignore-gfp-wait", "N"));
    ASSERT_TRUE(board::writeText("/sys/kernel/debug/failslab/verbose", "1"));
    DIR *caches = opendir("/sys/kernel/slab");
    ASSERT_TRUE(caches != nullptr);
    while (dirent *cache = readdir(caches))
        if (cache->d_name[0] != '.' && std::string(cache->d_name) != "kmemleak_object")
            board::writeText(std::string("/sys/kernel/slab/") + cache->d_name + "/failslab", "1");
    closedir(caches);
    ASSERT_TRUE(board::writeText("/sys/kernel/debug/failslab/cache-filter", "Y"));
}

// A step of the call, known by the module's error record when it fails.
struct Step {
    const char *logText;
    const char *name;
};

void printSteps(const Step *steps, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        std::printf("# step %s\n", steps[i].name);
}

// The step whose error record the log holds, else fallback.
std::string stepOf(const std::vector<board::LogRecord> &log, const Step *steps, size_t count, const char *fallback)
{
    for (const board::LogRecord &record : log)
        for (size_t i = 0; i < count; ++i)
            if (record.text.find(steps[i].logText) != std::string::npos)
                return steps[i].name;
    return fallback;
}

const char *errorName(int error)
{
    return error == 0 ? "none (absorbed)" : strerrorname_np(error);
}

constexpr int kMostCalls = 2000;

} // namespace

TEST_TIMEOUT(every_failed_allocation_of_the_load_undoes_everything, 1200)
{
    ASSERT_TRUE(board::exists(kFailNth));
    setUpFailslab();
    // The load's steps in their order, one a line.
    // clang-format off
    static const Step steps[] = {
        {"Failed to allocate char device region", "region"},
        {"Failed to register device class", "class"},
        {"Failed to add char device kv_ptp0", "cdev 0"},
        {"Failed to add char device kv_ptp1", "cdev 1"},
        {"Failed to add char device kv_ptp2", "cdev 2"},
        {"Failed to add char device kv_ptp3", "cdev 3"},
        {"Failed to add char device kv_ptp4", "cdev 4"},
        {"Failed to create device kv_ptp0", "device node 0"},
        {"Failed to create device kv_ptp1", "device node 1"},
        {"Failed to create device kv_ptp2", "device node 2"},
        {"Failed to create device kv_ptp3", "device node 3"},
        {"Failed to create device kv_ptp4", "device node 4"},
    };
    // clang-format on
    printSteps(steps, std::size(steps));
    ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    unsigned major = kvptp::loadedMajor();
    ASSERT_EQ(0, board::unloadModule("kv_ptp"));

    int nth = firstAllocation;
    for (; nth <= kMostCalls; ++nth) {
        // Opened first: the file's own allocations are not the load's.
        int module = open(board::kKvPtpModule, O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(module >= 0);
        int error = 0;
        std::vector<board::LogRecord> log;
        bool injected = withNthAllocationFailing(
            nth, [&] { error = syscall(SYS_finit_module, module, "", 0) == 0 ? 0 : errno; }, &log);
        close(module);
        if (!injected) {
            EXPECT_EQ(0, error);
            break;
        }
        std::string step = error == 0 ? "none" : stepOf(log, steps, std::size(steps), "module loader");
        if (error == 0)
            EXPECT_EQ(0, board::unloadModule("kv_ptp"));
        if (error != 0 && board::exists(kGlueFolder)) {
            std::printf("# allocation %4d: %-14s failed with %-16s left: %s, the kernel's\n", nth, step.c_str(),
                        errorName(error), kGlueFolder);
            std::printf("# the load sweep goes on after a reboot with --from=%d\n", nth + 1);
            return;
        }
        auto left = kvptp::leftoversAfterUnload(major);
        std::printf("# allocation %4d: %-14s failed with %-16s left: %s\n", nth, step.c_str(), errorName(error),
                    left.empty() ? "nothing" : "");
        EXPECT_TRUE(kvptp::clean(left));
        // The next load works, on the same major.
        ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
        EXPECT_TRUE(kvptp::clean(kvptp::registrationProblems(major)));
        ASSERT_EQ(0, board::unloadModule("kv_ptp"));
    }
    std::printf("# the load makes %d slab allocations that can fail\n", nth - 1);
    EXPECT_TRUE(nth <= kMostCalls);
}

namespace {

// The ioremap mappings alive now, as /proc/vmallocinfo lists them.
int ioremapMappings()
{
    std::string info = board::readText("/proc/vmallocinfo");
    int count = 0;
    for (size_t at = info.find(" ioremap"); at != std::string::npos; at = info.find(" ioremap", at + 1))
        ++count;
    return count;
}

} // namespace

TEST_F_TIMEOUT(Loaded, every_failed_allocation_of_the_clock_setup_unmaps_what_it_mapped, 600)
{
    ASSERT_TRUE(board::exists(kFailNth));
    setUpFailslab();
    static const Step steps[] = {
        {"Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00C]", "PTP mapping"},
        {"Error memory maping BTS module", "BTS mapping"},
        {"Error memory mapping PCI device,[Vendor=0x177D,Dev_id=0xA00A]", "GPIO mapping"},
    };
    printSteps(steps, std::size(steps));
    int fd = open(kvptp::nodePath(0).c_str(), O_RDWR);
    ASSERT_TRUE(fd >= 0);
    int mappings = ioremapMappings();
    int nth = 1;
    for (; nth <= kMostCalls; ++nth) {
        long result = 0;
        std::vector<board::LogRecord> log;
        bool injected = withNthAllocationFailing(
            nth, [&] { result = kvptp::rawIoctl(fd, KV_PTP_IOCTL_CLOCK_SETUP, nullptr); }, &log);
        if (!injected) {
            EXPECT_EQ(0, result);
            break;
        }
        std::string step = result == 0 ? "none" : stepOf(log, steps, std::size(steps), "other");
        int left = ioremapMappings() - mappings;
        std::printf("# allocation %4d: %-14s failed with %-16s left: %s\n", nth, step.c_str(), errorName(int(-result)),
                    left == 0 ? "nothing" : "a mapping");
        EXPECT_EQ(0, left);
        EXPECT_EQ(0, kvptp::rawIoctl(fd, KV_PTP_IOCTL_CLOCK_SETUP, nullptr));
    }
    close(fd);
    std::printf("# 0x124 makes %d slab allocations that can fail\n", nth - 1);
    EXPECT_TRUE(nth <= kMostCalls);
}

int main(int argc, char **argv)
{
    std::vector<char *> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--from=", 7) == 0)
            firstAllocation = std::atoi(argv[i] + 7);
        else
            args.push_back(argv[i]);
    }
    return harness::runAll(int(args.size()), args.data());
}
