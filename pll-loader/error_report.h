// Uniform failure report of the loader: header with the reporting function,
// the message, and a trailer naming the program and the report's source line.
#pragma once

#define REPORT_ERROR(...) reportError(__func__, __LINE__, __VA_ARGS__)

void reportError(const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Number of reports made so far; main turns it into the exit status.
int errorReportCount(void);
