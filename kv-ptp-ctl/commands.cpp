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
// Three PPS periods: a single lost edge is no alarm yet.
constexpr int DEFAULT_WATCH_SECONDS = 3;

constexpr long long NS_PER_S = 1000000000;
// watch queries the device this often: its line follows an edge by at most
// that, a twentieth of the PPS period, and 20 ioctls a second (no lock in
// the module) cost next to nothing.
constexpr long long WATCH_POLL_NS = 50000000;

enum Command { COMMAND_HELP, COMMAND_SETUP, COMMAND_PPS_TIME, COMMAND_WATCH };

struct CommandLine {
    Command command;
    const char *device;
    clockid_t clockId; // pps-time and watch
    int count;         // watch: edges to print, 0 for no end
    int seconds;       // watch: the longest wait for an edge
};

// fprintf's result.
static int printUsage(FILE *stream)
{
    return fprintf(stream, MSG_USAGE, PROGRAM_NAME, PROGRAM_NAME, PROGRAM_NAME, DEFAULT_WATCH_SECONDS, DEFAULT_DEVICE);
}

// The errno of the first write to standard output that failed and is not
// reported yet, 0 while none has.
static int outputErrno = 0;

// Takes the result of a write to standard output (printf's, fflush's) and
// keeps the errno of the first one that failed: a line-buffered stream (a
// terminal, stdbuf -oL) loses a line at its printf, and the flush after it
// has nothing left to fail on.
static void noteOutput(int result)
{
    if (result < 0 && outputErrno == 0)
        outputErrno = errno;
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

// watch's count and seconds: decimal digits only, 1 to INT_MAX.
static bool parsePositive(const char *text, int *value)
{
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char *end;
    errno = 0;
    long number = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || number < 1 || number > std::numeric_limits<int>::max())
        return false;
    *value = static_cast<int>(number);
    return true;
}

// watch's options follow the command, so its clock id may be negative: a
// minus and a digit is that id and ends the options, as "--" does.
// words[0] is "watch", in the place getopt keeps for the program name.
static bool parseWatch(int count, char **words, CommandLine *line)
{
    optind = 0;
    for (;;) {
        int next = optind > 0 ? optind : 1;
        if (next < count && words[next][0] == '-' && isdigit(static_cast<unsigned char>(words[next][1]))) {
            optind = next;
            break;
        }
        int option = getopt(count, words, "+:c:t:");
        if (option == -1)
            break;
        switch (option) {
        case 'c':
            if (!parsePositive(optarg, &line->count))
                return usageError(MSG_BAD_COUNT, optarg);
            break;
        case 't':
            if (!parsePositive(optarg, &line->seconds))
                return usageError(MSG_BAD_SECONDS, optarg);
            break;
        case ':':
            return usageError(optopt == 'c' ? MSG_NO_COUNT_ARGUMENT : MSG_NO_SECONDS_ARGUMENT, optopt);
        default:
            return usageError(MSG_UNKNOWN_OPTION, optopt);
        }
    }
    if (count - optind != 1)
        return usageError(MSG_WATCH_OPERANDS);
    if (!parseClockId(words[optind], &line->clockId))
        return usageError(MSG_BAD_CLOCK_ID, words[optind]);
    line->command = COMMAND_WATCH;
    return true;
}

// Fills in the command line; false once a usage error has been reported.
static bool parseCommandLine(int argc, char **argv, CommandLine *line)
{
    line->command = COMMAND_HELP;
    line->device = DEFAULT_DEVICE;
    line->clockId = 0;
    line->count = 0;
    line->seconds = DEFAULT_WATCH_SECONDS;

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
    if (strcmp(operands[0], "watch") == 0)
        return parseWatch(count, argv + optind, line);
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
    noteOutput(printf(MSG_SET_UP, device));
    return EXIT_DONE;
}

static int printPpsTime(const char *device, clockid_t clockId)
{
    kv_ptp_pps_time_ty record;
    memset(&record, 0, sizeof(record));
    record.ptp_clk_id = clockId;
    if (!issue(device, KV_PTP_IOCTL_PPS_TIME, &record, MSG_PPS_TIME_FAILED))
        return EXIT_FAILED;
    noteOutput(printf(MSG_PPS_TIME, static_cast<long long>(record.pps_time.tv_sec),
                      static_cast<long long>(record.pps_time.tv_nsec)));
    return EXIT_DONE;
}

// A script reads the results from standard output: a lost line is a
// failure, whether the printf lost it (line buffered) or the flush (fully
// buffered). Each loss is reported once: glibc drops what it could not
// write, and the report clears the stream's error.
static bool flushOutput()
{
    noteOutput(fflush(stdout));
    if (outputErrno == 0 && !ferror(stdout))
        return true;
    // Every write to standard output passes noteOutput; should one not,
    // its errno is gone and EIO says the output failed.
    fprintf(stderr, MSG_OUTPUT_FAILED, PROGRAM_NAME, strerror(outputErrno != 0 ? outputErrno : EIO));
    outputErrno = 0;
    clearerr(stdout);
    return false;
}

// An edge's line, and before it the edges its interval skips: more than
// 1.5 s is one for each whole second past the first, rounded. A step of
// the PTP clock forward reads the same; one back gives a negative interval
// and skips nothing.
static void printEdge(const struct timespec &previous, const struct timespec &edge)
{
    // Both are the module's split of a u64 count of ns: no overflow here,
    // and tv_nsec is 0..999999999.
    long long seconds = edge.tv_sec - previous.tv_sec;
    long long nanoseconds = edge.tv_nsec - previous.tv_nsec;
    if (nanoseconds < 0) {
        nanoseconds += NS_PER_S;
        seconds -= 1;
    }
    char sign = '+';
    if (seconds < 0) {
        sign = '-';
        if (nanoseconds > 0) {
            nanoseconds = NS_PER_S - nanoseconds;
            seconds += 1;
        }
        seconds = -seconds;
    } else if (seconds > 1 || (seconds == 1 && nanoseconds > NS_PER_S / 2)) {
        noteOutput(printf(MSG_WATCH_MISSED, seconds + (nanoseconds >= NS_PER_S / 2) - 1));
    }
    noteOutput(printf(MSG_WATCH_EDGE, static_cast<long long>(edge.tv_sec), static_cast<long long>(edge.tv_nsec), sign,
                      seconds, nanoseconds));
}

// Polls 0x123 on the open device and prints each new time stamp as an
// edge. The one read first is the edge before the watch began.
static int followEdges(int fd, const CommandLine &line)
{
    kv_ptp_pps_time_ty record;
    memset(&record, 0, sizeof(record));
    record.ptp_clk_id = line.clockId;
    if (!runIoctl(fd, line.device, KV_PTP_IOCTL_PPS_TIME, &record, MSG_PPS_TIME_FAILED))
        return EXIT_FAILED;
    struct timespec previous = record.pps_time;
    long long previousSeen = ptpMonotonicNs();
    long long limit = line.seconds * NS_PER_S;

    for (int edges = 0; line.count == 0 || edges < line.count;) {
        ptpSleep(WATCH_POLL_NS);
        if (!runIoctl(fd, line.device, KV_PTP_IOCTL_PPS_TIME, &record, MSG_PPS_TIME_FAILED))
            return EXIT_FAILED;
        long long now = ptpMonotonicNs();
        if (record.pps_time.tv_sec == previous.tv_sec && record.pps_time.tv_nsec == previous.tv_nsec) {
            if (now - previousSeen < limit)
                continue;
            fprintf(stderr, MSG_WATCH_TIMEOUT, PROGRAM_NAME, line.device, static_cast<int>(line.clockId), line.seconds);
            return EXIT_FAILED;
        }
        printEdge(previous, record.pps_time);
        // Read through a pipe as it comes.
        if (!flushOutput())
            return EXIT_FAILED;
        previous = record.pps_time;
        previousSeen = now;
        edges++;
    }
    return EXIT_DONE;
}

// One open for the whole watch.
static int watchEdges(const CommandLine &line)
{
    int fd = ptpDeviceOpen(line.device, O_RDWR);
    if (fd < 0) {
        reportFailure(line.device, MSG_OPEN_FAILED, errno);
        return EXIT_FAILED;
    }
    int status = followEdges(fd, line);
    if (ptpDeviceClose(fd) != 0) {
        reportFailure(line.device, MSG_CLOSE_FAILED, errno);
        status = EXIT_FAILED;
    }
    return status;
}

int runKvPtpCtl(int argc, char **argv)
{
    CommandLine line;
    if (!parseCommandLine(argc, argv, &line))
        return EXIT_USAGE;

    int status = EXIT_DONE;
    switch (line.command) {
    case COMMAND_HELP:
        noteOutput(printUsage(stdout));
        break;
    case COMMAND_SETUP:
        status = setUpClock(line.device);
        break;
    case COMMAND_PPS_TIME:
        status = printPpsTime(line.device, line.clockId);
        break;
    case COMMAND_WATCH:
        status = watchEdges(line);
        break;
    }
    if (!flushOutput())
        status = EXIT_FAILED;
    return status;
}
