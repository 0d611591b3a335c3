// The board's platform: the kv_ptp device node and the clock, unadorned.
#include "platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

constexpr long long NS_PER_S = 1000000000;

int ptpDeviceOpen(const char *path, int flags)
{
    return open(path, flags);
}

int ptpDeviceIoctl(int fd, unsigned long request, void *argument)
{
    return ioctl(fd, request, argument);
}

int ptpDeviceClose(int fd)
{
    return close(fd);
}

long long ptpMonotonicNs()
{
    // Cannot fail: the clock exists on every Linux and the address is ours.
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

void ptpSleep(long long nanoseconds)
{
    struct timespec duration = {static_cast<time_t>(nanoseconds / NS_PER_S), static_cast<long>(nanoseconds % NS_PER_S)};
    nanosleep(&duration, nullptr);
}
