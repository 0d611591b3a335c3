// The PLL configuration file: one command per line, fields split at commas.
//   X,<address hex>,<value hex>   write a register
//   W,<microseconds decimal>      wait
//   ; comment                     nothing (so are blank lines)
// A line, its line end included, must fit in the caller's buffer less the
// terminator; a longer comment is cut there, any other longer line is an error.
// END_OF_FILE anywhere in a line, however long, ends the file.
// A number holds at least one digit of its base (after a 0x prefix, in
// hexadecimal), is not negative and fits in 32 bits; a remark may follow
// its digits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

// Work buffer of a pass over the file: one line (or the first 127 bytes of
// a longer one) and its terminator.
constexpr int CFG_LINE_SIZE = 128;

enum PLL_CFG_CMD_E {
    PLL_CFG_CMD_WRITE = 0,
    PLL_CFG_CMD_WAIT = 1,
    PLL_CFG_CMD_NOP = 2,
    PLL_CFG_CMD_END = 3,
};

// Put into the line buffer by readLine once the file is exhausted.
#define PLL_CFG_END_OF_FILE "END_OF_FILE"

// Why a line cannot be loaded (line_faults.def).
enum LineFault {
#define LINE_FAULT(name, text) name,
#include "line_faults.def"
    LINE_FAULT_COUNT,
};
const char *lineFaultText(LineFault fault);

// The file a path named when it was checked before loading. The file opened
// for loading must be this very file, or a file swapped in meanwhile would be
// loaded unchecked.
struct FileIdentity {
    dev_t device;
    ino_t inode;
};

// An open file as it was opened: which file, its kind, size and
// modification time.
struct FileStamp {
    FileIdentity identity;
    mode_t mode;
    off_t size;
    struct timespec modified;
};

// What a pass over the file keeps beside its stream, from openFile to
// closeFile: the file as it was opened, and the buffer the stream reads the
// file into (so that an open costs no allocation).
struct OpenedFile {
    FileStamp stamp;
    char buffer[4096];
};

// Opens the file for reading, without waiting for a writer (a FIFO put in
// the file's place cannot stall the loader). opened, when given, gets the
// file's stamp and lends the stream its buffer.
int openFile(const char *name, FILE **fd, OpenedFile *opened = nullptr);
int closeFile(FILE *fd);

// The parser, quiet: it says what is wrong with a line in *fault (LINE_OK
// when nothing is) and reports nothing, so that each caller reports in its
// own words. Only arguments no caller should pass are reported, and refused
// with -1. readLine returns -1 on a read error too (LINE_READ_FAILED), and
// parseLine on a bad line. After LINE_TOO_LONG the line is consumed whole and
// the buffer holds its first len - 1 bytes.
int readLine(FILE *fd, char *cmd_line, int len, LineFault *fault);
int parseLine(char *cmd_line, int *cmd, int *addr, uint32_t *value, LineFault *fault);

// The load's reports of a line the parser refused, given what the buffer
// holds after readLine or parseLine: 0 for LINE_OK, otherwise -1.
int reportLineFault(LineFault fault, char *cmd_line, int len);
// The parser and those reports, for the load: 0, or -1 once reported.
int readEntry(FILE *fd, char *cmd_line, int len);
int parseEntry(char *cmd_line, int *cmd, int *addr, uint32_t *value);

// A file truncated or rewritten under the loader would feed it a mix of old
// and new lines, or a line cut short that still parses: 0 while the open
// file is as stamped, otherwise reported, -1.
int checkFileUnchanged(FILE *fd, const FileStamp *stamp);
// 0 when the stamped file (of path) is the regular file identity names;
// otherwise reported, -1.
int checkSameFile(const FileStamp *stamp, const char *path, const FileIdentity *identity);
char *trimLineEnd(char *text);
