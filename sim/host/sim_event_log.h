// The log the host simulations keep of the platform calls they see, and
// the reading of their settings.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

void appendEvent(std::vector<std::string> &events, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Opens a simulation's report file and writes its [events] section first;
// nullptr when the file cannot be written.
FILE *openReport(const std::string &path, const std::vector<std::string> &events);

// The items of a comma-separated list.
std::vector<std::string> splitList(const std::string &text);
