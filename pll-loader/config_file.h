// The PLL configuration file: one command per line, fields split at commas.
//   X,<address hex>,<value hex>   write a register
//   W,<microseconds decimal>      wait
//   ; comment                     nothing (so are blank lines)
// A line, its line end included, must fit in the caller's buffer less the
// terminator; a longer comment is cut there, any other longer line is an error.
// END_OF_FILE anywhere in a line, however long, ends the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

enum PLL_CFG_CMD_E {
    PLL_CFG_CMD_WRITE = 0,
    PLL_CFG_CMD_WAIT = 1,
    PLL_CFG_CMD_NOP = 2,
    PLL_CFG_CMD_END = 3,
};

// Put into the line buffer by readEntry once the file is exhausted.
#define PLL_CFG_END_OF_FILE "END_OF_FILE"

int openFile(const char *name, FILE **fd);
int readEntry(FILE *fd, char *cmd_line, int len);
int parseEntry(char *cmd_line, int *cmd, int *addr, uint32_t *value);
int closeFile(FILE *fd);

// The open file's size and modification time when loading began. A file
// truncated or rewritten under the loader would feed it a mix of old and new
// lines, or a line cut short that still parses: loading stops instead.
struct FileStamp {
    off_t size;
    struct timespec modified;
};
int stampFile(FILE *fd, FileStamp *stamp);
int checkFileUnchanged(FILE *fd, const FileStamp *stamp);
char *trimLineEnd(char *text);
