// halvern's time-of-day formatting with any clock reading: the T1 string of
// kvGetToDinT1Format, which names the whole second nearest to the reading,
// into a heap buffer of exactly the size it is told, and
// the packed ToD of kvTsToTod into one of exactly *tod_len bytes, each
// against a model that shares no code with the sender.
// Input: seconds (8 bytes), nanoseconds (4), T1 buffer size, ToD buffer
// length, endian (1 byte each).
#include <algorithm>
#include <climits>
#include <string>

#include "fuzz_support.h"
#include "platform.h"
#include "pulse_check.h"
#include "tod_utils.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the packing model copies host bytes");

namespace {

struct timespec clockNow;

struct Civil {
    int64_t year;
    int month, day, hour, minute, second;
};

int64_t floorDiv(int64_t a, int64_t b)
{
    return a / b - (a % b < 0);
}

// UTC calendar of a second count, proleptic Gregorian, for every int64
// (Howard Hinnant's days-to-civil algorithm).
Civil civilOf(int64_t seconds)
{
    int64_t days = floorDiv(seconds, 86400);
    int64_t inDay = (seconds % 86400 + 86400) % 86400;
    int64_t z = days + 719468;
    int64_t era = floorDiv(z, 146097);
    int64_t dayOfEra = z - era * 146097;
    int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int64_t mp = (5 * dayOfYear + 2) / 153;
    Civil c;
    c.day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = yearOfEra + era * 400 + (c.month <= 2);
    c.hour = static_cast<int>(inDay / 3600);
    c.minute = static_cast<int>(inDay / 60 % 60);
    c.second = static_cast<int>(inDay % 60);
    return c;
}

// Zero-filled to width, a minus sign counting towards it, as %0Nd does.
std::string padded(int64_t value, size_t width)
{
    std::string digits = std::to_string(value < 0 ? -value : value);
    size_t room = width - (value < 0);
    if (digits.size() < room)
        digits.insert(0, room - digits.size(), '0');
    return (value < 0 ? "-" : "") + digits;
}

// The T1 string, or "" when the year has no struct tm (tm_year is an int).
std::string t1Of(int64_t seconds)
{
    Civil c = civilOf(seconds);
    if (c.year - 1900 < INT_MIN || c.year - 1900 > INT_MAX)
        return "";
    return "T1" + padded(c.hour, 2) + padded(c.minute, 2) + padded(c.second, 2) + padded(c.month, 2) +
           padded(c.day, 2) + padded(c.year, 4) + "Z0000";
}

// The nearest second: the reading's own in its first half, the next one in
// its second half (but past the last second a time_t holds there is none).
void checkT1(int64_t seconds, long nanoseconds, int size)
{
    clockNow.tv_sec = static_cast<time_t>(seconds);
    clockNow.tv_nsec = nanoseconds;
    int64_t nearest = nanoseconds >= 500000000 && seconds < INT64_MAX ? seconds + 1 : seconds;
    PulseLabel label = pulseLabel(&clockNow);
    FUZZ_CHECK(label.second == nearest);
    if (nearest != seconds || nanoseconds < 500000000) {
        FUZZ_CHECK(label.phaseNs >= -500000000 && label.phaseNs < 500000000);
        FUZZ_CHECK(static_cast<__int128>(seconds) * 1000000000 + nanoseconds ==
                   static_cast<__int128>(nearest) * 1000000000 + label.phaseNs);
    }
    std::string expected = t1Of(nearest);
    size_t bytes = size > 0 ? size : 1;
    char *tod = static_cast<char *>(malloc(bytes));
    memset(tod, '#', bytes);
    int result = kvGetToDinT1Format(tod, size);
    if (size < 1 || expected.empty()) {
        FUZZ_CHECK(result == -1);
        for (size_t i = 0; i < bytes; i++) // untouched
            FUZZ_CHECK(tod[i] == '#');
    } else {
        FUZZ_CHECK(result == 0);
        expected.resize(std::min(expected.size(), bytes - 1));
        if (strnlen(tod, bytes) >= bytes || expected != tod) {
            fprintf(stderr, "seconds %lld size %d: \"%s\", expected \"%s\"\n", static_cast<long long>(seconds), size,
                    escaped(std::string(tod, bytes)).c_str(), expected.c_str());
            abort();
        }
    }
    free(tod);
}

void checkPacking(const kvTimestamp &ts, size_t length, int endian)
{
    uint8_t *buffer = static_cast<uint8_t *>(malloc(length));
    memset(buffer, 0xEE, length);
    size_t todLength = length;
    int result = kvTsToTod(&ts, buffer, &todLength, endian);

    uint8_t expected[TOD_PACKED_SIZE];
    memcpy(expected, &ts.seconds, 6); // the low 48 bits
    memcpy(expected + 6, &ts.nanoseconds, 4);
    if (endian == 1) {
        std::reverse(expected, expected + 6);
        std::reverse(expected + 6, expected + 10);
    }
    if (length < TOD_PACKED_SIZE) {
        FUZZ_CHECK(result == -1 && todLength == length);
        for (size_t i = 0; i < length; i++)
            FUZZ_CHECK(buffer[i] == 0xEE); // too short: not written at all
    } else if (endian != 0 && endian != 1) {
        FUZZ_CHECK(result == -1 && todLength == length);
        for (size_t i = 0; i < length; i++)
            FUZZ_CHECK(buffer[i] == 0);
    } else {
        FUZZ_CHECK(result == 0 && todLength == TOD_PACKED_SIZE * 8);
        FUZZ_CHECK(memcmp(buffer, expected, TOD_PACKED_SIZE) == 0);
        for (size_t i = TOD_PACKED_SIZE; i < length; i++)
            FUZZ_CHECK(buffer[i] == 0);
    }
    free(buffer);
}

} // namespace

// The sender's clock, set by the target; no device is ever used.
int clockRead(struct timespec *now)
{
    *now = clockNow;
    return 0;
}

// The seam's other calls, never made here: one stub a line, a list to hold
// against platform.h.
// clang-format off
int monotonicRead(struct timespec *) { abort(); }
int clockSynchronised(void) { abort(); }
int deviceWait(int, int) { abort(); }
int deviceOpen(const char *, int) { abort(); }
ssize_t deviceRead(int, void *, size_t) { abort(); }
ssize_t deviceWrite(int, const void *, size_t) { abort(); }
int deviceClose(int) { abort(); }
// clang-format on

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceStdout();
    setenv("TZ", "UTC", 1); // no leap-second zone file under gmtime_r
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    kvTimestamp ts;
    ts.seconds = static_cast<int64_t>(input.take(8));
    ts.nanoseconds = static_cast<int32_t>(input.take(4));
    int t1Size = static_cast<int>(input.take(1) % 48) - 2; // -2..45: refused, cut and whole
    size_t todLength = input.take(1) % 24;
    int endian = static_cast<int>(input.take(1) % 4) - 1; // -1..2

    long nanoseconds = static_cast<long>(static_cast<uint32_t>(ts.nanoseconds) % 1000000000);
    checkT1(ts.seconds, nanoseconds, t1Size);
    checkPacking(ts, todLength, endian);
    FUZZ_CHECK(kvGetToDinT1Format(nullptr, 32) == -1);
    return 0;
}
