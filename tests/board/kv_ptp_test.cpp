// kv_ptp on the simulated board: load and unload, the five device nodes,
// read and write, and the PPS time query against the simulated SoC driver.
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <climits>
#include <thread>

#include "guest_test.h"
#include "kvPtpAuxApi.h"

namespace {

const char* const kModule = "/lib/board/kv_ptp.ko";
const char* const kFaultModule = "/lib/board/tools/sim_fault.ko";
const std::string kSoc = "/sys/kernel/debug/sim_otx2_ptp/";
const int kNodes = 5;

std::string nodePath(int minor)
{
    return "/dev/kv_ptp" + std::to_string(minor);
}

// A record with recognisable clock id, padding and time fields.
kv_ptp_pps_time_ty makeRecord(clockid_t clock_id)
{
    kv_ptp_pps_time_ty record;
    std::memset(&record, 0x5A, sizeof(record));
    record.ptp_clk_id = clock_id;
    const uint32_t padding = 0xDEADBEEF;
    std::memcpy(reinterpret_cast<char*>(&record) + sizeof(clockid_t), &padding, sizeof(padding));
    return record;
}

// ioctl on a fresh descriptor of the given node; returns 0 or errno.
int queryOn(int minor, unsigned long cmd, void* arg)
{
    int fd = open(nodePath(minor).c_str(), O_RDWR);
    if (fd < 0)
        return -1;
    int result = ioctl(fd, cmd, arg) == 0 ? 0 : errno;
    close(fd);
    return result;
}

void setSoc(long long pps_ns, long long error = 0, long long ns_per_clock_id = 0)
{
    guest::writeNumber(kSoc + "pps_ns", pps_ns);
    guest::writeNumber(kSoc + "error", error);
    guest::writeNumber(kSoc + "ns_per_clock_id", ns_per_clock_id);
}

long long socCalls()
{
    return guest::readNumber(kSoc + "calls");
}

// The "kv_ptp [INFO]: " header and its message, as one record or two.
bool hasBanner(const std::vector<guest::LogRecord>& log, const std::string& message)
{
    const std::string header = "kv_ptp [INFO]: ";
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].level == 4 && log[i].text == header + message)
            return true;
        if (log[i].level == 4 && log[i].text == header && i + 1 < log.size() &&
            log[i + 1].level == 4 && log[i + 1].text == message)
            return true;
    }
    return false;
}

// Major number of the first load; later loads get the same one back, since
// dynamic majors are handed out from the top down.
unsigned loadedMajor = 0;

void checkNothingRegistered()
{
    for (int minor = 0; minor < kNodes; ++minor) {
        CHECK(!guest::exists(nodePath(minor)));
        // No cdev may be left behind for the old device numbers.
        const char* probe = "/dev/kv_ptp_probe";
        unlink(probe);
        CHECK_EQ(mknod(probe, S_IFCHR | 0600, makedev(loadedMajor, minor)), 0);
        CHECK_EQ(open(probe, O_RDWR), -1);
        CHECK_EQ(errno, ENXIO);
        unlink(probe);
    }
    CHECK(!guest::exists("/sys/class/kv_ptp"));
    CHECK(guest::readText("/proc/devices").find(" kv_ptp\n") == std::string::npos);
}

bool kernelHasDied()
{
    const long long kTaintDie = 1 << 7;
    return (guest::readNumber("/proc/sys/kernel/tainted") & kTaintDie) != 0;
}

}  // namespace

GUEST_TEST(load_logs_and_creates_five_nodes)
{
    int log_fd = guest::kmsgOpen();
    CHECK_EQ(guest::loadModule(kModule), 0);
    auto log = guest::kmsgTake(log_fd);

    CHECK(hasBanner(log, "Loading Dornvale PTP auxiliary driver - version 0.1 module "));
    int headers = 0;  // the version banner and the notice
    for (const guest::LogRecord& r : log)
        headers += r.text.rfind("kv_ptp [INFO]: ", 0) == 0;
    CHECK_EQ(headers, 2);
    CHECK(guest::hasRecord(log, 6, "kv_ptp: Successfully allocate char device region for device kv_ptp"));
    CHECK(guest::hasRecord(log, 6, "kv_ptp: Device class kv_ptp registered correctly"));
    CHECK(guest::hasRecord(log, 6, "kv_ptp: Devices created correctly"));
    CHECK(guest::readText("/sys/module/kv_ptp/version") == "0.1\n");

    struct stat first;
    CHECK_EQ(stat(nodePath(0).c_str(), &first), 0);
    for (int minor = 0; minor < kNodes; ++minor) {
        struct stat st;
        CHECK_EQ(stat(nodePath(minor).c_str(), &st), 0);
        CHECK(S_ISCHR(st.st_mode));
        CHECK_EQ(major(st.st_rdev), major(first.st_rdev));
        CHECK_EQ(minor(st.st_rdev), minor);
    }
    loadedMajor = major(first.st_rdev);
    std::string entry = "\n" + std::to_string(loadedMajor) + " kv_ptp\n";
    CHECK(guest::readText("/proc/devices").find(entry) != std::string::npos);
}

GUEST_TEST(read_and_write_do_nothing_for_any_count)
{
    static char buf[1 << 16];
    for (int minor = 0; minor < kNodes; ++minor) {
        int fd = open(nodePath(minor).c_str(), O_RDWR);
        CHECK(fd >= 0);
        for (size_t count : {size_t(0), size_t(1), size_t(24), sizeof(buf)}) {
            std::memset(buf, 0xA5, sizeof(buf));
            CHECK_EQ(read(fd, buf, count), 0);
            CHECK(buf[0] == char(0xA5) && std::memcmp(buf, buf + 1, sizeof(buf) - 1) == 0);
            CHECK_EQ(write(fd, buf, count), 0);
        }
        CHECK_EQ(syscall(SYS_write, fd, nullptr, 16), 0);  // the buffer is never read
        close(fd);
    }
}

GUEST_TEST(pps_query_converts_nanoseconds_and_keeps_the_rest)
{
    struct Case {
        long long ns, sec, nsec;
    } cases[] = {
        {1500000001LL, 1, 500000001},
        {0, 0, 0},
        {999999999LL, 0, 999999999},
        {LLONG_MAX, LLONG_MAX / 1000000000, LLONG_MAX % 1000000000},
    };
    for (const Case& c : cases) {
        setSoc(c.ns);
        kv_ptp_pps_time_ty record = makeRecord(5);
        kv_ptp_pps_time_ty expected = record;
        expected.pps_time.tv_sec = c.sec;
        expected.pps_time.tv_nsec = c.nsec;
        CHECK_EQ(queryOn(0, KV_PTP_IOCTL_PPS_TIME, &record), 0);
        CHECK_EQ(record.pps_time.tv_sec, c.sec);
        CHECK_EQ(record.pps_time.tv_nsec, c.nsec);
        CHECK(std::memcmp(&record, &expected, sizeof(record)) == 0);  // id and padding too
    }
    CHECK_EQ(guest::readNumber(kSoc + "last_clock_id"), 5);
}

GUEST_TEST(all_nodes_answer_alike)
{
    setSoc(7000000123LL);
    long long calls = socCalls();
    for (int minor = 0; minor < kNodes; ++minor) {
        kv_ptp_pps_time_ty record = makeRecord(2);
        CHECK_EQ(queryOn(minor, KV_PTP_IOCTL_PPS_TIME, &record), 0);
        CHECK_EQ(record.pps_time.tv_sec, 7);
        CHECK_EQ(record.pps_time.tv_nsec, 123);
        CHECK_EQ(queryOn(minor, 0x125, &record), EINVAL);
    }
    CHECK_EQ(socCalls() - calls, kNodes);
}

GUEST_TEST(clock_id_zero_is_refused_before_the_soc_is_asked)
{
    setSoc(1500000001LL);
    long long calls = socCalls();
    kv_ptp_pps_time_ty record = makeRecord(0);
    kv_ptp_pps_time_ty before = record;
    CHECK_EQ(queryOn(1, KV_PTP_IOCTL_PPS_TIME, &record), EINVAL);
    CHECK(std::memcmp(&record, &before, sizeof(record)) == 0);
    CHECK_EQ(socCalls(), calls);
}

GUEST_TEST(negative_clock_ids_reach_the_soc_unchanged)
{
    setSoc(42);
    for (clockid_t id : {clockid_t(-7), clockid_t(INT_MIN), clockid_t(INT_MAX)}) {
        kv_ptp_pps_time_ty record = makeRecord(id);
        CHECK_EQ(queryOn(2, KV_PTP_IOCTL_PPS_TIME, &record), 0);
        CHECK_EQ(guest::readNumber(kSoc + "last_clock_id"), id);
        CHECK_EQ(record.ptp_clk_id, id);
        CHECK_EQ(record.pps_time.tv_nsec, 42);
    }
}

GUEST_TEST(soc_errors_come_back_unchanged_and_leave_the_record_alone)
{
    int fd = open(nodePath(3).c_str(), O_RDWR);
    kv_ptp_pps_time_ty record = makeRecord(9);
    kv_ptp_pps_time_ty before = record;

    setSoc(1500000001LL, -19);
    CHECK_EQ(ioctl(fd, KV_PTP_IOCTL_PPS_TIME, &record), -1);
    CHECK_EQ(errno, 19);
    CHECK(std::memcmp(&record, &before, sizeof(record)) == 0);

    // A positive failure value is passed on as it is, not turned into an errno.
    setSoc(1500000001LL, 5);
    CHECK_EQ(syscall(SYS_ioctl, fd, KV_PTP_IOCTL_PPS_TIME, &record), 5);
    CHECK(std::memcmp(&record, &before, sizeof(record)) == 0);

    setSoc(0);
    close(fd);
}

GUEST_TEST(bad_record_addresses_fault_without_harm)
{
    setSoc(1500000001LL);
    long page = sysconf(_SC_PAGESIZE);
    char* pages = static_cast<char*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    CHECK(pages != MAP_FAILED);
    munmap(pages + page, page);  // the second page is now a hole

    long long calls = socCalls();
    CHECK_EQ(queryOn(0, KV_PTP_IOCTL_PPS_TIME, nullptr), EFAULT);
    CHECK_EQ(queryOn(0, KV_PTP_IOCTL_PPS_TIME, pages + page), EFAULT);
    // A record whose last 8 bytes run into the hole cannot be read whole.
    kv_ptp_pps_time_ty* straddling = reinterpret_cast<kv_ptp_pps_time_ty*>(pages + page - 16);
    straddling->ptp_clk_id = 4;
    CHECK_EQ(queryOn(0, KV_PTP_IOCTL_PPS_TIME, straddling), EFAULT);
    CHECK_EQ(socCalls(), calls);

    // Readable but not writable: the answer cannot be copied back.
    kv_ptp_pps_time_ty* readonly = reinterpret_cast<kv_ptp_pps_time_ty*>(pages);
    *readonly = makeRecord(4);
    kv_ptp_pps_time_ty before = *readonly;
    mprotect(pages, page, PROT_READ);
    CHECK_EQ(queryOn(0, KV_PTP_IOCTL_PPS_TIME, readonly), EFAULT);
    CHECK(std::memcmp(readonly, &before, sizeof(before)) == 0);
    munmap(pages, page);

    CHECK(!kernelHasDied());
}

GUEST_TEST(unknown_commands_are_refused_with_an_alert)
{
    kv_ptp_pps_time_ty record = makeRecord(1);
    const unsigned long encoded = _IOWR(0x01, 0x23, kv_ptp_pps_time_ty);
    struct Case {
        unsigned long cmd;
        const char* alert;
    } cases[] = {
        {0x125, "kv_ptp: Error unknown ioctl cmd 0x125"},
        {encoded, "kv_ptp: Error unknown ioctl cmd 0xC0180123"},
        {0xABCDEF, "kv_ptp: Error unknown ioctl cmd 0xABCDEF"},
    };
    for (const Case& c : cases) {
        int log_fd = guest::kmsgOpen();
        CHECK_EQ(queryOn(4, c.cmd, &record), EINVAL);
        auto log = guest::kmsgTake(log_fd);
        CHECK(guest::hasRecord(log, 1, c.alert));
    }
}

GUEST_TEST(concurrent_queries_each_get_their_own_answer)
{
    const int kThreads = 8, kRounds = 400;
    const long long kBase = 5000000000LL, kStep = 1000;
    setSoc(kBase, 0, kStep);
    long long calls = socCalls();
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            clockid_t id = t + 1;
            long long ns = kBase + id * kStep;
            int fd = open(nodePath(t % kNodes).c_str(), O_RDWR);
            for (int round = 0; round < kRounds; ++round) {
                kv_ptp_pps_time_ty record = makeRecord(id);
                if (ioctl(fd, KV_PTP_IOCTL_PPS_TIME, &record) != 0)
                    ++failed;
                else if (record.ptp_clk_id != id || record.pps_time.tv_sec != ns / 1000000000 ||
                         record.pps_time.tv_nsec != ns % 1000000000)
                    ++wrong;
            }
            close(fd);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    CHECK_EQ(failed.load(), 0);
    CHECK_EQ(wrong.load(), 0);
    CHECK_EQ(socCalls() - calls, kThreads * kRounds);
    setSoc(0);
}

GUEST_TEST(an_open_node_keeps_the_module_loaded)
{
    int fd = open(nodePath(4).c_str(), O_RDONLY);
    CHECK(fd >= 0);
    CHECK(guest::unloadModule("kv_ptp") != 0);
    CHECK(guest::exists(nodePath(0)));
    close(fd);
}

GUEST_TEST(unload_removes_everything_and_a_second_load_works)
{
    int log_fd = guest::kmsgOpen();
    CHECK_EQ(guest::unloadModule("kv_ptp"), 0);
    auto log = guest::kmsgTake(log_fd);
    CHECK(hasBanner(log, "Exiting Dornvale PTP auxiliary driver - version 0.1 module "));
    checkNothingRegistered();

    CHECK_EQ(guest::loadModule(kModule), 0);
    setSoc(1500000001LL);
    kv_ptp_pps_time_ty record = makeRecord(3);
    CHECK_EQ(queryOn(4, KV_PTP_IOCTL_PPS_TIME, &record), 0);
    CHECK_EQ(record.pps_time.tv_nsec, 500000001);
}

// Each load step in turn is made to fail once; the load must fail with that
// error, say so, and leave nothing registered, so that the next load works.
GUEST_TEST(a_failed_load_undoes_everything)
{
    struct Case {
        const char* function;
        int nth, error;
        const char* alert;
    } cases[] = {
        {"alloc_chrdev_region", 1, EBUSY, "kv_ptp: Failed to allocate char device region, device=kv_ptp"},
        {"__class_create", 1, ENOMEM, "kv_ptp: Failed to register device class"},
        {"device_create", 1, ENOMEM, "kv_ptp: Failed to create device kv_ptp0"},
        {"device_create", 3, ENODEV, "kv_ptp: Failed to create device kv_ptp2"},
        {"cdev_add", 4, ENOMEM, "kv_ptp: Failed to add char device kv_ptp3"},
    };
    CHECK_EQ(guest::unloadModule("kv_ptp"), 0);
    for (const Case& c : cases) {
        std::printf("  failing call %d of %s\n", c.nth, c.function);
        std::string params = std::string("func=") + c.function + " nth=" + std::to_string(c.nth) +
                             " err=-" + std::to_string(c.error);
        CHECK_EQ(guest::loadModule(kFaultModule, params.c_str()), 0);
        int log_fd = guest::kmsgOpen();
        CHECK_EQ(guest::loadModule(kModule), c.error);
        auto log = guest::kmsgTake(log_fd);
        CHECK(guest::readNumber("/sys/kernel/debug/sim_fault/hits") >= c.nth);
        CHECK_EQ(guest::unloadModule("sim_fault"), 0);
        CHECK(guest::hasRecord(log, 1, c.alert));
        checkNothingRegistered();
    }
    CHECK_EQ(guest::loadModule(kModule), 0);
    for (int minor = 0; minor < kNodes; ++minor) {
        kv_ptp_pps_time_ty record = makeRecord(1);
        CHECK_EQ(queryOn(minor, KV_PTP_IOCTL_PPS_TIME, &record), 0);
    }
}

int main()
{
    return guest::runAll();
}
