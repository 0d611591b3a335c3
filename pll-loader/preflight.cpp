#include "preflight.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "error_report.h"
#include "messages.h"
#include "platform.h"

// A configuration file must be a regular file that its owner may read, and
// must not be empty.
constexpr mode_t CFG_MODE_MASK = S_IFMT | S_IRUSR;
constexpr mode_t CFG_MODE_WANTED = S_IFREG | S_IRUSR;
static_assert(CFG_MODE_MASK == 0xF100 && CFG_MODE_WANTED == 0x8100, "unexpected mode bits");

int checkCfgStatus(mode_t mode, off_t size)
{
    if ((mode & CFG_MODE_MASK) != CFG_MODE_WANTED || size <= 0) {
        // Reported as the pre-flight check, also when the dry run asks.
        MORRASK_REPORT(REPORTER_CHECK_PLL_CFG, MSG_FILE_STATUS_WRONG, static_cast<unsigned>(mode),
                       static_cast<unsigned>(size));
        return -1;
    }
    return 0;
}

int checkPllCfg(const char *device, const char *file, FileIdentity *identity)
{
    struct stat status;

    if (device == nullptr || file == nullptr) {
        MORRASK_REPORT(REPORTER_CHECK_PLL_CFG, MSG_CHECK_ARGS, static_cast<const void *>(device),
                       static_cast<const void *>(file));
        return -1;
    }
    if (stat(device, &status) != 0) {
        MORRASK_REPORT(REPORTER_CHECK_PLL_CFG, MSG_DEVICE_STAT_FAILED, device, errno, strerror(errno));
        return -1;
    }
    if (stat(file, &status) != 0) {
        MORRASK_REPORT(REPORTER_CHECK_PLL_CFG, MSG_FILE_STAT_FAILED, file, errno, strerror(errno));
        return -1;
    }
    if (checkCfgStatus(status.st_mode, status.st_size) != 0)
        return -1;
    if (identity != nullptr)
        *identity = {status.st_dev, status.st_ino};
    return 0;
}

int checkSpiNode(const char *device, int handle)
{
    uint8_t mode = 0;
    if (spiBusMode(handle, &mode) == 0)
        return 0;
    MORRASK_REPORT(REPORTER_MAIN, MSG_NOT_SPI_NODE, device, errno, strerror(errno));
    return -1;
}
