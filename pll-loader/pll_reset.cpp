#include "pll_reset.h"

#include <cerrno>
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

int checkPllCfg(const char *device, const char *file)
{
    struct stat status;

    if (device == nullptr || file == nullptr) {
        REPORT_ERROR("Wrong input parameters, device=%p,file=%p", static_cast<const void *>(device),
                     static_cast<const void *>(file));
        return -1;
    }
    if (stat(device, &status) != 0) {
        REPORT_ERROR("Error call stat() for device %s, err=0x%X[%s]", device, errno, strerror(errno));
        return -1;
    }
    if (stat(file, &status) != 0) {
        REPORT_ERROR("Error call stat() for file %s, err=0x%X[%s]", file, errno, strerror(errno));
        return -1;
    }
    if ((status.st_mode & CFG_MODE_MASK) != CFG_MODE_WANTED || status.st_size <= 0) {
        REPORT_ERROR("Error stat data, st_mode=0x%X,st_size=%u", static_cast<unsigned>(status.st_mode),
                     static_cast<unsigned>(status.st_size));
        return -1;
    }
    return 0;
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
    physMemWrite16(reg, physMemRead16(reg) & static_cast<uint16_t>(~board->resetMask));
    sleepMicroseconds(timeout > 0 ? static_cast<unsigned long>(timeout) * 1000 : 0);

    // Released whatever happens from here on: nothing may leave the chip in reset.
    printf("\n PLL chip out of reset, timeout=%d ms", static_cast<int>(RESET_SETTLE_US / 1000));
    fflush(stdout);
    physMemWrite16(reg, physMemRead16(reg) | board->resetMask);
    sleepMicroseconds(RESET_SETTLE_US);

    if (physMemUnmap(page, RESET_PAGE_SIZE) != 0)
        REPORT_ERROR("Error unmaping physical memory for PLL reset, err=0x%X[%s]", errno, strerror(errno));
    if (physMemClose(fd) != 0)
        REPORT_ERROR("Error closing MEM driver, err=0x%X[%s]", errno, strerror(errno));
    return 0;
}
