// The loader's only contact with the board: the SPI device node, the page of
// physical memory that holds the PLL reset register, and sleeping. The board
// build maps these straight onto the system calls; a simulation can stand in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

int spiDeviceOpen(const char *path, int flags);
int spiDeviceIoctl(int fd, unsigned long request, void *argument);
int spiDeviceClose(int fd);
// An exclusive lock on the SPI device node, held until spiBusUnlock or the
// process's end: a handle, or -1 with errno (EWOULDBLOCK: another holds it).
int spiBusLock(const char *path);
int spiBusUnlock(int handle);
// spidev's mode query (SPI_IOC_RD_MODE) on the lock's handle: 0, or -1 with
// errno when the node is no spidev node.
int spiBusMode(int handle, uint8_t *mode);

int physMemOpen(const char *path, int flags);
void *physMemMap(size_t length, int protection, int flags, int fd, off_t offset);
uint16_t physMemRead16(const volatile uint16_t *reg);
void physMemWrite16(volatile uint16_t *reg, uint16_t value);
int physMemUnmap(void *address, size_t length);
int physMemClose(int fd);

void sleepMicroseconds(unsigned long microseconds);
