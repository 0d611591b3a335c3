#include "error_report.h"

#include <cstdarg>
#include <cstdio>

static int reportCount;

void reportError(const char *function, int line, const char *format, ...)
{
    va_list args;

    reportCount++;
    printf("\n %s: ", function);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("F:%s,L:%d", "morrask", line);
}

int errorReportCount(void)
{
    return reportCount;
}
