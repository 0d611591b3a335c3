// halvern_bench: time from the PPS read's return to the serial write's
// completion, for halvern and for a bare loop that only reads the PPS device
// and writes a fixed 21-byte string, over a few hundred triggered PPS events.
// Measured from outside with the kernel's syscall exit trace events, so the
// programs run unchanged.
//   halvern_bench [events]          (default 300)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kPps = "/sys/kernel/debug/sim_appint/";
const std::string kTrace = "/sys/kernel/debug/tracing/";

void put(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text << "\n";
}

long long get(const std::string& path)
{
    long long value = 0;
    std::ifstream(path) >> value;
    return value;
}

int openRaw(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios tio;
    if (fd >= 0 && tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(fd, TCSANOW, &tio);
        tcflush(fd, TCIOFLUSH);
    }
    return fd;
}

// The bare loop: nothing between the read and the write.
[[noreturn]] void bareLoop()
{
    static const char tod[] = "T108050303072024Z0000";
    int pps = open("/dev/appint2", O_RDWR);
    int con = open("/dev/ttyS2", O_RDWR | O_NOCTTY);
    char scratch;
    while (read(pps, &scratch, 1) == 0)
        if (write(con, tod, sizeof(tod) - 1) < 0)
            break;
    _exit(1);
}

pid_t start(bool bare)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (bare)
            bareLoop();
        execl("/bin/halvern", "halvern", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
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

std::vector<double> measure(bool bare, int events, int loop)
{
    put(kTrace + "tracing_on", "0");
    put(kTrace + "trace", "");
    pid_t pid = start(bare);
    for (const char* event : {"sys_exit_read", "sys_exit_write"}) {
        put(kTrace + "events/syscalls/" + event + "/filter", "common_pid == " + std::to_string(pid));
        put(kTrace + "events/syscalls/" + event + "/enable", "1");
    }
    put(kTrace + "tracing_on", "1");
    for (int i = 0; i < events; ++i) {
        for (int wait = 0; wait < 1000 && get(kPps + "waiting") < 1; ++wait)
            usleep(1000);
        put(kPps + "trigger", "1");
        // Drain the loop-back port, so the line never backs up.
        size_t received = 0;
        struct pollfd p = {loop, POLLIN, 0};
        char buf[64];
        while (received < 21 && poll(&p, 1, 1000) == 1) {
            ssize_t n = read(loop, buf, sizeof(buf));
            received += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    put(kTrace + "tracing_on", "0");
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    for (const char* event : {"sys_exit_read", "sys_exit_write"})
        put(kTrace + "events/syscalls/" + event + "/enable", "0");
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
    int events = argc > 1 ? std::atoi(argv[1]) : 300;
    put(kPps + "timer", "0");
    int con = openRaw("/dev/ttyS2");  // held open: keeps the raw settings
    int loop = openRaw("/dev/ttyS3");
    std::vector<double> halvern = measure(false, events, loop);
    std::vector<double> bare = measure(true, events, loop);
    print("halvern", halvern);
    print("bare loop", bare);
    close(con);
    close(loop);
    size_t enough = static_cast<size_t>(events) * 9 / 10;
    bool ok = halvern.size() >= enough && bare.size() >= enough;
    std::printf("board result: %d passed, %d failed\n", ok ? 1 : 0, ok ? 0 : 1);
    return ok ? 0 : 1;
}
