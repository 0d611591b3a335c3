// The log the host simulations keep of the platform calls they see.
#pragma once

#include <string>
#include <vector>

void appendEvent(std::vector<std::string> &events, const char *format, ...) __attribute__((format(printf, 2, 3)));
