// The board's clock and device seam, on the host's own clock and files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

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

// The time stamps come from the wall clock, not from one counting since boot.
TEST(PlatformLinux, ClockReadIsTheRealTimeClock)
{
    struct timespec before, now, after;
    clock_gettime(CLOCK_REALTIME, &before);
    ASSERT_EQ(0, clockRead(&now));
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_TRUE(now.tv_sec > before.tv_sec || (now.tv_sec == before.tv_sec && now.tv_nsec >= before.tv_nsec));
    EXPECT_TRUE(now.tv_sec < after.tv_sec || (now.tv_sec == after.tv_sec && now.tv_nsec <= after.tv_nsec));
}

// The device calls hand the open flags on and a failure back as -1 with its
// errno: the sender takes a read of 0 bytes for a PPS, so a failed read
// that came back as 0 would send a ToD string for every failure.
TEST(PlatformLinux, DeviceCallsAreTheSystemCallsWithTheirFailures)
{
    char path[] = "/tmp/tod-platform-XXXXXX";
    int scratch = mkstemp(path);
    ASSERT_GE(scratch, 0);
    close(scratch);

    int fd = deviceOpen(path, O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(4, deviceWrite(fd, "T1..", 4));
    char byte = 0;
    EXPECT_EQ(0, deviceRead(fd, &byte, 1)); // at the end of the file
    ASSERT_EQ(1, lseek(fd, 1, SEEK_SET));
    EXPECT_EQ(1, deviceRead(fd, &byte, 1));
    EXPECT_EQ('1', byte);
    EXPECT_EQ(0, deviceClose(fd));

    errno = 0;
    EXPECT_EQ(-1, deviceRead(fd, &byte, 1));
    EXPECT_EQ(EBADF, errno);
    errno = 0;
    EXPECT_EQ(-1, deviceWrite(fd, "T1", 2));
    EXPECT_EQ(EBADF, errno);
    errno = 0;
    EXPECT_EQ(-1, deviceClose(fd));
    EXPECT_EQ(EBADF, errno);

    fd = deviceOpen(path, O_RDONLY);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(-1, deviceWrite(fd, "T1", 2));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(0, deviceClose(fd));

    unlink(path);
    errno = 0;
    EXPECT_EQ(-1, deviceOpen(path, O_RDWR | O_NOCTTY));
    EXPECT_EQ(ENOENT, errno);
}
