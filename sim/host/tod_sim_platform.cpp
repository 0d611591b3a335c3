#include "tod_sim_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform.h"
#include "pulse_check.h"
#include "sim_event_log.h"

namespace {

constexpr int FIRST_FD = 100;
const char *const DEVICES[] = {"/dev/appint2", "/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS3"};

constexpr int64_t PPS_INTERVAL_NS = NS_PER_S;

struct PpsTurn {
    std::string result;
    int64_t afterNs; // since the turn before; -1: the usual
};

struct Clock {
    int64_t seconds;
    long nanoseconds;
};

struct Board {
    Clock realtime;
    Clock monotonic;
    unsigned ppsReads;
    int64_t waitedNs; // of the next turn's time, spent in waits that timed out
    bool pollable;
    std::vector<PpsTurn> ppsScript;
    std::vector<std::string> syncScript;
    size_t syncQueries;
    std::vector<std::string> writeScript;
    size_t writesDone;
    std::vector<std::string> failures;
    std::vector<std::string> devices;
    std::map<int, std::string> open; // fd -> path
    std::map<std::string, std::string> received;
    std::vector<std::string> events;
    int nextFd;
};

Board board;
std::string reportPath;

bool fails(const std::string &operation)
{
    for (const std::string &failure : board.failures)
        if (failure == operation)
            return true;
    return false;
}

void advance(Clock &clock, int64_t ns)
{
    int64_t total = clock.nanoseconds + ns;
    clock.seconds += total / NS_PER_S;
    clock.nanoseconds = static_cast<long>(total % NS_PER_S);
}

void advanceBoth(int64_t ns)
{
    advance(board.realtime, ns);
    advance(board.monotonic, ns);
}

// The time from the turn before to this one: as scripted, else a second
// (the first turn at once).
int64_t turnAfterNs(unsigned turn)
{
    if (turn < board.ppsScript.size() && board.ppsScript[turn].afterNs >= 0)
        return board.ppsScript[turn].afterNs;
    return turn == 0 ? 0 : PPS_INTERVAL_NS;
}

// Really waits, for a test that reads the sender's standard output only
// once it is full, until the pipe there is empty again (or 10 s).
void waitForStdoutDrained(void)
{
    int queued = 0;
    for (int tries = 0; tries < 10000 && ioctl(STDOUT_FILENO, FIONREAD, &queued) == 0 && queued > 0; tries++)
        usleep(1000);
}

bool isPpsDevice(int fd)
{
    return board.open.count(fd) != 0 && board.open[fd].rfind("/dev/appint", 0) == 0;
}

void writeReport(void)
{
    FILE *out = openReport(reportPath, board.events);
    if (out == nullptr)
        return;
    for (const auto &port : board.received)
        fprintf(out, "[port %s]\n%s\n", port.first.c_str(), port.second.c_str());
    fclose(out);
}

// A sender binary linked with the simulation takes its set-up from the environment.
struct EnvironmentSetUp {
    EnvironmentSetUp()
    {
        todSimReset();
        const char *value = getenv("HALVERN_SIM_CLOCK");
        if (value != nullptr) {
            char *rest = nullptr;
            long long seconds = strtoll(value, &rest, 10);
            todSimSetClock(seconds, *rest == '.' ? strtol(rest + 1, nullptr, 10) : 0);
        }
        if ((value = getenv("HALVERN_SIM_PPS")) != nullptr)
            todSimScriptPps(value);
        if ((value = getenv("HALVERN_SIM_NOPOLL")) != nullptr)
            board.pollable = false;
        if ((value = getenv("HALVERN_SIM_SYNC")) != nullptr)
            todSimScriptSync(value);
        if ((value = getenv("HALVERN_SIM_WRITE")) != nullptr)
            todSimScriptWrites(value);
        if ((value = getenv("HALVERN_SIM_FAIL")) != nullptr)
            for (const std::string &operation : splitList(value))
                todSimFail(operation);
        if ((value = getenv("HALVERN_SIM_MISSING")) != nullptr)
            todSimRemoveDevice(value);
        if ((value = getenv("HALVERN_SIM_REPORT")) != nullptr) {
            reportPath = value;
            atexit(writeReport);
        }
    }
} environmentSetUp;

} // namespace

void todSimReset(void)
{
    board = Board();
    board.devices.assign(std::begin(DEVICES), std::end(DEVICES));
    board.nextFd = FIRST_FD;
    board.monotonic.seconds = 1000;
    board.pollable = true;
}

void todSimSetClock(int64_t seconds, long nanoseconds)
{
    board.realtime.seconds = seconds;
    board.realtime.nanoseconds = nanoseconds;
}

void todSimScriptPps(const std::string &results)
{
    board.ppsScript.clear();
    for (const std::string &item : splitList(results)) {
        size_t repeat = item.find('*');
        int times = repeat == std::string::npos ? 1 : atoi(item.c_str() + repeat + 1);
        std::string turn = item.substr(0, repeat);
        size_t after = turn.find('+');
        int64_t afterNs = after == std::string::npos ? -1 : atoll(turn.c_str() + after + 1) * NS_PER_MS;
        for (int i = 0; i < times; i++)
            board.ppsScript.push_back({turn.substr(0, after), afterNs});
    }
}

void todSimScriptSync(const std::string &answers)
{
    board.syncScript = splitList(answers);
}

void todSimScriptWrites(const std::string &writes)
{
    board.writeScript = splitList(writes);
}

void todSimFail(const std::string &operation)
{
    board.failures.push_back(operation);
}

void todSimRemoveDevice(const std::string &path)
{
    for (size_t i = 0; i < board.devices.size(); i++)
        if (board.devices[i] == path)
            board.devices.erase(board.devices.begin() + static_cast<long>(i));
}

const std::vector<std::string> &todSimEvents(void)
{
    return board.events;
}

std::string todSimReceived(const std::string &port)
{
    return board.received.count(port) != 0 ? board.received[port] : std::string();
}

int todSimOpenHandles(void)
{
    return static_cast<int>(board.open.size());
}

int clockRead(struct timespec *now)
{
    if (fails("clock")) {
        errno = EIO;
        return -1;
    }
    now->tv_sec = static_cast<time_t>(board.realtime.seconds);
    now->tv_nsec = board.realtime.nanoseconds;
    return 0;
}

int monotonicRead(struct timespec *now)
{
    now->tv_sec = static_cast<time_t>(board.monotonic.seconds);
    now->tv_nsec = board.monotonic.nanoseconds;
    return 0;
}

int clockSynchronised(void)
{
    size_t turn = board.syncQueries++;
    std::string answer = board.syncScript.empty() ? "1" : board.syncScript[std::min(turn, board.syncScript.size() - 1)];
    if (answer == "eperm") {
        errno = EPERM;
        return -1;
    }
    return answer == "1" ? 1 : 0;
}

int deviceWait(int fd, int timeoutMs)
{
    if (!isPpsDevice(fd)) {
        errno = EINVAL;
        return -1;
    }
    int64_t left = turnAfterNs(board.ppsReads) - board.waitedNs;
    if (!board.pollable || timeoutMs < 0 || timeoutMs * NS_PER_MS >= left)
        return 1;
    advanceBoth(timeoutMs * NS_PER_MS);
    board.waitedNs += timeoutMs * NS_PER_MS;
    appendEvent(board.events, "wait %d ms: timeout", timeoutMs);
    return 0;
}

int deviceOpen(const char *path, int flags)
{
    bool exists = false;
    for (const std::string &device : board.devices)
        exists = exists || device == path;
    appendEvent(board.events, "open %s%s%s", path, (flags & O_ACCMODE) == O_RDWR ? " O_RDWR" : "",
                (flags & O_NOCTTY) != 0 ? " O_NOCTTY" : "");
    if (!exists) {
        errno = ENOENT;
        return -1;
    }
    board.open[board.nextFd] = path;
    return board.nextFd++;
}

ssize_t deviceRead(int fd, void *buffer, size_t count)
{
    if (!isPpsDevice(fd) || count != 1) {
        errno = EINVAL;
        return -1;
    }
    unsigned turn = board.ppsReads++;
    advanceBoth(std::max<int64_t>(turnAfterNs(turn) - board.waitedNs, 0));
    board.waitedNs = 0;
    std::string result = turn < board.ppsScript.size() ? board.ppsScript[turn].result : "eio";
    appendEvent(board.events, "read %s", result.c_str());
    if (result == "drained")
        waitForStdoutDrained();
    if (result == "pps" || result == "drained")
        return 0;
    if (result == "short") {
        *static_cast<char *>(buffer) = 0;
        return 1;
    }
    errno = EIO;
    return -1;
}

ssize_t deviceWrite(int fd, const void *buffer, size_t count)
{
    if (board.open.count(fd) == 0 || isPpsDevice(fd)) {
        errno = EBADF;
        return -1;
    }
    size_t turn = board.writesDone++;
    std::string limit = turn < board.writeScript.size() ? board.writeScript[turn] : "all";
    if (limit == "eintr" || limit == "eio") {
        appendEvent(board.events, "write %zu: %s", count, limit.c_str());
        errno = limit == "eintr" ? EINTR : EIO;
        return -1;
    }
    size_t taken = limit == "all" ? count : std::min(count, static_cast<size_t>(atoi(limit.c_str())));
    appendEvent(board.events, "write %zu: took %zu", count, taken);
    board.received[board.open[fd]].append(static_cast<const char *>(buffer), taken);
    return static_cast<ssize_t>(taken);
}

int deviceClose(int fd)
{
    if (board.open.count(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    std::string path = board.open[fd];
    board.open.erase(fd);
    appendEvent(board.events, "close %s", path.c_str());
    if (fails(path.rfind("/dev/appint", 0) == 0 ? "pps_close" : "con_close")) {
        errno = EIO;
        return -1;
    }
    return 0;
}
