// A small test harness for the programs that run inside the simulated board:
// registered test functions, checks that report and go on, and helpers for
// the kernel log, debugfs and module loading. Ends with the line
// "board result: N passed, N failed" that the host reads off the console.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace guest {

struct TestCase {
    const char* name;
    void (*run)();
};

inline std::vector<TestCase>& testCases()
{
    static std::vector<TestCase> cases;
    return cases;
}

inline int& currentFailures()
{
    static int failures = 0;
    return failures;
}

struct Registrar {
    Registrar(const char* name, void (*run)()) { testCases().push_back({name, run}); }
};

inline void fail(const char* file, int line, const std::string& what)
{
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    ++currentFailures();
}

// Runs every registered test in order; the exit status says whether all passed.
inline int runAll()
{
    int passed = 0, failed = 0;
    for (const TestCase& test : testCases()) {
        currentFailures() = 0;
        std::printf("[ RUN  ] %s\n", test.name);
        std::fflush(stdout);
        test.run();
        bool ok = currentFailures() == 0;
        std::printf("[ %s ] %s\n", ok ? " OK " : "FAIL", test.name);
        (ok ? passed : failed)++;
    }
    std::printf("board result: %d passed, %d failed\n", passed, failed);
    std::fflush(stdout);
    return failed == 0 ? 0 : 1;
}

// ---- kernel log ------------------------------------------------------------

struct LogRecord {
    int level;
    std::string text;
};

// Opens /dev/kmsg positioned after the records already in the log.
inline int kmsgOpen()
{
    int fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
    if (fd >= 0)
        lseek(fd, 0, SEEK_END);
    return fd;
}

// Closes a line left without its final newline, which stays open for
// continuation, out of readers' sight, until the next record.
inline void kmsgMark()
{
    int marker = open("/dev/kmsg", O_WRONLY);
    if (marker >= 0) {
        const char text[] = "<7>guest: log read\n";
        if (write(marker, text, sizeof(text) - 1) < 0)
            std::perror("/dev/kmsg");
        close(marker);
    }
}

// The next record of a log opened with kmsgOpen: 1 with the record, 0 at the
// end, -1 when records were overwritten before they were read.
inline int kmsgNext(int fd, LogRecord* record)
{
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf) - 1);
        if (n < 0 && errno == EPIPE)
            return -1;
        if (n <= 0)
            return 0;
        buf[n] = '\0';
        // "<prio>,<seq>,<usec>,<flags>;<text>\n" with continuation lines after.
        const char* text = std::strchr(buf, ';');
        if (!text)
            continue;
        std::string line(text + 1);
        *record = {std::atoi(buf) & 7, line.substr(0, line.find('\n'))};
        return 1;
    }
}

// Every record logged since kmsgOpen, and closes the log.
inline std::vector<LogRecord> kmsgTake(int fd)
{
    kmsgMark();
    std::vector<LogRecord> records;
    LogRecord record;
    for (int got; (got = kmsgNext(fd, &record)) != 0;)  // overwritten records: go on
        if (got > 0)
            records.push_back(record);
    close(fd);
    return records;
}

inline bool hasRecord(const std::vector<LogRecord>& records, int level, const std::string& text)
{
    for (const LogRecord& r : records)
        if (r.level == level && r.text == text)
            return true;
    return false;
}

inline bool logMentions(const std::vector<LogRecord>& records, const char* word)
{
    for (const LogRecord& r : records)
        if (r.text.find(word) != std::string::npos)
            return true;
    return false;
}

// ---- files, debugfs, modules -----------------------------------------------

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline std::string readText(const std::string& path)
{
    std::string text;
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

inline bool writeText(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

inline long long readNumber(const std::string& path)
{
    return std::strtoll(readText(path).c_str(), nullptr, 0);
}

inline bool writeNumber(const std::string& path, long long value)
{
    return writeText(path, std::to_string(value));
}

// Loads a module file; returns 0 or the errno of the failed load.
inline int loadModule(const char* path, const char* params = "")
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = syscall(SYS_finit_module, fd, params, 0) == 0 ? 0 : errno;
    close(fd);
    return result;
}

// Unloads a module without waiting; returns 0 or the errno of the refusal.
inline int unloadModule(const char* name)
{
    return syscall(SYS_delete_module, name, O_NONBLOCK) == 0 ? 0 : errno;
}

}  // namespace guest

#define GUEST_TEST(name)                                               \
    static void name();                                                \
    static const guest::Registrar name##_registrar(#name, name);       \
    static void name()

#define CHECK(cond)                                                    \
    do {                                                               \
        if (!(cond))                                                   \
            guest::fail(__FILE__, __LINE__, "CHECK(" #cond ")");       \
    } while (0)

#define CHECK_EQ(actual, expected)                                     \
    do {                                                               \
        long long a_ = (long long)(actual), e_ = (long long)(expected); \
        if (a_ != e_)                                                  \
            guest::fail(__FILE__, __LINE__,                            \
                        std::string(#actual " is ") + std::to_string(a_) + \
                            ", expected " + std::to_string(e_));       \
    } while (0)
