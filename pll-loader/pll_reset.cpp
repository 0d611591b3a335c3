#include "pll_reset.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>

#include "boards.h"
#include "error_report.h"
#include "loader_settings.h"
#include "messages.h"
#include "platform.h"

// The reset line of the PLL chip is one bit of a 16-bit register in the
// board's physical address space; the chip is held in reset while it is 0.
static const char PHYS_MEM_DEVICE[] = "/dev/mem";
constexpr off_t RESET_PAGE_ADDRESS = 0x520000000;
constexpr size_t RESET_PAGE_SIZE = 4096;
constexpr size_t RESET_REGISTER_OFFSET = 4;
constexpr unsigned long RESET_SETTLE_US = 2000000;

// Every catchable signal, from the moment the chip goes into reset until it
// runs again: a stop or an interrupt then acts only once the chip is
// released, never leaving it held in reset.
static bool holdAllSignals(sigset_t *previous)
{
    sigset_t all;
    if (sigfillset(&all) == 0 && sigprocmask(SIG_BLOCK, &all, previous) == 0)
        return true;
    MORRASK_REPORT(REPORTER_HOLD_ALL_SIGNALS, MSG_HOLD_SIGNALS_FAILED, errno, strerror(errno));
    return false;
}

static void releaseSignals(const sigset_t *previous)
{
    if (sigprocmask(SIG_SETMASK, previous, nullptr) != 0)
        MORRASK_REPORT(REPORTER_RELEASE_SIGNALS, MSG_RELEASE_SIGNALS_FAILED, errno, strerror(errno));
}

int pllReset(int timeout)
{
    const Board *board = boardOfType(loaderSettings.boardType);
    if (board == nullptr) {
        printf(MSG_RESET_BOARD_UNKNOWN, MSG_RESET_UNKNOWN_NAME);
        return -1;
    }
    printf(MSG_RESETTING, board->name);

    int fd = physMemOpen(PHYS_MEM_DEVICE, O_RDWR | O_SYNC);
    if (fd < 0) {
        MORRASK_REPORT(REPORTER_PLL_RESET, MSG_MEM_OPEN_FAILED, errno, strerror(errno));
        return -1;
    }
    void *page = physMemMap(RESET_PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, RESET_PAGE_ADDRESS);
    if (page == MAP_FAILED) {
        MORRASK_REPORT(REPORTER_PLL_RESET, MSG_MEM_MAP_FAILED, errno, strerror(errno));
        if (physMemClose(fd) != 0)
            MORRASK_REPORT(REPORTER_PLL_RESET, MSG_MEM_CLOSE_FAILED, errno, strerror(errno));
        return -1;
    }
    volatile uint16_t *reg = reinterpret_cast<volatile uint16_t *>(static_cast<char *>(page) + RESET_REGISTER_OFFSET);

    // Each message goes out before the register change that it announces.
    printf(MSG_IN_RESET, timeout);
    fflush(stdout);
    sigset_t previous;
    bool held = holdAllSignals(&previous);
    physMemWrite16(reg, physMemRead16(reg) & static_cast<uint16_t>(~board->resetMask));
    sleepMicroseconds(timeout > 0 ? static_cast<unsigned long>(timeout) * 1000 : 0);

    // Released whatever happens from here on: nothing may leave the chip in reset.
    printf(MSG_OUT_OF_RESET, static_cast<int>(RESET_SETTLE_US / 1000));
    fflush(stdout);
    physMemWrite16(reg, physMemRead16(reg) | board->resetMask);
    if (held)
        releaseSignals(&previous); // a signal held meanwhile acts now
    sleepMicroseconds(RESET_SETTLE_US);

    if (physMemUnmap(page, RESET_PAGE_SIZE) != 0)
        MORRASK_REPORT(REPORTER_PLL_RESET, MSG_MEM_UNMAP_FAILED, errno, strerror(errno));
    if (physMemClose(fd) != 0)
        MORRASK_REPORT(REPORTER_PLL_RESET, MSG_MEM_CLOSE_FAILED, errno, strerror(errno));
    return 0;
}
