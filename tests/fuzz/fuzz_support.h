// Shared by the fuzz targets: quiet programs and a reader for the leading
// bytes of an input that hold a target's parameters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// The programs trace on stdout; at fuzzing speed that is only cost. Reports
// of a failed check go to stderr, which stays.
inline void silenceStdout(void)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
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

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);           \
            abort();                                                                               \
        }                                                                                          \
    } while (0)
