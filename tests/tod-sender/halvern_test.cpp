// The whole sender, main included, run as a program on the host simulation
// of its clock, PPS device and serial ports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_support.h"

namespace {

const std::string BANNER = "\n##############\n# ToD TEST\n##############";
const std::string READ_ERROR =
    "\nmain: Error reading PPS device, pps_fd=100,err=0x5[Input/output error] [F:halvern,L:*]";
// 08:05:03 UTC on 7 March 2024, and the seconds after it.
const char CLOCK[] = "HALVERN_SIM_CLOCK=1709798703.5";
const std::string TOD[] = {"T108050303072024Z0000", "T108050403072024Z0000", "T108050503072024Z0000"};

struct HalvernRun {
    int status;
    std::string out;    // with report line numbers as "L:*"
    std::string events; // the simulation's log
    std::string ttyS2;  // bytes that reached /dev/ttyS2
};

const std::string START = BANNER + "Using ttyS2 as UART to Kestle device\n";

HalvernRun runHalvern(const std::vector<std::string> &args, const std::vector<std::string> &environment,
                      const std::string &outPath = "")
{
    ProgramRun run = runProgram(HALVERN_SIM_BINARY, "halvern", "HALVERN_SIM_REPORT", args, environment, outPath);
    std::string report = run.report;
    size_t port = report.find("[port /dev/ttyS2]\n");
    std::string ttyS2;
    if (port != std::string::npos)
        ttyS2 = report.substr(port + 18, report.find('\n', port + 18) - port - 18);
    return {run.status, maskReportLines(run.out), report.substr(0, port), ttyS2};
}

std::string ppsTrace(const std::string &tod)
{
    return "\nPPS Interrupt (ToD:" + tod + ")\n";
}

std::string reportOf(const std::string &message)
{
    return "\nmain: " + message + " [F:halvern,L:*]";
}

// The T1 string of 08:05:SS on 7 March 2024.
std::string todAt(int second)
{
    char tod[32];
    snprintf(tod, sizeof(tod), "T10805%02d03072024Z0000", second);
    return tod;
}

TEST(Halvern, SendsOneT1StringPerPpsAndFailsWhenTheReadFails)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps,pps"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" + ppsTrace(TOD[0]) + ppsTrace(TOD[1]) + READ_ERROR +
                  "\n\n",
              run.out);
    EXPECT_EQ(TOD[0] + TOD[1], run.ttyS2);
    // The console is closed before the PPS device.
    EXPECT_NE(std::string::npos, run.events.find("read eio\nclose /dev/ttyS2\nclose /dev/appint2\n"));
}

TEST(Halvern, TtyIndexArgumentIsTakenAsGiven)
{
    struct Case {
        const char *arg;
        const char *port;
        int status;
    } cases[] = {
        {"abc", "/dev/ttyS0", 1}, {"3", "/dev/ttyS3", 1}, {"5", "/dev/ttyS5", 255}, {"-1", "/dev/ttyS-1", 255}};
    for (const Case &c : cases) {
        HalvernRun run = runHalvern({c.arg, "ignored"}, {CLOCK});
        EXPECT_EQ(c.status, run.status) << c.arg;
        EXPECT_NE(std::string::npos, run.events.find(std::string("open ") + c.port + " O_RDWR O_NOCTTY")) << c.arg;
        EXPECT_EQ(0u, run.out.find(BANNER + "Using ttyS" + (c.port + 9) + " as UART to Kestle device\n")) << c.arg;
        if (c.status == 255) {
            EXPECT_EQ(std::string("\nkvDeviceOpen: Error opening device ") + c.port +
                          ", err=0x2[No such file or directory] [F:halvern,L:*]"
                          "\nmain: Error opening ToD console device " +
                          c.port + " [F:halvern,L:*]\n\n",
                      run.out.substr(run.out.find('\n', BANNER.size()) + 1))
                << c.arg;
        }
    }
}

TEST(Halvern, WithoutThePpsDeviceTheSerialPortIsNeverOpened)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_MISSING=/dev/appint2"});
    EXPECT_EQ(255, run.status);
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" +
                  "\nkvDeviceOpen: Error opening device /dev/appint2, err=0x2[No such file or directory] "
                  "[F:halvern,L:*]\nmain: Error opening PPS device /dev/appint2 [F:halvern,L:*]\n\n",
              run.out);
    EXPECT_EQ(std::string::npos, run.events.find("ttyS"));

    // Nor any device when the board's setting for the wait is malformed.
    run = runHalvern({}, {CLOCK, "TOD_WAIT_SYNC=Yes"});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(START + reportOf("Error TOD_WAIT_SYNC is 'Yes': yes or no; no ToD sent") + "\n\n", run.out);
    EXPECT_EQ(std::string::npos, run.events.find("open"));
}

TEST(Halvern, AWrongLengthReadCostsOnlyThatEvent)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=short,pps"});
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" +
                  "\nmain: Error Wrong length for PPS interrupt read, len=1 [F:halvern,L:*]" + ppsTrace(TOD[1]) +
                  READ_ERROR + "\n\n",
              run.out);
    EXPECT_EQ(TOD[1], run.ttyS2);
}

// Each message reaches the receiver whole and once, however the port takes it.
TEST(Halvern, PartialWritesAreCompletedForTheSamePps)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps,pps", "HALVERN_SIM_WRITE=10,eintr,5,1"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(TOD[0] + TOD[1], run.ttyS2);
    EXPECT_EQ(std::string::npos, run.out.find("main: Error not write"));
    EXPECT_NE(std::string::npos, run.events.find("write 21: took 10\nwrite 11: eintr\nwrite 11: took 5\n"
                                                 "write 6: took 1\nwrite 5: took 5\nread pps\n"));
}

TEST(Halvern, AWriteWithoutProgressDropsTheRestOfThatMessageOnly)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps,pps", "HALVERN_SIM_WRITE=10,0"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" + ppsTrace(TOD[0]) +
                  "\nmain: Error not write complete buffer, req_len=21,wr_len=10 [F:halvern,L:*]" + ppsTrace(TOD[1]) +
                  READ_ERROR + "\n\n",
              run.out);
    EXPECT_EQ(TOD[0].substr(0, 10) + TOD[1], run.ttyS2);
}

TEST(Halvern, WriteTimeAndCloseErrorsEndTheLoopWithFailure)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps,pps", "HALVERN_SIM_WRITE=eio"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" + ppsTrace(TOD[0]) +
                  "\nmain: Error writing ToD console, con_fd=101,err=0x5[Input/output error] [F:halvern,L:*]\n\n",
              run.out);
    EXPECT_NE(std::string::npos, run.events.find("write 21: eio\nclose /dev/ttyS2\nclose /dev/appint2\n"));

    run = runHalvern({}, {"HALVERN_SIM_CLOCK=9223372036854775807", "HALVERN_SIM_PPS=pps,pps"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(BANNER + "Using ttyS2 as UART to Kestle device\n" +
                  "\nPPS Interrupt Oops.gmtime() returned an Error\n\nkvGetToDinT1Format: gmtime() returned an "
                  "Error..\n [F:halvern,L:*]\nmain: Error reading current time timestamp [F:halvern,L:*]\n\n",
              run.out);
    EXPECT_EQ("", run.ttyS2);

    run = runHalvern({}, {CLOCK, "HALVERN_SIM_FAIL=con_close,pps_close"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(READ_ERROR +
                  "\nkvDeviceClose: Error closing PPS device, fd=101,err=0x5[Input/output error] [F:halvern,L:*]"
                  "\nmain: Error closing ToD console device, con_fd=101,err=0x5[Input/output error] [F:halvern,L:*]"
                  "\nkvDeviceClose: Error closing PPS device, fd=100,err=0x5[Input/output error] [F:halvern,L:*]"
                  "\nmain: Error closing PPS device, pps_fd=100,err=0x5[Input/output error] [F:halvern,L:*]\n\n",
              run.out.substr(run.out.find("\nmain: Error reading")));
}

// The pulses and the clock as the field has them, each run to its read
// error: a clock that lags the pulse; pulses far from every whole second;
// a glitch (reports of pulses too soon come at most once a second); a
// device that never blocks, which is broken; silence, reported while
// halvern waits when the device can be waited on, and the gap after it
// either way; changes of the kernel's word on the clock.
TEST(Halvern, ThePulsesAndTheClockAsTheFieldHasThem)
{
    const std::string tooSoon = reportOf("Error 1 PPS less than 500 ms after the previous one, no ToD sent");
    const std::string silence = reportOf("No PPS for 2 s, still waiting on /dev/appint2");
    const std::string gap = reportOf("PPS back after 3.0 s, 2 PPS missed");
    const std::string quiet = "HALVERN_SIM_PPS=pps+3000,pps,pps+3000,pps";
    auto offPhase = [](const char *phase) {
        std::string held = "\nPPS Interrupt " + reportOf(std::string("Error PPS at ") + phase +
                                                         " ms from the nearest second of the system clock, "
                                                         "no ToD sent");
        return held + held;
    };
    struct Case {
        std::vector<std::string> environment;
        std::string out; // after the start, up to the read error
        std::string sent;
    } cases[] = {
        {{"HALVERN_SIM_CLOCK=1709798702.999800000", "HALVERN_SIM_PPS=pps,pps"},
         ppsTrace(TOD[0]) + ppsTrace(TOD[1]),
         TOD[0] + TOD[1]},
        {{"HALVERN_SIM_CLOCK=1709798703.450000000", "HALVERN_SIM_PPS=pps,pps"}, offPhase("+450.0"), ""},
        {{"HALVERN_SIM_CLOCK=1709798703.550000000", "HALVERN_SIM_PPS=pps,pps"}, offPhase("-450.0"), ""},
        {{CLOCK, "HALVERN_SIM_PPS=pps,pps+100,pps+100,pps+800,pps"},
         ppsTrace(TOD[0]) + tooSoon + ppsTrace(TOD[1]) + tooSoon + ppsTrace(TOD[2]),
         TOD[0] + TOD[1] + TOD[2]},
        {{CLOCK, "HALVERN_SIM_PPS=pps+0*20"},
         ppsTrace(TOD[0]) + tooSoon +
             reportOf("Error more than 10 PPS within one second, PPS device /dev/appint2 is broken"),
         TOD[0]},
        {{CLOCK, quiet},
         silence + ppsTrace(todAt(6)) + ppsTrace(todAt(7)) + silence + gap + ppsTrace(todAt(10)) + ppsTrace(todAt(11)),
         todAt(6) + todAt(7) + todAt(10) + todAt(11)},
        {{CLOCK, quiet, "HALVERN_SIM_NOPOLL=1"},
         ppsTrace(todAt(6)) + ppsTrace(todAt(7)) + gap + ppsTrace(todAt(10)) + ppsTrace(todAt(11)),
         todAt(6) + todAt(7) + todAt(10) + todAt(11)},
        {{CLOCK, "HALVERN_SIM_PPS=pps*4", "HALVERN_SIM_SYNC=0,0,1,eperm"},
         ppsTrace(todAt(3)) + reportOf("The kernel calls the system clock unsynchronised, ToD strings go on") +
             ppsTrace(todAt(4)) + ppsTrace(todAt(5)) + reportOf("The kernel calls the system clock synchronised") +
             ppsTrace(todAt(6)) +
             reportOf("Error asking the kernel whether the system clock is synchronised, "
                      "err=0x1[Operation not permitted]"),
         todAt(3) + todAt(4) + todAt(5) + todAt(6)},
        // Waiting for a synchronised clock: the first string at the first
        // pulse the kernel calls it synchronised at, and no wait after that.
        {{CLOCK, "HALVERN_SIM_PPS=pps*4", "HALVERN_SIM_SYNC=0,eperm,1,0", "TOD_WAIT_SYNC=yes"},
         reportOf("Waiting for the kernel to call the system clock synchronised, no ToD sent until then") +
             reportOf("Error asking the kernel whether the system clock is synchronised, "
                      "err=0x1[Operation not permitted]") +
             reportOf("The kernel calls the system clock synchronised") + ppsTrace(todAt(5)) +
             reportOf("The kernel calls the system clock unsynchronised, ToD strings go on") + ppsTrace(todAt(6)),
         todAt(5) + todAt(6)},
        {{CLOCK, "HALVERN_SIM_PPS=pps*2", "HALVERN_SIM_SYNC=0", "TOD_WAIT_SYNC=no"},
         ppsTrace(todAt(3)) + reportOf("The kernel calls the system clock unsynchronised, ToD strings go on") +
             ppsTrace(todAt(4)),
         todAt(3) + todAt(4)},
    };
    for (const Case &c : cases) {
        HalvernRun run = runHalvern({}, c.environment);
        bool broken = c.sent == TOD[0];
        EXPECT_EQ(1, run.status) << c.environment[1];
        EXPECT_EQ(START + c.out + (broken ? "" : READ_ERROR) + "\n\n", run.out) << c.environment[1];
        EXPECT_EQ(c.sent, run.ttyS2) << c.environment[1];
        if (broken) {
            EXPECT_NE(std::string::npos, run.events.find("read pps\nclose /dev/ttyS2\nclose /dev/appint2\n"));
        }
    }
}

// A pipe that nobody reads fills after some 1,500 PPS of trace; the strings
// must still go out at every PPS after that, and once the pipe is read
// again one report says how much trace was lost.
TEST(Halvern, StandardOutputThatNobodyReadsNeverHoldsTheToDUp)
{
    std::string fifo = scratchPath("stalled-reader");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string out;
    std::thread drain([&] { // nothing is read until the pipe is full and stays so; then all, to the end
        for (int queued = 0, before = -1; queued < 60000 || queued != before; usleep(100000)) {
            before = queued;
            ioctl(reader, FIONREAD, &queued);
        }
        char piece[4096];
        for (ssize_t n; (n = read(reader, piece, sizeof(piece))) != 0;)
            n > 0 ? out.append(piece, static_cast<size_t>(n)) : (usleep(1000), out);
    });
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps*3000,drained,pps"}, fifo);
    drain.join();
    close(reader);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(3002u * TOD[0].size(), run.ttyS2.size());
    EXPECT_EQ(0u, out.find(BANNER));
    std::string lost = " bytes of trace lost while standard output was blocked [F:halvern,L:*]";
    out = maskReportLines(out);
    size_t at = out.find(lost);
    ASSERT_NE(std::string::npos, at);
    size_t number = out.rfind("\nmain: ", at) + 7;
    EXPECT_LT(0, atoi(out.substr(number, at - number).c_str()));
    EXPECT_EQ(READ_ERROR + "\n\n", out.substr(out.size() - READ_ERROR.size() - 2));
}

} // namespace
