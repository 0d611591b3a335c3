// The test harness of the programs that run inside the simulated board, in
// one header for static guest binaries.
//
// Every test runs in a child process of its own under a time limit, so a
// crash or a hang costs that test alone, and the output names it. Programs a
// test started and left running are killed when it ends. A fixture gives its
// tests a set-up and a tear-down; the tear-down also runs (on a fresh
// fixture, in a child of its own) after a test crashed or ran out of time,
// so it must cope with a fixture whose set-up never ran.
//
//   FIXTURE(Ports) { int tx = -1; };
//   FIXTURE_SETUP(Ports) { self->tx = ...; ASSERT_TRUE(self->tx >= 0); }
//   FIXTURE_TEARDOWN(Ports) { if (self->tx >= 0) close(self->tx); }
//   TEST_F(Ports, bytes_arrive) { EXPECT_EQ(1, write(self->tx, "x", 1)); }
//   TEST(plain) { ... }        TEST_TIMEOUT(long_one, 300) { ... }
//
// EXPECT_* reports a failure and the test goes on; ASSERT_* reports it and
// ends the test; SKIP(why) ends it as skipped. EXPECT_EQ and ASSERT_EQ take
// (expected, actual), as GoogleTest's do on the host. The output is TAP
// (version 13): the plan, then "ok N - NAME", "not ok N - NAME" or
// "ok N - NAME # SKIP why" per test, its failures before it as "# " lines;
// run.sh reads it off the console (scripts/tap-lib.sh). "-l" lists the tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <type_traits>
#include <vector>

#include "board_sim.h"

namespace harness {

constexpr int kDefaultTimeoutS = 60;
constexpr int kSkipped = 4; // a child's exit status: the test was skipped

struct Test {
    std::string name;
    void (*run)();      // set-up, body and tear-down, in the test's child
    void (*tearDown)(); // the fixture's tear-down on a fresh fixture, or null
    int timeoutS;
};

inline std::vector<Test> &tests()
{
    static std::vector<Test> all;
    return all;
}

struct Registrar {
    explicit Registrar(const Test &test) { tests().push_back(test); }
};

// ---- inside a test's child ---------------------------------------------------

inline int &failures()
{
    static int count = 0;
    return count;
}

// Why the running test skipped, in memory shared with the runner (set up by
// runAll), so that its result line can say so.
inline char *&skipReason()
{
    static char *reason = nullptr;
    return reason;
}
constexpr size_t kSkipReasonSize = 256;

// The tear-down still owed by the running test, if any.
struct PendingTearDown {
    void (*run)(void *self) = nullptr;
    void *self = nullptr;
};

inline PendingTearDown &pendingTearDown()
{
    static PendingTearDown pending;
    return pending;
}

inline void runPendingTearDown()
{
    PendingTearDown pending = pendingTearDown();
    pendingTearDown() = {}; // an ASSERT in the tear-down must not run it again
    if (pending.run)
        pending.run(pending.self);
}

[[noreturn]] inline void endTest(int status)
{
    runPendingTearDown();
    std::fflush(nullptr);
    _exit(status != 0 ? status : failures() != 0);
}

inline void fail(const char *file, int line, const std::string &what)
{
    std::printf("# %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
    ++failures();
}

[[noreturn]] inline void skip(const char *file, int line, const std::string &why)
{
    std::printf("# %s:%d: skipped: %s\n", file, line, why.c_str());
    if (skipReason())
        std::snprintf(skipReason(), kSkipReasonSize, "%s", why.substr(0, why.find('\n')).c_str());
    endTest(kSkipped);
}

// An enum as its underlying integer, anything else as it is.
template <typename T> auto plain(const T &value)
{
    if constexpr (std::is_enum_v<T>)
        return static_cast<std::underlying_type_t<T>>(value);
    else
        return value;
}

template <typename T> std::string describe(const T &value)
{
    using P = decltype(plain(value));
    if constexpr (std::is_integral_v<P> && std::is_unsigned_v<P>) {
        return std::to_string(static_cast<unsigned long long>(plain(value)));
    } else if constexpr (std::is_integral_v<P>) {
        return std::to_string(static_cast<long long>(plain(value)));
    } else if constexpr (std::is_arithmetic_v<P>) {
        return std::to_string(plain(value));
    } else if constexpr (std::is_convertible_v<T, std::string>) {
        std::string text = value;
        return "\"" + (text.size() > 200 ? text.substr(0, 200) + "..." : text) + "\"";
    } else {
        return "(a value)";
    }
}

// Integers compare by value whatever their types: a negative number equals
// no unsigned one (so ~0ull is not -1); floating point with ==; the rest
// with their own ==.
template <typename A, typename E> bool same(const A &actual, const E &expected)
{
    using PA = decltype(plain(actual));
    using PE = decltype(plain(expected));
    if constexpr (std::is_integral_v<PA> && std::is_integral_v<PE>) {
        const PA a = plain(actual);
        const PE e = plain(expected);
        if constexpr (std::is_signed_v<PA> == std::is_signed_v<PE>)
            return a == e;
        else if constexpr (std::is_signed_v<PA>)
            return a >= 0 && static_cast<std::uint64_t>(a) == static_cast<std::uint64_t>(e);
        else
            return e >= 0 && static_cast<std::uint64_t>(a) == static_cast<std::uint64_t>(e);
    } else if constexpr (std::is_arithmetic_v<PA> && std::is_arithmetic_v<PE>) {
        return plain(actual) == plain(expected);
    } else {
        return actual == expected;
    }
}

template <typename A, typename E>
bool checkEqual(const char *file, int line, const char *text, const A &actual, const E &expected)
{
    if (same(actual, expected))
        return true;
    fail(file, line, std::string(text) + " is " + describe(actual) + ", expected " + describe(expected));
    return false;
}

// ---- the runner ----------------------------------------------------------------

inline double monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Kills and reaps whatever a test left behind: its programs become this
// process's children when the test's child ends (a child subreaper).
inline void reapLeftovers(pid_t self)
{
    for (const pid_t pid : board::childrenOf(self))
        kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    for (int i = 0; i < 100 && !board::childrenOf(self).empty(); ++i) {
        usleep(10000);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
}

#if !defined(SYS_pidfd_open) && defined(__NR_pidfd_open)
#define SYS_pidfd_open __NR_pidfd_open
#endif

// Kills child pid, which ran out of time, and reaps it.
inline int killChild(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Where there is no pidfd_open (valgrind 3.19 does not know it): waitpid()
// every 5 ms until the deadline.
inline int waitChildPolling(pid_t pid, double deadline)
{
    int status = 0;
    while (monotonicSeconds() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(5000);
    }
    return killChild(pid);
}

// Waits for child pid to end within timeoutS; returns its wait status, or -1
// when it ran out of time (and was killed). The pidfd turns readable when
// the child ends, so the runner sleeps in poll() instead of polling waitpid().
inline int waitChild(pid_t pid, int timeoutS)
{
    static bool noPidfd = false;
    int status = 0;
    const double deadline = monotonicSeconds() + timeoutS;
    const int fd = noPidfd ? -1 : static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (noPidfd || (fd < 0 && errno == ENOSYS)) {
        noPidfd = true;
        return waitChildPolling(pid, deadline);
    }
    if (fd < 0) {
        std::printf("# pidfd_open: %s\n", std::strerror(errno));
        killChild(pid);
        return 1 << 8;
    }
    for (double left = timeoutS; left > 0; left = deadline - monotonicSeconds()) {
        struct pollfd ended = {fd, POLLIN, 0};
        if (poll(&ended, 1, static_cast<int>(left * 1000) + 1) > 0) {
            close(fd);
            waitpid(pid, &status, 0);
            return status;
        }
    }
    close(fd);
    return killChild(pid);
}

// Runs fn in a child within the time limit; returns its wait status, or -1
// when it ran out of time (and was killed).
inline int runChild(void (*fn)(), int timeoutS)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        failures() = 0;
        fn();
        endTest(0);
    }
    if (pid < 0) {
        std::printf("# fork: %s\n", std::strerror(errno));
        return 1 << 8;
    }
    return waitChild(pid, timeoutS);
}

inline bool isNamed(const Test &test, const std::string &name)
{
    return name == test.name || name == test.name.substr(test.name.find('.') + 1);
}

// Runs the registered tests in order, or those named in argv (a test's whole
// name or the part after its fixture's), in reverse order after "--reverse";
// "-l" lists them instead. The exit status says whether all passed.
inline int runAll(int argc = 0, char **argv = nullptr)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::vector<std::string> names;
    bool reverse = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-l") {
            for (const Test &test : tests())
                std::printf("%s\n", test.name.c_str());
            return 0;
        }
        arg == "--reverse" ? (void)(reverse = true) : names.push_back(arg);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t self = getpid();
    std::vector<Test> chosen;
    for (const Test &test : tests()) {
        bool named = names.empty();
        for (const std::string &name : names)
            named = named || isNamed(test, name);
        if (named)
            chosen.insert(reverse ? chosen.begin() : chosen.end(), test);
    }
    std::vector<std::string> unknown;
    for (const std::string &name : names) {
        bool found = false;
        for (const Test &test : tests())
            found = found || isNamed(test, name);
        if (!found)
            unknown.push_back(name);
    }
    void *shared = mmap(nullptr, kSkipReasonSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    skipReason() = shared == MAP_FAILED ? nullptr : static_cast<char *>(shared);
    std::printf("TAP version 13\n1..%zu\n", unknown.size() + chosen.size());
    int number = 0;
    bool allPassed = true;
    for (const std::string &name : unknown) {
        std::printf("not ok %d - %s # no such test in this suite\n", ++number, name.c_str());
        allPassed = false;
    }
    for (const Test &test : chosen) {
        std::printf("# RUN %s\n", test.name.c_str());
        if (skipReason())
            skipReason()[0] = '\0';
        int status = runChild(test.run, test.timeoutS);
        bool broken = status == -1 || WIFSIGNALED(status);
        if (status == -1)
            std::printf("# %s: no end within %d s, killed\n", test.name.c_str(), test.timeoutS);
        else if (WIFSIGNALED(status))
            std::printf("# %s: ended by signal %d (%s)\n", test.name.c_str(), WTERMSIG(status),
                        strsignal(WTERMSIG(status)));
        reapLeftovers(self);
        if (broken && test.tearDown && runChild(test.tearDown, kDefaultTimeoutS) != 0)
            std::printf("# %s: the fixture's tear-down failed too\n", test.name.c_str());
        reapLeftovers(self);
        bool skip = !broken && WEXITSTATUS(status) == kSkipped;
        bool ok = !broken && WEXITSTATUS(status) == 0;
        if (skip)
            std::printf("ok %d - %s # SKIP %s\n", ++number, test.name.c_str(), skipReason() ? skipReason() : "");
        else
            std::printf("%s %d - %s\n", ok ? "ok" : "not ok", ++number, test.name.c_str());
        allPassed = allPassed && (ok || skip);
    }
    return allPassed ? 0 : 1;
}

} // namespace harness

#define HARNESS_TEST(id, text, seconds)                                           \
    static void id();                                                             \
    static const harness::Registrar id##_registrar({text, id, nullptr, seconds}); \
    static void id()

#define TEST(name) HARNESS_TEST(name, #name, harness::kDefaultTimeoutS)
#define TEST_TIMEOUT(name, seconds) HARNESS_TEST(name, #name, seconds)

#define FIXTURE(name) struct name
#define FIXTURE_SETUP(name) static void name##_setUp([[maybe_unused]] name *self)
#define FIXTURE_TEARDOWN(name) static void name##_tearDown([[maybe_unused]] name *self)

#define TEST_F_TIMEOUT(fixture, name, seconds)                                                                    \
    static void fixture##_##name(fixture *self);                                                                  \
    static void fixture##_##name##_run()                                                                          \
    {                                                                                                             \
        static fixture instance{};                                                                                \
        harness::pendingTearDown() = {[](void *f) { fixture##_tearDown(static_cast<fixture *>(f)); }, &instance}; \
        fixture##_setUp(&instance);                                                                               \
        fixture##_##name(&instance);                                                                              \
        harness::runPendingTearDown();                                                                            \
    }                                                                                                             \
    static void fixture##_##name##_tearDownAfterCrash()                                                           \
    {                                                                                                             \
        fixture instance{};                                                                                       \
        fixture##_tearDown(&instance);                                                                            \
    }                                                                                                             \
    static const harness::Registrar fixture##_##name##_registrar(                                                 \
        {#fixture "." #name, fixture##_##name##_run, fixture##_##name##_tearDownAfterCrash, seconds});            \
    static void fixture##_##name([[maybe_unused]] fixture *self)

#define TEST_F(fixture, name) TEST_F_TIMEOUT(fixture, name, harness::kDefaultTimeoutS)

#define EXPECT_TRUE(cond)                                              \
    do {                                                               \
        if (!(cond))                                                   \
            harness::fail(__FILE__, __LINE__, "(" #cond ") is false"); \
    } while (0)
#define EXPECT_FALSE(cond) EXPECT_TRUE(!(cond))
#define EXPECT_EQ(expected, actual) ((void)harness::checkEqual(__FILE__, __LINE__, #actual, (actual), (expected)))

#define ASSERT_TRUE(cond)                                              \
    do {                                                               \
        if (!(cond)) {                                                 \
            harness::fail(__FILE__, __LINE__, "(" #cond ") is false"); \
            harness::endTest(1);                                       \
        }                                                              \
    } while (0)
#define ASSERT_FALSE(cond) ASSERT_TRUE(!(cond))
#define ASSERT_EQ(expected, actual)                                                  \
    do {                                                                             \
        if (!harness::checkEqual(__FILE__, __LINE__, #actual, (actual), (expected))) \
            harness::endTest(1);                                                     \
    } while (0)

#define ADD_FAILURE(what) harness::fail(__FILE__, __LINE__, (what))
#define SKIP(why) harness::skip(__FILE__, __LINE__, (why))
