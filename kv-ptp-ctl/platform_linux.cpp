// The board's platform: the kv_ptp device node, unadorned.
#include "platform.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
