#include "board_sim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace board {

// ---- files ---------------------------------------------------------------------

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string readText(const std::string &path)
{
    std::string text;
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f)
        return text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

bool writeText(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

long long readNumber(const std::string &path)
{
    return std::strtoll(readText(path).c_str(), nullptr, 0);
}

bool writeNumber(const std::string &path, long long value)
{
    return writeText(path, std::to_string(value));
}

// ---- modules and the kernel ------------------------------------------------------

int loadModule(const std::string &path, const std::string &params)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int result = syscall(SYS_finit_module, fd, params.c_str(), 0) == 0 ? 0 : errno;
    close(fd);
    return result;
}

int unloadModule(const char *name)
{
    return syscall(SYS_delete_module, name, O_NONBLOCK) == 0 ? 0 : errno;
}

bool moduleLoaded(const char *name)
{
    return exists(std::string("/sys/module/") + name);
}

bool checkedKernel()
{
    return exists("/sys/kernel/debug/kmemleak");
}

long long kernelTaint()
{
    return readNumber("/proc/sys/kernel/tainted");
}

// ---- the kernel log --------------------------------------------------------------

int kmsgOpen()
{
    int fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
    if (fd >= 0)
        lseek(fd, 0, SEEK_END);
    return fd;
}

void kmsgMark()
{
    int marker = open("/dev/kmsg", O_WRONLY);
    if (marker >= 0) {
        const char text[] = "<7>guest: log read\n";
        if (write(marker, text, sizeof(text) - 1) < 0)
            std::perror("/dev/kmsg");
        close(marker);
    }
}

int kmsgNext(int fd, LogRecord *record)
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
        const char *text = std::strchr(buf, ';');
        if (!text)
            continue;
        std::string line(text + 1);
        *record = {std::atoi(buf) & 7, line.substr(0, line.find('\n'))};
        return 1;
    }
}

std::vector<LogRecord> kmsgTake(int fd)
{
    kmsgMark();
    std::vector<LogRecord> records;
    LogRecord record;
    for (int got; (got = kmsgNext(fd, &record)) != 0;) // overwritten records: go on
        if (got > 0)
            records.push_back(record);
    close(fd);
    return records;
}

bool hasRecord(const std::vector<LogRecord> &records, int level, const std::string &text)
{
    for (const LogRecord &r : records)
        if (r.level == level && r.text == text)
            return true;
    return false;
}

bool logMentions(const std::vector<LogRecord> &records, const char *word)
{
    for (const LogRecord &r : records)
        if (r.text.find(word) != std::string::npos)
            return true;
    return false;
}

// ---- programs --------------------------------------------------------------------

pid_t startProgram(const char *path, const std::vector<std::string> &args, const char *outPath, const Start &how)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (how.ownSession)
        setsid();
    int out = open(outPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = how.errPath ? open(how.errPath, O_WRONLY | O_CREAT | O_TRUNC, 0644) : out;
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    for (int fd = 3; fd < 64; ++fd) // nothing else open
        close(fd);
    std::string name = how.name ? how.name : path;
    std::vector<std::string> words = args;
    std::vector<char *> argv{&name[name.rfind('/') + 1]};
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    std::vector<std::string> settings = how.environment;
    for (std::string &setting : settings)
        putenv(&setting[0]);
    execv(path, argv.data());
    _exit(127);
}

int waitStatus(pid_t pid, int timeoutMs)
{
    for (double end = monotonicMs() + timeoutMs;; usleep(2000)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        if (monotonicMs() > end)
            break;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int waitExit(pid_t pid, int timeoutMs)
{
    int status = waitStatus(pid, timeoutMs);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void stopProgram(pid_t pid)
{
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::vector<pid_t> startBusyLoops(int count)
{
    std::vector<pid_t> loops;
    for (int i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid == 0)
            for (volatile unsigned long spins = 0;; spins = spins + 1) {
            }
        loops.push_back(pid);
    }
    return loops;
}

void stopBusyLoops(const std::vector<pid_t> &loops)
{
    for (pid_t pid : loops)
        kill(pid, SIGKILL);
    for (pid_t pid : loops)
        waitpid(pid, nullptr, 0);
}

std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    DIR *proc = opendir("/proc");
    for (struct dirent *entry; proc && (entry = readdir(proc)) != nullptr;) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
        size_t end = stat.rfind(')');
        int ppid = 0;
        if (end != std::string::npos && std::sscanf(stat.c_str() + end + 2, "%*c %d", &ppid) == 1 && ppid == parent)
            children.push_back(pid);
    }
    if (proc)
        closedir(proc);
    return children;
}

double monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// ---- serial ports ----------------------------------------------------------------

int openRawPort(const char *path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0 || (cfmakeraw(&tio), cfsetspeed(&tio, B115200)) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string receive(int fd, int quietMs, size_t most)
{
    std::string bytes;
    struct pollfd p = {fd, POLLIN, 0};
    while (bytes.size() < most && poll(&p, 1, quietMs) == 1) {
        char buf[512];
        size_t room = most - bytes.size();
        ssize_t n = read(fd, buf, room < sizeof(buf) ? room : sizeof(buf));
        if (n <= 0)
            break;
        bytes.append(buf, n);
    }
    return bytes;
}

// ---- sim_spi ---------------------------------------------------------------------

namespace spi {

static std::string knob(int bus, const char *name)
{
    return "/sys/kernel/debug/sim_spi/bus" + std::to_string(bus) + "/" + name;
}

void clear()
{
    writeText(knob(0, "clear"), "1");
    writeText(knob(1, "clear"), "1");
}

std::vector<Transfer> transfers(int bus)
{
    std::vector<Transfer> list;
    std::string text = readText(knob(bus, "transfers"));
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        Transfer t{};
        int used = 0;
        std::sscanf(line.c_str(), "len=%u speed=%u bits=%u mode=%x ns=%*u data=%n", &t.len, &t.speed, &t.bits, &t.mode,
                    &used);
        for (const char *p = line.c_str() + used; *p;) {
            char *next;
            long byte = std::strtol(p, &next, 16);
            if (next == p)
                break;
            t.bytes.push_back(static_cast<int>(byte));
            p = next;
        }
        list.push_back(t);
    }
    return list;
}

Registers registers(int bus)
{
    Registers map;
    std::string text = readText(knob(bus, "registers"));
    int address, value, used;
    for (const char *p = text.c_str(); std::sscanf(p, "%x %x\n%n", &address, &value, &used) == 2; p += used)
        map[address] = value;
    return map;
}

std::string chip(int bus)
{
    return readText(knob(bus, "chip"));
}

int count(int bus, const std::string &name)
{
    std::string line = " " + chip(bus);
    size_t at = line.find(" " + name + "=");
    return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + name.size() + 2);
}

bool waitForCount(int bus, const std::string &name, int atLeast, int timeoutMs)
{
    for (double end = monotonicMs() + timeoutMs; monotonicMs() < end; usleep(5000))
        if (count(bus, name) >= atLeast)
            return true;
    return false;
}

bool failNext(int bus, int nth)
{
    return writeNumber(knob(bus, "fail_next"), nth);
}

bool setDelayMs(int bus, int ms)
{
    return writeNumber(knob(bus, "delay_ms"), ms);
}

} // namespace spi

volatile uint16_t *resetRegister()
{
    static volatile uint16_t *reg = nullptr;
    if (!reg) {
        int fd = open("/dev/mem", O_RDWR | O_SYNC);
        void *page = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0x520000000);
        if (fd >= 0)
            close(fd);
        if (page == MAP_FAILED) {
            std::perror("/dev/mem");
            std::exit(1);
        }
        reg = static_cast<volatile uint16_t *>(page) + 2; // at 0x520000004
    }
    return reg;
}

// ---- sim_appint ------------------------------------------------------------------

namespace pps {

static const std::string kKnobs = "/sys/kernel/debug/sim_appint/";

bool present()
{
    return exists(kKnobs);
}
bool setTimer(bool on)
{
    return writeNumber(kKnobs + "timer", on);
}
bool timerOn()
{
    return readNumber(kKnobs + "timer") != 0;
}
bool setPhaseNs(long long ns)
{
    return writeNumber(kKnobs + "phase_ns", ns);
}
bool trigger()
{
    return writeNumber(kKnobs + "trigger", 1);
}
bool burst(int events)
{
    return writeNumber(kKnobs + "burst", events);
}
bool setImmediate(bool on)
{
    return writeNumber(kKnobs + "immediate", on);
}
bool setPollable(bool on)
{
    return writeNumber(kKnobs + "pollable", on);
}
long long waiting()
{
    return readNumber(kKnobs + "waiting");
}
long long reads()
{
    return readNumber(kKnobs + "reads");
}
long long events()
{
    return readNumber(kKnobs + "events");
}
long long lastEventNs()
{
    return readNumber(kKnobs + "last_event_ns");
}
bool injectShort()
{
    return writeNumber(kKnobs + "inject_short", 1);
}
bool injectEio()
{
    return writeNumber(kKnobs + "inject_eio", 1);
}

bool waitForWaiting(long long n, int timeoutMs)
{
    for (double end = monotonicMs() + timeoutMs;; usleep(200)) {
        if (waiting() == n)
            return true;
        if (monotonicMs() > end)
            return false;
    }
}

bool triggerWhenWaiting()
{
    return waitForWaiting(1, 5000) && trigger();
}

bool triggerHandled()
{
    long long before = reads();
    if (!waitForWaiting(1, 5000) || !trigger())
        return false;
    for (double end = monotonicMs() + 5000; reads() <= before; usleep(200))
        if (monotonicMs() > end)
            return false;
    return waitForWaiting(1, 5000);
}

// Asleep first: a reader's work on the last event is long done by the time
// this looks whether it is parked, so the looking does not cut into it.
time_t triggerAtSecond(long afterNs)
{
    struct timespec at;
    clock_gettime(CLOCK_REALTIME, &at);
    at.tv_sec += 1;
    at.tv_nsec = afterNs;
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    return waitForWaiting(1, 5000) && trigger() ? at.tv_sec : 0;
}

} // namespace pps

// ---- the system clock ------------------------------------------------------------

namespace clock {

bool setSynchronised(bool synchronised)
{
    struct timex tx {};
    if (adjtimex(&tx) < 0)
        return false;
    tx.modes = ADJ_STATUS;
    if (synchronised) {
        tx.status &= ~STA_UNSYNC;
        // Far below the limit at which the kernel gives the clock up again.
        tx.modes |= ADJ_MAXERROR;
        tx.maxerror = 1000;
    } else {
        tx.status |= STA_UNSYNC;
    }
    return adjtimex(&tx) >= 0;
}

int synchronised()
{
    struct timex tx {}; // modes 0: only asks
    int state = adjtimex(&tx);
    if (state < 0)
        return -1;
    // As halvern asks: the kernel gives the clock up again at the next
    // second while the maximum error is at its limit, 16 s.
    return state != TIME_ERROR && !(tx.status & STA_UNSYNC) && tx.maxerror < 16000000;
}

} // namespace clock

// ---- sim_otx2_ptp ----------------------------------------------------------------

namespace ptp {

static const std::string kKnobs = "/sys/kernel/debug/sim_otx2_ptp/";

void answer(long long ppsNs, long long nsPerClockId)
{
    writeNumber(kKnobs + "pps_ns", ppsNs);
    writeNumber(kKnobs + "ns_per_clock_id", nsPerClockId);
    writeNumber(kKnobs + "error", 0);
    writeNumber(kKnobs + "error_clock_id_mod", 0);
}

void followEdges(long long nsPerClockId)
{
    answer(0, nsPerClockId);
    writeNumber(kKnobs + "follow_edges", 1);
}

void failWith(long long error, unsigned everyNthId)
{
    writeNumber(kKnobs + "error", error);
    writeNumber(kKnobs + "error_clock_id_mod", everyNthId);
}

long long calls()
{
    return readNumber(kKnobs + "calls");
}
long long lastClockId()
{
    return readNumber(kKnobs + "last_clock_id");
}

} // namespace ptp

// ---- the PTP hardware clock --------------------------------------------------------

namespace phc {

clockid_t clockOf(int fd)
{
    return (~static_cast<clockid_t>(fd) << 3) | 3; // the kernel's FD_TO_CLOCKID
}

static long long nsOf(const timespec &ts)
{
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// f on the clock of kDevice, opened for it.
template <typename F> static bool onClock(F f)
{
    int fd = open(kDevice, O_RDWR | O_CLOEXEC);
    bool ok = fd >= 0 && f(clockOf(fd));
    if (fd >= 0)
        close(fd);
    return ok;
}

long long nowNs()
{
    timespec ts;
    return onClock([&](clockid_t c) { return clock_gettime(c, &ts) == 0; }) ? nsOf(ts) : -1;
}

bool set(long long ns)
{
    timespec ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return onClock([&](clockid_t c) { return clock_settime(c, &ts) == 0; });
}

bool step(long long ns)
{
    struct timex tx {};
    tx.modes = ADJ_SETOFFSET | ADJ_NANO;
    tx.time.tv_sec = ns / 1000000000;
    tx.time.tv_usec = ns % 1000000000; // nanoseconds, 0 to 999999999
    if (tx.time.tv_usec < 0) {
        tx.time.tv_sec -= 1;
        tx.time.tv_usec += 1000000000;
    }
    return onClock([&](clockid_t c) { return clock_adjtime(c, &tx) >= 0; });
}

bool setFrequencyPpb(double ppb)
{
    struct timex tx {};
    tx.modes = ADJ_FREQUENCY;
    tx.freq = std::lround(ppb * 65.536); // ppm with 16 fractional bits
    return onClock([&](clockid_t c) { return clock_adjtime(c, &tx) >= 0; });
}

bool compare(clockid_t other, long long *phcNs, long long *otherNs)
{
    return onClock([&](clockid_t c) {
        for (long long i = 0, best = -1; i < 10; i++) {
            timespec before, at, after;
            clock_gettime(other, &before);
            if (clock_gettime(c, &at) != 0)
                return false;
            clock_gettime(other, &after);
            if (best < 0 || nsOf(after) - nsOf(before) < best) {
                best = nsOf(after) - nsOf(before);
                *phcNs = nsOf(at);
                *otherNs = nsOf(before) + best / 2;
            }
        }
        return true;
    });
}

long long taiOffsetNs()
{
    long long phc = 0, real = 0;
    compare(CLOCK_REALTIME, &phc, &real);
    return phc - kTaiNs - real;
}

// A step rather than a set, which would be off by the time the calls take.
bool restore()
{
    return setFrequencyPpb(0) && step(-taiOffsetNs());
}

} // namespace phc

// ---- sim_soc ---------------------------------------------------------------------

namespace soc {

// A block's debugfs folder, or a file in it.
static std::string knob(const char *block, const char *name = "")
{
    return std::string("/sys/kernel/debug/sim_soc/") + block + "/" + name;
}

static std::string regsOf(const char *block)
{
    return knob(block, "regs");
}

uint64_t readReg(const char *block, unsigned offset)
{
    uint64_t value = 0xBAD;
    int fd = open(regsOf(block).c_str(), O_RDONLY);
    if (fd < 0 || pread(fd, &value, 8, offset) != 8)
        std::printf("  cannot read %s register 0x%X\n", block, offset);
    if (fd >= 0)
        close(fd);
    return value;
}

bool writeReg(const char *block, unsigned offset, uint64_t value)
{
    int fd = open(regsOf(block).c_str(), O_WRONLY);
    bool ok = fd >= 0 && pwrite(fd, &value, 8, offset) == 8;
    if (!ok)
        std::printf("  cannot write %s register 0x%X\n", block, offset);
    if (fd >= 0)
        close(fd);
    return ok;
}

size_t registerCount(const char *block)
{
    return (std::string(block) == "bts" ? 0x2000 : 0x10000) / 8;
}

std::vector<uint64_t> snapshot(const char *block)
{
    std::vector<uint64_t> regs(registerCount(block), 0xBAD);
    int fd = open(regsOf(block).c_str(), O_RDONLY);
    for (size_t i = 0; fd >= 0 && i < regs.size(); ++i)
        if (pread(fd, &regs[i], 8, i * 8) != 8)
            regs[i] = 0xBAD;
    if (fd >= 0)
        close(fd);
    return regs;
}

bool fill(const char *block)
{
    int fd = open(regsOf(block).c_str(), O_WRONLY);
    bool ok = fd >= 0;
    for (size_t i = 0; ok && i < registerCount(block); ++i) {
        uint64_t value = 0x5A5A000000000000ULL | i;
        ok = pwrite(fd, &value, 8, i * 8) == 8;
    }
    if (!ok)
        std::printf("  cannot fill %s\n", block);
    if (fd >= 0)
        close(fd);
    return ok;
}

bool present(const char *block)
{
    return exists(knob(block));
}

long long refs(const char *block)
{
    return readNumber(knob(block, "refs"));
}

int reload(const std::string &params)
{
    int error = moduleLoaded("sim_soc") ? unloadModule("sim_soc") : 0;
    return error ? error : loadModule(std::string(kSimModules) + "sim_soc.ko", params);
}

} // namespace soc

// ---- sim_fault -------------------------------------------------------------------

namespace fault {

int arm(const char *function, int nth, int error)
{
    char params[128];
    std::snprintf(params, sizeof(params), "func=%s nth=%d err=%d", function, nth, error);
    return loadModule(std::string(kToolModules) + "sim_fault.ko", params);
}

long long hits()
{
    return readNumber("/sys/kernel/debug/sim_fault/hits");
}
int disarm()
{
    return unloadModule("sim_fault");
}

} // namespace fault

// ---- sim_short_write -------------------------------------------------------------

namespace shortWrite {

static const std::string kKnobs = "/sys/kernel/debug/sim_short_write/";

int load()
{
    return loadModule(std::string(kToolModules) + "sim_short_write.ko");
}
int unload()
{
    return unloadModule("sim_short_write");
}
bool setLimits(const char *limits)
{
    return writeText(kKnobs + "limits", limits);
}
long long cut()
{
    return readNumber(kKnobs + "cut");
}

} // namespace shortWrite

} // namespace board
