// morrask's run sequence: options, banner, pre-flight check, the bus locked,
// optional reset pulse, then the load loop, which carries out each line of
// the configuration file before it reads the next one; or only the dry run.
// The program's main does nothing but call runMorrask.
#include "run_sequence.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config_file.h"
#include "dry_run.h"
#include "error_report.h"
#include "loader_settings.h"
#include "messages.h"
#include "options.h"
#include "platform.h"
#include "pll_reset.h"
#include "preflight.h"
#include "spi_writer.h"

constexpr int EXIT_LOADED = 0;
constexpr int EXIT_LOAD_FAILED = 1;
constexpr int EXIT_OPTION_ERROR = 2;
constexpr int EXIT_USAGE = -1; // 255 to the shell

constexpr unsigned long BANNER_PAUSE_US = 200000;

// The run sequence's reports, whichever helper here makes them, speak for
// main (REPORTER_MAIN).

// Carries out one parsed configuration line. Returns false when loading ends.
static bool runCommand(int cmd, int addr, uint32_t value)
{
    switch (cmd) {
    case PLL_CFG_CMD_WRITE: {
        printf(MSG_WRITE, addr, value);
        fflush(stdout);
        uint8_t data = static_cast<uint8_t>(value);
        int result = cpuSpiWrite(static_cast<uint32_t>(addr), &data, 1);
        if (result != 0) {
            MORRASK_REPORT(REPORTER_MAIN, MSG_WRITE_FAILED, addr, value, result);
            return false;
        }
        return true;
    }
    case PLL_CFG_CMD_WAIT:
        printf(MSG_WAIT, value);
        fflush(stdout);
        sleepMicroseconds(value);
        return true;
    case PLL_CFG_CMD_NOP:
        return true;
    case PLL_CFG_CMD_END:
        return false;
    default:
        MORRASK_REPORT(REPORTER_MAIN, MSG_UNKNOWN_COMMAND, cmd);
        return true;
    }
}

// One forward pass over the file, up to its end or the first failure.
void loadConfiguration(const char *path, const FileIdentity *identity)
{
    FILE *file = nullptr;
    OpenedFile opened;
    if (openFile(path, &file, &opened) != 0) {
        MORRASK_REPORT(REPORTER_MAIN, MSG_LOAD_OPEN_FAILED, path);
        return;
    }

    char line[CFG_LINE_SIZE];
    int cmd = PLL_CFG_CMD_NOP;
    int addr = 0;
    uint32_t value = 0;
    bool readable = checkSameFile(&opened.stamp, path, identity) == 0;
    while (readable) {
        if (readEntry(file, line, sizeof(line)) != 0)
            break; // the reader has said why
        if (parseEntry(line, &cmd, &addr, &value) != 0) {
            MORRASK_REPORT(REPORTER_MAIN, MSG_LOAD_PARSE_FAILED, trimLineEnd(line));
            break;
        }
        // A line is carried out, and the end taken for the end, only while
        // the file is as it was opened; a comment needs no look.
        if (cmd != PLL_CFG_CMD_NOP && checkFileUnchanged(file, &opened.stamp) != 0)
            break;
        if (!runCommand(cmd, addr, value))
            break;
    }

    if (closeFile(file) != 0)
        MORRASK_REPORT(REPORTER_MAIN, MSG_LOAD_CLOSE_FAILED, path);
}

// Keeps a second loader off the bus while this one resets the chip and
// loads it: its page selects would land between ours. The kernel drops the
// lock when the process ends, however it ends. Returns the handle, or -1.
static int lockBus(const char *device)
{
    int handle = spiBusLock(device);
    if (handle >= 0)
        return handle;
    if (errno == EWOULDBLOCK)
        MORRASK_REPORT(REPORTER_MAIN, MSG_BUS_BUSY, device);
    else
        MORRASK_REPORT(REPORTER_MAIN, MSG_BUS_LOCK_FAILED, device, errno, strerror(errno));
    return -1;
}

static void unlockBus(const char *device, int handle)
{
    if (spiBusUnlock(handle) != 0)
        MORRASK_REPORT(REPORTER_MAIN, MSG_BUS_UNLOCK_FAILED, device, errno, strerror(errno));
}

// The reset pulse, when asked for, once the locked node has answered as a
// spidev node: a chip reset and then not loaded is worse than one left as it
// was. False when the chip is not to be loaded.
static bool resetIfRequested(const RunOptions &options, int bus)
{
    if (!options.resetRequested)
        return true;
    if (checkSpiNode(loaderSettings.spiDevice, bus) != 0)
        return false;
    if (pllReset(PLL_RESET_HOLD_MS) == 0)
        return true;
    MORRASK_REPORT(REPORTER_MAIN, MSG_RESET_FAILED);
    return false;
}

// The steps that touch the chip, with the bus held for this loader alone.
static void resetAndLoad(const RunOptions &options, const FileIdentity *checked)
{
    int bus = lockBus(loaderSettings.spiDevice);
    if (bus < 0)
        return;
    if (resetIfRequested(options, bus))
        loadConfiguration(options.configFile, checked);
    unlockBus(loaderSettings.spiDevice, bus);
}

int runMorrask(int argc, char **argv)
{
    RunOptions options;
    parseOptions(argc, argv, &options);
    if (options.configFile == nullptr) {
        printUsage(argc > 0 ? argv[0] : PROGRAM_NAME);
        return EXIT_USAGE;
    }
    if (options.errors > 0)
        return EXIT_OPTION_ERROR;
    if (options.dryRun) {
        int result = checkConfiguration(options.configFile);
        fputs(MSG_RUN_END, stdout);
        return result == 0 ? EXIT_LOADED : EXIT_LOAD_FAILED;
    }

    fputs(MSG_BANNER, stdout);
    printf(MSG_RESET_REQUEST, options.resetRequested ? MSG_YES : MSG_NO);
    fflush(stdout);
    sleepMicroseconds(BANNER_PAUSE_US);

    FileIdentity checked;
    if (checkPllCfg(loaderSettings.spiDevice, options.configFile, &checked) != 0)
        MORRASK_REPORT(REPORTER_MAIN, MSG_CHECK_FAILED);
    else
        resetAndLoad(options, &checked);

    fputs(MSG_RUN_END, stdout);
    return errorReportCount() > 0 ? EXIT_LOAD_FAILED : EXIT_LOADED;
}
