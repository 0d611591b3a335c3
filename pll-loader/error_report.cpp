#include "error_report.h"

#include <cstdarg>
#include <cstdio>

#include "messages.h"

static int reportCount;

static void print(const char *reporter, int line, const char *format, va_list args)
{
    printf(MSG_REPORT_HEADER, reporter);
    vprintf(format, args);
    printf(MSG_REPORT_TRAILER, PROGRAM_NAME, line);
}

void morraskReport(const char *reporter, int line, const char *format, ...)
{
    va_list args;

    reportCount++;
    va_start(args, format);
    print(reporter, line, format, args);
    va_end(args);
}

void morraskWarning(const char *reporter, int line, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    print(reporter, line, format, args);
    va_end(args);
}

int errorReportCount(void)
{
    return reportCount;
}
