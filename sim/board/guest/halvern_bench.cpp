// halvern_bench: time from the PPS read's return to the serial write's
// completion, for halvern and for a floor that does what each PPS needs and
// nothing more (the one-byte read after a poll, the monotonic and real-time
// clock reads, the T1 string formatted, one write of 21 bytes, then the
// read-only adjtimex query), and for that floor with the sender's trace
// output, over a few hundred triggered PPS events.
// Each PPS comes a second after the last and a few milliseconds after a
// whole second of CLOCK_REALTIME, as a real one does: the sender holds back
// a PPS far from a whole second or soon after the one before. Measured from
// outside with the kernel's syscall exit trace events, so the programs run
// unchanged. Meant for the board with the instruction-counted clock
// (run.sh -i), where the idle second between PPS costs no host time and
// what leaves ttyS2 is not read back.
//   halvern_bench [events]                  (default 300)
// With --pid, the sender that is already running as process PID (as its
// service started it) instead, over events PPS (default 1000), first on an
// idle board, then with every CPU kept busy by two normal-priority busy
// loops each; LABEL names the run in the output:
//   halvern_bench --pid PID LABEL [events]
#include <fcntl.h>
#include <poll.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board_sim.h"

namespace {

const std::string kTrace = "/sys/kernel/debug/tracing/";
const char *const kFloor = "--floor";
const char *const kFloorWithTrace = "--floor-with-trace";

// The board's kernels tick at 250 Hz.
constexpr long kTickNs = 4000000;
// How long the floor's poll waits before it reads anyway, as the sender's.
constexpr int kPollMs = 2000;

// The offset of PPS number event past its whole second: varied over one
// tick so that the PPS fall evenly on all phases of the kernel's tick
// rather than on one. Far inside the 400 ms the sender allows.
long ppsOffsetNs(int event)
{
    return static_cast<long>(event) * 7919 % (kTickNs / 1000) * 1000;
}

// The floor, this program started again with kFloor; with kFloorWithTrace
// it also prints the sender's two trace texts per PPS, flushed before the
// next read as the sender does. The clock calls sit where the sender's do.
[[noreturn]] void floorLoop(bool trace)
{
    int pps = open(board::pps::kDevice, O_RDWR);
    int con = open(board::kTodPort, O_RDWR | O_NOCTTY);
    char scratch;
    char tod[32];
    struct timespec last = {};
    for (;;) {
        if (trace)
            std::fflush(stdout);
        struct pollfd ready = {pps, POLLIN, 0};
        if (poll(&ready, 1, kPollMs) < 0 || read(pps, &scratch, 1) != 0)
            break;
        struct timespec since;
        clock_gettime(CLOCK_MONOTONIC, &since);
        if (trace)
            std::printf("\nPPS Interrupt ");
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        long long apart = (since.tv_sec - last.tv_sec) * 1000000000LL + since.tv_nsec - last.tv_nsec;
        last = since;
        if (now.tv_nsec > 400000000 && now.tv_nsec < 600000000)
            continue;
        if (apart < 500000000)
            continue;
        time_t second = now.tv_sec + (now.tv_nsec >= 500000000);
        struct tm utc;
        gmtime_r(&second, &utc);
        int len = std::snprintf(tod, sizeof(tod), "T1%02d%02d%02d%02d%02d%04dZ0000", utc.tm_hour, utc.tm_min,
                                utc.tm_sec, utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
        if (trace)
            std::printf("(ToD:%s)\n", tod);
        if (write(con, tod, len) < 0)
            break;
        struct timex state = {};
        adjtimex(&state);
    }
    _exit(1);
}

enum class Program { halvern, floor, floorWithTrace };

pid_t start(Program program)
{
    if (program == Program::floor)
        return board::startProgram("/proc/self/exe", {kFloor}, "/dev/null");
    if (program == Program::floorWithTrace)
        return board::startProgram("/proc/self/exe", {kFloorWithTrace}, "/dev/null");
    return board::startProgram("/bin/halvern", {}, "/dev/null");
}

// What the trace says of pid's PPS events, in microseconds: from the
// read's return to the ToD write's return, and from the wake-up that the
// PPS gave it to the read's return.
struct Gaps {
    std::vector<double> work;
    std::vector<double> wake;
};

Gaps gaps(pid_t pid)
{
    std::ifstream trace(kTrace + "trace");
    std::string line;
    Gaps result;
    double readAt = -1, wokenAt = -1;
    const std::string self = "-" + std::to_string(pid) + " ";
    const std::string woken = ": sched_wakeup: comm=";
    const std::string wokenPid = " pid=" + std::to_string(pid) + " ";
    while (std::getline(trace, line)) {
        size_t colon = line.find(": sys_");
        size_t wake = line.find(woken);
        if (wake != std::string::npos && line.find(wokenPid, wake) != std::string::npos) {
            wokenAt = std::atof(line.c_str() + line.rfind(' ', wake) + 1);
            continue;
        }
        if (line.find(self) == std::string::npos || colon == std::string::npos)
            continue;
        double at = std::atof(line.c_str() + line.rfind(' ', colon) + 1);
        if (line.find("sys_read -> 0x0", colon) != std::string::npos) {
            readAt = at;
            if (wokenAt >= 0)
                result.wake.push_back((at - wokenAt) * 1e6);
            wokenAt = -1;
        } else if (line.find("sys_write -> 0x15", colon) != std::string::npos && readAt >= 0) {
            result.work.push_back((at - readAt) * 1e6);
            readAt = -1;
        }
    }
    return result;
}

const char *const kEvents[] = {"syscalls/sys_exit_read", "syscalls/sys_exit_write", "sched/sched_wakeup"};

// The trace of the running pid over events PPS. The ToD strings are not
// read back: on the benchmark board ttyS2 leads straight out.
Gaps traceGaps(pid_t pid, int events)
{
    board::writeText(kTrace + "tracing_on", "0");
    board::writeText(kTrace + "trace", "");
    for (const char *event : kEvents) {
        bool woken = std::strstr(event, "sched_wakeup") != nullptr;
        board::writeText(kTrace + "events/" + event + "/filter",
                         (woken ? "pid == " : "common_pid == ") + std::to_string(pid));
        board::writeText(kTrace + "events/" + event + "/enable", "1");
    }
    board::writeText(kTrace + "tracing_on", "1");
    for (int i = 0; i < events; ++i) {
        board::pps::triggerAtSecond(ppsOffsetNs(i));
    }
    usleep(100000); // the last PPS handled first, unpolled: polling would cut into it
    board::pps::waitForWaiting(1, 5000);
    board::writeText(kTrace + "tracing_on", "0");
    for (const char *event : kEvents)
        board::writeText(kTrace + "events/" + event + "/enable", "0");
    return gaps(pid);
}

std::vector<double> measure(Program program, int events)
{
    pid_t pid = start(program);
    board::pps::waitForWaiting(1, 5000);
    std::vector<double> result = traceGaps(pid, events).work;
    board::stopProgram(pid);
    return result;
}

double median(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

void print(const char *name, std::vector<double> us)
{
    if (us.empty()) {
        std::printf("bench: %-11s no samples\n", name);
        return;
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    std::printf("bench: %-11s %zu events: median %.1f us, mean %.1f us, 90%% %.1f us, max %.0f us\n", name, us.size(),
                us[us.size() / 2], sum / us.size(), us[us.size() * 9 / 10], us.back());
}

// Nearest rank: the smallest sample with at least q of all at or below it.
double percentile(const std::vector<double> &sorted, double q)
{
    size_t rank = static_cast<size_t>(q * sorted.size() + 0.999999);
    return sorted[rank > 0 ? rank - 1 : 0];
}

// The distribution of one run's samples, sorted, named what: the tail
// percentiles only where there are samples above them.
void printDistribution(const std::string &what, const std::vector<double> &us)
{
    if (us.empty()) {
        std::printf("bench: tod %s: no samples\n", what.c_str());
        return;
    }
    char tails[64] = "";
    if (us.size() >= 100)
        std::snprintf(tails, sizeof(tails), " p99 %4.0f us,", percentile(us, 0.99));
    if (us.size() >= 1000)
        std::snprintf(tails + std::strlen(tails), sizeof(tails) - std::strlen(tails), " p99.9 %4.0f us,",
                      percentile(us, 0.999));
    std::printf("bench: tod %-34s %zu PPS: p50 %4.0f us,%s max %5.0f us\n", what.c_str(), us.size(),
                percentile(us, 0.5), tails, us.back());
}

// The running sender pid, unloaded and then loaded.
int measureService(pid_t pid, const char *label, int events)
{
    board::writeText(kTrace + "buffer_size_kb", "8192");
    board::pps::setTimer(false);
    Gaps idle = traceGaps(pid, events);
    int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    std::vector<pid_t> loops = board::startBusyLoops(2 * cpus);
    Gaps loaded = traceGaps(pid, events);
    board::stopBusyLoops(loops);
    for (std::vector<double> *us : {&idle.work, &loaded.work, &idle.wake, &loaded.wake})
        std::sort(us->begin(), us->end());
    std::string name = label;
    printDistribution(name + " unloaded read-to-write", idle.work);
    printDistribution(name + " loaded read-to-write", loaded.work);
    printDistribution(name + " unloaded wake-to-read", idle.wake);
    printDistribution(name + " loaded wake-to-read", loaded.wake);
    size_t fewest = std::min(idle.work.size(), loaded.work.size());
    if (fewest >= 100) {
        double q = fewest >= 1000 ? 0.999 : 0.99;
        std::printf("bench: tod %s loaded/unloaded %s %.2f (%d busy loops on %d CPU)\n", label,
                    fewest >= 1000 ? "p99.9" : "p99", percentile(loaded.work, q) / percentile(idle.work, q), 2 * cpus,
                    cpus);
    }
    size_t enough = static_cast<size_t>(events) * 9 / 10;
    bool ok = idle.work.size() >= enough && loaded.work.size() >= enough;
    std::printf("TAP version 13\n1..1\n%s 1 - tod %s\n", ok ? "ok" : "not ok", label);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (std::strcmp(argv[1], kFloor) == 0 || std::strcmp(argv[1], kFloorWithTrace) == 0))
        floorLoop(std::strcmp(argv[1], kFloorWithTrace) == 0);
    if (argc > 3 && std::strcmp(argv[1], "--pid") == 0)
        return measureService(std::atoi(argv[2]), argv[3], argc > 4 ? std::atoi(argv[4]) : 1000);
    int events = argc > 1 ? std::atoi(argv[1]) : 300;
    board::pps::setTimer(false);
    int con = board::openRawPort(board::kTodPort); // held open: keeps the raw settings
    std::vector<double> halvern = measure(Program::halvern, events);
    std::vector<double> floor = measure(Program::floor, events);
    std::vector<double> traced = measure(Program::floorWithTrace, events);
    print("halvern", halvern);
    print("floor", floor);
    print("floor+trace", traced);
    if (!halvern.empty() && !floor.empty() && !traced.empty()) {
        std::printf("bench: ratio halvern/floor %.2f\n", median(halvern) / median(floor));
        std::printf("bench: ratio halvern/floor_with_trace %.2f\n", median(halvern) / median(traced));
    }
    close(con);
    size_t enough = static_cast<size_t>(events) * 9 / 10;
    bool ok = halvern.size() >= enough && floor.size() >= enough && traced.size() >= enough;
    std::printf("TAP version 13\n1..1\n%s 1 - halvern_bench\n", ok ? "ok" : "not ok");
    return ok ? 0 : 1;
}
