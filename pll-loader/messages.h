// Every text morrask shows, on standard output or standard error: the
// reports, the progress lines, the usage. Scripts and the journal read these,
// and the program tests hold them word for word, so they are named here, in
// one place, and the code uses the names. Each format is a compile-time
// constant, so that -Wformat still checks it at every call.
#pragma once

constexpr const char *PROGRAM_NAME = "morrask";

// Report headers: the function a morraskReport speaks for. Named, not taken
// from __func__, so that renaming code changes no output. Keep them as they
// are even where the code's function has another name now: log filters
// match on them.
constexpr const char *REPORTER_MAIN = "main";
constexpr const char *REPORTER_CHECK_PLL_CFG = "checkPllCfg";
constexpr const char *REPORTER_CHECK_CONFIGURATION = "checkConfiguration";
constexpr const char *REPORTER_OPEN_FILE = "openFile";
constexpr const char *REPORTER_CHECK_FILE_UNCHANGED = "checkFileUnchanged";
constexpr const char *REPORTER_READ_LINE = "readLine";
constexpr const char *REPORTER_READ_ENTRY = "readEntry";
constexpr const char *REPORTER_PARSE_LINE = "parseLine";
constexpr const char *REPORTER_PARSE_ENTRY = "parseEntry";
constexpr const char *REPORTER_CLOSE_FILE = "closeFile";
constexpr const char *REPORTER_CHECK_SAME_FILE = "checkSameFile";
constexpr const char *REPORTER_HOLD_ALL_SIGNALS = "holdAllSignals";
constexpr const char *REPORTER_RELEASE_SIGNALS = "releaseSignals";
constexpr const char *REPORTER_PLL_RESET = "pllReset";

// A report: header (reporter), message, trailer (program, source line).
constexpr const char *MSG_REPORT_HEADER = "\n %s: ";
constexpr const char *MSG_REPORT_TRAILER = "F:%s,L:%d";

// Usage, on standard error; the board names come from the board table.
constexpr const char *MSG_USAGE = "Usage: %s  [options] <pll_configuration_file>    \n"
                                  "       -r or -R   No PLL reset                   \n"
                                  "       -b or -B   <board_type>                   \n"
                                  "                  Supported boards: %s  \n"
                                  "       -m or -M   SPI mode        : lsb,msb      \n"
                                  "       -d or -D   SPD device [example: spidev0.1]\n";

// Options. Kept exactly as morrask has always printed them, misspellings
// ("paramteres", "doesn't exists") and reporters included ("string_to_board"
// for stringToBoard, "main" for applyBoard, applyMode and applyDevice): log
// readers and scripts match on these texts.
constexpr const char *MSG_FILTER_ARGS = "\nfilterWhiteSpace: Wrong paramteres, string=%p";
constexpr const char *MSG_BOARD_COPY_FAILED = "\n string_to_board: Error duplicate string %s, err=0x%X[%s]";
constexpr const char *MSG_UNKNOWN_BOARD = "\nmain: Error unknown board type [%s]";
constexpr const char *MSG_UNKNOWN_MODE = "\n main: Error wrong lsb/msb mode requested [%s]";
constexpr const char *MSG_DEVICE_NAME_TOO_LONG = "\n main: Error driver name longer than %zu characters [%s]";
constexpr const char *MSG_DEVICE_MISSING = "\n main: Error driver [%s] doesn't exists, err=0x%d[%s]";
constexpr const char *MSG_DEVICE_NOT_CHARACTER = "\n main: Error driver [%s] is not a character device, st_mode=0x%X";
constexpr const char *MSG_UNKNOWN_GETOPT_RESULT = "Unknown getopt ret code 0x%X";

// The run sequence. "reseting" is kept as it has always been printed: log
// readers match on it.
constexpr const char *MSG_BANNER = "\n ---- PLL SPI CONFIGURATION ---- \n";
constexpr const char *MSG_RESET_REQUEST = "\n PLL chip reset request %s ";
constexpr const char *MSG_YES = "YES";
constexpr const char *MSG_NO = "NO";
constexpr const char *MSG_RUN_END = "\n\n";
constexpr const char *MSG_CHECK_FAILED = "Error PLL config check not successful";
constexpr const char *MSG_BUS_BUSY = "Error SPI device %s is being loaded by another morrask";
constexpr const char *MSG_BUS_LOCK_FAILED = "Error locking SPI device %s, err=0x%X[%s]";
constexpr const char *MSG_BUS_UNLOCK_FAILED = "Error unlocking SPI device %s, err=0x%X[%s]";
constexpr const char *MSG_NOT_SPI_NODE = "Error %s does not answer as an SPI device, PLL chip not reset, err=0x%X[%s]";
constexpr const char *MSG_RESET_FAILED = "Error reseting PLL chip";

// The load loop.
constexpr const char *MSG_WRITE = "\n WRITE: 0x%04X  0x%02X";
constexpr const char *MSG_WAIT = "\n WAIT : %d us";
constexpr const char *MSG_WRITE_FAILED = "Error writing PLL register, addr=0x%04X,val=0x%02X,err=0x%X";
constexpr const char *MSG_UNKNOWN_COMMAND = "Error unknown PLL config command, cmd=%d";
constexpr const char *MSG_LOAD_OPEN_FAILED = "Error opening PLL configuration file [%s]";
constexpr const char *MSG_LOAD_PARSE_FAILED = "Error parsing configuration entry [%s]";
constexpr const char *MSG_LOAD_CLOSE_FAILED = "Error closing configuration file, [%s]";

// The dry run (-n).
constexpr const char *MSG_LINE_BEYOND_LAST_REGISTER = "Error line %u: address 0x%X beyond the last register 0x%X [%s]";
constexpr const char *MSG_LINE_TOO_LONG = "Error line %u: longer than %d bytes [%s]";
constexpr const char *MSG_LINE_FAULT = "Error line %u: %s [%s]";
constexpr const char *MSG_LINE_VALUE_WIDE = "Warning line %u: value wider than a byte, 0x%X: 0x%02X is sent";
constexpr const char *MSG_NO_REGISTER_WRITE = "Error %s holds no register write";
constexpr const char *MSG_CHECKED = "\n Checked %s: bad lines %u, register writes %u, waits %llu us in all";

// What is wrong with a bad line: line_faults.def, beside its faults.
constexpr const char *MSG_LINE_FAULT_UNKNOWN = "unknown fault";

// The configuration file. "paramteter" is kept as it has always been
// printed: log readers match on it.
constexpr const char *MSG_OPEN_FILE_ARGS = "Wrong input parameters, name=%p,fd=%p";
constexpr const char *MSG_OPEN_FILE_FAILED = "Error opening file, file=%s,err=0x%X[%s]";
constexpr const char *MSG_UNCHANGED_ARGS = "Wrong input parameters, fd=%p,stamp=%p";
constexpr const char *MSG_FILE_STATUS_FAILED = "Error reading configuration file status, err=0x%X[%s]";
constexpr const char *MSG_FILE_CHANGED = "Error configuration file changed while loading, st_size=%lld (was %lld)";
constexpr const char *MSG_READ_LINE_ARGS = "Wrong input parameters, fd=%p,cmd_line=%p,len=%d,fault=%p";
constexpr const char *MSG_READ_FAILED = "Error reading PLL configuration file";
constexpr const char *MSG_READ_ENTRY_ARGS = "Wrong input parameters, fd=%p,cmd_line=%p,len=%d";
constexpr const char *MSG_ENTRY_TOO_LONG = "Error PLL configuration line longer than %d bytes [%s]";
constexpr const char *MSG_PARSE_LINE_ARGS = "Wrong input parameters, cmd_line=%p,cmd=%p,addr=%p,value=%p,fault=%p";
constexpr const char *MSG_PARSE_ENTRY_ARGS = "Wrong input parameters, cmd_line=%p,cmd=%p,addr=%p,value=%p";
constexpr const char *MSG_ENTRY_NO_FIELD = "Error wrong cmd line in PLL config file, cmd_line=%s";
constexpr const char *MSG_ENTRY_UNKNOWN_COMMAND = "Error unknown PLL config file command, cmd=%s";
constexpr const char *MSG_CLOSE_FILE_ARGS = "Wrong input paramteter, fd=%p";
constexpr const char *MSG_CLOSE_FILE_FAILED = "Error closing configuration file, err=0x%X[%s]";
constexpr const char *MSG_SAME_FILE_ARGS = "Wrong input parameters, stamp=%p,path=%p,identity=%p";
constexpr const char *MSG_FILE_REPLACED = "Error configuration file %s replaced since it was checked, st_mode=0x%X";

// The pre-flight check.
constexpr const char *MSG_CHECK_ARGS = "Wrong input parameters, device=%p,file=%p";
constexpr const char *MSG_DEVICE_STAT_FAILED = "Error call stat() for device %s, err=0x%X[%s]";
constexpr const char *MSG_FILE_STAT_FAILED = "Error call stat() for file %s, err=0x%X[%s]";
constexpr const char *MSG_FILE_STATUS_WRONG = "Error stat data, st_mode=0x%X,st_size=%u";

// The reset pulse. "Reseting" and "unmaping" are kept as they have always
// been printed: log readers match on them.
constexpr const char *MSG_RESET_BOARD_UNKNOWN = "\n Board unknown [%s], PLL will not be reset";
constexpr const char *MSG_RESET_UNKNOWN_NAME = "UNKNOWN";
constexpr const char *MSG_RESETTING = "\n Reseting PLL chip on %s board";
constexpr const char *MSG_IN_RESET = "\n PLL chip in reset,     timeout=%d ms";
constexpr const char *MSG_OUT_OF_RESET = "\n PLL chip out of reset, timeout=%d ms";
constexpr const char *MSG_HOLD_SIGNALS_FAILED = "Error holding signals off, err=0x%X[%s]";
constexpr const char *MSG_RELEASE_SIGNALS_FAILED = "Error releasing signals, err=0x%X[%s]";
constexpr const char *MSG_MEM_OPEN_FAILED = "Error opening MEM driver, err=0x%X[%s]";
constexpr const char *MSG_MEM_MAP_FAILED = "Error mapping physical memory for PLL reset, err=0x%X[%s]";
constexpr const char *MSG_MEM_UNMAP_FAILED = "Error unmaping physical memory for PLL reset, err=0x%X[%s]";
constexpr const char *MSG_MEM_CLOSE_FAILED = "Error closing MEM driver, err=0x%X[%s]";

// The SPI bus. spi_write's report carries its source line, as [%05d]. Kept
// exactly as they have always been printed, "maks" and the reporters
// spi_lock, spi_write, write_spi_device and cpuSpiWrite included: log
// readers match on them.
constexpr const char *MSG_SIGNAL_FILL_FAILED = "\nspi_lock: Error setting signal mask, err=%d[%s]";
constexpr const char *MSG_SIGTERM_UNMASK_FAILED = "\nspi_lock: Error removing SIGTERM from signal maks, err=%d[%s]";
constexpr const char *MSG_SIGKILL_UNMASK_FAILED = "\nspi_lock: Error removing SIGKILL from signal maks, err=%d[%s]";
constexpr const char *MSG_SIGNAL_MASK_FAILED = "\nspi_lock: Error masking linux signals, err=%d[%s]";
constexpr const char *MSG_SIGNAL_UNMASK_FAILED = "\nspi_unlock: Error unmasking linux signals, err=%d[%s]";
constexpr const char *MSG_SPI_WRITE_ARGS = "\nspi_write: Wrong input parameters, fd=%d,buf=%p,count=%lu";
constexpr const char *MSG_SPI_TRANSFER_FAILED = "\n[%05d]spi_write: Error writing to SPI device, err=%d[%s]";
constexpr const char *MSG_PAGE_WRITE_FAILED =
    "write_spi_device: Error writing page on SPI device, fd=%d,buffer=%p,bytes=%ld,bytes_ret=%ld";
constexpr const char *MSG_REGISTER_WRITE_FAILED =
    "write_spi_device: Error writing SPI register, fd=%d,buffer=%p,bytes=%ld,bytes_ret=%ld";
constexpr const char *MSG_SPI_DEVICE_ARGS =
    "\n write_spi_device: Error wrong input parameters, fd=%d,page=%d,address=0x%X,bytes=%d,write=%p";
constexpr const char *MSG_SPI_OPEN_FAILED = "\n cpuSpiWrite: Error opening device %s,err=0x%X[%s]";
constexpr const char *MSG_SPI_WRITE_FAILED =
    "\n cpuSpiWrite: Error writing SPI device name=%s,fd=%d,address=0x%X,page=0x%X,bytes=%d";
constexpr const char *MSG_SPI_CLOSE_FAILED = "\n cpuSpiWrite: Error closing SPI device %s,fd=%d,err=0x%X[%s]";
