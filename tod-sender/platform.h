// The sender's only contact with the board: the clocks, the kernel's view of
// the system clock, and the device nodes (PPS interrupt device, serial
// port). The board build maps these straight onto the system calls; a
// simulation can stand in.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

int clockRead(struct timespec *now);     // CLOCK_REALTIME
int monotonicRead(struct timespec *now); // CLOCK_MONOTONIC
// Whether the kernel considers the system clock synchronised: 1 or 0, or -1
// with errno when it cannot be asked. Only asks; never sets anything.
int clockSynchronised(void);

int deviceOpen(const char *path, int flags);
// Waits up to timeoutMs (-1: without limit) for fd to have data: 1 when a
// read may go on, 0 at the time limit, -1 with errno. A device that cannot
// be waited on this way answers 1 at once, and its read then blocks.
int deviceWait(int fd, int timeoutMs);
ssize_t deviceRead(int fd, void *buffer, size_t count);
ssize_t deviceWrite(int fd, const void *buffer, size_t count);
int deviceClose(int fd);
