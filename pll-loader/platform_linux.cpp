// The board's platform: spidev, /dev/mem and the system clock, unadorned.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

int spiDeviceOpen(const char *path, int flags)
{
    return open(path, flags);
}

int spiDeviceIoctl(int fd, unsigned long request, void *argument)
{
    return ioctl(fd, request, argument);
}

int spiDeviceClose(int fd)
{
    return close(fd);
}

int spiBusLock(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    int error = errno;
    close(fd);
    errno = error;
    return -1;
}

int spiBusUnlock(int handle)
{
    return close(handle);
}

int spiBusMode(int handle, uint8_t *mode)
{
    return ioctl(handle, SPI_IOC_RD_MODE, mode);
}

int physMemOpen(const char *path, int flags)
{
    return open(path, flags);
}

void *physMemMap(size_t length, int protection, int flags, int fd, off_t offset)
{
    return mmap(nullptr, length, protection, flags, fd, offset);
}

uint16_t physMemRead16(const volatile uint16_t *reg)
{
    return *reg;
}

void physMemWrite16(volatile uint16_t *reg, uint16_t value)
{
    *reg = value;
}

int physMemUnmap(void *address, size_t length)
{
    return munmap(address, length);
}

int physMemClose(int fd)
{
    return close(fd);
}

void sleepMicroseconds(unsigned long microseconds)
{
    usleep(microseconds);
}
