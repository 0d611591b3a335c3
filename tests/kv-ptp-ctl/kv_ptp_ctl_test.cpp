// kv-ptp-ctl over a fake of its device seam: what it asks of the device for
// each command line, what it prints, and how each failure ends.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>

#include "commands.h"
#include "kvPtpAuxApi.h"
#include "platform.h"

namespace {

constexpr int FAKE_FD = 7;

// One device whatever the path; each call is logged, and any step may fail.
struct FakeDevice {
    std::vector<std::string> calls;
    int openErrno;    // nonzero: open fails with it
    int ioctlResult;  // -1 fails with ioctlErrno
    int ioctlErrno;
    int closeErrno;   // nonzero: close fails with it
    struct timespec answer; // the time of 0x123
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
    if (request == KV_PTP_IOCTL_PPS_TIME) {
        auto *record = static_cast<kv_ptp_pps_time_ty *>(argument);
        device.calls.back() += " clock " + std::to_string(record->ptp_clk_id);
        if (device.ioctlResult == 0)
            record->pps_time = device.answer;
    }
    errno = device.ioctlErrno;
    return device.ioctlResult;
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

    for (const char *id : {"0", "-0", "0x0", "", "abc", "5x", "1 ", " 1", "+1", "--1", "0x", "0x-1", "-0x",
                           "1.5", "0b1", "2147483648", "-2147483649", "0x80000000", "0xFFFFFFFF",
                           "18446744073709551617"}) {
        CtlRun run = runCtl({"pps-time", id});
        SCOPED_TRACE(std::string("clock id '") + id + "'");
        EXPECT_EQ(2, run.status);
        EXPECT_TRUE(run.calls.empty());
        EXPECT_EQ(0u, run.err.find(std::string("kv-ptp-ctl: bad clock id '") + id + "'\nusage:"));
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

    // A line that cannot be written is a failure: a script would read no time.
    char program[] = "kv-ptp-ctl", command[] = "pps-time", clock[] = "1";
    char *argv[] = {program, command, clock, nullptr};
    fflush(stdout);
    EXPECT_EXIT((freopen("/dev/full", "w", stdout), std::exit(runKvPtpCtl(3, argv))), testing::ExitedWithCode(1),
                "^kv-ptp-ctl: standard output: No space left on device\n$");
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
        if (std::string(c.command) == "pps-time")
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
