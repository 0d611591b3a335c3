// Shared by the fuzz targets: quiet programs and a reader for the leading
// bytes of an input that hold a target's parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The programs trace on stdout, and flush it at every step; at fuzzing speed
// that is only cost, a system call each time. Their standard output becomes
// a stream that drops what it is given. Reports of a failed check go to
// stderr, which stays.
inline void silenceStdout(void)
{
    cookie_io_functions_t dropping = {};
    dropping.write = [](void *, const char *, size_t size) { return static_cast<ssize_t>(size); };
    FILE *nowhere = fopencookie(nullptr, "w", dropping);
    if (nowhere == nullptr)
        abort();
    stdout = nowhere;
}

// Takes fixed-size fields off the front of the input; past its end they
// read as zero, so that short inputs still mean something.
struct FuzzInput {
    const uint8_t *data;
    size_t size;

    uint64_t take(size_t bytes)
    {
        uint64_t value = 0;
        for (size_t i = 0; i < bytes; i++) {
            uint8_t byte = size > 0 ? *data : 0;
            if (size > 0) {
                data++;
                size--;
            }
            value |= static_cast<uint64_t>(byte) << (8 * i);
        }
        return value;
    }
};

// Bytes as a C string literal would show them, for failure reports.
inline std::string escaped(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                      \
        }                                                                                 \
    } while (0)
