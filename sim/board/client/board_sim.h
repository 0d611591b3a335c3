// The simulated board as its guest programs see it: files, modules and the
// kernel log; programs started with their output captured; the looped serial
// ports; and the knobs of every simulation module (sim/board/kmod/, where
// each module's header says what its debugfs files do). Guest tests,
// benchmarks and tools all reach the board through here.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace board {

// What the board's initramfs holds (sim/board/build.sh).
constexpr const char *kKvPtpModule = "/lib/board/kv_ptp.ko";
constexpr const char *kSimModules = "/lib/board/sim/";    // loaded at boot
constexpr const char *kToolModules = "/lib/board/tools/"; // loaded by the tests that use them
constexpr const char *kSampleConfig = "/lib/board/samples/vkc-pll.cfg";

// ---- files ---------------------------------------------------------------------

bool exists(const std::string &path);
std::string readText(const std::string &path);
bool writeText(const std::string &path, const std::string &text);
long long readNumber(const std::string &path);
bool writeNumber(const std::string &path, long long value);

// ---- modules and the kernel ------------------------------------------------------

// Loads a module file; 0 or the errno of the failed load.
int loadModule(const std::string &path, const std::string &params = "");
// Unloads a module without waiting; 0 or the errno of the refusal.
int unloadModule(const char *name);
bool moduleLoaded(const char *name);

// The kernel runs its own checkers (5.4-debug: KASAN, kmemleak, lockdep),
// which make each kernel call several times as dear: long loops take a
// tenth of their rounds there.
bool checkedKernel();

constexpr long long kTaintDie = 1 << 7;
constexpr long long kTaintWarn = 1 << 9;
long long kernelTaint();

// ---- the kernel log --------------------------------------------------------------

struct LogRecord {
    int level;
    std::string text; // the first line of the record
};

// Opens /dev/kmsg positioned after the records already in the log.
int kmsgOpen();
// Closes a line left without its final newline, which stays open for
// continuation, out of readers' sight, until the next record.
void kmsgMark();
// The next record: 1 with the record, 0 at the end, -1 when records were
// overwritten before they were read.
int kmsgNext(int fd, LogRecord *record);
// Every record logged since kmsgOpen; closes the log.
std::vector<LogRecord> kmsgTake(int fd);
bool hasRecord(const std::vector<LogRecord> &records, int level, const std::string &text);
bool logMentions(const std::vector<LogRecord> &records, const char *word);

// ---- programs --------------------------------------------------------------------

// How a program is started; by default as init starts a service's program
// but in the caller's session, with standard error going where its output goes.
struct Start {
    bool ownSession = false;              // no controlling terminal, as init starts a service
    const char *errPath = nullptr;        // standard error's own file
    const char *name = nullptr;           // argv[0], when not the file's name
    std::vector<std::string> environment; // NAME=value settings added

    static Start asService()
    {
        Start how;
        how.ownSession = true;
        return how;
    }
};

// Starts path with args, its standard output going to outPath, nothing else
// open; returns its pid.
pid_t startProgram(const char *path, const std::vector<std::string> &args, const char *outPath, const Start &how = {});
// The wait status of a program that ends within timeoutMs; -1 if it does
// not (it is killed then).
int waitStatus(pid_t pid, int timeoutMs);
// Its exit status, or -1 when it ended by a signal or not in time.
int waitExit(pid_t pid, int timeoutMs);
// SIGTERM, and waits for the end.
void stopProgram(pid_t pid);
// count normal-priority processes that only spin, to load the CPUs; and
// their end.
std::vector<pid_t> startBusyLoops(int count);
void stopBusyLoops(const std::vector<pid_t> &loops);
// Processes whose parent is pid.
std::vector<pid_t> childrenOf(pid_t pid);
double monotonicMs();

// ---- serial ports ----------------------------------------------------------------

// ttyS2, the ToD port, is looped into ttyS3 outside the guest.
constexpr const char *kTodPort = "/dev/ttyS2";
constexpr const char *kLoopPort = "/dev/ttyS3";

// A port opened non-blocking as a raw 8-bit line at 115200 Bd without echo,
// as the board's start-up configures the ToD port, and flushed; -1 when it
// cannot be opened or set.
int openRawPort(const char *path);
// What arrives until quietMs pass without a byte, or most bytes have come.
std::string receive(int fd, int quietMs, size_t most = SIZE_MAX);

// ---- sim_spi: the SPI buses and their PLL chips --------------------------------------

namespace spi {
struct Transfer {
    unsigned len, speed, bits, mode;
    std::vector<int> bytes;
};
using Registers = std::map<int, int>;

void clear(); // both buses
std::vector<Transfer> transfers(int bus);
Registers registers(int bus);
std::string chip(int bus);                   // the counts line
int count(int bus, const std::string &name); // a count of it, e.g. "writes"; -1 if none
bool waitForCount(int bus, const std::string &name, int atLeast, int timeoutMs = 5000);
bool failNext(int bus, int nth);
bool setDelayMs(int bus, int ms);
} // namespace spi

// The 16-bit PLL reset register in the board's physical memory, mapped
// through /dev/mem; the program ends when it cannot be.
volatile uint16_t *resetRegister();

// ---- sim_appint: the PPS interrupt device ----------------------------------------

namespace pps {
constexpr const char *kDevice = "/dev/appint2";

bool present();         // sim_appint is loaded
bool setTimer(bool on); // the events on each whole second (plus the phase)
bool timerOn();
// The timer's events ns after each whole second, before it when negative.
bool setPhaseNs(long long ns);
bool trigger();
bool burst(int events); // 1 to 100 events, the first now, then one each ms
// On: every read returns at once, an event of its own; poll() always
// finds the device readable.
bool setImmediate(bool on);
// Off: poll() answers as for a device without a poll method, readable and
// writable at once; reads still block.
bool setPollable(bool on);
long long waiting();
long long reads();
long long events();
long long lastEventNs();
bool injectShort();
bool injectEio();
// Whether exactly n readers are parked in the device within timeoutMs.
bool waitForWaiting(long long n, int timeoutMs);
// One event, once a reader is parked in the device; false when none parks
// within 5 s.
bool triggerWhenWaiting();
// One event, handed over once a reader is parked, returning only once that
// reader has handled it and is parked again.
bool triggerHandled();
// One event afterNs past the next whole second of the board's clock, as a
// PPS marks it (later if no reader is parked by then); that second, or 0
// when no event was made.
time_t triggerAtSecond(long afterNs = 0);
} // namespace pps

// ---- the system clock's NTP state ----------------------------------------------------

namespace clock {
// Clears STA_UNSYNC with a small maximum error, as a daemon keeping the
// clock would (the kernel sets it at boot), or sets it; false when the
// kernel refuses.
bool setSynchronised(bool synchronised);
// 1 when the kernel holds the clock synchronised, 0 when not, -1 on error.
int synchronised();
} // namespace clock

// ---- sim_otx2_ptp: the SoC's PTP driver --------------------------------------------

namespace ptp {
// Every call answers ppsNs, plus nsPerClockId per unit of the clock id; no errors.
void answer(long long ppsNs, long long nsPerClockId = 0);
// Every call answers the PHC's time at the latest PPS edge (as at load),
// plus nsPerClockId per unit of the clock id; no errors.
void followEdges(long long nsPerClockId = 0);
// error instead of a time stamp, for clock ids that are multiples of
// everyNthId (for every clock id when 0).
void failWith(long long error, unsigned everyNthId = 0);
long long calls();
long long lastClockId();
} // namespace ptp

// ---- sim_otx2_ptp's PTP hardware clock, which the PPS timer follows -------------------

namespace phc {
constexpr const char *kDevice = "/dev/ptp0";
// TAI - UTC: at load the clock reads CLOCK_REALTIME + this.
constexpr long long kTaiNs = 37000000000LL;

// The clock of an open kDevice, for clock_gettime and clock_adjtime.
clockid_t clockOf(int fd);
// Each of these opens kDevice for the call.
long long nowNs(); // -1 when the clock cannot be read
bool set(long long ns);
bool step(long long ns);
bool setFrequencyPpb(double ppb);
// The clock's reading and clock other's at one moment, as phc_ctl's cmp
// takes them: other's in the middle of the closest of ten pairs of its
// readings around one of the clock's.
bool compare(clockid_t other, long long *phcNs, long long *otherNs);
// The clock's distance from CLOCK_REALTIME + kTaiNs.
long long taiOffsetNs();
// Back on CLOCK_REALTIME + kTaiNs, within microseconds, at the nominal rate.
bool restore();
} // namespace phc

// ---- sim_soc: the SoC's PTP, GPIO and BTS register blocks -------------------------

namespace soc {
// Blocks: "ptp", "gpio", "bts".
uint64_t readReg(const char *block, unsigned offset); // 0xBAD when it cannot be read
bool writeReg(const char *block, unsigned offset, uint64_t value);
size_t registerCount(const char *block);
std::vector<uint64_t> snapshot(const char *block);
// Fills a block with a pattern no register of it is set to.
bool fill(const char *block);
bool present(const char *block);   // the block is there (its PCI device on the bus)
long long refs(const char *block); // the PCI device's reference count
// Loads sim_soc again, or anew where it is not loaded, with the given
// parameters ("ptp=0" leaves the PTP device off its bus); 0 or an errno.
int reload(const std::string &params);
} // namespace soc

// ---- sim_fault: one failing kernel call ----------------------------------------------

namespace fault {
// Makes the nth call of function return error; 0 or the load's errno.
int arm(const char *function, int nth, int error);
long long hits();
int disarm();
} // namespace fault

// ---- sim_short_write: short writes to ttyS2 ------------------------------------------

namespace shortWrite {
int load();
int unload();
// Byte limits of the next writes, e.g. "1 3 16"; "0" takes nothing.
bool setLimits(const char *limits);
long long cut();
} // namespace shortWrite

} // namespace board
