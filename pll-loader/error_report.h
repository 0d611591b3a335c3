// Uniform failure report of the loader: a header naming the function the
// report speaks for (one of messages.h's REPORTER_ names), the message, and
// a trailer naming the program and the report's source line.
#pragma once

#define MORRASK_REPORT(reporter, ...) morraskReport(reporter, __LINE__, __VA_ARGS__)

void morraskReport(const char *reporter, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

// The same layout for what may be worth a look but is no failure: not
// counted.
#define MORRASK_WARN(reporter, ...) morraskWarning(reporter, __LINE__, __VA_ARGS__)

void morraskWarning(const char *reporter, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));

// Number of reports made so far; main turns it into the exit status.
int errorReportCount(void);
