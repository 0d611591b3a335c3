// Uniform failure report of the sender: a line feed, a header naming the
// function the report speaks for (one of messages.h's REPORTER_ names), the
// message, then at once a trailer naming the program and the report's
// source line.
#pragma once

#define HALVERN_REPORT(reporter, ...) halvernReport(reporter, __LINE__, __VA_ARGS__)

void halvernReport(const char *reporter, int line, const char *format, ...) __attribute__((format(printf, 3, 4)));
