// The whole sender, main included, run as a program on the host simulation
// of its clock, PPS device and serial ports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
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
    } cases[] = {{"abc", "/dev/ttyS0", 1}, {"3", "/dev/ttyS3", 1}, {"5", "/dev/ttyS5", 255}, {"-1", "/dev/ttyS-1", 255}};
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
                  "\nmain: Error not write complete buffer, req_len=21,wr_len=10 [F:halvern,L:*]" +
                  ppsTrace(TOD[1]) + READ_ERROR + "\n\n",
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

// A clock that lags the pulse still names the pulse's second; a pulse too
// far from every whole second sends nothing and says how far.
TEST(Halvern, EachPpsIsLabelledWithTheNearestSecondOrHeldBackFarFromAny)
{
    HalvernRun run = runHalvern({}, {"HALVERN_SIM_CLOCK=1709798702.999800000", "HALVERN_SIM_PPS=pps,pps"});
    EXPECT_EQ(START + ppsTrace(TOD[0]) + ppsTrace(TOD[1]) + READ_ERROR + "\n\n", run.out);
    EXPECT_EQ(TOD[0] + TOD[1], run.ttyS2);

    for (const char *phase : {"+450.0", "-450.0"}) {
        std::string clock = phase[0] == '+' ? "1709798703.450000000" : "1709798703.550000000";
        run = runHalvern({}, {"HALVERN_SIM_CLOCK=" + clock, "HALVERN_SIM_PPS=pps,pps"});
        std::string held = "\nPPS Interrupt " +
                           reportOf(std::string("Error PPS at ") + phase +
                                    " ms from the nearest second of the system clock, no ToD sent");
        EXPECT_EQ(START + held + held + READ_ERROR + "\n\n", run.out) << phase;
        EXPECT_EQ("", run.ttyS2) << phase;
    }
}

// A glitch sends no second string for the same second; the reports of such
// pulses come at most once a second; a device that never blocks is broken.
TEST(Halvern, PpsTooSoonAreHeldBackAndADeviceThatNeverBlocksEndsTheLoop)
{
    std::string tooSoon = reportOf("Error 1 PPS less than 500 ms after the previous one, no ToD sent");
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps,pps+100,pps+100,pps+800,pps"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(START + ppsTrace(TOD[0]) + tooSoon + ppsTrace(TOD[1]) + tooSoon + ppsTrace(TOD[2]) + READ_ERROR +
                  "\n\n",
              run.out);
    EXPECT_EQ(TOD[0] + TOD[1] + TOD[2], run.ttyS2);

    run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps+0*20"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(START + ppsTrace(TOD[0]) + tooSoon +
                  reportOf("Error more than 10 PPS within one second, PPS device /dev/appint2 is broken") + "\n\n",
              run.out);
    EXPECT_EQ(TOD[0], run.ttyS2);
    EXPECT_NE(std::string::npos, run.events.find("read pps\nclose /dev/ttyS2\nclose /dev/appint2\n"));
}

// Silence is reported while halvern waits, once, when the device can be
// waited on; the gap when pulses come back, either way.
TEST(Halvern, SilenceIsReportedWhileWaitingAndTheGapOnceThePpsComeBack)
{
    std::string silence = reportOf("No PPS for 2 s, still waiting on /dev/appint2");
    std::string gap = reportOf("PPS back after 3.0 s, 2 PPS missed");
    const char *pps = "HALVERN_SIM_PPS=pps+3000,pps,pps+3000,pps";
    HalvernRun run = runHalvern({}, {CLOCK, pps});
    EXPECT_EQ(START + silence + ppsTrace(todAt(6)) + ppsTrace(todAt(7)) + silence + gap + ppsTrace(todAt(10)) +
                  ppsTrace(todAt(11)) + READ_ERROR + "\n\n",
              run.out);
    EXPECT_EQ(todAt(6) + todAt(7) + todAt(10) + todAt(11), run.ttyS2);
    EXPECT_NE(std::string::npos, run.events.find("open /dev/ttyS2 O_RDWR O_NOCTTY\nwait 2000 ms: timeout\nread pps"));

    run = runHalvern({}, {CLOCK, pps, "HALVERN_SIM_NOPOLL=1"});
    EXPECT_EQ(START + ppsTrace(todAt(6)) + ppsTrace(todAt(7)) + gap + ppsTrace(todAt(10)) + ppsTrace(todAt(11)) +
                  READ_ERROR + "\n\n",
              run.out);
}

// The strings go on whatever the kernel says of the clock; each change is
// said once.
TEST(Halvern, EachChangeOfTheClocksSynchronisationIsReportedOnce)
{
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps*5", "HALVERN_SIM_SYNC=0,0,1,1,eperm"});
    EXPECT_EQ(START + ppsTrace(todAt(3)) +
                  reportOf("The kernel calls the system clock unsynchronised, ToD strings go on") +
                  ppsTrace(todAt(4)) + ppsTrace(todAt(5)) +
                  reportOf("The kernel calls the system clock synchronised") + ppsTrace(todAt(6)) +
                  ppsTrace(todAt(7)) +
                  reportOf("Error asking the kernel whether the system clock is synchronised, "
                           "err=0x1[Operation not permitted]") +
                  READ_ERROR + "\n\n",
              run.out);
    EXPECT_EQ(todAt(3) + todAt(4) + todAt(5) + todAt(6) + todAt(7), run.ttyS2);
}

// A pipe that nobody reads fills after some 1,500 PPS of trace; the strings
// must still go out at every PPS after that.
TEST(Halvern, StandardOutputThatNobodyReadsNeverHoldsTheToDUp)
{
    std::string fifo = scratchPath("stalled-reader");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK); // held open, never read
    ASSERT_GE(reader, 0);
    HalvernRun run = runHalvern({}, {CLOCK, "HALVERN_SIM_PPS=pps*3000"}, fifo);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(3000u * TOD[0].size(), run.ttyS2.size());
    char start[64] = "";
    EXPECT_LT(0, read(reader, start, BANNER.size()));
    EXPECT_EQ(BANNER, std::string(start));
    close(reader);
}

} // namespace
