// The client's only contact with the board: a kv_ptp device node, opened,
// given an ioctl command and closed. The board build maps these straight
// onto the system calls; the tests stand in a fake.
#pragma once

int ptpDeviceOpen(const char *path, int flags);
int ptpDeviceIoctl(int fd, unsigned long request, void *argument);
int ptpDeviceClose(int fd);
