#include "error_report.h"

#include <cstdarg>
#include <cstdio>

void reportError(int line, const char *format, ...)
{
    va_list args;

    putchar('\n');
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    reportTrailer(line);
}

void reportTrailer(int line)
{
    printf(" [F:%s,L:%d]", "halvern", line);
}
