// kv_ptp under stress on the simulated board: many load/unload cycles,
// concurrent PPS time queries with answers known per call, and record
// addresses at the edges of the caller's mappings.
#include <atomic>
#include <chrono>
#include <thread>

#include "kv_ptp_support.h"

using kvptp::kNodes;
using kvptp::kPage;
using kvptp::kSize;
using kvptp::kStraddles;
using kvptp::makeRecord;
using kvptp::nodePath;
using kvptp::queryOn;
using kvptp::rawIoctl;
using kvptp::straddling;
using kvptp::twoPages;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Follows the kernel log from construction on, record by record, so that a
// long run cannot lose records to the ring buffer wrapping round.
class KernelLog {
public:
    KernelLog() : fd_(board::kmsgOpen()) {}
    ~KernelLog() { close(fd_); }

    void drain()
    {
        board::LogRecord record;
        for (int got; (got = board::kmsgNext(fd_, &record)) != 0;) {
            if (got < 0) {
                ++lost_;
                continue;
            }
            ++records_;
            if (isBad(record.level, record.text) && bad_.size() < 10)
                bad_.push_back(record.text);
        }
    }

    // Checks everything logged so far.
    void checkClean(const char *file, int line)
    {
        board::kmsgMark();
        drain();
        if (lost_)
            harness::fail(file, line, std::to_string(lost_) + " kernel log records lost");
        for (const std::string &text : bad_)
            harness::fail(file, line, "kernel log: " + text);
        if (board::kernelTaint() & board::kTaintDie)
            harness::fail(file, line, "the kernel has died (taint D)");
    }

    long long records() const { return records_; }

private:
    // Errors and worse, oops and warning traces, and any warning-level
    // record but kv_ptp's own banner (printk at the default level).
    static bool isBad(int level, const std::string &text)
    {
        for (const char *word : {"WARNING", "BUG", "Oops", "Call trace", "cut here", "Unable to handle",
                                 "Internal error", "refcount", "corruption", "leak"})
            if (text.find(word) != std::string::npos)
                return true;
        if (level <= 3)
            return true;
        // TCG stalls the virtual CPUs now and then; nothing to do with kv_ptp.
        if (level > 4 || text.rfind("hrtimer: interrupt took ", 0) == 0)
            return false;
        for (const char *banner :
             {"kv_ptp [INFO]: ", "Loading Dornvale ", "Exiting Dornvale ", "PPS time query (0x123)"})
            if (text.rfind(banner, 0) == 0)
                return false;
        return true;
    }

    int fd_;
    long long records_ = 0, lost_ = 0;
    std::vector<std::string> bad_;
};

#define EXPECT_LOG_CLEAN(log) (log).checkClean(__FILE__, __LINE__)

// Reports the first few problems of a long loop, counts all of them.
struct Problems {
    int count = 0;
    void operator()(long iteration, const std::string &what)
    {
        if (count++ < 10)
            std::printf("# #%ld: %s\n", iteration, what.c_str());
    }
};

} // namespace

// About 60 ms a cycle on 5.4, 120 ms on 6.1, 250 ms on 5.4-debug.
TEST_F_TIMEOUT(Unloaded, load_unload_cycles_leave_nothing_behind, 200)
{
    const int kCycles = board::checkedKernel() ? 100 : 1000;
    KernelLog log;
    Problems problem;
    auto start = std::chrono::steady_clock::now();
    int cycle = 0;
    for (; cycle < kCycles && problem.count < 10; ++cycle) {
        int error = board::loadModule(board::kKvPtpModule);
        if (error) {
            problem(cycle, "load failed: " + std::string(std::strerror(error)));
            break;
        }
        // A region leaked by an earlier cycle would push the major down.
        for (const std::string &what : kvptp::registrationProblems(self->major))
            problem(cycle, what + " after load");
        for (int minor = 0; minor < kNodes; ++minor)
            if (!kvptp::answersCorrectly(minor))
                problem(cycle, nodePath(minor) + " does not answer");

        error = board::unloadModule("kv_ptp");
        if (error) {
            problem(cycle, "unload failed: " + std::string(std::strerror(error)));
            break;
        }
        for (const std::string &what : kvptp::leftoversAfterUnload(self->major))
            problem(cycle, what + " after unload");
        log.drain();
    }
    double seconds = secondsSince(start);
    EXPECT_EQ(kCycles, cycle);
    EXPECT_EQ(0, problem.count);
    EXPECT_LOG_CLEAN(log);
    std::printf("# load/unload cycles: %d in %.1f s (%.1f ms each), %lld kernel log records read\n", cycle, seconds,
                1000 * seconds / (cycle ? cycle : 1), log.records());
}

TEST_F(Loaded, eight_threads_on_five_nodes_each_get_their_own_answer)
{
    const int kThreads = 8, kPerThread = 10000;
    // Each phase sets the SoC for the whole phase, so every answer is known
    // from the clock id alone: zero is refused by the module, multiples of
    // mod get the error, the others pps_ns + id * step.
    struct Phase {
        long long pps_ns, step, error;
        unsigned mod;
    } phases[] = {
        {1999999995LL, 1, -ENODEV, 3},                           // ids around 5 cross a second
        {0, 999999999LL, -EBUSY, 7},                             // negative ids: times before 0
        {LLONG_MAX - 2000000000LL, 1000000007LL, -ETIMEDOUT, 5}, // past 2^63: negative
        {123456789012345LL, 1000, 5, 4},                         // a positive result is passed on
    };
    const int kPhases = sizeof(phases) / sizeof(phases[0]);
    const int kRounds = kPerThread / kPhases;

    KernelLog log;
    int fds[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        // kv_ptp0..4, then two more opens of kv_ptp0 and 1; the last thread
        // shares the third one's open file.
        fds[t] = t == kThreads - 1 ? fds[2] : open(nodePath(t % kNodes).c_str(), O_RDWR);
        ASSERT_TRUE(fds[t] >= 0);
    }

    std::atomic<long long> done{0}, wrong{0}, refused{0}, soc_errors{0}, soc_asked{0}, reported{0};
    long long calls = board::ptp::calls();
    auto start = std::chrono::steady_clock::now();
    for (const Phase &phase : phases) {
        board::ptp::answer(phase.pps_ns, phase.step);
        board::ptp::failWith(phase.error, phase.mod);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                uint32_t rng = 0x9E3779B9u * (t + 1) ^ uint32_t(phase.pps_ns);
                auto next = [&rng] {
                    rng ^= rng << 13;
                    rng ^= rng >> 17;
                    rng ^= rng << 5;
                    return rng;
                };
                long long local_wrong = 0, local_refused = 0, local_errors = 0, local_asked = 0;
                for (int round = 0; round < kRounds; ++round) {
                    uint32_t pick = next();
                    clockid_t id;
                    // Extremes, small ids around the second boundary of the
                    // first phase, and ids from the whole range.
                    const clockid_t extremes[] = {0, INT_MIN, INT_MAX, -1};
                    if (pick % 16 < 4)
                        id = extremes[pick % 16];
                    else if (pick % 16 < 9)
                        id = int(pick >> 8) % 51 - 20;
                    else
                        id = clockid_t(next());
                    // Thread and round in the padding: a record mixed up with
                    // another call's would show.
                    kv_ptp_pps_time_ty record = makeRecord(id, uint32_t(t) << 24 | uint32_t(round));
                    kv_ptp_pps_time_ty expected = record;
                    long want = 0;
                    uint32_t magnitude = id < 0 ? 0u - uint32_t(id) : uint32_t(id);
                    local_asked += id != 0;
                    if (id == 0) {
                        want = -EINVAL;
                        ++local_refused;
                    } else if (phase.error && magnitude % phase.mod == 0) {
                        want = phase.error;
                        ++local_errors;
                    } else {
                        // The SoC's u64 sum, taken as signed and floored to
                        // whole seconds, so nanoseconds stay in 0..999999999.
                        int64_t ns = int64_t(uint64_t(phase.pps_ns) + uint64_t(int64_t(id)) * uint64_t(phase.step));
                        int64_t sec = ns / 1000000000, nsec = ns % 1000000000;
                        if (nsec < 0) {
                            --sec;
                            nsec += 1000000000;
                        }
                        expected.pps_time.tv_sec = sec;
                        expected.pps_time.tv_nsec = nsec;
                    }
                    long got = rawIoctl(fds[t], KV_PTP_IOCTL_PPS_TIME, &record);
                    if (got != want || std::memcmp(&record, &expected, sizeof(record)) != 0) {
                        ++local_wrong;
                        if (reported++ < 10)
                            std::printf("# thread %d round %d clock id %d: result %ld, %lld.%09lld s; "
                                        "expected %ld, %lld.%09lld s\n",
                                        t, round, id, got, (long long)record.pps_time.tv_sec,
                                        (long long)record.pps_time.tv_nsec, want, (long long)expected.pps_time.tv_sec,
                                        (long long)expected.pps_time.tv_nsec);
                    }
                }
                done += kRounds;
                wrong += local_wrong;
                refused += local_refused;
                soc_errors += local_errors;
                soc_asked += local_asked;
            });
        }
        for (std::thread &thread : threads)
            thread.join();
    }
    double seconds = secondsSince(start);
    for (int t = 0; t < kThreads - 1; ++t)
        close(fds[t]);

    EXPECT_EQ(kThreads * kPerThread, done.load());
    EXPECT_EQ(0, wrong.load());
    // Clock id 0 never reaches the SoC; every other call does, once.
    EXPECT_EQ(soc_asked.load(), board::ptp::calls() - calls);
    EXPECT_TRUE(refused.load() > 0 && soc_errors.load() > 0);
    EXPECT_LOG_CLEAN(log);
    std::printf("# ioctls 0x123: %lld by %d threads in %.1f s (%.0f per s): %lld refused (clock id 0), "
                "%lld SoC errors, %lld wrong answers\n",
                done.load(), kThreads, seconds, done.load() / seconds, refused.load(), soc_errors.load(), wrong.load());
}

TEST_F(Loaded, records_at_the_edges_of_mappings_fault_cleanly)
{
    const int kRounds = board::checkedKernel() ? 5 : 50;
    KernelLog log;
    const int rw = PROT_READ | PROT_WRITE;
    // A shared mapping of an empty file: the address is mapped, the page
    // behind it does not exist.
    const char *empty = "/tmp/kv_ptp_stress_empty";
    int file = open(empty, O_RDWR | O_CREAT | O_TRUNC, 0600);
    char *past_eof = static_cast<char *>(mmap(nullptr, kPage, rw, MAP_SHARED, file, 0));
    ASSERT_TRUE(past_eof != MAP_FAILED);

    struct Case {
        std::string what;
        const char *address;
        bool readable; // the record can be read, only not written back
    };
    std::vector<Case> cases = {
        {"null", nullptr, false},
        {"unmapped page", twoPages(rw, -1) + kPage, false},
        {"PROT_NONE page", twoPages(rw, PROT_NONE) + kPage, false},
        {"page past the end of a file", past_eof, false},
        {"kernel address", reinterpret_cast<const char *>(0xffff800008000000UL), false},
        {"record wrapping round the address space", reinterpret_cast<const char *>(-8L), false},
        {"read-only page", twoPages(PROT_READ, PROT_READ), true},
    };
    for (size_t into : kStraddles) {
        std::string tail = " page with " + std::to_string(into) + " of its bytes in it";
        cases.push_back({"record straddling into an unmapped" + tail, straddling(rw, -1, into), false});
        cases.push_back({"record straddling into a PROT_NONE" + tail, straddling(rw, PROT_NONE, into), false});
        cases.push_back({"record straddling into a read-only" + tail, straddling(rw, PROT_READ, into), true});
        cases.push_back({"read-only record straddling into a writable" + tail, straddling(PROT_READ, rw, into), true});
    }

    Problems problem;
    long ioctls = 0;
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < kRounds; ++round) {
        int minor = round % kNodes;
        for (const Case &c : cases) {
            long long calls = board::ptp::calls();
            long got = queryOn(minor, KV_PTP_IOCTL_PPS_TIME, c.address);
            calls = board::ptp::calls() - calls;
            if (got != -EFAULT)
                problem(round, "0x123, " + c.what + ": result " + std::to_string(got));
            if (calls != (c.readable ? 1 : 0))
                problem(round, "0x123, " + c.what + ": SoC asked " + std::to_string(calls) + " times");
            // 0x124 takes no record: any address does, none is touched.
            std::vector<char> seen;
            if (c.readable)
                seen.assign(c.address, c.address + kSize);
            got = queryOn(minor, KV_PTP_IOCTL_CLOCK_SETUP, c.address);
            if (got != 0)
                problem(round, "0x124, " + c.what + ": result " + std::to_string(got));
            if (c.readable && std::memcmp(seen.data(), c.address, kSize) != 0)
                problem(round, "0x124, " + c.what + ": the caller's memory changed");
            if (!kvptp::answersCorrectly(minor))
                problem(round, "no answer after " + c.what);
            ioctls += 3;
        }
        log.drain();
    }
    double seconds = secondsSince(start);
    EXPECT_EQ(0, problem.count);
    EXPECT_LOG_CLEAN(log);
    std::printf("# edge addresses: %zu cases x %d rounds, %ld ioctls in %.1f s\n", cases.size(), kRounds, ioctls,
                seconds);
    munmap(past_eof, kPage);
    close(file);
    unlink(empty);
}

// The module writes the caller's record only on success: a record partly in
// a read-only page must come back untouched along with EFAULT.
// A write-back that faults part way may have put part of the answer in
// place before the fault, like any copy to user memory; never anything else.
TEST_F(Loaded, a_failed_copy_back_writes_nothing_but_the_answer)
{
    kv_ptp_pps_time_ty answer = makeRecord(0x77777777, 0x77777777);
    answer.pps_time.tv_sec = 1;
    answer.pps_time.tv_nsec = 500000001;
    const char *answerBytes = reinterpret_cast<const char *>(&answer);
    for (int first : {PROT_READ | PROT_WRITE, PROT_READ}) {
        for (size_t into : kStraddles) {
            char *record = straddling(first, first ^ PROT_WRITE, into);
            std::vector<char> before(record, record + kSize);
            EXPECT_EQ(-EFAULT, queryOn(0, KV_PTP_IOCTL_PPS_TIME, record));
            for (size_t i = 0; i < kSize; ++i)
                if (record[i] != before[i] && (i < 8 || record[i] != answerBytes[i]))
                    ADD_FAILURE("byte " + std::to_string(i) + " of the record was garbled");
        }
    }
}

int main(int argc, char **argv)
{
    auto start = std::chrono::steady_clock::now();
    int status = harness::runAll(argc, argv);
    std::printf("# kv_ptp_stress: %.1f s in all\n", secondsSince(start));
    return status;
}
