// Uniform failure report of the sender: a line feed, the message (which
// names the reporting function itself), then at once a trailer naming the
// program and the report's source line.
#pragma once

#define REPORT_ERROR(...) reportError(__LINE__, __VA_ARGS__)

void reportError(int line, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The trailer alone, for reports laid out otherwise.
void reportTrailer(int line);
