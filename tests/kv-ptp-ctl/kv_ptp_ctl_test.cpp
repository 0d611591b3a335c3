// kv-ptp-ctl over a fake of its device seam: what it asks of the device for
// each command line, what it prints, and how each failure ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "kvPtpAuxApi.h"
#include "platform.h"

namespace {

constexpr int FAKE_FD = 7;

constexpr long long MS = 1000000;

// One device whatever the path; each call is logged, and any step may fail.
struct FakeDevice {
    std::vector<std::string> calls;
    int openErrno;   // nonzero: open fails with it
    int ioctlResult; // -1 fails with ioctlErrno
    int ioctlErrno;
    size_t failFrom;                     // ioctlResult from this 0x123 on, the ones before answer
    int closeErrno;                      // nonzero: close fails with it
    struct timespec answer;              // the time of 0x123
    std::vector<struct timespec> stamps; // else one a query, the last one repeating
    size_t queries;
    long long now;         // the monotonic clock; sleeps advance it
    long long lastStampAt; // when the last of the stamps was first answered
};
FakeDevice device;

struct CtlRun {
    int status;
    std::vector<std::string> calls;
    std::string out;
    std::string err;
};

CtlRun runCtl(std::vector<std::string> args)
{
    args.insert(args.begin(), "kv-ptp-ctl");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    device.calls.clear();
    device.queries = 0;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = runKvPtpCtl(static_cast<int>(args.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    return {status, device.calls, out, testing::internal::GetCapturedStderr()};
}

void resetDevice()
{
    device = FakeDevice{};
    device.answer = {1709798703, 5};
}

class KvPtpCtl : public testing::Test {
protected:
    void SetUp() override { resetDevice(); }
};

std::vector<std::string> session(const std::string &path, const std::string &ioctl)
{
    return {"open " + path + " O_RDWR", ioctl, "close"};
}

} // namespace

int ptpDeviceOpen(const char *path, int flags)
{
    device.calls.push_back(std::string("open ") + path + (flags == O_RDWR ? " O_RDWR" : " flags?"));
    errno = device.openErrno;
    return device.openErrno != 0 ? -1 : FAKE_FD;
}

int ptpDeviceIoctl(int fd, unsigned long request, void *argument)
{
    char call[64];
    snprintf(call, sizeof(call), "ioctl %d %#lx", fd, request);
    device.calls.push_back(call);
    int result = device.ioctlResult;
    if (request == KV_PTP_IOCTL_PPS_TIME) {
        auto *record = static_cast<kv_ptp_pps_time_ty *>(argument);
        device.calls.back() += " clock " + std::to_string(record->ptp_clk_id);
        size_t query = ++device.queries;
        if (query < device.failFrom)
            result = 0;
        if (query == device.stamps.size())
            device.lastStampAt = device.now;
        if (result == 0)
            record->pps_time =
                device.stamps.empty() ? device.answer : device.stamps[std::min(query, device.stamps.size()) - 1];
    }
    errno = device.ioctlErrno;
    return result;
}

long long ptpMonotonicNs()
{
    return device.now;
}

void ptpSleep(long long nanoseconds)
{
    device.now += nanoseconds;
    if (device.now > 3600000 * MS)
        std::abort(); // a watch that never ends
}

int ptpDeviceClose(int fd)
{
    device.calls.push_back(fd == FAKE_FD ? "close" : "close of another fd");
    errno = device.closeErrno;
    return device.closeErrno != 0 ? -1 : 0;
}

TEST_F(KvPtpCtl, CommandLinesThatAreGoodReachTheDeviceAsAsked)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> calls;
    } cases[] = {
        {{"setup"}, session("/dev/kv_ptp0", "ioctl 7 0x124")},
        {{"-d", "/dev/kv_ptp3", "setup"}, session("/dev/kv_ptp3", "ioctl 7 0x124")},
        {{"pps-time", "1"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock 1")},
        {{"pps-time", "010"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock 10")}, // decimal, not octal
        {{"pps-time", "0X1a"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock 26")},
        {{"pps-time", "2147483647"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock 2147483647")},
        // After the command a leading minus is a clock id, not an option.
        {{"pps-time", "-3"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock -3")},
        {{"pps-time", "-2147483648"}, session("/dev/kv_ptp0", "ioctl 7 0x123 clock -2147483648")},
    };
    for (const Case &c : cases) {
        CtlRun run = runCtl(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(0, run.status);
        EXPECT_EQ(c.calls, run.calls);
        EXPECT_EQ("", run.err);
    }
}

TEST_F(KvPtpCtl, UsageErrorsLeaveTheDeviceAloneAndSayWhatIsWrong)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no command"},
        {{"status"}, "unknown command 'status'"},
        {{"-x", "setup"}, "unknown option -x"},
        {{"-d"}, "option -d needs a device"},
        {{"setup", "1"}, "setup takes no operand"},
        {{"setup", "-d", "/dev/kv_ptp1"}, "setup takes no operand"}, // options come first
        {{"pps-time"}, "pps-time takes one clock id"},
        {{"pps-time", "1", "2"}, "pps-time takes one clock id"},
        {{"watch"}, "watch takes one clock id"},
        {{"watch", "1", "-c", "2"}, "watch takes one clock id"},
        {{"watch", "-c"}, "option -c needs a count"},
        {{"watch", "-t"}, "option -t needs seconds"},
    };
    for (const Case &c : cases) {
        CtlRun run = runCtl(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(2, run.status);
        EXPECT_TRUE(run.calls.empty());
        EXPECT_EQ("", run.out);
        EXPECT_EQ("kv-ptp-ctl: " + c.message + "\nusage: kv-ptp-ctl [-d DEVICE] setup\n",
                  run.err.substr(0, run.err.find('\n', run.err.find('\n') + 1) + 1));
    }

    for (const char *id : {"0",          "-0",          "0x0",        "",           "abc",
                           "5x",         "1 ",          " 1",         "+1",         "--1",
                           "0x",         "0x-1",        "-0x",        "1.5",        "0b1",
                           "2147483648", "-2147483649", "0x80000000", "0xFFFFFFFF", "18446744073709551617"}) {
        for (const std::vector<std::string> &args : {std::vector<std::string>{"pps-time", id},
                                                     {"watch", "--", id},
                                                     {"watch", "-c", id, "1"},
                                                     {"watch", "-t", id, "1"}}) {
            CtlRun run = runCtl(args);
            SCOPED_TRACE(testing::PrintToString(args));
            std::string what = args[1] == "-c" ? "count" : args[1] == "-t" ? "seconds" : "clock id";
            EXPECT_EQ(2, run.status);
            EXPECT_TRUE(run.calls.empty());
            EXPECT_EQ(0u, run.err.find("kv-ptp-ctl: bad " + what + " '" + id + "'\nusage:"));
        }
    }
}

TEST_F(KvPtpCtl, HelpGoesToStandardOutput)
{
    CtlRun run = runCtl({"-h"});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(0u, run.out.find("usage: kv-ptp-ctl [-d DEVICE] setup\n"));
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(run.calls.empty());
}

TEST_F(KvPtpCtl, PpsTimeIsOneLineOfSecondsAndNineDigitNanoseconds)
{
    struct Case {
        struct timespec answer;
        const char *line;
    } cases[] = {
        {{0, 0}, "0.000000000\n"},
        {{1, 5}, "1.000000005\n"},
        {{1709798703, 999999999}, "1709798703.999999999\n"},
        {{18446744073, 709551615}, "18446744073.709551615\n"}, // the most a u64 count of ns gives
    };
    for (const Case &c : cases) {
        device.answer = c.answer;
        CtlRun run = runCtl({"pps-time", "1"});
        EXPECT_EQ(0, run.status);
        EXPECT_EQ(c.line, run.out);
    }

    CtlRun run = runCtl({"-d", "/dev/kv_ptp2", "setup"});
    EXPECT_EQ("/dev/kv_ptp2: clock set up\n", run.out);
}

// Every failure names the device and the errno of the step that failed,
// prints nothing on standard output, and closes what was opened.
TEST_F(KvPtpCtl, DeviceFailuresEndWithStatusOneAndTheirReason)
{
    const std::string PREFIX = "kv-ptp-ctl: /dev/kv_ptp1: ";
    const std::string SETUP = "clock set-up (ioctl 0x124) failed: ";
    const std::string QUERY = "PPS time query (ioctl 0x123) failed: ";
    struct Case {
        const char *command;
        int openErrno, ioctlResult, ioctlErrno, closeErrno;
        std::string err;
        size_t calls;
    } cases[] = {
        {"setup", ENOENT, 0, 0, 0, PREFIX + "open failed: No such file or directory\n", 1},
        {"pps-time", EACCES, 0, 0, 0, PREFIX + "open failed: Permission denied\n", 1},
        {"setup", 0, -1, ENODEV, 0, PREFIX + SETUP + "No such device\n", 3},
        {"pps-time", 0, -1, EINVAL, 0, PREFIX + QUERY + "Invalid argument\n", 3},
        // The SoC driver's positive result leaves the record unwritten.
        {"pps-time", 0, 5, 0, 0, PREFIX + QUERY + "ioctl returned 5\n", 3},
        {"pps-time", 0, 0, 0, EIO, PREFIX + "close failed: Input/output error\n", 3},
        {"watch", ENOENT, 0, 0, 0, PREFIX + "open failed: No such file or directory\n", 1},
        {"watch", 0, -1, EINVAL, 0, PREFIX + QUERY + "Invalid argument\n", 3},
        // Each failure is told with its own errno.
        {"setup", 0, -1, ENODEV, EIO,
         PREFIX + SETUP + "No such device\n" + PREFIX + "close failed: Input/output error\n", 3},
    };
    for (const Case &c : cases) {
        resetDevice();
        device.openErrno = c.openErrno;
        device.ioctlResult = c.ioctlResult;
        device.ioctlErrno = c.ioctlErrno;
        device.closeErrno = c.closeErrno;
        std::vector<std::string> args = {"-d", "/dev/kv_ptp1", c.command};
        if (std::string(c.command) != "setup")
            args.push_back("1");
        CtlRun run = runCtl(args);
        SCOPED_TRACE(c.err);
        EXPECT_EQ(1, run.status);
        EXPECT_EQ(c.err, run.err);
        EXPECT_EQ("", run.out);
        ASSERT_EQ(c.calls, run.calls.size());
        EXPECT_EQ(c.calls == 1 ? "open /dev/kv_ptp1 O_RDWR" : "close", run.calls.back());
    }
}

// The first stamp is the edge before the watch: each later new one is a
// line, after a line for the edges its interval skips.
TEST_F(KvPtpCtl, WatchPrintsEachNewEdgeUntilItsCountOrATimeLimit)
{
    struct Case {
        std::vector<std::string> args;
        std::vector<struct timespec> stamps;
        size_t failFrom; // the first query to fail with EIO, or 0
        int status;
        std::string out, err;
        int timeout; // seconds after the last new stamp the run ends, or 0
    } cases[] = {
        {{"watch", "-c", "2", "1"},
         {{5, 999700000}, {5, 999700000}, {6, 999700000}, {7, 999700000}},
         0,
         0,
         "6.999700000 +1.000000000\n7.999700000 +1.000000000\n",
         "",
         0},
        // Skipped edges from over 1.5 s on, rounded half up; a negative
        // clock id ends the options.
        {{"watch", "-c4", "-3"},
         {{0, 0}, {1, 500000000}, {3, 1}, {5, 500000000}, {8, 0}},
         0,
         0,
         "1.500000000 +1.500000000\nmissed 1 PPS edges\n3.000000001 +1.500000001\nmissed 1 PPS edges\n"
         "5.500000000 +2.499999999\nmissed 2 PPS edges\n8.000000000 +2.500000000\n",
         "",
         0},
        // Steps back skip nothing.
        {{"watch", "-c", "3", "1"},
         {{5, 999700000}, {6, 999700000}, {5, 699700100}, {3, 699700100}},
         0,
         0,
         "6.999700000 +1.000000000\n5.699700100 -1.299999900\n3.699700100 -2.000000000\n",
         "",
         0},
        {{"watch", "1"}, {{5, 0}}, 0, 1, "", "kv-ptp-ctl: /dev/kv_ptp0: clock 1: no new PPS edge in 3 s\n", 3},
        // The limit runs again from each edge.
        {{"-d", "/dev/kv_ptp2", "watch", "-t1", "--", "0x10"},
         {{1, 0}, {2, 0}},
         0,
         1,
         "2.000000000 +1.000000000\n",
         "kv-ptp-ctl: /dev/kv_ptp2: clock 16: no new PPS edge in 1 s\n",
         1},
        {{"watch", "1"},
         {{1, 0}, {2, 0}},
         3,
         1,
         "2.000000000 +1.000000000\n",
         "kv-ptp-ctl: /dev/kv_ptp0: PPS time query (ioctl 0x123) failed: Input/output error\n",
         0},
    };
    for (const Case &c : cases) {
        resetDevice();
        device.stamps = c.stamps;
        device.failFrom = c.failFrom;
        device.ioctlResult = c.failFrom != 0 ? -1 : 0;
        device.ioctlErrno = EIO;
        CtlRun run = runCtl(c.args);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(c.status, run.status);
        EXPECT_EQ(c.out, run.out);
        EXPECT_EQ(c.err, run.err);
        EXPECT_EQ("close", run.calls.back());
        if (c.timeout != 0) { // ended by the first query past the limit
            EXPECT_NEAR((c.timeout * 1000 + 50) * MS, device.now - device.lastStampAt, 50 * MS);
        }
    }
}

// In a death test's child: standard output onto /dev/full, fully buffered
// (0) or by the line as stdbuf -oL does (1), or onto a terminal that has
// hung up (2: every write fails with EIO, and glibc buffers it by the
// line); then the run's status as the exit status.
[[noreturn]] static void exitWithLostOutput(int output, std::vector<std::string> args)
{
    char slave[64];
    int master = output == 2 ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    bool lost = output == 2 ? master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
                                  ptsname_r(master, slave, sizeof(slave)) == 0 &&
                                  freopen(slave, "w", stdout) != nullptr && close(master) == 0
                            : freopen("/dev/full", "w", stdout) != nullptr &&
                                  (output == 0 || setvbuf(stdout, nullptr, _IOLBF, 0) == 0);
    if (!lost)
        std::_Exit(99);
    args.insert(args.begin(), "kv-ptp-ctl");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::exit(runKvPtpCtl(static_cast<int>(args.size()), argv.data()));
}

// A line that cannot be written is a failure, however standard output is
// buffered: a script would read no time. It is told once, with the errno
// of the write that lost it; a watch ends at once.
TEST_F(KvPtpCtl, OutputThatCannotBeWrittenEndsWithStatusOne)
{
    const char *const reasons[] = {"No space left on device", "No space left on device", "Input/output error"};
    const std::vector<std::string> commands[] = {{"-h"}, {"setup"}, {"pps-time", "1"}, {"watch", "1"}};
    for (int output = 0; output < 3; output++) {
        for (const std::vector<std::string> &args : commands) {
            SCOPED_TRACE(testing::PrintToString(args) + " to output " + std::to_string(output));
            resetDevice();
            device.stamps = {{1, 0}, {2, 0}};
            fflush(stdout);
            EXPECT_EXIT(exitWithLostOutput(output, args), testing::ExitedWithCode(1),
                        std::string("^kv-ptp-ctl: standard output: ") + reasons[output] + "\n$");
        }
    }
}
