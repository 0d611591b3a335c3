// Time-of-day text and buffers for the Kestle device, and device open/close
// with uniform reports. Each returns 0 on success and -1 on failure, after
// an error report on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// A system clock reading, aligned to its whole second.
struct kvTimestamp {
    int64_t seconds;     // UTC seconds since the Unix epoch
    int32_t nanoseconds; // sub-second part
};

// Length of a T1 ToD string for any year up to 9999.
constexpr size_t TOD_T1_LENGTH = 21;
// Significant bytes of a packed ToD buffer: 48-bit seconds, 32-bit nanoseconds.
constexpr size_t TOD_PACKED_SIZE = 10;

// The whole UTC second nearest to the system clock as a T1 ToD string in
// tod (at most size - 1 characters and a NUL), echoed as "(ToD:...)" on
// standard output.
int kvGetToDinT1Format(char *tod, int size);
// The same for a given second.
int kvSecondToT1(time_t second, char *tod, int size);

// The current system time, aligned to the start of its second.
int kvGetCurTimestamp(kvTimestamp *ts);

// Opens a device node for reading and writing, never as controlling terminal.
int kvDeviceOpen(const char *dev_name, int *dev_fd);
int kvDeviceClose(int dev_fd);

// Packs ts into tod_buf after clearing the *tod_len bytes it holds (at least
// 10); endian 0 puts the least significant byte first, 1 the most. Sets
// *tod_len to 80 on success.
int kvTsToTod(const kvTimestamp *ts, uint8_t *tod_buf, size_t *tod_len, int endian);
