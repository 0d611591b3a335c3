#include "config_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error_report.h"
#include "messages.h"

static const char FIELD_SEPARATORS[] = ",";

static int stampOf(int fd, FileStamp *stamp)
{
    struct stat status;
    if (fstat(fd, &status) != 0)
        return -1;
    stamp->identity = {status.st_dev, status.st_ino};
    stamp->mode = status.st_mode;
    stamp->size = status.st_size;
    stamp->modified = status.st_mtim;
    return 0;
}

int openFile(const char *name, FILE **fd, OpenedFile *opened)
{
    if (name == nullptr || fd == nullptr) {
        MORRASK_REPORT(REPORTER_OPEN_FILE, MSG_OPEN_FILE_ARGS, static_cast<const void *>(name),
                       static_cast<void *>(fd));
        return -1;
    }
    // O_NONBLOCK only keeps the open from waiting; reads of a regular file
    // ignore it, and anything else is refused before it is read.
    int raw = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    *fd = raw >= 0 && (opened == nullptr || stampOf(raw, &opened->stamp) == 0) ? fdopen(raw, "rb") : nullptr;
    if (*fd == nullptr) {
        int error = errno;
        if (raw >= 0)
            close(raw);
        MORRASK_REPORT(REPORTER_OPEN_FILE, MSG_OPEN_FILE_FAILED, name, error, strerror(error));
        return -1;
    }
    if (opened != nullptr)
        setvbuf(*fd, opened->buffer, _IOFBF, sizeof(opened->buffer));
    return 0;
}

int checkFileUnchanged(FILE *fd, const FileStamp *stamp)
{
    if (fd == nullptr || stamp == nullptr) {
        MORRASK_REPORT(REPORTER_CHECK_FILE_UNCHANGED, MSG_UNCHANGED_ARGS, static_cast<void *>(fd),
                       static_cast<const void *>(stamp));
        return -1;
    }
    FileStamp now;
    if (stampOf(fileno(fd), &now) != 0) {
        MORRASK_REPORT(REPORTER_CHECK_FILE_UNCHANGED, MSG_FILE_STATUS_FAILED, errno, strerror(errno));
        return -1;
    }
    if (now.size != stamp->size || now.modified.tv_sec != stamp->modified.tv_sec ||
        now.modified.tv_nsec != stamp->modified.tv_nsec) {
        MORRASK_REPORT(REPORTER_CHECK_FILE_UNCHANGED, MSG_FILE_CHANGED, static_cast<long long>(now.size),
                       static_cast<long long>(stamp->size));
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

int readLine(FILE *fd, char *cmd_line, int len, LineFault *fault)
{
    if (fd == nullptr || cmd_line == nullptr || len <= 0 || fault == nullptr) {
        MORRASK_REPORT(REPORTER_READ_LINE, MSG_READ_LINE_ARGS, static_cast<void *>(fd), static_cast<void *>(cmd_line),
                       len, static_cast<void *>(fault));
        return -1;
    }
    *fault = LINE_OK;
    memset(cmd_line, 0, len); // so that the line end can be found past a NUL byte
    if (fgets(cmd_line, len, fd) == nullptr) {
        if (!feof(fd)) {
            *fault = LINE_READ_FAILED;
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
        *fault = LINE_READ_FAILED;
        return -1;
    }
    if (endOfFile)
        putEndOfFile(cmd_line, len);
    else if (!isComment(cmd_line))
        *fault = LINE_TOO_LONG;
    return 0;
}

static const char *const LINE_FAULT_TEXTS[] = {
#define LINE_FAULT(name, text) text,
#include "line_faults.def"
};
static_assert(sizeof(LINE_FAULT_TEXTS) / sizeof(LINE_FAULT_TEXTS[0]) == LINE_FAULT_COUNT, "a text for each fault");

const char *lineFaultText(LineFault fault)
{
    return fault >= LINE_OK && fault < LINE_FAULT_COUNT ? LINE_FAULT_TEXTS[fault] : MSG_LINE_FAULT_UNKNOWN;
}

static unsigned digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<unsigned>(c - 'A' + 10);
    return 16;
}

// What is wrong with a number field, field by field.
struct NumberFaults {
    LineFault noDigit;
    LineFault negative;
    LineFault tooBig;
};
static const NumberFaults ADDRESS_FAULTS = {LINE_ADDRESS_NO_DIGIT, LINE_ADDRESS_NEGATIVE, LINE_ADDRESS_TOO_BIG};
static const NumberFaults VALUE_FAULTS = {LINE_VALUE_NO_DIGIT, LINE_VALUE_NEGATIVE, LINE_VALUE_TOO_BIG};
static const NumberFaults WAIT_FAULTS = {LINE_WAIT_NO_DIGIT, LINE_WAIT_NEGATIVE, LINE_WAIT_TOO_BIG};

// Reads a number field: leading white space, a plus sign, in base 16 a 0x
// prefix, then the digits; what follows them is a remark. Returns LINE_OK,
// or the field's fault: a typo must not become 0, a minus sign or an
// overflow must not wrap into a plausible address or wait.
static LineFault readNumber(const char *field, unsigned base, const NumberFaults &faults, uint32_t *value)
{
    field += strspn(field, " \t\n\v\f\r");
    if (*field == '-')
        return faults.negative;
    if (*field == '+')
        field++;
    if (base == 16 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X'))
        field += 2; // the 0 of a prefix is not a digit of the number
    if (digitValue(*field) >= base)
        return faults.noDigit;
    uint64_t number = 0;
    for (unsigned digit; (digit = digitValue(*field)) < base; field++) {
        number = number * base + digit;
        if (number > UINT32_MAX)
            return faults.tooBig;
    }
    *value = static_cast<uint32_t>(number);
    return LINE_OK;
}

static int setCommand(int *cmd, int *addr, uint32_t *value, PLL_CFG_CMD_E code)
{
    *cmd = code;
    *addr = 0;
    *value = 0;
    return 0;
}

static int lineFails(LineFault *fault, LineFault why)
{
    *fault = why;
    return -1;
}

int parseLine(char *cmd_line, int *cmd, int *addr, uint32_t *value, LineFault *fault)
{
    if (cmd_line == nullptr || cmd == nullptr || addr == nullptr || value == nullptr || fault == nullptr) {
        MORRASK_REPORT(REPORTER_PARSE_LINE, MSG_PARSE_LINE_ARGS, static_cast<void *>(cmd_line),
                       static_cast<void *>(cmd), static_cast<void *>(addr), static_cast<void *>(value),
                       static_cast<void *>(fault));
        return -1;
    }
    *fault = LINE_OK;
    if (strstr(cmd_line, PLL_CFG_END_OF_FILE) != nullptr)
        return setCommand(cmd, addr, value, PLL_CFG_CMD_END);

    char *rest = nullptr;
    char *field = strtok_r(cmd_line, FIELD_SEPARATORS, &rest);
    if (field == nullptr)
        return lineFails(fault, LINE_NO_FIELD);
    if (strchr(field, ';') != nullptr)
        return setCommand(cmd, addr, value, PLL_CFG_CMD_NOP);

    uint32_t number = 0;
    LineFault wrong;
    if (strchr(field, 'X') != nullptr) {
        *cmd = PLL_CFG_CMD_WRITE;
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return lineFails(fault, LINE_NO_ADDRESS);
        if ((wrong = readNumber(field, 16, ADDRESS_FAULTS, &number)) != LINE_OK)
            return lineFails(fault, wrong);
        *addr = static_cast<int>(number);
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return lineFails(fault, LINE_NO_VALUE);
        if ((wrong = readNumber(field, 16, VALUE_FAULTS, value)) != LINE_OK)
            return lineFails(fault, wrong);
        return 0;
    }
    if (strchr(field, 'W') != nullptr) {
        *cmd = PLL_CFG_CMD_WAIT;
        field = strtok_r(nullptr, FIELD_SEPARATORS, &rest);
        if (field == nullptr)
            return lineFails(fault, LINE_NO_WAIT);
        if ((wrong = readNumber(field, 10, WAIT_FAULTS, value)) != LINE_OK)
            return lineFails(fault, wrong);
        *addr = 0;
        return 0;
    }
    if (strpbrk(field, "\r\n") != nullptr)
        return setCommand(cmd, addr, value, PLL_CFG_CMD_NOP);
    return lineFails(fault, LINE_UNKNOWN_COMMAND);
}

int reportLineFault(LineFault fault, char *cmd_line, int len)
{
    switch (fault) {
    case LINE_OK:
        return 0;
    case LINE_READ_FAILED:
        MORRASK_REPORT(REPORTER_READ_LINE, MSG_READ_FAILED);
        break;
    case LINE_TOO_LONG:
        MORRASK_REPORT(REPORTER_READ_ENTRY, MSG_ENTRY_TOO_LONG, len - 1, trimLineEnd(cmd_line));
        break;
    // These two report here; every other bad line is reported by the load,
    // with what the buffer holds now: the line's first field.
    case LINE_NO_FIELD:
        MORRASK_REPORT(REPORTER_PARSE_ENTRY, MSG_ENTRY_NO_FIELD, trimLineEnd(cmd_line));
        break;
    case LINE_UNKNOWN_COMMAND:
        MORRASK_REPORT(REPORTER_PARSE_ENTRY, MSG_ENTRY_UNKNOWN_COMMAND, cmd_line + strspn(cmd_line, FIELD_SEPARATORS));
        break;
    default:
        break;
    }
    return -1;
}

int readEntry(FILE *fd, char *cmd_line, int len)
{
    if (fd == nullptr || cmd_line == nullptr || len <= 0) {
        MORRASK_REPORT(REPORTER_READ_ENTRY, MSG_READ_ENTRY_ARGS, static_cast<void *>(fd), static_cast<void *>(cmd_line),
                       len);
        return -1;
    }
    LineFault fault = LINE_OK;
    readLine(fd, cmd_line, len, &fault);
    return reportLineFault(fault, cmd_line, len);
}

int parseEntry(char *cmd_line, int *cmd, int *addr, uint32_t *value)
{
    if (cmd_line == nullptr || cmd == nullptr || addr == nullptr || value == nullptr) {
        MORRASK_REPORT(REPORTER_PARSE_ENTRY, MSG_PARSE_ENTRY_ARGS, static_cast<void *>(cmd_line),
                       static_cast<void *>(cmd), static_cast<void *>(addr), static_cast<void *>(value));
        return -1;
    }
    LineFault fault = LINE_OK;
    parseLine(cmd_line, cmd, addr, value, &fault);
    return reportLineFault(fault, cmd_line, CFG_LINE_SIZE);
}

int closeFile(FILE *fd)
{
    if (fd == nullptr) {
        MORRASK_REPORT(REPORTER_CLOSE_FILE, MSG_CLOSE_FILE_ARGS, static_cast<void *>(fd));
        return -1;
    }
    if (fclose(fd) != 0) {
        MORRASK_REPORT(REPORTER_CLOSE_FILE, MSG_CLOSE_FILE_FAILED, errno, strerror(errno));
        return -1;
    }
    return 0;
}

int checkSameFile(const FileStamp *stamp, const char *path, const FileIdentity *identity)
{
    if (stamp == nullptr || path == nullptr || identity == nullptr) {
        MORRASK_REPORT(REPORTER_CHECK_SAME_FILE, MSG_SAME_FILE_ARGS, static_cast<const void *>(stamp),
                       static_cast<const void *>(path), static_cast<const void *>(identity));
        return -1;
    }
    if (!S_ISREG(stamp->mode) || stamp->identity.device != identity->device ||
        stamp->identity.inode != identity->inode) {
        MORRASK_REPORT(REPORTER_CHECK_SAME_FILE, MSG_FILE_REPLACED, path, static_cast<unsigned>(stamp->mode));
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
