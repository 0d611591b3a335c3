#include "dry_run.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config_file.h"
#include "error_report.h"
#include "messages.h"
#include "preflight.h"
#include "spi_writer.h"

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
    if (fault == LINE_OK && parseLine(line, &cmd, &addr, &value, &fault) == 0 && strchr(shown, '\r') != nullptr)
        fault = LINE_CARRIAGE_RETURN;
    bool ends = cmd == PLL_CFG_CMD_END;
    if (fault == LINE_OK) {
        if (cmd == PLL_CFG_CMD_WAIT)
            tally->waitUs += value;
        if (cmd != PLL_CFG_CMD_WRITE)
            return !ends;
        if (static_cast<uint32_t>(addr) <= PLL_LAST_ADDRESS) {
            // Only the low byte reaches the chip.
            if (value > UINT8_MAX)
                MORRASK_WARN(REPORTER_CHECK_CONFIGURATION, MSG_LINE_VALUE_WIDE, number, value, value & UINT8_MAX);
            tally->writes++;
            return true;
        }
        MORRASK_REPORT(REPORTER_CHECK_CONFIGURATION, MSG_LINE_BEYOND_LAST_REGISTER, number, static_cast<uint32_t>(addr),
                       PLL_LAST_ADDRESS, shown);
    } else if (fault == LINE_TOO_LONG) {
        MORRASK_REPORT(REPORTER_CHECK_CONFIGURATION, MSG_LINE_TOO_LONG, number, CFG_LINE_SIZE - 1, shown);
    } else {
        MORRASK_REPORT(REPORTER_CHECK_CONFIGURATION, MSG_LINE_FAULT, number, lineFaultText(fault), shown);
    }
    tally->badLines++;
    return fault != LINE_CARRIAGE_RETURN || !ends;
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
        if (readLine(file, line, sizeof(line), &fault) != 0) {
            reportLineFault(fault, line, sizeof(line)); // a read error, reported as a load reports it
            readable = false;
        } else if (!checkLine(number, line, fault, &tally)) {
            break;
        }
    }
    // A file that configures nothing (a text file of another kind, say)
    // would otherwise pass for a configuration.
    bool writes = tally.writes > 0;
    if (readable && !writes)
        MORRASK_REPORT(REPORTER_CHECK_CONFIGURATION, MSG_NO_REGISTER_WRITE, path);
    int result = closeFile(file) == 0 && readable && writes && tally.badLines == 0 ? 0 : -1;
    printf(MSG_CHECKED, path, tally.badLines, tally.writes, tally.waitUs);
    return result;
}
