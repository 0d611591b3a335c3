// The whole sender, main included, run as a program on the host simulation
// of its clock, PPS device and serial ports.
#include <gtest/gtest.h>

#include <string>
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

HalvernRun runHalvern(const std::vector<std::string> &args, const std::vector<std::string> &environment)
{
    ProgramRun run = runProgram(HALVERN_SIM_BINARY, "halvern", "HALVERN_SIM_REPORT", args, environment);
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

} // namespace
