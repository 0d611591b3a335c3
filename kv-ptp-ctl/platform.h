// The client's only contact with the board: a kv_ptp device node, opened,
// given an ioctl command and closed, and for watch the monotonic clock and
// a sleep. The board build maps these straight onto the system calls; the
// tests stand in a fake.
#pragma once

int ptpDeviceOpen(const char *path, int flags);
int ptpDeviceIoctl(int fd, unsigned long request, void *argument);
int ptpDeviceClose(int fd);

// CLOCK_MONOTONIC in nanoseconds: steps of the PTP or system clock do not
// move it.
long long ptpMonotonicNs();
// A signal may cut the sleep short; the caller reads the clock after it.
void ptpSleep(long long nanoseconds);
