// kv_ptp on the simulated board: load and unload, the five device nodes,
// read and write, and the PPS time query against the simulated SoC driver.
#include <atomic>
#include <thread>

#include "kv_ptp_support.h"

using kvptp::kNodes;
using kvptp::makeRecord;
using kvptp::nodePath;
using kvptp::queryOn;

namespace {

// The "kv_ptp [INFO]: " header and its message, as one record or two.
bool hasBanner(const std::vector<board::LogRecord> &log, const std::string &message)
{
    const std::string header = "kv_ptp [INFO]: ";
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].level == 4 && log[i].text == header + message)
            return true;
        if (log[i].level == 4 && log[i].text == header && i + 1 < log.size() && log[i + 1].level == 4 &&
            log[i + 1].text == message)
            return true;
    }
    return false;
}

} // namespace

TEST_F(Unloaded, load_logs_and_creates_five_nodes)
{
    int log_fd = board::kmsgOpen();
    ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    auto log = board::kmsgTake(log_fd);

    EXPECT_TRUE(hasBanner(log, "Loading Dornvale PTP auxiliary driver - version " TIMING_SUPPORT_VERSION " module "));
    int headers = 0; // the version banner and the notice
    for (const board::LogRecord &r : log)
        headers += r.text.rfind("kv_ptp [INFO]: ", 0) == 0;
    EXPECT_EQ(2, headers);
    EXPECT_TRUE(board::hasRecord(log, 6, "kv_ptp: Successfully allocate char device region for device kv_ptp"));
    EXPECT_TRUE(board::hasRecord(log, 6, "kv_ptp: Device class kv_ptp registered correctly"));
    EXPECT_TRUE(board::hasRecord(log, 6, "kv_ptp: Devices created correctly"));
    EXPECT_EQ(TIMING_SUPPORT_VERSION "\n", board::readText("/sys/module/kv_ptp/version"));
    EXPECT_TRUE(kvptp::clean(kvptp::registrationProblems(self->major)));
}

// A write that returned 0 would have writers that retry short writes spin
// for ever (a shell's echo into a node).
TEST_F(Loaded, read_finds_nothing_and_write_is_refused_for_any_count)
{
    static char buf[1 << 16];
    for (int minor = 0; minor < kNodes; ++minor) {
        int fd = open(nodePath(minor).c_str(), O_RDWR);
        ASSERT_TRUE(fd >= 0);
        for (size_t count : {size_t(0), size_t(1), size_t(24), sizeof(buf)}) {
            std::memset(buf, 0xA5, sizeof(buf));
            EXPECT_EQ(0, read(fd, buf, count));
            EXPECT_TRUE(buf[0] == char(0xA5) && std::memcmp(buf, buf + 1, sizeof(buf) - 1) == 0);
            errno = 0;
            EXPECT_EQ(-1, write(fd, buf, count));
            EXPECT_EQ(EINVAL, errno);
        }
        EXPECT_EQ(-1, syscall(SYS_write, fd, nullptr, 16)); // the buffer is never read
        EXPECT_EQ(EINVAL, errno);
        close(fd);
    }
}

TEST_F(Loaded, pps_query_converts_nanoseconds_and_keeps_the_rest)
{
    struct Case {
        long long ns, sec, nsec;
    } cases[] = {
        {1500000001LL, 1, 500000001},
        {0, 0, 0},
        {999999999LL, 0, 999999999},
        {LLONG_MAX, LLONG_MAX / 1000000000, LLONG_MAX % 1000000000},
    };
    for (const Case &c : cases) {
        board::ptp::answer(c.ns);
        kv_ptp_pps_time_ty record = makeRecord(5);
        kv_ptp_pps_time_ty expected = record;
        expected.pps_time.tv_sec = c.sec;
        expected.pps_time.tv_nsec = c.nsec;
        EXPECT_EQ(0, queryOn(0, KV_PTP_IOCTL_PPS_TIME, &record));
        EXPECT_EQ(c.sec, record.pps_time.tv_sec);
        EXPECT_EQ(c.nsec, record.pps_time.tv_nsec);
        EXPECT_TRUE(std::memcmp(&record, &expected, sizeof(record)) == 0); // id and padding too
    }
    EXPECT_EQ(5, board::ptp::lastClockId());
}

TEST_F(Loaded, all_nodes_answer_alike)
{
    board::ptp::answer(7000000123LL);
    long long calls = board::ptp::calls();
    for (int minor = 0; minor < kNodes; ++minor) {
        kv_ptp_pps_time_ty record = makeRecord(2);
        EXPECT_EQ(0, queryOn(minor, KV_PTP_IOCTL_PPS_TIME, &record));
        EXPECT_EQ(7, record.pps_time.tv_sec);
        EXPECT_EQ(123, record.pps_time.tv_nsec);
        EXPECT_EQ(-EINVAL, queryOn(minor, 0x125, &record));
    }
    EXPECT_EQ(kNodes, board::ptp::calls() - calls);
}

TEST_F(Loaded, clock_id_zero_is_refused_before_the_soc_is_asked)
{
    long long calls = board::ptp::calls();
    kv_ptp_pps_time_ty record = makeRecord(0);
    kv_ptp_pps_time_ty before = record;
    EXPECT_EQ(-EINVAL, queryOn(1, KV_PTP_IOCTL_PPS_TIME, &record));
    EXPECT_TRUE(std::memcmp(&record, &before, sizeof(record)) == 0);
    EXPECT_EQ(calls, board::ptp::calls());
}

TEST_F(Loaded, negative_clock_ids_reach_the_soc_unchanged)
{
    board::ptp::answer(42);
    for (clockid_t id : {clockid_t(-7), clockid_t(INT_MIN), clockid_t(INT_MAX)}) {
        kv_ptp_pps_time_ty record = makeRecord(id);
        EXPECT_EQ(0, queryOn(2, KV_PTP_IOCTL_PPS_TIME, &record));
        EXPECT_EQ(id, board::ptp::lastClockId());
        EXPECT_EQ(id, record.ptp_clk_id);
        EXPECT_EQ(42, record.pps_time.tv_nsec);
    }
}

TEST_F(Loaded, soc_errors_come_back_unchanged_and_leave_the_record_alone)
{
    kv_ptp_pps_time_ty record = makeRecord(9);
    kv_ptp_pps_time_ty before = record;

    board::ptp::failWith(-ENODEV);
    EXPECT_EQ(-ENODEV, queryOn(3, KV_PTP_IOCTL_PPS_TIME, &record));
    EXPECT_TRUE(std::memcmp(&record, &before, sizeof(record)) == 0);

    // A positive failure value is passed on as it is, not turned into an errno.
    board::ptp::failWith(5);
    EXPECT_EQ(5, queryOn(3, KV_PTP_IOCTL_PPS_TIME, &record));
    EXPECT_TRUE(std::memcmp(&record, &before, sizeof(record)) == 0);
}

TEST_F(Loaded, bad_record_addresses_fault_without_harm)
{
    const int rw = PROT_READ | PROT_WRITE;
    long long calls = board::ptp::calls();
    EXPECT_EQ(-EFAULT, queryOn(0, KV_PTP_IOCTL_PPS_TIME, nullptr));
    EXPECT_EQ(-EFAULT, queryOn(0, KV_PTP_IOCTL_PPS_TIME, kvptp::twoPages(rw, -1) + kvptp::kPage));
    // A record whose last 8 bytes run into a hole cannot be read whole.
    EXPECT_EQ(-EFAULT, queryOn(0, KV_PTP_IOCTL_PPS_TIME, kvptp::straddling(rw, -1, 8)));
    EXPECT_EQ(calls, board::ptp::calls());

    // Readable but not writable: the answer cannot be copied back.
    const char *readonly = kvptp::twoPages(PROT_READ, PROT_READ);
    std::vector<char> before(readonly, readonly + kvptp::kSize);
    EXPECT_EQ(-EFAULT, queryOn(0, KV_PTP_IOCTL_PPS_TIME, readonly));
    EXPECT_TRUE(std::memcmp(readonly, before.data(), before.size()) == 0);

    EXPECT_FALSE(board::kernelTaint() & board::kTaintDie);
}

TEST_F(Loaded, unknown_commands_are_refused_with_an_alert)
{
    kv_ptp_pps_time_ty record = makeRecord(1);
    const unsigned long encoded = _IOWR(0x01, 0x23, kv_ptp_pps_time_ty);
    struct Case {
        unsigned long cmd;
        const char *alert;
    } cases[] = {
        {0x125, "kv_ptp: Error unknown ioctl cmd 0x125"},
        {encoded, "kv_ptp: Error unknown ioctl cmd 0xC0180123"},
        {0xABCDEF, "kv_ptp: Error unknown ioctl cmd 0xABCDEF"},
    };
    for (const Case &c : cases) {
        int log_fd = board::kmsgOpen();
        EXPECT_EQ(-EINVAL, queryOn(4, c.cmd, &record));
        auto log = board::kmsgTake(log_fd);
        EXPECT_TRUE(board::hasRecord(log, 1, c.alert));
    }

    // Any opener may send them: a burst must not flood the console, 10
    // alerts in each 5 s window at most. The alerts above opened a window
    // the burst may end, and a slow kernel's burst opens more. The limit's
    // window is then waited out, so that later alerts show again.
    const int kBurst = 500;
    int log_fd = board::kmsgOpen();
    double start = board::monotonicMs();
    for (int i = 0; i < kBurst; ++i)
        EXPECT_EQ(-EINVAL, queryOn(i % kNodes, 0x125, &record));
    int windows = 2 + int((board::monotonicMs() - start) / 5000);
    int alerts = 0;
    for (const board::LogRecord &r : board::kmsgTake(log_fd))
        alerts += r.level == 1 && r.text == "kv_ptp: Error unknown ioctl cmd 0x125";
    std::printf("# %d alerts for %d unknown commands in %d rate-limit windows\n", alerts, kBurst, windows);
    EXPECT_TRUE(alerts >= 1 && alerts <= 10 * windows);
    sleep(6);
}

TEST_F(Loaded, concurrent_queries_each_get_their_own_answer)
{
    const int kThreads = 8, kRounds = 400;
    const long long kBase = 5000000000LL, kStep = 1000;
    board::ptp::answer(kBase, kStep);
    long long calls = board::ptp::calls();
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            clockid_t id = t + 1;
            long long ns = kBase + id * kStep;
            int fd = open(nodePath(t % kNodes).c_str(), O_RDWR);
            for (int round = 0; round < kRounds; ++round) {
                kv_ptp_pps_time_ty record = makeRecord(id);
                if (kvptp::rawIoctl(fd, KV_PTP_IOCTL_PPS_TIME, &record) != 0)
                    ++failed;
                else if (record.ptp_clk_id != id || record.pps_time.tv_sec != ns / 1000000000 ||
                         record.pps_time.tv_nsec != ns % 1000000000)
                    ++wrong;
            }
            close(fd);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(0, failed.load());
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(kThreads * kRounds, board::ptp::calls() - calls);
}

TEST_F(Loaded, an_open_node_keeps_the_module_loaded)
{
    int fd = open(nodePath(4).c_str(), O_RDONLY);
    ASSERT_TRUE(fd >= 0);
    EXPECT_TRUE(board::unloadModule("kv_ptp") != 0);
    EXPECT_TRUE(board::exists(nodePath(0)));
    close(fd);
}

TEST_F(Loaded, unload_removes_everything_and_a_second_load_works)
{
    unsigned major = kvptp::loadedMajor();
    ASSERT_TRUE(major != 0);
    int log_fd = board::kmsgOpen();
    ASSERT_EQ(0, board::unloadModule("kv_ptp"));
    auto log = board::kmsgTake(log_fd);
    EXPECT_TRUE(hasBanner(log, "Exiting Dornvale PTP auxiliary driver - version " TIMING_SUPPORT_VERSION " module "));
    EXPECT_TRUE(kvptp::clean(kvptp::leftoversAfterUnload(major)));

    ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    EXPECT_TRUE(kvptp::answersCorrectly(4));
}

// Each load step in turn is made to fail once; the load must fail with that
// error, say so, and leave nothing registered, so that the next load works.
TEST_F(Unloaded, a_failed_load_undoes_everything)
{
    struct Case {
        const char *function;
        int nth, error;
        const char *alert;
    } cases[] = {
        {"alloc_chrdev_region", 1, EBUSY, "kv_ptp: Failed to allocate char device region, device=kv_ptp"},
        {"__class_create", 1, ENOMEM, "kv_ptp: Failed to register device class"},
        {"device_create", 1, ENOMEM, "kv_ptp: Failed to create device kv_ptp0"},
        {"device_create", 3, ENODEV, "kv_ptp: Failed to create device kv_ptp2"},
        {"cdev_add", 4, ENOMEM, "kv_ptp: Failed to add char device kv_ptp3"},
    };
    for (const Case &c : cases) {
        std::printf("# failing call %d of %s\n", c.nth, c.function);
        ASSERT_EQ(0, board::fault::arm(c.function, c.nth, -c.error));
        int log_fd = board::kmsgOpen();
        ASSERT_EQ(c.error, board::loadModule(board::kKvPtpModule));
        auto log = board::kmsgTake(log_fd);
        EXPECT_TRUE(board::fault::hits() >= c.nth);
        ASSERT_EQ(0, board::fault::disarm());
        EXPECT_TRUE(board::hasRecord(log, 1, c.alert));
        EXPECT_TRUE(kvptp::clean(kvptp::leftoversAfterUnload(self->major)));
    }
    ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    for (int minor = 0; minor < kNodes; ++minor)
        EXPECT_TRUE(kvptp::answersCorrectly(minor));
}

int main(int argc, char **argv)
{
    return harness::runAll(argc, argv);
}
