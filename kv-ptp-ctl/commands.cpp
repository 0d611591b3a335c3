#include "commands.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#include "kvPtpAuxApi.h"
#include "messages.h"
#include "platform.h"

constexpr int EXIT_DONE = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

static const char DEFAULT_DEVICE[] = "/dev/kv_ptp0";

enum Command { COMMAND_HELP, COMMAND_SETUP, COMMAND_PPS_TIME };

struct CommandLine {
    Command command;
    const char *device;
    clockid_t clockId; // pps-time only
};

static void printUsage(FILE *stream)
{
    fprintf(stream, MSG_USAGE, PROGRAM_NAME, PROGRAM_NAME, DEFAULT_DEVICE);
}

// Says what is wrong with the command line, then how it goes. Always false,
// so that a parser can return it.
static bool usageError(const char *format, ...) __attribute__((format(printf, 1, 2)));
static bool usageError(const char *format, ...)
{
    va_list args;
    fprintf(stderr, MSG_USAGE_ERROR_HEADER, PROGRAM_NAME);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    printUsage(stderr);
    return false;
}

static void reportFailure(const char *device, const char *what, int err)
{
    fprintf(stderr, MSG_FAILURE, PROGRAM_NAME, device, what, strerror(err));
}

// Any nonzero clockid_t, as the module passes every one on to the SoC's
// driver (Linux's dynamic clock ids are negative): decimal, or hexadecimal
// after 0x, with an optional minus sign. strtoull alone would also take
// leading blanks and a sign of its own, and read a leading 0 as octal.
static bool parseClockId(const char *text, clockid_t *clockId)
{
    bool negative = text[0] == '-';
    const char *digits = negative ? text + 1 : text;
    int base = 10;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits += 2;
    }
    unsigned char first = static_cast<unsigned char>(digits[0]);
    if (base == 10 ? !isdigit(first) : !isxdigit(first))
        return false;

    char *end;
    errno = 0;
    unsigned long long magnitude = strtoull(digits, &end, base);
    // The most negative id has one more than the largest positive one.
    unsigned long long most = static_cast<unsigned long long>(std::numeric_limits<clockid_t>::max()) + negative;
    if (errno != 0 || *end != '\0' || magnitude == 0 || magnitude > most)
        return false;
    long long value = static_cast<long long>(magnitude);
    *clockId = static_cast<clockid_t>(negative ? -value : value);
    return true;
}

// Fills in the command line; false once a usage error has been reported.
static bool parseCommandLine(int argc, char **argv, CommandLine *line)
{
    line->command = COMMAND_HELP;
    line->device = DEFAULT_DEVICE;
    line->clockId = 0;

    optind = 0; // glibc: start afresh, also when called a second time
    opterr = 0; // the messages below name the program, not argv[0]
    int option;
    // '+': the options end at the command, so a negative clock id is no option.
    while ((option = getopt(argc, argv, "+:d:h")) != -1) {
        switch (option) {
        case 'd':
            line->device = optarg;
            break;
        case 'h':
            return true;
        case ':':
            return usageError(MSG_NO_DEVICE_ARGUMENT, optopt);
        default:
            return usageError(MSG_UNKNOWN_OPTION, optopt);
        }
    }

    const char *const *operands = argv + optind;
    int count = argc - optind;
    if (count == 0)
        return usageError(MSG_NO_COMMAND);
    if (strcmp(operands[0], "setup") == 0) {
        if (count != 1)
            return usageError(MSG_SETUP_OPERAND);
        line->command = COMMAND_SETUP;
        return true;
    }
    if (strcmp(operands[0], "pps-time") == 0) {
        if (count != 2)
            return usageError(MSG_PPS_TIME_OPERANDS);
        if (!parseClockId(operands[1], &line->clockId))
            return usageError(MSG_BAD_CLOCK_ID, operands[1]);
        line->command = COMMAND_PPS_TIME;
        return true;
    }
    return usageError(MSG_UNKNOWN_COMMAND, operands[0]);
}

// Issues one ioctl command on the open device; true when it succeeded,
// else the failure has been reported.
static bool runIoctl(int fd, const char *device, unsigned long request, void *argument, const char *what)
{
    int result = ptpDeviceIoctl(fd, request, argument);
    int err = errno;
    if (result < 0)
        reportFailure(device, what, err);
    // The module passes a positive result of the SoC's driver on as it is,
    // and leaves the record unwritten then.
    else if (result > 0)
        fprintf(stderr, MSG_FAILURE_RESULT, PROGRAM_NAME, device, what, result);
    return result == 0;
}

// Opens the device, issues one ioctl command and closes the device again.
// True only when all three succeeded; each failure has been reported.
static bool issue(const char *device, unsigned long request, void *argument, const char *what)
{
    int fd = ptpDeviceOpen(device, O_RDWR);
    if (fd < 0) {
        reportFailure(device, MSG_OPEN_FAILED, errno);
        return false;
    }

    bool done = runIoctl(fd, device, request, argument, what);
    if (ptpDeviceClose(fd) != 0) {
        reportFailure(device, MSG_CLOSE_FAILED, errno);
        done = false;
    }
    return done;
}

static int setUpClock(const char *device)
{
    // The module ignores the argument.
    if (!issue(device, KV_PTP_IOCTL_CLOCK_SETUP, nullptr, MSG_SETUP_FAILED))
        return EXIT_FAILED;
    printf(MSG_SET_UP, device);
    return EXIT_DONE;
}

static int printPpsTime(const char *device, clockid_t clockId)
{
    kv_ptp_pps_time_ty record;
    memset(&record, 0, sizeof(record));
    record.ptp_clk_id = clockId;
    if (!issue(device, KV_PTP_IOCTL_PPS_TIME, &record, MSG_PPS_TIME_FAILED))
        return EXIT_FAILED;
    printf(MSG_PPS_TIME, static_cast<long long>(record.pps_time.tv_sec),
           static_cast<long long>(record.pps_time.tv_nsec));
    return EXIT_DONE;
}

// A script reads the results from standard output: a lost line is a
// failure.
static bool flushOutput()
{
    if (fflush(stdout) == 0)
        return true;
    fprintf(stderr, MSG_OUTPUT_FAILED, PROGRAM_NAME, strerror(errno));
    return false;
}

int runKvPtpCtl(int argc, char **argv)
{
    CommandLine line;
    if (!parseCommandLine(argc, argv, &line))
        return EXIT_USAGE;

    int status = EXIT_DONE;
    switch (line.command) {
    case COMMAND_HELP:
        printUsage(stdout);
        break;
    case COMMAND_SETUP:
        status = setUpClock(line.device);
        break;
    case COMMAND_PPS_TIME:
        status = printPpsTime(line.device, line.clockId);
        break;
    }
    if (!flushOutput())
        status = EXIT_FAILED;
    return status;
}
