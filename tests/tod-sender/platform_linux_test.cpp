// The board's clock seam, on the host's own clock.
#include <gtest/gtest.h>

#include <ctime>

#include "platform.h"

// A message sent right at a PPS edge must name the second that just began:
// spin across a second boundary, comparing with the precise clock read first.
TEST(PlatformLinux, ClockSecondsIsNeverBehindTheRealTimeClock)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t boundary = now.tv_sec + 1;
    long checks = 0;
    do {
        clock_gettime(CLOCK_REALTIME, &now);
        time_t seconds = clockSeconds();
        ASSERT_GE(seconds, now.tv_sec) << "at " << now.tv_nsec << " ns into the second";
        ++checks;
    } while (now.tv_sec < boundary || (now.tv_sec == boundary && now.tv_nsec < 20000000));
    EXPECT_GT(checks, 1000);
}
