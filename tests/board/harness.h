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
//   TEST_F(Ports, bytes_arrive) { EXPECT_EQ(write(self->tx, "x", 1), 1); }
//   TEST(plain) { ... }        TEST_TIMEOUT(long_one, 300) { ... }
//
// EXPECT_* reports a failure and the test goes on; ASSERT_* reports it and
// ends the test; SKIP(why) ends it as skipped. The last line of the output is
// "board result: N passed, N failed", which run.sh reads off the console.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
constexpr int kSkipped = 4;  // a child's exit status: the test was skipped

struct Test {
    std::string name;
    void (*run)();        // set-up, body and tear-down, in the test's child
    void (*tearDown)();   // the fixture's tear-down on a fresh fixture, or null
    int timeoutS;
};

inline std::vector<Test>& tests()
{
    static std::vector<Test> all;
    return all;
}

struct Registrar {
    explicit Registrar(const Test& test) { tests().push_back(test); }
};

// ---- inside a test's child ---------------------------------------------------

inline int& failures()
{
    static int count = 0;
    return count;
}

// The tear-down still owed by the running test, if any.
struct PendingTearDown {
    void (*run)(void* self) = nullptr;
    void* self = nullptr;
};

inline PendingTearDown& pendingTearDown()
{
    static PendingTearDown pending;
    return pending;
}

inline void runPendingTearDown()
{
    PendingTearDown pending = pendingTearDown();
    pendingTearDown() = {};  // an ASSERT in the tear-down must not run it again
    if (pending.run)
        pending.run(pending.self);
}

[[noreturn]] inline void endTest(int status)
{
    runPendingTearDown();
    std::fflush(nullptr);
    _exit(status != 0 ? status : failures() != 0);
}

inline void fail(const char* file, int line, const std::string& what)
{
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
    ++failures();
}

[[noreturn]] inline void skip(const char* file, int line, const std::string& why)
{
    std::printf("  %s:%d: skipped: %s\n", file, line, why.c_str());
    endTest(kSkipped);
}

template <typename T>
std::string describe(const T& value)
{
    if constexpr (std::is_unsigned_v<T>) {
        return std::to_string(static_cast<unsigned long long>(value));
    } else if constexpr (std::is_arithmetic_v<T> || std::is_enum_v<T>) {
        return std::to_string(static_cast<long long>(value));
    } else if constexpr (std::is_convertible_v<T, std::string>) {
        std::string text = value;
        return "\"" + (text.size() > 200 ? text.substr(0, 200) + "..." : text) + "\"";
    } else {
        return "(a value)";
    }
}

// Numbers compare as numbers whatever their types; the rest with ==.
template <typename A, typename E>
bool same(const A& actual, const E& expected)
{
    if constexpr ((std::is_arithmetic_v<A> || std::is_enum_v<A>) &&
                  (std::is_arithmetic_v<E> || std::is_enum_v<E>))
        return static_cast<long long>(actual) == static_cast<long long>(expected);
    else
        return actual == expected;
}

template <typename A, typename E>
bool checkEqual(const char* file, int line, const char* text, const A& actual, const E& expected)
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
        std::perror("fork");
        return 1 << 8;
    }
    double deadline = monotonicSeconds() + timeoutS;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (monotonicSeconds() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        usleep(5000);
    }
    return status;
}

// Runs the registered tests in order, or those named in argv (a test's whole
// name or the part after its fixture's), in reverse order after "--reverse";
// the exit status says whether all passed.
inline int runAll(int argc = 0, char** argv = nullptr)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t self = getpid();
    std::vector<std::string> names;
    bool reverse = false;
    for (int i = 1; i < argc; ++i)
        std::string(argv[i]) == "--reverse" ? (void)(reverse = true) : names.push_back(argv[i]);
    std::vector<Test> chosen;
    for (const Test& test : tests()) {
        std::string shortName = test.name.substr(test.name.find('.') + 1);
        bool named = names.empty();
        for (const std::string& name : names)
            named = named || name == test.name || name == shortName;
        if (named)
            chosen.insert(reverse ? chosen.begin() : chosen.end(), test);
    }
    int passed = 0, failed = 0, skipped = 0;
    for (const std::string& name : names) {
        bool found = false;
        for (const Test& test : tests())
            found = found || name == test.name || name == test.name.substr(test.name.find('.') + 1);
        if (!found) {
            std::printf("board: no test %s in this suite\n", name.c_str());
            ++failed;
        }
    }
    for (const Test& test : chosen) {
        std::printf("[ RUN  ] %s\n", test.name.c_str());
        int status = runChild(test.run, test.timeoutS);
        bool broken = status == -1 || WIFSIGNALED(status);
        if (status == -1)
            std::printf("  %s: no end within %d s, killed\n", test.name.c_str(), test.timeoutS);
        else if (WIFSIGNALED(status))
            std::printf("  %s: ended by signal %d (%s)\n", test.name.c_str(), WTERMSIG(status),
                        strsignal(WTERMSIG(status)));
        reapLeftovers(self);
        if (broken && test.tearDown && runChild(test.tearDown, kDefaultTimeoutS) != 0)
            std::printf("  %s: the fixture's tear-down failed too\n", test.name.c_str());
        reapLeftovers(self);
        bool skip = !broken && WEXITSTATUS(status) == kSkipped;
        bool ok = !broken && WEXITSTATUS(status) == 0;
        std::printf("[ %s ] %s\n", skip ? "SKIP" : ok ? " OK " : "FAIL", test.name.c_str());
        (skip ? skipped : ok ? passed : failed)++;
    }
    if (skipped)
        std::printf("board: %d skipped\n", skipped);
    std::printf("board result: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace harness

#define HARNESS_TEST(id, text, seconds)                                                  \
    static void id();                                                                   \
    static const harness::Registrar id##_registrar({text, id, nullptr, seconds});       \
    static void id()

#define TEST(name) HARNESS_TEST(name, #name, harness::kDefaultTimeoutS)
#define TEST_TIMEOUT(name, seconds) HARNESS_TEST(name, #name, seconds)

#define FIXTURE(name) struct name
#define FIXTURE_SETUP(name) static void name##_setUp([[maybe_unused]] name* self)
#define FIXTURE_TEARDOWN(name) static void name##_tearDown([[maybe_unused]] name* self)

#define TEST_F_TIMEOUT(fixture, name, seconds)                                                    \
    static void fixture##_##name(fixture* self);                                                  \
    static void fixture##_##name##_run()                                                          \
    {                                                                                             \
        static fixture instance{};                                                                \
        harness::pendingTearDown() = {[](void* f) { fixture##_tearDown(static_cast<fixture*>(f)); }, \
                                      &instance};                                                 \
        fixture##_setUp(&instance);                                                               \
        fixture##_##name(&instance);                                                              \
        harness::runPendingTearDown();                                                            \
    }                                                                                             \
    static void fixture##_##name##_tearDownAfterCrash()                                           \
    {                                                                                             \
        fixture instance{};                                                                       \
        fixture##_tearDown(&instance);                                                            \
    }                                                                                             \
    static const harness::Registrar fixture##_##name##_registrar(                                 \
        {#fixture "." #name, fixture##_##name##_run, fixture##_##name##_tearDownAfterCrash, seconds}); \
    static void fixture##_##name([[maybe_unused]] fixture* self)

#define TEST_F(fixture, name) TEST_F_TIMEOUT(fixture, name, harness::kDefaultTimeoutS)

#define EXPECT_TRUE(cond)                                              \
    do {                                                               \
        if (!(cond))                                                   \
            harness::fail(__FILE__, __LINE__, "(" #cond ") is false"); \
    } while (0)
#define EXPECT_FALSE(cond) EXPECT_TRUE(!(cond))
#define EXPECT_EQ(actual, expected) \
    ((void)harness::checkEqual(__FILE__, __LINE__, #actual, (actual), (expected)))

#define ASSERT_TRUE(cond)                                              \
    do {                                                               \
        if (!(cond)) {                                                 \
            harness::fail(__FILE__, __LINE__, "(" #cond ") is false"); \
            harness::endTest(1);                                       \
        }                                                              \
    } while (0)
#define ASSERT_FALSE(cond) ASSERT_TRUE(!(cond))
#define ASSERT_EQ(actual, expected)                                                    \
    do {                                                                               \
        if (!harness::checkEqual(__FILE__, __LINE__, #actual, (actual), (expected))) \
            harness::endTest(1);                                                       \
    } while (0)

#define ADD_FAILURE(what) harness::fail(__FILE__, __LINE__, (what))
#define SKIP(why) harness::skip(__FILE__, __LINE__, (why))
