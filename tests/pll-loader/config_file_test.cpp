#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "config_file.h"
#include "error_report.h"
#include "test_support.h"

namespace {

struct Entry {
    int rc;
    int cmd;
    int addr;
    uint32_t value;
};

struct Reading {
    std::vector<Entry> entries; // up to the end of the file or the first failure
    std::string lastBuffer;     // line buffer after the last entry
    std::string output;
};

// Reads a whole configuration file the way the loader does.
Reading readConfig(const std::string &content)
{
    Reading reading;
    FILE *file = nullptr;
    EXPECT_EQ(0, openFile(scratchFile(content).c_str(), &file));
    testing::internal::CaptureStdout();
    for (;;) {
        char line[128];
        Entry entry = {readEntry(file, line, sizeof(line)), -1, -1, 0};
        if (entry.rc == 0)
            entry.rc = parseEntry(line, &entry.cmd, &entry.addr, &entry.value);
        reading.entries.push_back(entry);
        reading.lastBuffer = line;
        if (entry.rc != 0 || entry.cmd == PLL_CFG_CMD_END)
            break;
    }
    reading.output = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, closeFile(file));
    return reading;
}

struct LineCase {
    std::string content;
    int rc;
    int cmd;
    int addr;
    uint32_t value;
    std::string message; // "" when nothing may be printed
};

const std::string NO_FIELD = "\n parseEntry: Error wrong cmd line in PLL config file, cmd_line=";
const std::string UNKNOWN = "\n parseEntry: Error unknown PLL config file command, cmd=";

// Lines longer than the 127 bytes that fit, with END_OF_FILE starting at
// byte at, or without it (at < 0), and a line after them.
std::string overlong(const std::string &start, int at)
{
    std::string line = start + std::string(140 - start.size(), start[0] == ';' ? '-' : ' ') + "\n";
    if (at >= 0)
        line.replace(at, 11, "END_OF_FILE");
    return line + "X,0x30,0x40\n";
}

const LineCase LINE_CASES[] = {
    {"X,0x0123,0x45\n", 0, PLL_CFG_CMD_WRITE, 0x123, 0x45, ""},
    {"X, 7F , 01\r\n", 0, PLL_CFG_CMD_WRITE, 0x7F, 0x01, ""},
    {"X,,0x10,,0x20\n", 0, PLL_CFG_CMD_WRITE, 0x10, 0x20, ""},
    {"X,0x1FF,0x1234\n", 0, PLL_CFG_CMD_WRITE, 0x1FF, 0x1234, ""},
    {"WX,1,2\n", 0, PLL_CFG_CMD_WRITE, 1, 2, ""},
    {"W,100000\n", 0, PLL_CFG_CMD_WAIT, 0, 100000, ""},
    // Numbers: a remark may follow the digits; a field without a digit, with
    // a minus sign or beyond 32 bits fails the line (main reports it).
    {"X,0x30 reg,0x40 val\n", 0, PLL_CFG_CMD_WRITE, 0x30, 0x40, ""},
    {"X,+7f,\t0XA5\n", 0, PLL_CFG_CMD_WRITE, 0x7F, 0xA5, ""},
    {"X,0xFFFFFFFF,0x00000000FF\n", 0, PLL_CFG_CMD_WRITE, -1, 0xFF, ""},
    {"W,100 us\n", 0, PLL_CFG_CMD_WAIT, 0, 100, ""},
    {"W,4294967295\n", 0, PLL_CFG_CMD_WAIT, 0, 4294967295u, ""},
    {"W,0x10\n", 0, PLL_CFG_CMD_WAIT, 0, 0, ""}, // the decimal reading stops at the x
    {"X,zz,yy\n", -1, 0, 0, 0, ""},
    {"X,0x10,yy\n", -1, 0, 0, 0, ""},
    {"X,0x,0x45\n", -1, 0, 0, 0, ""},
    {"X,1,\n", -1, 0, 0, 0, ""},
    {"W,\n", -1, 0, 0, 0, ""},
    {"X,-1,0x45\n", -1, 0, 0, 0, ""},
    {"W, -1\n", -1, 0, 0, 0, ""},
    {"W,99999999999999999999\n", -1, 0, 0, 0, ""},
    {"W,4294967296\n", -1, 0, 0, 0, ""},
    {"X,0x100000010,0x20\n", -1, 0, 0, 0, ""},
    {"; comment, with, commas\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"X;,1,2\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"\r\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"   \n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {",,,\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"hello\n", 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {"; END_OF_FILE follows\n", 0, PLL_CFG_CMD_END, 0, 0, ""},
    {"", 0, PLL_CFG_CMD_END, 0, 0, ""},
    {"X,0x10\n", -1, 0, 0, 0, ""},
    {"X\n", -1, 0, 0, 0, ""},
    {"W\n", -1, 0, 0, 0, ""},
    {"hello,1\n", -1, 0, 0, 0, UNKNOWN + "helloF:morrask,L:"},
    {"x,0x10,0x20\n", -1, 0, 0, 0, UNKNOWN + "xF:morrask,L:"},
    {",,,", -1, 0, 0, 0, NO_FIELD + ",,,F:morrask,L:"},
    {std::string("\0X,1,2\n", 7), -1, 0, 0, 0, NO_FIELD + "F:morrask,L:"},
    // Overlong: the word wholly past the cut, across it (10 bytes before it,
    // 1 before it), wholly before it, and absent.
    {overlong("; long", 128), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("; long", 117), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("; long", 126), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("; long", -1), 0, PLL_CFG_CMD_NOP, 0, 0, ""},
    {overlong("X,0x10,0x20", 128), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("X,0x10,0x20", 117), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("X,0x10,0x20", 126), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("X,0x10,0x20", 116), 0, PLL_CFG_CMD_END, 0, 0, ""},
    {overlong("X,0x10,0x20", -1), -1, 0, 0, 0, REPORTED},
};

} // namespace

TEST(ConfigFile, EachKindOfLineParsesAsTheFormatSays)
{
    for (const LineCase &line : LINE_CASES) {
        SCOPED_TRACE(line.content);
        Reading reading = readConfig(line.content);
        const Entry &first = reading.entries.front();
        EXPECT_EQ(line.rc, first.rc);
        if (line.rc == 0) {
            EXPECT_EQ(line.cmd, first.cmd);
            EXPECT_EQ(line.addr, first.addr);
            EXPECT_EQ(line.value, first.value);
        }
        if (line.message.empty())
            EXPECT_EQ("", reading.output);
        else if (line.message == REPORTED)
            EXPECT_NE("", reading.output);
        else
            EXPECT_EQ(0u, reading.output.find(line.message)) << reading.output;
    }
}

TEST(ConfigFile, FileIsReadInOnePassUpToTheEndSentinel)
{
    // No line end on the last line; nothing after an END_OF_FILE comment counts.
    Reading reading = readConfig("X,1,2\nW,5\nX,3,4");
    ASSERT_EQ(4u, reading.entries.size());
    EXPECT_EQ(3, reading.entries[2].addr);
    EXPECT_EQ(PLL_CFG_CMD_END, reading.entries[3].cmd);

    EXPECT_EQ(2u, readConfig("X,1,2\n; END_OF_FILE\nX,3,4\n").entries.size());

    // A failed line shows its first field, as the loader reports it.
    reading = readConfig("X,0x10\n");
    EXPECT_EQ("X", reading.lastBuffer);
}

TEST(ConfigFile, OverlongCommentIsCutAndItsRestNeverBecomesALine)
{
    std::string comment = "; " + std::string(150, '-') + ",X,0x10,0x20 W,99\n";
    Reading reading = readConfig(comment + "X,0x11,0x22\n");
    ASSERT_EQ(3u, reading.entries.size());
    EXPECT_EQ(PLL_CFG_CMD_NOP, reading.entries[0].cmd);
    EXPECT_EQ(0x11, reading.entries[1].addr);
    EXPECT_EQ("", reading.output);
}

TEST(ConfigFile, OverlongCommandLineFailsTheRead)
{
    // 126 characters and the line end fit; one more does not.
    std::string fits = "X,0x10,0x20" + std::string(115, ' ') + "\n";
    EXPECT_EQ(0x20u, readConfig(fits).entries[0].value);
    EXPECT_EQ(0x20u, readConfig(fits.substr(0, 126) + " ").entries[0].value); // last line, no line end

    Reading reading = readConfig("X,0x10,0x20" + std::string(116, ' ') + "\nX,0x30,0x40\n");
    ASSERT_EQ(1u, reading.entries.size());
    EXPECT_EQ(-1, reading.entries[0].rc);
    EXPECT_NE("", reading.output);
}

namespace {

// A stream that yields text, fails one read with EIO, then yields rest.
FILE *failingOnceAfter(const std::string &text, const std::string &rest)
{
    struct Stream {
        std::string text, rest;
    };
    cookie_io_functions_t calls = {};
    calls.read = [](void *cookie, char *buffer, size_t size) -> ssize_t {
        Stream *stream = static_cast<Stream *>(cookie);
        if (stream->text.empty()) {
            stream->text.swap(stream->rest);
            errno = EIO;
            return -1;
        }
        size_t count = stream->text.copy(buffer, size);
        stream->text.erase(0, count);
        return static_cast<ssize_t>(count);
    };
    calls.close = [](void *cookie) {
        delete static_cast<Stream *>(cookie);
        return 0;
    };
    return fopencookie(new Stream{text, rest}, "r", calls);
}

} // namespace

// A read error is no end of the file, and what follows it is no line: the
// file ends there, reported. Taken for the end, a load cut short would end
// as if complete; read on, the tail of a long comment could become a
// register write. Here at the first line, after a whole line, within a last
// line without a line end, right after a full buffer and in the tail of an
// overlong comment.
TEST(ConfigFile, AReadErrorIsReportedAndEndsTheRead)
{
    const std::string next = "X,0x30,0x40\n";
    struct Case {
        std::string text; // before the error
        std::string rest; // after it
        unsigned writes;  // lines that are writes, before the error
    } cases[] = {
        {"", next, 0},
        {"X,0x10,0x20\n", next, 1},
        {"X,0x10,0x20", next, 0},
        {"X,0x10,0x20" + std::string(116, ' '), next, 0},
        {"; " + std::string(130, '-'), ",X,0x10,0x20\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        FILE *file = failingOnceAfter(c.text, c.rest);
        ASSERT_NE(nullptr, file);
        char line[128];
        int cmd = -1, addr = 0;
        uint32_t value = 0;
        unsigned writes = 0;
        int rc;
        testing::internal::CaptureStdout();
        while ((rc = readEntry(file, line, sizeof(line))) == 0 && parseEntry(line, &cmd, &addr, &value) == 0 &&
               cmd != PLL_CFG_CMD_END)
            writes += cmd == PLL_CFG_CMD_WRITE;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(c.writes, writes);
        EXPECT_NE("", out);
        fclose(file);
    }
}

// Truncated, grown or rewritten in place: each is noticed; being read is not.
TEST(ConfigFile, AFileChangedSinceItWasOpenedIsRefused)
{
    const std::string content = "X,0x0001,0x11\nX,0x0002,0x22\n";
    const std::function<void(const std::string &)> changes[] = {
        [](const std::string &path) { ASSERT_EQ(0, truncate(path.c_str(), 20)); },
        [](const std::string &path) { std::ofstream(path, std::ios::app) << "X,0x0003,0x33\n"; },
        [](const std::string &path) { std::ofstream(path, std::ios::in) << "X,0x0001,0x99"; },
    };
    for (const auto &change : changes) {
        std::string path = scratchFile(content);
        usleep(20000); // past the file system's time stamp granularity
        FILE *file = nullptr;
        OpenedFile opened;
        ASSERT_EQ(0, openFile(path.c_str(), &file, &opened));
        char line[128];
        ASSERT_EQ(0, readEntry(file, line, sizeof(line)));
        EXPECT_EQ(0, checkFileUnchanged(file, &opened.stamp));
        change(path);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, checkFileUnchanged(file, &opened.stamp));
        EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                         "Error configuration file changed while loading, st_size="));
        closeFile(file);
    }

    // A status that cannot be read is no sign of an unchanged file.
    FILE *file = nullptr;
    OpenedFile opened;
    ASSERT_EQ(0, openFile(scratchFile(content).c_str(), &file, &opened));
    testing::internal::CaptureStdout();
    close(fileno(file)); // after the capture's own open, which would take its number
    EXPECT_EQ(-1, checkFileUnchanged(file, &opened.stamp));
    EXPECT_EQ(-1, closeFile(file));
    EXPECT_NE("", testing::internal::GetCapturedStdout());
}

// Arguments no caller should pass (a null pointer, a buffer of no bytes)
// are refused with a report, never used: the stream is not read meanwhile.
TEST(ConfigFile, BadArgumentsAreRefusedWithAReport)
{
    FILE *file = nullptr;
    ASSERT_EQ(0, openFile(scratchFile("X,1,2\n").c_str(), &file));
    char line[128] = "X,3,4";
    int cmd = 0, addr = 0;
    uint32_t value = 0;
    LineFault fault = LINE_OK;
    FileStamp stamp = {};
    FileIdentity identity = {};
    const std::function<int()> calls[] = {
        [&] { return openFile(SAMPLE_CONFIG, nullptr); },
        [&] { return checkFileUnchanged(nullptr, &stamp); },
        [&] { return checkFileUnchanged(file, nullptr); },
        [&] { return readLine(nullptr, line, sizeof(line), &fault); },
        [&] { return readLine(file, line, -1, &fault); },
        [&] { return readLine(file, line, sizeof(line), nullptr); },
        [&] { return readEntry(file, nullptr, sizeof(line)); },
        [&] { return readEntry(file, line, 0); },
        [&] { return parseLine(nullptr, &cmd, &addr, &value, &fault); },
        [&] { return parseLine(line, &cmd, &addr, &value, nullptr); },
        [&] { return parseEntry(line, nullptr, &addr, &value); },
        [&] { return closeFile(nullptr); },
        [&] { return checkSameFile(&stamp, SAMPLE_CONFIG, nullptr); },
        [&] { return checkSameFile(nullptr, SAMPLE_CONFIG, &identity); },
    };
    for (size_t i = 0; i < sizeof(calls) / sizeof(calls[0]); i++) {
        SCOPED_TRACE(i);
        int reports = errorReportCount();
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, calls[i]());
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(reports + 1, errorReportCount());
    }
    EXPECT_EQ(0, readEntry(file, line, sizeof(line)));
    EXPECT_STREQ("X,1,2\n", line);
    EXPECT_EQ(0, closeFile(file));
}

TEST(ConfigFile, TrimLineEndDropsEveryTrailingCrAndLf)
{
    char mixed[] = "ab\r\n\r\n";
    char empty[] = "";
    EXPECT_STREQ("ab", trimLineEnd(mixed));
    EXPECT_STREQ("", trimLineEnd(empty));
    EXPECT_EQ(nullptr, trimLineEnd(nullptr));
}
