// The board's clock and device seam, on the host's own clock and files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "platform.h"

// The label comes from the wall clock, the spacing of the pulses from one
// that no one sets: each seam reads its own clock.
TEST(PlatformLinux, EachClockSeamReadsItsOwnClock)
{
    struct Case {
        int (*seam)(struct timespec *);
        clockid_t clock;
    } cases[] = {{clockRead, CLOCK_REALTIME}, {monotonicRead, CLOCK_MONOTONIC}};
    for (const Case &c : cases) {
        struct timespec before, now, after;
        clock_gettime(c.clock, &before);
        ASSERT_EQ(0, c.seam(&now));
        clock_gettime(c.clock, &after);
        EXPECT_TRUE(now.tv_sec > before.tv_sec || (now.tv_sec == before.tv_sec && now.tv_nsec >= before.tv_nsec));
        EXPECT_TRUE(now.tv_sec < after.tv_sec || (now.tv_sec == after.tv_sec && now.tv_nsec <= after.tv_nsec));
    }
    EXPECT_NE(-1, clockSynchronised());
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
