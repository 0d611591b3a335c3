#include "sim_event_log.h"

#include <cstdarg>
#include <cstdio>

void appendEvent(std::vector<std::string> &events, const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    events.push_back(text);
}
