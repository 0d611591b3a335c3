// halvern_bench: time from the PPS read's return to the serial write's
// completion, for halvern and for a floor that does what each PPS needs and
// nothing more (the one-byte read, the clock read, the T1 string formatted,
// one write of 21 bytes), over a few hundred triggered PPS events.
// Measured from outside with the kernel's syscall exit trace events, so the
// programs run unchanged.
//   halvern_bench [events]          (default 300)
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "board_sim.h"

namespace {

const std::string kTrace = "/sys/kernel/debug/tracing/";
const char* const kFloor = "--floor";

// The floor, this program started again with kFloor.
[[noreturn]] void floorLoop()
{
    int pps = open(board::pps::kDevice, O_RDWR);
    int con = open(board::kTodPort, O_RDWR | O_NOCTTY);
    char scratch;
    char tod[32];
    while (read(pps, &scratch, 1) == 0) {
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        int len = std::snprintf(tod, sizeof(tod), "T1%02d%02d%02d%02d%02d%04dZ0000", utc.tm_hour, utc.tm_min,
                                utc.tm_sec, utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
        if (write(con, tod, len) < 0)
            break;
    }
    _exit(1);
}

pid_t start(bool floor)
{
    if (floor)
        return board::startProgram("/proc/self/exe", {kFloor}, "/dev/null");
    return board::startProgram("/bin/halvern", {}, "/dev/null");
}

// Read-return to write-return gaps of pid, in microseconds, from the trace.
std::vector<double> gaps(pid_t pid)
{
    std::ifstream trace(kTrace + "trace");
    std::string line;
    std::vector<double> result;
    double readAt = -1;
    const std::string self = "-" + std::to_string(pid) + " ";
    while (std::getline(trace, line)) {
        size_t colon = line.find(": sys_");
        if (line.find(self) == std::string::npos || colon == std::string::npos)
            continue;
        double at = std::atof(line.c_str() + line.rfind(' ', colon) + 1);
        if (line.find("sys_read -> 0x0", colon) != std::string::npos) {
            readAt = at;
        } else if (line.find("sys_write -> 0x15", colon) != std::string::npos && readAt >= 0) {
            result.push_back((at - readAt) * 1e6);
            readAt = -1;
        }
    }
    return result;
}

std::vector<double> measure(bool floor, int events, int loop)
{
    board::writeText(kTrace + "tracing_on", "0");
    board::writeText(kTrace + "trace", "");
    pid_t pid = start(floor);
    for (const char* event : {"sys_exit_read", "sys_exit_write"}) {
        board::writeText(kTrace + "events/syscalls/" + event + "/filter", "common_pid == " + std::to_string(pid));
        board::writeText(kTrace + "events/syscalls/" + event + "/enable", "1");
    }
    board::writeText(kTrace + "tracing_on", "1");
    for (int i = 0; i < events; ++i) {
        board::pps::triggerWhenWaiting();
        board::receive(loop, 1000, 21);  // drained, so that the line never backs up
    }
    board::writeText(kTrace + "tracing_on", "0");
    board::stopProgram(pid);
    for (const char* event : {"sys_exit_read", "sys_exit_write"})
        board::writeText(kTrace + "events/syscalls/" + event + "/enable", "0");
    return gaps(pid);
}

void print(const char* name, std::vector<double> us)
{
    if (us.empty()) {
        std::printf("bench: %-9s no samples\n", name);
        return;
    }
    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    std::printf("bench: %-9s %zu events: median %.0f us, mean %.0f us, 90%% %.0f us, max %.0f us\n", name,
                us.size(), us[us.size() / 2], sum / us.size(), us[us.size() * 9 / 10], us.back());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], kFloor) == 0)
        floorLoop();
    int events = argc > 1 ? std::atoi(argv[1]) : 300;
    board::pps::setTimer(false);
    int con = board::openRawPort(board::kTodPort);  // held open: keeps the raw settings
    int loop = board::openRawPort(board::kLoopPort);
    std::vector<double> halvern = measure(false, events, loop);
    std::vector<double> floor = measure(true, events, loop);
    print("halvern", halvern);
    print("floor", floor);
    if (!halvern.empty() && !floor.empty()) {
        std::sort(halvern.begin(), halvern.end());
        std::sort(floor.begin(), floor.end());
        std::printf("bench: ratio halvern/floor %.2f\n", halvern[halvern.size() / 2] / floor[floor.size() / 2]);
    }
    close(con);
    close(loop);
    size_t enough = static_cast<size_t>(events) * 9 / 10;
    bool ok = halvern.size() >= enough && floor.size() >= enough;
    std::printf("board result: %d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
    return ok ? 0 : 1;
}
