#include "tod_utils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>

#include "error_report.h"
#include "messages.h"
#include "platform.h"
#include "pulse_check.h"

// What the length word says after packing: the ToD's size in bits.
constexpr size_t TOD_PACKED_BITS = TOD_PACKED_SIZE * 8;
constexpr size_t TOD_SECONDS_BYTES = 6; // the low 48 bits
constexpr size_t TOD_NANOSECONDS_BYTES = 4;

int kvSecondToT1(time_t second, char *tod, int size)
{
    if (tod == nullptr || size < 1) {
        HALVERN_REPORT(REPORTER_T1_FORMAT, MSG_T1_ARGS, static_cast<void *>(tod), size);
        return -1;
    }
    struct tm utc;
    if (gmtime_r(&second, &utc) == nullptr) {
        puts(MSG_GMTIME_OOPS); // a line of its own before the report
        HALVERN_REPORT(REPORTER_T1_FORMAT, MSG_GMTIME_FAILED);
        return -1;
    }
    // Time of day first, then month, day and year; the year in a wider type,
    // as tm_year + 1900 overflows an int in the last years gmtime takes.
    snprintf(tod, static_cast<size_t>(size), "T1%02d%02d%02d%02d%02d%04lldZ0000", utc.tm_hour, utc.tm_min, utc.tm_sec,
             utc.tm_mon + 1, utc.tm_mday, static_cast<long long>(utc.tm_year) + 1900);
    printf(MSG_TOD, tod);
    return 0;
}

// Not time(): the C library serves it from the coarse real-time clock, which
// moves on only at the kernel's tick. And not the reading's own second: a
// clock that lags the PPS by a hair still reads the second before.
int kvGetToDinT1Format(char *tod, int size)
{
    struct timespec now;
    if (clockRead(&now) == -1) {
        int err = errno;
        HALVERN_REPORT(REPORTER_T1_FORMAT, MSG_CLOCK_READ_FAILED, err, strerror(err));
        return -1;
    }
    return kvSecondToT1(pulseLabel(&now).second, tod, size);
}

int kvGetCurTimestamp(kvTimestamp *ts)
{
    if (ts == nullptr) {
        HALVERN_REPORT(REPORTER_CURRENT_TIMESTAMP, MSG_TIMESTAMP_ARGS, static_cast<void *>(ts));
        return -1;
    }
    ts->seconds = 0;
    ts->nanoseconds = 0;
    struct timespec now;
    if (clockRead(&now) == -1) {
        int err = errno;
        HALVERN_REPORT(REPORTER_CURRENT_TIMESTAMP, MSG_CLOCK_READ_FAILED, err, strerror(err));
        return -1;
    }
    // Aligned to the PPS that started this second.
    ts->seconds = now.tv_sec;
    ts->nanoseconds = 0;
    printf(MSG_CLOCK, static_cast<long long>(now.tv_sec), now.tv_nsec);
    printf(MSG_CLOCK_ALIGNED, static_cast<long long>(ts->seconds), ts->nanoseconds);
    return 0;
}

int kvDeviceOpen(const char *dev_name, int *dev_fd)
{
    if (dev_name == nullptr || dev_fd == nullptr) {
        HALVERN_REPORT(REPORTER_DEVICE_OPEN, MSG_OPEN_ARGS, static_cast<const void *>(dev_name),
                       static_cast<void *>(dev_fd));
        return -1;
    }
    *dev_fd = -1;
    // O_NOCTTY: a sender started without a terminal (by init) must not make
    // the serial port its controlling terminal and die when the line hangs up.
    *dev_fd = deviceOpen(dev_name, O_RDWR | O_NOCTTY);
    if (*dev_fd == -1) {
        int err = errno;
        HALVERN_REPORT(REPORTER_DEVICE_OPEN, MSG_OPEN_FAILED, dev_name, err, strerror(err));
        return -1;
    }
    return 0;
}

int kvDeviceClose(int dev_fd)
{
    if (dev_fd == -1) {
        HALVERN_REPORT(REPORTER_DEVICE_CLOSE, MSG_CLOSE_ARGS, dev_fd);
        return -1;
    }
    if (deviceClose(dev_fd) != 0) {
        int err = errno;
        HALVERN_REPORT(REPORTER_DEVICE_CLOSE, MSG_CLOSE_FAILED, dev_fd, err, strerror(err));
        return -1;
    }
    return 0;
}

// Stores the low count bytes of value at out, most significant first or last.
static void packBytes(uint64_t value, size_t count, bool mostSignificantFirst, uint8_t *out)
{
    for (size_t i = 0; i < count; i++) {
        size_t shift = 8 * (mostSignificantFirst ? count - 1 - i : i);
        out[i] = static_cast<uint8_t>(value >> shift);
    }
}

int kvTsToTod(const kvTimestamp *ts, uint8_t *tod_buf, size_t *tod_len, int endian)
{
    if (tod_buf == nullptr || tod_len == nullptr || ts == nullptr) {
        HALVERN_REPORT(REPORTER_TS_TO_TOD, MSG_PACK_ARGS, static_cast<const void *>(ts), static_cast<void *>(tod_buf),
                       static_cast<void *>(tod_len));
        return -1;
    }
    if (*tod_len < TOD_PACKED_SIZE) {
        HALVERN_REPORT(REPORTER_TS_TO_TOD, MSG_PACK_TOO_SHORT, *tod_len);
        return -1;
    }
    memset(tod_buf, 0, *tod_len);
    if (endian != 0 && endian != 1) {
        HALVERN_REPORT(REPORTER_TS_TO_TOD, MSG_PACK_ENDIAN, endian);
        return -1;
    }
    bool mostSignificantFirst = endian == 1;
    packBytes(static_cast<uint64_t>(ts->seconds), TOD_SECONDS_BYTES, mostSignificantFirst, tod_buf);
    packBytes(static_cast<uint32_t>(ts->nanoseconds), TOD_NANOSECONDS_BYTES, mostSignificantFirst,
              tod_buf + TOD_SECONDS_BYTES);
    *tod_len = TOD_PACKED_BITS;
    return 0;
}
