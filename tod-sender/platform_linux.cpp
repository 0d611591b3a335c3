// The board's platform: the clocks and device nodes, unadorned.
#include "platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/timex.h>
#include <unistd.h>

int clockRead(struct timespec *now)
{
    return clock_gettime(CLOCK_REALTIME, now);
}

int monotonicRead(struct timespec *now)
{
    return clock_gettime(CLOCK_MONOTONIC, now);
}

// The kernel marks the clock unsynchronised again at the next second while
// the maximum error is at its limit of 16 s: a daemon that clears only
// STA_UNSYNC (phc2sys does so as it starts, before its servo locks) has
// not synchronised it.
constexpr long MAXERROR_LIMIT_US = 16000000;

int clockSynchronised(void)
{
    struct timex query = {};
    query.modes = 0; // a query: any user may make it, and it changes nothing
    int state = adjtimex(&query);
    if (state == -1)
        return -1;
    return state != TIME_ERROR && (query.status & STA_UNSYNC) == 0 && query.maxerror < MAXERROR_LIMIT_US ? 1 : 0;
}

int deviceOpen(const char *path, int flags)
{
    return open(path, flags);
}

// A driver without a poll method is always ready to poll(): the read that
// follows blocks as it always did.
int deviceWait(int fd, int timeoutMs)
{
    struct pollfd ready = {fd, POLLIN, 0};
    int polled = poll(&ready, 1, timeoutMs);
    return polled > 0 ? 1 : polled;
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
