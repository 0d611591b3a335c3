// The board's platform: the system clock and device nodes, unadorned.
#include "platform.h"

#include <fcntl.h>
#include <unistd.h>

// Not time(): the C library serves it from the coarse real-time clock, which
// moves on only at the kernel's tick. Woken right at a PPS edge, it can still
// say the second before, and the message would name the wrong second.
time_t clockSeconds(void)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return static_cast<time_t>(-1);
    return now.tv_sec;
}

int clockRead(struct timespec *now)
{
    return clock_gettime(CLOCK_REALTIME, now);
}

int deviceOpen(const char *path, int flags)
{
    return open(path, flags);
}

ssize_t deviceRead(int fd, void *buffer, size_t count)
{
    return read(fd, buffer, count);
}

ssize_t deviceWrite(int fd, const void *buffer, size_t count)
{
    return write(fd, buffer, count);
}

int deviceClose(int fd)
{
    return close(fd);
}
