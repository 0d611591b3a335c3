#include "dry_run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config_file.h"
#include "error_report.h"
#include "pll_reset.h"
#include "spi_writer.h"

// A bad line is reported in the name of the dry run.
#define LINE_REPORT(...) reportError("checkConfiguration", __LINE__, __VA_ARGS__)

// What a load of the file would do, and what stops it.
struct DryRunTally {
    unsigned writes;
    unsigned long long waitUs;
    unsigned badLines;
};

// Checks one line, numbered number, in line (parsed in place). Returns false
// once the file ends.
static bool checkLine(unsigned number, char *line, LineFault fault, DryRunTally *tally)
{
    char shown[CFG_LINE_SIZE];
    memcpy(shown, line, sizeof(shown));
    trimLineEnd(shown);

    int cmd = PLL_CFG_CMD_NOP;
    int addr = 0;
    uint32_t value = 0;
    if (fault == LINE_OK && parseLine(line, &cmd, &addr, &value, &fault) == 0) {
        if (cmd == PLL_CFG_CMD_END)
            return false;
        if (cmd == PLL_CFG_CMD_WAIT)
            tally->waitUs += value;
        if (cmd != PLL_CFG_CMD_WRITE)
            return true;
        if (static_cast<uint32_t>(addr) <= PLL_LAST_ADDRESS) {
            tally->writes++;
            return true;
        }
        LINE_REPORT("Error line %u: address 0x%X beyond the last register 0x%X [%s]", number,
                     static_cast<uint32_t>(addr), PLL_LAST_ADDRESS, shown);
    } else if (fault == LINE_TOO_LONG) {
        LINE_REPORT("Error line %u: longer than %d bytes [%s]", number, CFG_LINE_SIZE - 1, shown);
    } else {
        LINE_REPORT("Error line %u: %s [%s]", number, lineFaultText(fault), shown);
    }
    tally->badLines++;
    return true;
}

int checkConfiguration(const char *path)
{
    FILE *file = nullptr;
    OpenedFile opened;
    if (openFile(path, &file, &opened) != 0)
        return -1;

    // The file opened is the file checked: the pre-flight check's rule
    // applies to it.
    DryRunTally tally = {};
    bool readable = checkCfgStatus(opened.stamp.mode, opened.stamp.size) == 0;
    char line[CFG_LINE_SIZE];
    LineFault fault = LINE_OK;
    for (unsigned number = 1; readable; number++) {
        readable = readLine(file, line, sizeof(line), &fault) == 0;
        if (readable && !checkLine(number, line, fault, &tally))
            break;
    }
    int result = closeFile(file) == 0 && readable && tally.badLines == 0 ? 0 : -1;
    printf("\n Checked %s: bad lines %u, register writes %u, waits %llu us in all", path, tally.badLines,
           tally.writes, tally.waitUs);
    return result;
}
