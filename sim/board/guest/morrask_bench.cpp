// morrask_bench: the loader's cost per register write on the simulated
// board's SPI bus, next to a floor that does what each write needs and
// nothing more (open the node; hold the signals, two SPI_IOC_MESSAGEs,
// restore the mask; close; the write's trace line, flushed); then the time
// to load the 400-write sample. The loader's figure per write is the
// difference between a run of 2N writes and one of N, so that its start,
// pre-flight check and exit are counted once, on their own. The loader's
// own sleeps (the 200 ms pause after the banner, the waits the file asks
// for, the reset pulse) are left out of the work figures and stated on
// their own.
//   morrask_bench [writes]          (default 2000)
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board_sim.h"

namespace {

const char *const kDevice = "/dev/spidev1.1";
constexpr double kBannerPauseMs = 200;
constexpr int kRounds = 5;

// Wall time of one loader run in ms; its output goes where a board's log would.
double timeMorrask(const std::vector<std::string> &args)
{
    double start = board::monotonicMs();
    pid_t pid = board::startProgram("/bin/morrask", args, "/tmp/morrask_bench.out");
    int status = -1;
    // A blocking wait: a polling one would take turns with the loader on
    // the board's one CPU and be counted as the loader's time.
    if (waitpid(pid, &status, 0) != pid)
        status = -1;
    double took = board::monotonicMs() - start;
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("bench: morrask failed (status 0x%x)\n", status);
        std::exit(1);
    }
    return took;
}

// The two transfers of a write with every signal but SIGTERM and SIGKILL
// held off across both.
bool heldWrite(int fd, struct spi_ioc_transfer *page, struct spi_ioc_transfer *reg)
{
    sigset_t all, saved;
    sigfillset(&all);
    sigdelset(&all, SIGTERM);
    sigprocmask(SIG_BLOCK, &all, &saved);
    bool ok = ioctl(fd, SPI_IOC_MESSAGE(1), page) == 2 && ioctl(fd, SPI_IOC_MESSAGE(1), reg) == 2;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    return ok;
}

// What one register write needs, with nothing around it: the floor. With
// a stream to check, also the status call that the loader makes per line
// to see that its configuration file is unchanged.
bool floorWrite(FILE *trace, unsigned address, unsigned char value, FILE *checked = nullptr)
{
    struct stat status;
    if (checked != nullptr && fstat(fileno(checked), &status) != 0)
        return false;
    std::fprintf(trace, "\n WRITE: 0x%04X  0x%02X", address, value);
    std::fflush(trace);
    unsigned char page[2] = {0x7F, static_cast<unsigned char>(address >> 7)};
    unsigned char reg[2] = {static_cast<unsigned char>(address & 0x7F), value};
    struct spi_ioc_transfer xfer[2] = {};
    for (struct spi_ioc_transfer &one : xfer) {
        one.len = 2;
        one.speed_hz = 10000000;
        one.bits_per_word = 8;
    }
    xfer[0].tx_buf = reinterpret_cast<uintptr_t>(page);
    xfer[1].tx_buf = reinterpret_cast<uintptr_t>(reg);
    int fd = open(kDevice, O_RDWR);
    bool ok = fd >= 0 && heldWrite(fd, &xfer[0], &xfer[1]);
    return close(fd) == 0 && ok;
}

// ms per write of the floor over writes writes, tracing into trace and,
// with checked, making the status call on it too; negative on a failure.
double timeFloor(FILE *trace, int writes, FILE *checked = nullptr)
{
    double start = board::monotonicMs();
    for (int i = 0; i < writes; ++i)
        if (!floorWrite(trace, i % 0x800, i & 0xFF, checked)) {
            std::printf("bench: the floor's write %d failed\n", i);
            return -1;
        }
    return (board::monotonicMs() - start) / writes;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The sample's own waits, in ms.
double sampleWaitsMs()
{
    double waits = 0;
    FILE *f = std::fopen(board::kSampleConfig, "r");
    char line[256];
    unsigned long us;
    while (f && std::fgets(line, sizeof(line), f))
        if (std::sscanf(line, "W,%lu", &us) == 1)
            waits += us / 1e3;
    if (f)
        std::fclose(f);
    return waits;
}

// A configuration file of count writes.
std::string writeConfig(int count)
{
    std::string path = "/tmp/bench-" + std::to_string(count) + ".cfg";
    FILE *f = std::fopen(path.c_str(), "w");
    for (int i = 0; i < count; ++i)
        std::fprintf(f, "X,0x%04X,0x%02X\n", i % 0x800, i & 0xFF);
    std::fclose(f);
    return path;
}

} // namespace

int main(int argc, char **argv)
{
    int writes = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (writes < 1)
        writes = 2000;
    std::string single = writeConfig(writes);
    std::string twice = writeConfig(2 * writes);

    std::vector<double> loader, fixed, floor, checkedFloor, sample;
    for (int round = 0; round < kRounds; ++round) {
        double once = timeMorrask({"-r", single}) - kBannerPauseMs;
        double perWrite = (timeMorrask({"-r", twice}) - kBannerPauseMs - once) / writes;
        loader.push_back(perWrite);
        fixed.push_back(once - writes * perWrite);
        FILE *trace = std::fopen("/tmp/morrask_floor.out", "w");
        FILE *config = std::fopen(single.c_str(), "r");
        floor.push_back(timeFloor(trace, writes));
        checkedFloor.push_back(timeFloor(trace, writes, config));
        std::fclose(config);
        std::fclose(trace);
        if (floor.back() < 0 || checkedFloor.back() < 0) {
            std::printf("TAP version 13\n1..1\nnot ok 1 - morrask_bench # the floor failed\n");
            return 1;
        }
        sample.push_back(timeMorrask({"-r", board::kSampleConfig}) - kBannerPauseMs - sampleWaitsMs());
    }
    double withReset = timeMorrask({board::kSampleConfig});

    std::printf("bench: %d and %d writes per run, median of %d rounds, one vCPU, instruction-counted\n", writes,
                2 * writes, kRounds);
    std::printf("bench: morrask    %.1f us per register write (the runs' difference)\n", median(loader) * 1e3);
    std::printf("bench: morrask    %.1f ms once per run: start, pre-flight check, exit (less the 200 ms pause)\n",
                median(fixed));
    std::printf("bench: floor      %.1f us per register write (open, 2 held ioctls, close, trace line)\n",
                median(floor) * 1e3);
    std::printf("bench: floor      %.1f us per register write with the status call per line (fstat)\n",
                median(checkedFloor) * 1e3);
    std::printf("bench: ratio morrask/floor %.2f\n", median(loader) / median(floor));
    std::printf("bench: ratio morrask/floor_with_check %.2f\n", median(loader) / median(checkedFloor));
    std::printf("bench: sample     400 writes loaded in %.0f ms of work\n", median(sample));
    std::printf("bench: sample     sleeps on top: 200 ms pause after the banner, %.0f ms of waits in the file,"
                " and with the reset pulse 200 ms held + 2000 ms settling\n",
                sampleWaitsMs());
    std::printf("bench: sample     whole run with the reset pulse: %.0f ms\n", withReset);
    std::printf("TAP version 13\n1..1\nok 1 - morrask_bench\n");
    return 0;
}
