#include "pll_reset.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "boards.h"
#include "error_report.h"
#include "loader_settings.h"
#include "platform.h"

// The reset line of the PLL chip is one bit of a 16-bit register in the
// board's physical address space; the chip is held in reset while it is 0.
static const char PHYS_MEM_DEVICE[] = "/dev/mem";
constexpr off_t RESET_PAGE_ADDRESS = 0x520000000;
constexpr size_t RESET_PAGE_SIZE = 4096;
constexpr size_t RESET_REGISTER_OFFSET = 4;
constexpr unsigned long RESET_SETTLE_US = 2000000;

// A configuration file must be a regular file that its owner may read, and
// must not be empty.
constexpr mode_t CFG_MODE_MASK = S_IFMT | S_IRUSR;
constexpr mode_t CFG_MODE_WANTED = S_IFREG | S_IRUSR;
static_assert(CFG_MODE_MASK == 0xF100 && CFG_MODE_WANTED == 0x8100, "unexpected mode bits");

// The checks report as the pre-flight check, whichever part of it runs.
#define CHECK_REPORT(...) reportError("checkPllCfg", __LINE__, __VA_ARGS__)

int checkCfgStatus(mode_t mode, off_t size)
{
    if ((mode & CFG_MODE_MASK) != CFG_MODE_WANTED || size <= 0) {
        CHECK_REPORT("Error stat data, st_mode=0x%X,st_size=%u", static_cast<unsigned>(mode),
                     static_cast<unsigned>(size));
        return -1;
    }
    return 0;
}

int checkPllCfg(const char *device, const char *file, FileIdentity *identity)
{
    struct stat status;

    if (device == nullptr || file == nullptr) {
        CHECK_REPORT("Wrong input parameters, device=%p,file=%p", static_cast<const void *>(device),
                     static_cast<const void *>(file));
        return -1;
    }
    if (stat(device, &status) != 0) {
        CHECK_REPORT("Error call stat() for device %s, err=0x%X[%s]", device, errno, strerror(errno));
        return -1;
    }
    if (stat(file, &status) != 0) {
        CHECK_REPORT("Error call stat() for file %s, err=0x%X[%s]", file, errno, strerror(errno));
        return -1;
    }
    if (checkCfgStatus(status.st_mode, status.st_size) != 0)
        return -1;
    if (identity != nullptr)
        *identity = {status.st_dev, status.st_ino};
    return 0;
}

// Every catchable signal, from the moment the chip goes into reset until it
// runs again: a stop or an interrupt then acts only once the chip is
// released, never leaving it held in reset.
static bool holdAllSignals(sigset_t *previous)
{
    sigset_t all;
    if (sigfillset(&all) == 0 && sigprocmask(SIG_BLOCK, &all, previous) == 0)
        return true;
    REPORT_ERROR("Error holding signals off, err=0x%X[%s]", errno, strerror(errno));
    return false;
}

static void releaseSignals(const sigset_t *previous)
{
    if (sigprocmask(SIG_SETMASK, previous, nullptr) != 0)
        REPORT_ERROR("Error releasing signals, err=0x%X[%s]", errno, strerror(errno));
}

int pllReset(int timeout)
{
    const Board *board = boardOfType(loaderSettings.boardType);
    if (board == nullptr) {
        printf("\n Board unknown [%s], PLL will not be reset", "UNKNOWN");
        return -1;
    }
    printf("\n Reseting PLL chip on %s board", board->name);

    int fd = physMemOpen(PHYS_MEM_DEVICE, O_RDWR | O_SYNC);
    if (fd < 0) {
        REPORT_ERROR("Error opening MEM driver, err=0x%X[%s]", errno, strerror(errno));
        return -1;
    }
    void *page = physMemMap(RESET_PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, RESET_PAGE_ADDRESS);
    if (page == MAP_FAILED) {
        REPORT_ERROR("Error mapping physical memory for PLL reset, err=0x%X[%s]", errno, strerror(errno));
        if (physMemClose(fd) != 0)
            REPORT_ERROR("Error closing MEM driver, err=0x%X[%s]", errno, strerror(errno));
        return -1;
    }
    volatile uint16_t *reg =
        reinterpret_cast<volatile uint16_t *>(static_cast<char *>(page) + RESET_REGISTER_OFFSET);

    // Each message goes out before the register change that it announces.
    printf("\n PLL chip in reset,     timeout=%d ms", timeout);
    fflush(stdout);
    sigset_t previous;
    bool held = holdAllSignals(&previous);
    physMemWrite16(reg, physMemRead16(reg) & static_cast<uint16_t>(~board->resetMask));
    sleepMicroseconds(timeout > 0 ? static_cast<unsigned long>(timeout) * 1000 : 0);

    // Released whatever happens from here on: nothing may leave the chip in reset.
    printf("\n PLL chip out of reset, timeout=%d ms", static_cast<int>(RESET_SETTLE_US / 1000));
    fflush(stdout);
    physMemWrite16(reg, physMemRead16(reg) | board->resetMask);
    if (held)
        releaseSignals(&previous); // a signal held meanwhile acts now
    sleepMicroseconds(RESET_SETTLE_US);

    if (physMemUnmap(page, RESET_PAGE_SIZE) != 0)
        REPORT_ERROR("Error unmaping physical memory for PLL reset, err=0x%X[%s]", errno, strerror(errno));
    if (physMemClose(fd) != 0)
        REPORT_ERROR("Error closing MEM driver, err=0x%X[%s]", errno, strerror(errno));
    return 0;
}
