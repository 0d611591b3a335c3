// morrask's run sequence: options, banner, pre-flight check, optional reset
// pulse, then the load loop, which carries out each line of the configuration
// file before it reads the next one. The program's main does nothing but call
// runMorrask.
#include "run_sequence.h"

#include <cstdint>
#include <cstdio>

#include "config_file.h"
#include "error_report.h"
#include "loader_settings.h"
#include "options.h"
#include "platform.h"
#include "pll_reset.h"
#include "spi_writer.h"

constexpr int EXIT_LOADED = 0;
constexpr int EXIT_LOAD_FAILED = 1;
constexpr int EXIT_OPTION_ERROR = 2;
constexpr int EXIT_USAGE = -1; // 255 to the shell

// Reports of the run sequence name main, whichever helper makes them.
#define MAIN_REPORT(...) reportError("main", __LINE__, __VA_ARGS__)

constexpr unsigned long BANNER_PAUSE_US = 200000;

// Carries out one parsed configuration line. Returns false when loading ends.
static bool runCommand(int cmd, int addr, uint32_t value)
{
    switch (cmd) {
    case PLL_CFG_CMD_WRITE: {
        printf("\n WRITE: 0x%04X  0x%02X", addr, value);
        fflush(stdout);
        uint8_t data = static_cast<uint8_t>(value);
        int result = cpuSpiWrite(static_cast<uint32_t>(addr), &data, 1);
        if (result != 0) {
            MAIN_REPORT("Error writing PLL register, addr=0x%04X,val=0x%02X,err=0x%X", addr, value,
                         result);
            return false;
        }
        return true;
    }
    case PLL_CFG_CMD_WAIT:
        printf("\n WAIT : %d us", value);
        fflush(stdout);
        sleepMicroseconds(value);
        return true;
    case PLL_CFG_CMD_NOP:
        return true;
    case PLL_CFG_CMD_END:
        return false;
    default:
        MAIN_REPORT("Error unknown PLL config command, cmd=%d", cmd);
        return true;
    }
}

// One forward pass over the file, up to its end or the first failure.
void loadConfiguration(const char *path)
{
    FILE *file = nullptr;
    if (openFile(path, &file) != 0) {
        MAIN_REPORT("Error opening PLL configuration file [%s]", path);
        return;
    }

    char line[CFG_LINE_SIZE];
    int cmd = PLL_CFG_CMD_NOP;
    int addr = 0;
    uint32_t value = 0;
    FileStamp stamp;
    bool readable = stampFile(file, &stamp) == 0;
    while (readable) {
        // Each line is acted on only while the file is still the one opened.
        if (readEntry(file, line, sizeof(line)) != 0 || checkFileUnchanged(file, &stamp) != 0)
            break; // the reader has said why
        if (parseEntry(line, &cmd, &addr, &value) != 0) {
            MAIN_REPORT("Error parsing configuration entry [%s]", trimLineEnd(line));
            break;
        }
        if (!runCommand(cmd, addr, value))
            break;
    }

    if (closeFile(file) != 0)
        MAIN_REPORT("Error closing configuration file, [%s]", path);
}

int runMorrask(int argc, char **argv)
{
    RunOptions options;
    parseOptions(argc, argv, &options);
    if (options.configFile == nullptr) {
        printUsage(argc > 0 ? argv[0] : "morrask");
        return EXIT_USAGE;
    }
    if (options.errors > 0)
        return EXIT_OPTION_ERROR;

    printf("\n ---- PLL SPI CONFIGURATION ---- \n");
    printf("\n PLL chip reset request %s ", options.resetRequested ? "YES" : "NO");
    fflush(stdout);
    sleepMicroseconds(BANNER_PAUSE_US);

    if (checkPllCfg(loaderSettings.spiDevice, options.configFile) != 0)
        MAIN_REPORT("Error PLL config check not successful");
    else if (options.resetRequested && pllReset(PLL_RESET_HOLD_MS) != 0)
        MAIN_REPORT("Error reseting PLL chip");
    else
        loadConfiguration(options.configFile);

    printf("\n\n");
    return errorReportCount() > 0 ? EXIT_LOAD_FAILED : EXIT_LOADED;
}
