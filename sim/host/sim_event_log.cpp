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

FILE *openReport(const std::string &path, const std::vector<std::string> &events)
{
    FILE *out = fopen(path.c_str(), "w");
    if (out == nullptr)
        return nullptr;
    fprintf(out, "[events]\n");
    for (const std::string &event : events)
        fprintf(out, "%s\n", event.c_str());
    return out;
}

std::vector<std::string> splitList(const std::string &text)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}
