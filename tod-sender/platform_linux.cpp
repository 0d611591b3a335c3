// The board's platform: the system clock and device nodes, unadorned.
#include "platform.h"

#include <fcntl.h>
#include <unistd.h>

time_t clockSeconds(void)
{
    return time(nullptr);
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
