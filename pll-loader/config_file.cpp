#include "config_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "error_report.h"

static const char FIELD_SEPARATORS[] = ",";

int openFile(const char *name, FILE **fd)
{
    if (name == nullptr || fd == nullptr) {
        REPORT_ERROR("Wrong input parameters, name=%p,fd=%p", name, static_cast<void *>(fd));
        return -1;
    }
    *fd = fopen(name, "rb");
    if (*fd == nullptr) {
        REPORT_ERROR("Error opening file, file=%s,err=0x%X[%s]", name, errno, strerror(errno));
        return -1;
    }
    return 0;
}

// True when the line's first field (leading commas skipped) holds a ';'.
static bool isComment(const char *line)
{
    line += strspn(line, FIELD_SEPARATORS);
    size_t fieldLength = strcspn(line, FIELD_SEPARATORS);
    return memchr(line, ';', fieldLength) != nullptr;
}

// The end of the file travels in the line buffer, as the sentinel text.
static void putEndOfFile(char *cmd_line, int len)
{
    strncpy(cmd_line, PLL_CFG_END_OF_FILE, len);
    cmd_line[len - 1] = '\0';
}

// Consumes the rest of a line that did not fit into the buffer, starting with
// its byte c, and looks in it for END_OF_FILE, also where the word begins in
// the last bytes of the buffer (head, headLength bytes). Stops where it is
// found. Returns 0, or -1 on a read error.
static int skipRestOfLine(FILE *fd, int c, const char *head, size_t headLength, bool *endOfFile)
{
    const size_t wordLength = sizeof(PLL_CFG_END_OF_FILE) - 1;
    char window[wordLength]; // the last bytes of the line seen so far
    size_t filled = headLength < wordLength - 1 ? headLength : wordLength - 1;

    memcpy(window, head + headLength - filled, filled);
    *endOfFile = false;
    for (; c != EOF && c != '\n'; c = fgetc(fd)) {
        if (filled == wordLength)
            memmove(window, window + 1, --filled);
        window[filled++] = static_cast<char>(c);
        if (filled == wordLength && memcmp(window, PLL_CFG_END_OF_FILE, wordLength) == 0) {
            *endOfFile = true;
            return 0;
        }
    }
    return ferror(fd) ? -1 : 0;
}

int readEntry(FILE *fd, char *cmd_line, int len)
{
    if (fd == nullptr || cmd_line == nullptr || len <= 0) {
        REPORT_ERROR("Wrong input parameters, fd=%p,cmd_line=%p,len=%d",
                     static_cast<void *>(fd), static_cast<void *>(cmd_line), len);
        return -1;
    }
    memset(cmd_line, 0, len); // so that the line end can be found past a NUL byte
    if (fgets(cmd_line, len, fd) == nullptr) {
        if (!feof(fd)) {
            REPORT_ERROR("Error reading PLL configuration file");
            return -1;
        }
        putEndOfFile(cmd_line, len);
        return 0;
    }
    if (memchr(cmd_line, '\n', len - 1) != nullptr || feof(fd))
        return 0;
    int next = fgetc(fd);
    if (next == EOF && !ferror(fd))
        return 0; // the last line, without a line end, just fits

    // An overlong line is never read on as a line of its own: its tail could
    // turn a long comment into a register write. END_OF_FILE anywhere in it
    // still ends the file.
    bool endOfFile = strstr(cmd_line, PLL_CFG_END_OF_FILE) != nullptr;
    if (!endOfFile && skipRestOfLine(fd, next, cmd_line, len - 1, &endOfFile) != 0) {
        REPORT_ERROR("Error reading PLL configuration file");
        return -1;
    }
    if (endOfFile) {
        putEndOfFile(cmd_line, len);
        return 0;
    }
    if (isComment(cmd_line))
        return 0;
    REPORT_ERROR("Error PLL configuration line longer than %d bytes [%s]", len - 1,
                 trimLineEnd(cmd_line));
    return -1;
}

// Reads a number the way the file format allows: leading blanks, a sign, the
// digits of the base up to the first other character, 0 when there are none.
static uint32_t readNumber(const char *field, int base)
{
    return static_cast<uint32_t>(strtol(field, nullptr, base));
}

int parseEntry(char *cmd_line, int *cmd, int *addr, uint32_t *value)
{
    if (cmd_line == nullptr || cmd == nullptr || addr == nullptr || value == nullptr) {
        REPORT_ERROR("Wrong input parameters, cmd_line=%p,cmd=%p,addr=%p,value=%p",
                     static_cast<void *>(cmd_line), static_cast<void *>(cmd),
                     static_cast<void *>(addr), static_cast<void *>(value));
        return -1;
    }
    if (strstr(cmd_line, PLL_CFG_END_OF_FILE) != nullptr) {
        *cmd = PLL_CFG_CMD_END;
        *addr = 0;
        *value = 0;
        return 0;
    }

    char *rest = nullptr;
    char *field = strtok_r(cmd_line, FIELD_SEPARATORS, &rest);
    if (field == nullptr) {
        REPORT_ERROR("Error wrong cmd line in PLL config file, cmd_line=%s", trimLineEnd(cmd_line));
        return -1;
    }

    if (strchr(field, ';') != nullptr) {
        *cmd = PLL_CFG_CMD_NOP;
        *addr = 0;
        *value = 0;
        return 0;
    }
    if (strchr(field, 'X') != nullptr) {
        *cmd = PLL_CFG_CMD_WRITE;
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return -1;
        *addr = static_cast<int>(readNumber(field, 16));
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return -1;
        *value = readNumber(field, 16);
        return 0;
    }
    if (strchr(field, 'W') != nullptr) {
        *cmd = PLL_CFG_CMD_WAIT;
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return -1;
        *addr = 0;
        *value = readNumber(field, 10);
        return 0;
    }
    if (strpbrk(field, "\r\n") != nullptr) {
        *cmd = PLL_CFG_CMD_NOP;
        *addr = 0;
        *value = 0;
        return 0;
    }
    REPORT_ERROR("Error unknown PLL config file command, cmd=%s", field);
    return -1;
}

int closeFile(FILE *fd)
{
    if (fd == nullptr) {
        REPORT_ERROR("Wrong input paramteter, fd=%p", static_cast<void *>(fd));
        return -1;
    }
    if (fclose(fd) != 0) {
        REPORT_ERROR("Error closing configuration file, err=0x%X[%s]", errno, strerror(errno));
        return -1;
    }
    return 0;
}

int stampFile(FILE *fd, FileStamp *stamp)
{
    if (fd == nullptr || stamp == nullptr) {
        REPORT_ERROR("Wrong input parameters, fd=%p,stamp=%p", static_cast<void *>(fd), static_cast<void *>(stamp));
        return -1;
    }
    struct stat st;
    if (fstat(fileno(fd), &st) != 0) {
        REPORT_ERROR("Error reading configuration file status, err=0x%X[%s]", errno, strerror(errno));
        return -1;
    }
    stamp->size = st.st_size;
    stamp->modified = st.st_mtim;
    return 0;
}

int checkFileUnchanged(FILE *fd, const FileStamp *stamp)
{
    if (stamp == nullptr) {
        REPORT_ERROR("Wrong input parameters, fd=%p,stamp=%p", static_cast<void *>(fd), static_cast<const void *>(stamp));
        return -1;
    }
    FileStamp now;
    if (stampFile(fd, &now) != 0)
        return -1;
    if (now.size != stamp->size || now.modified.tv_sec != stamp->modified.tv_sec ||
        now.modified.tv_nsec != stamp->modified.tv_nsec) {
        REPORT_ERROR("Error configuration file changed while loading, st_size=%lld (was %lld)",
                     static_cast<long long>(now.size), static_cast<long long>(stamp->size));
        return -1;
    }
    return 0;
}

char *trimLineEnd(char *text)
{
    if (text == nullptr)
        return text;
    size_t length = strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    return text;
}
