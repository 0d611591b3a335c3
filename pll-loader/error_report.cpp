#include "error_report.h"

#include <cstdarg>
#include <cstdio>

#include "messages.h"

static int reportCount;

void morraskReport(const char *reporter, int line, const char *format, ...)
{
    va_list args;

    reportCount++;
    printf(MSG_REPORT_HEADER, reporter);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf(MSG_REPORT_TRAILER, PROGRAM_NAME, line);
}

int errorReportCount(void)
{
    return reportCount;
}
