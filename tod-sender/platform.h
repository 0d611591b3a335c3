// The sender's only contact with the board: the system clock and the device
// nodes (PPS interrupt device, serial port). The board build maps these
// straight onto the system calls; a simulation can stand in.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

time_t clockSeconds(void);
int clockRead(struct timespec *now);

int deviceOpen(const char *path, int flags);
ssize_t deviceRead(int fd, void *buffer, size_t count);
ssize_t deviceWrite(int fd, const void *buffer, size_t count);
int deviceClose(int fd);
