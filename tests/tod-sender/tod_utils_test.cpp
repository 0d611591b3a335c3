// The ToD and device utilities on the simulated clock and device nodes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "pulse_check.h"
#include "test_support.h"
#include "tod_sim_platform.h"
#include "tod_utils.h"

namespace {

// Standard output of a call, with the report trailers' line numbers as "L:*".
template <typename Call> std::string outputOf(Call call)
{
    testing::internal::CaptureStdout();
    call();
    fflush(stdout);
    return maskReportLines(testing::internal::GetCapturedStdout());
}

class TodUtils : public testing::Test {
protected:
    void SetUp() override { todSimReset(); }
};

// The second nearest to the clock: a clock that lags the PPS by a hair
// still names the second the PPS marks.
TEST_F(TodUtils, T1StringIsTheNearestSecondTimeOfDayThenMonthDayYearZeroFilled)
{
    struct Case {
        int64_t seconds;
        long nanoseconds;
        const char *tod;
    } cases[] = {
        {1709798703, 499999999, "T108050303072024Z0000"},      // 08:05:03, 7 March 2024
        {1709798702, 500000000, "T108050303072024Z0000"},      // and half a second before
        {1709798702, 999800000, "T108050303072024Z0000"},      // and 200 us before
        {946684800, 0, "T100000001012000Z0000"},               // 00:00:00, 1 January 2000
        {253402300799, 0, "T123595912319999Z0000"},            // the last second of 9999
        {253402300800, 0, "T1000000010110000Z0000"},           // a fifth year digit moves the rest along
        {67767976233532800, 0, "T100000001012147483648Z0000"}, // a year beyond INT_MAX
    };
    for (const Case &c : cases) {
        todSimSetClock(c.seconds, c.nanoseconds);
        char tod[128];
        int result = 1;
        std::string out = outputOf([&] { result = kvGetToDinT1Format(tod, sizeof(tod)); });
        EXPECT_EQ(0, result);
        EXPECT_STREQ(c.tod, tod);
        EXPECT_EQ(std::string("(ToD:") + c.tod + ")\n", out);
    }
}

TEST_F(TodUtils, T1StringIsCutToTheBufferAndBadBuffersAreRefused)
{
    todSimSetClock(1709798703, 0);
    char tod[16];
    memset(tod, '#', sizeof(tod));
    int result = 1;
    std::string out = outputOf([&] { result = kvGetToDinT1Format(tod, 10); });
    EXPECT_EQ(0, result);
    EXPECT_STREQ("T10805030", tod);
    EXPECT_EQ('#', tod[10]);
    EXPECT_EQ("(ToD:T10805030)\n", out);

    out = outputOf([&] { result = kvGetToDinT1Format(tod, 0); });
    EXPECT_EQ(-1, result);
    EXPECT_NE(std::string::npos, out.find("kvGetToDinT1Format: Wrong input parameters"));
    EXPECT_EQ(-1, kvGetToDinT1Format(nullptr, 128));
}

TEST_F(TodUtils, FailedUtcConversionHasItsOwnReportAndLeavesTheBuffer)
{
    todSimSetClock(LLONG_MAX, 0);
    char tod[128] = "untouched";
    int result = 0;
    std::string out = outputOf([&] { result = kvGetToDinT1Format(tod, sizeof(tod)); });
    EXPECT_EQ(-1, result);
    EXPECT_STREQ("untouched", tod);
    EXPECT_EQ("Oops.gmtime() returned an Error\n\nkvGetToDinT1Format: gmtime() returned an Error..\n"
              " [F:halvern,L:*]",
              out);
}

TEST_F(TodUtils, CurrentTimestampIsAlignedToItsSecondAndTraced)
{
    todSimSetClock(100, 250000000);
    kvTimestamp ts{-1, -1};
    int result = 1;
    std::string out = outputOf([&] { result = kvGetCurTimestamp(&ts); });
    EXPECT_EQ(0, result);
    EXPECT_EQ(100, ts.seconds);
    EXPECT_EQ(0, ts.nanoseconds);
    EXPECT_EQ(" (100.250000000)  (PPS aligned==>100.000000000) ", out);

    todSimFail("clock");
    ts = {-1, -1};
    out = outputOf([&] { result = kvGetCurTimestamp(&ts); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(0, ts.seconds);
    EXPECT_EQ(0, ts.nanoseconds);
    EXPECT_EQ("\nkvGetCurTimestamp: Error reading current time, err=0x5[Input/output error] [F:halvern,L:*]", out);

    out = outputOf([&] { result = kvGetCurTimestamp(nullptr); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ("\nkvGetCurTimestamp: Wrong input parmeters, ts=(nil) [F:halvern,L:*]", out);
}

TEST_F(TodUtils, TimestampPacksIn48And32BitsInEitherOrder)
{
    const kvTimestamp ts{0x010203040506LL, 0x0A0B0C0D};
    const uint8_t msbFirst[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x0A, 0x0B, 0x0C, 0x0D};
    const uint8_t lsbFirst[] = {0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A};
    for (int endian : {0, 1}) {
        uint8_t buf[16];
        memset(buf, 0xEE, sizeof(buf));
        size_t len = sizeof(buf);
        EXPECT_EQ(0, kvTsToTod(&ts, buf, &len, endian));
        EXPECT_EQ(80u, len);
        EXPECT_EQ(0, memcmp(endian ? msbFirst : lsbFirst, buf, 10));
        for (size_t i = 10; i < sizeof(buf); i++)
            EXPECT_EQ(0, buf[i]) << "byte " << i;
    }

    // Bits above 47 of the seconds are lost.
    const kvTimestamp wide{(1LL << 48) + 1, 0};
    uint8_t buf[10];
    size_t len = sizeof(buf);
    EXPECT_EQ(0, kvTsToTod(&wide, buf, &len, 0));
    const uint8_t one[10] = {1};
    EXPECT_EQ(0, memcmp(one, buf, sizeof(buf)));
}

TEST_F(TodUtils, PackingRefusesBadArgumentsAndShortBuffers)
{
    const kvTimestamp ts{1, 2};
    uint8_t buf[16];
    memset(buf, 0xEE, sizeof(buf));
    size_t len = sizeof(buf);
    int result = 0;
    std::string out = outputOf([&] { result = kvTsToTod(&ts, buf, &len, 2); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(16u, len);
    for (uint8_t byte : buf)
        EXPECT_EQ(0, byte);
    EXPECT_EQ("\nkvTsToTod: Error unknown buffer endian, endian=2 [F:halvern,L:*]", out);

    // A length word below 10 would have the 10 bytes written past the buffer.
    memset(buf, 0xEE, sizeof(buf));
    len = 9;
    out = outputOf([&] { result = kvTsToTod(&ts, buf, &len, 0); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(9u, len);
    EXPECT_EQ(0xEE, buf[0]);
    EXPECT_EQ("\nkvTsToTod: Error buffer too short, tod_len=9 [F:halvern,L:*]", out);

    out = outputOf([&] { result = kvTsToTod(&ts, nullptr, &len, 0); });
    EXPECT_EQ(-1, result);
    EXPECT_NE(std::string::npos, out.find("kvTsToTod: Wrong parameters, ts=0x"));
    EXPECT_NE(std::string::npos, out.find(",tod_buf=(nil),tod_len=0x"));
}

TEST_F(TodUtils, DevicesOpenWithoutControllingTerminalAndReportFailures)
{
    int fd = -5;
    EXPECT_EQ(0, kvDeviceOpen("/dev/ttyS2", &fd));
    EXPECT_GE(fd, 0);
    EXPECT_EQ("open /dev/ttyS2 O_RDWR O_NOCTTY", todSimEvents().back());
    EXPECT_EQ(0, kvDeviceClose(fd));
    EXPECT_EQ(0, todSimOpenHandles());

    int result = 0;
    std::string out = outputOf([&] { result = kvDeviceOpen("/dev/nothing", &fd); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(-1, fd);
    EXPECT_NE("", out);

    size_t events = todSimEvents().size();
    out = outputOf([&] { result = kvDeviceClose(-1); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(events, todSimEvents().size()); // close() not called
    EXPECT_EQ("\nkvDeviceClose: Wrong input parameters, dev_fd=-1 [F:halvern,L:*]", out);

    todSimFail("con_close");
    kvDeviceOpen("/dev/ttyS0", &fd);
    out = outputOf([&] { result = kvDeviceClose(fd); });
    EXPECT_EQ(-1, result);
    EXPECT_NE("", out);

    fd = 7;
    out = outputOf([&] { result = kvDeviceOpen(nullptr, &fd); });
    EXPECT_EQ(-1, result);
    EXPECT_EQ(7, fd);
    EXPECT_NE(std::string::npos, out.find("kvDeviceOpen: Wrong input parameters, dev_name=(nil),dev_fd=0x"));
}

// Pulses in turn: when each came (CLOCK_MONOTONIC), what the system clock
// read then, and what halvern makes of it. Spacing is measured from the
// last pulse that was not too soon; the phase band ends at 400 ms.
TEST(PulseCheck, LabelPhaseAndSpacingOfEachPulse)
{
    struct Case {
        int64_t monotonicMs;
        time_t seconds;
        long nanoseconds;
        PulseSpacing spacing;
        time_t label;
        bool trusted;
    } cases[] = {
        {0, 100, 0, PULSE_FIRST, 100, true},
        {1000, 100, 999800000, PULSE_ON_TIME, 101, true},  // the clock lags by 200 us
        {1100, 101, 100000000, PULSE_TOO_SOON, 101, true}, // a glitch 100 ms on
        {2000, 102, 399000000, PULSE_ON_TIME, 102, true},  // 1 s after the last one taken
        {3000, 103, 401000000, PULSE_ON_TIME, 103, false},
        {4000, 104, 601000000, PULSE_ON_TIME, 105, true},  // -399 ms
        {5000, 105, 599000000, PULSE_ON_TIME, 106, false}, // -401 ms
        {8000, 108, 0, PULSE_AFTER_GAP, 108, true},
        {9500, 109, 500000000, PULSE_ON_TIME, 110, false}, // 1.5 s is no gap yet; -500 ms
        {11001, 111, 0, PULSE_AFTER_GAP, 111, true},
        {11500, 111, 499000000, PULSE_TOO_SOON, 111, false}, // 499 ms on
        {11501, 111, 500000000, PULSE_ON_TIME, 112, false},  // 500 ms on
    };
    PulseHistory history;
    pulseHistoryReset(&history);
    for (const Case &c : cases) {
        int64_t since = -1;
        EXPECT_EQ(c.spacing, pulseSpacing(&history, c.monotonicMs * NS_PER_MS, &since)) << c.monotonicMs;
        struct timespec reading = {c.seconds, c.nanoseconds};
        PulseLabel label = pulseLabel(&reading);
        EXPECT_EQ(c.label, label.second) << c.monotonicMs;
        EXPECT_EQ(c.seconds * NS_PER_S + c.nanoseconds, label.second * NS_PER_S + label.phaseNs);
        EXPECT_EQ(c.trusted, pulsePhaseTrusted(label.phaseNs)) << c.monotonicMs;
    }
    // The eleventh pulse within one second means a broken device; eleven
    // spread over a second do not.
    for (int64_t start : {20000, 30000}) {
        int64_t spread = start == 20000 ? 99 : 100;
        PulseSpacing last = PULSE_FIRST;
        int64_t since;
        for (int i = 0; i <= PULSE_BURST_LIMIT; i++)
            last = pulseSpacing(&history, (start + i * spread) * NS_PER_MS, &since);
        EXPECT_EQ(spread == 99 ? PULSE_BURST : PULSE_ON_TIME, last) << start;
    }
}

} // namespace
