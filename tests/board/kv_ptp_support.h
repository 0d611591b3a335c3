// What the kv_ptp suites share: the module's nodes, records that show what
// the module wrote, the raw result of its ioctls, what a load must register
// and an unload must take away again, and the two states a test starts from:
// kv_ptp loaded with the SoC answering kGoodNs (Loaded), or no kv_ptp at all
// (Unloaded). Either fixture's tear-down puts the simulation back as booted.
#pragma once

#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdint>

#include "harness.h"
#include "kvPtpAuxApi.h"

namespace kvptp {

constexpr int kNodes = 5;

inline std::string nodePath(int minor)
{
    return "/dev/kv_ptp" + std::to_string(minor);
}

// A record with recognisable clock id, padding and time fields.
inline kv_ptp_pps_time_ty makeRecord(clockid_t clockId, uint32_t padding = 0xDEADBEEF)
{
    kv_ptp_pps_time_ty record;
    std::memset(&record, 0x5A, sizeof(record));
    record.ptp_clk_id = clockId;
    std::memcpy(reinterpret_cast<char *>(&record) + sizeof(clockid_t), &padding, sizeof(padding));
    return record;
}

// An ioctl's raw result: 0, -errno, or a positive value the module passed on as it is.
inline long rawIoctl(int fd, unsigned long cmd, const void *arg)
{
    long result = syscall(SYS_ioctl, fd, cmd, arg);
    return result == -1 ? -errno : result;
}

// rawIoctl on a fresh descriptor of kv_ptp<minor>; INT_MIN when it cannot be opened.
inline long queryOn(int minor, unsigned long cmd, const void *arg)
{
    int fd = open(nodePath(minor).c_str(), O_RDWR);
    if (fd < 0)
        return INT_MIN;
    long result = rawIoctl(fd, cmd, arg);
    close(fd);
    return result;
}

// The SoC's time stamp whenever a test wants plain good answers: 1.500000001 s.
constexpr long long kGoodNs = 1500000001LL;

// One good query while the SoC answers kGoodNs: the module still answers.
inline bool answersCorrectly(int minor)
{
    kv_ptp_pps_time_ty record = makeRecord(1, 0);
    return queryOn(minor, KV_PTP_IOCTL_PPS_TIME, &record) == 0 && record.pps_time.tv_sec == 1 &&
           record.pps_time.tv_nsec == 500000001;
}

// The major of the loaded module's nodes; 0 when there is no kv_ptp0.
inline unsigned loadedMajor()
{
    struct stat st;
    return stat(nodePath(0).c_str(), &st) == 0 ? major(st.st_rdev) : 0;
}

// Prints each problem found; true when there were none, as in
// EXPECT_TRUE(clean(leftoversAfterUnload(major))).
inline bool clean(const std::vector<std::string> &problems)
{
    for (const std::string &problem : problems)
        std::printf("# %s\n", problem.c_str());
    return problems.empty();
}

// What a load must have registered: the five character nodes on major, and
// major in /proc/devices.
inline std::vector<std::string> registrationProblems(unsigned major)
{
    std::vector<std::string> problems;
    for (int minor = 0; minor < kNodes; ++minor) {
        struct stat st;
        if (stat(nodePath(minor).c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != major ||
            minor(st.st_rdev) != unsigned(minor))
            problems.push_back("no character node " + nodePath(minor) + " at " + std::to_string(major) + ":" +
                               std::to_string(minor));
    }
    if (board::readText("/proc/devices").find("\n" + std::to_string(major) + " kv_ptp\n") == std::string::npos)
        problems.push_back("no " + std::to_string(major) + " kv_ptp in /proc/devices");
    return problems;
}

// What an unload, or a failed load, must leave of a module whose nodes had
// major: nothing.
inline std::vector<std::string> leftoversAfterUnload(unsigned major)
{
    std::vector<std::string> left;
    for (int minor = 0; minor < kNodes; ++minor) {
        std::string sys = "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor);
        for (const std::string &path : {nodePath(minor), sys})
            if (board::exists(path))
                left.push_back(path + " left");
        // A cdev left behind would still be found for the old number.
        const char *probe = "/dev/kv_ptp_probe";
        unlink(probe);
        if (mknod(probe, S_IFCHR | 0600, makedev(major, minor)) != 0) {
            left.push_back("cannot make " + std::string(probe));
            continue;
        }
        int fd = open(probe, O_RDWR);
        if (fd >= 0 || errno != ENXIO)
            left.push_back("a cdev still serves minor " + std::to_string(minor));
        if (fd >= 0)
            close(fd);
        unlink(probe);
    }
    for (const char *path : {"/sys/class/kv_ptp", "/sys/module/kv_ptp"})
        if (board::exists(path))
            left.push_back(std::string(path) + " left");
    if (board::readText("/proc/devices").find(" kv_ptp\n") != std::string::npos)
        left.push_back("kv_ptp left in /proc/devices");
    return left;
}

// ---- records at the edges of the caller's mappings ----------------------------------

const long kPage = sysconf(_SC_PAGESIZE);
constexpr size_t kSize = sizeof(kv_ptp_pps_time_ty);
// How many bytes of a record lie in the page after its first one.
constexpr size_t kStraddles[] = {1, 8, 16, kSize - 1};

// Two pages filled with 0x77, so any record in them names clock 0x77777777;
// then given the protections first and second, or unmapped where -1.
inline char *twoPages(int first, int second)
{
    char *base =
        static_cast<char *>(mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_TRUE(base != MAP_FAILED);
    std::memset(base, 0x77, 2 * kPage);
    ASSERT_EQ(0, second < 0 ? munmap(base + kPage, kPage) : mprotect(base + kPage, kPage, second));
    ASSERT_EQ(0, mprotect(base, kPage, first));
    return base;
}

// A record with into of its bytes in the second of twoPages(first, second).
inline char *straddling(int first, int second, size_t into)
{
    return twoPages(first, second) + kPage - kSize + into;
}

// ---- the state a test starts from ---------------------------------------------------

// The simulation as booted: no sim_fault, the SoC answering 0 without
// errors, sim_soc with both of its PCI devices.
inline void restoreBoard()
{
    if (board::moduleLoaded("sim_fault"))
        EXPECT_EQ(0, board::fault::disarm());
    board::ptp::answer(0);
    if (!board::soc::present("ptp") || !board::soc::present("gpio"))
        EXPECT_EQ(0, board::soc::reload(""));
}

} // namespace kvptp

// kv_ptp loaded, the SoC answering kGoodNs.
FIXTURE(Loaded){};

[[maybe_unused]] FIXTURE_SETUP(Loaded)
{
    if (!board::moduleLoaded("kv_ptp"))
        ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    board::ptp::answer(kvptp::kGoodNs);
}

[[maybe_unused]] FIXTURE_TEARDOWN(Loaded)
{
    kvptp::restoreBoard();
}

// No kv_ptp; major is the one its nodes get: dynamic majors are handed out
// from the top down, so each load gets the same one back.
FIXTURE(Unloaded)
{
    unsigned major = 0;
};

[[maybe_unused]] FIXTURE_SETUP(Unloaded)
{
    if (!board::moduleLoaded("kv_ptp"))
        ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    self->major = kvptp::loadedMajor();
    ASSERT_TRUE(self->major != 0);
    ASSERT_EQ(0, board::unloadModule("kv_ptp"));
    board::ptp::answer(kvptp::kGoodNs);
}

[[maybe_unused]] FIXTURE_TEARDOWN(Unloaded)
{
    kvptp::restoreBoard();
}
