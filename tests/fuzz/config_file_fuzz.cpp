// morrask's configuration loading as one unit: the input is the file, loaded
// by the loader's own loop (loadConfiguration from the core) over a recording
// SPI seam. The writes and waits it makes must be those of an independent
// model of the file format, line by line, up to the same end or failure.
#include <cstdint>
#include <linux/spi/spidev.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "error_report.h"
#include "fuzz_support.h"
#include "loader_settings.h"
#include "platform.h"
#include "run_sequence.h"

namespace {

constexpr int SEAM_FD = 42;
constexpr size_t LINE_ROOM = CFG_LINE_SIZE - 1; // a line with its line end
constexpr uint32_t LAST_ADDRESS = 0x7FF;
const std::string END_WORD = "END_OF_FILE";

std::vector<std::string> steps; // "spi XX XX" or "wait N", in order
int openHandles;
int transfersThisOpen; // one register write per opening: page select, register
int fileFd = -1;
char filePath[64];

uint8_t mirror(uint8_t value, int bits)
{
    uint8_t out = 0;
    for (int i = 0; i < bits; i++)
        if (value & (1u << i))
            out |= 1u << (bits - 1 - i);
    return out;
}

std::string busStep(uint8_t command, uint8_t data)
{
    char text[16];
    snprintf(text, sizeof(text), "spi %02X %02X", command, data);
    return text;
}

// A register write as the bus carries it in the configured bit order.
std::string transfer(uint8_t reg, uint8_t data)
{
    bool lsb = loaderSettings.lsbFirst != 0;
    return busStep(lsb ? mirror(reg, 7) : reg, lsb ? mirror(data, 8) : data);
}

} // namespace

// The board seam: transfers and waits are recorded, never carried out.
int spiDeviceOpen(const char *, int)
{
    FUZZ_CHECK(openHandles == 0);
    openHandles++;
    transfersThisOpen = 0;
    return SEAM_FD;
}

int spiDeviceIoctl(int fd, unsigned long request, void *argument)
{
    FUZZ_CHECK(fd == SEAM_FD && openHandles == 1 && request == SPI_IOC_MESSAGE(1));
    const spi_ioc_transfer *t = static_cast<const spi_ioc_transfer *>(argument);
    const uint8_t *tx = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(t->tx_buf));
    FUZZ_CHECK(t->len == 2 && (tx[0] & 0x80) == 0); // bit 7 set would be a read
    // On the bus, independent of the model: a page select (page 0..15, so no
    // address past 0x7FF) and then exactly one register write.
    bool lsb = loaderSettings.lsbFirst != 0;
    uint8_t reg = lsb ? mirror(tx[0], 7) : tx[0];
    uint8_t page = lsb ? mirror(tx[1], 8) : tx[1];
    if (transfersThisOpen == 0)
        FUZZ_CHECK(reg == 0x7F && page <= LAST_ADDRESS >> 7);
    FUZZ_CHECK(++transfersThisOpen <= 2);
    steps.push_back(busStep(tx[0], tx[1]));
    return static_cast<int>(t->len);
}

int spiDeviceClose(int fd)
{
    FUZZ_CHECK(fd == SEAM_FD && openHandles == 1 && transfersThisOpen != 1);
    openHandles--;
    return 0;
}

// Loading never touches the reset register.
int physMemOpen(const char *, int) { abort(); }
void *physMemMap(size_t, int, int, int, off_t) { abort(); }
uint16_t physMemRead16(const volatile uint16_t *) { abort(); }
void physMemWrite16(volatile uint16_t *, uint16_t) { abort(); }
int physMemUnmap(void *, size_t) { abort(); }
int physMemClose(int) { abort(); }

void sleepMicroseconds(unsigned long microseconds)
{
    steps.push_back("wait " + std::to_string(microseconds));
}

namespace {

// strtol's value of a field (blanks, sign, optional 0x, digits; saturated to
// 64 bits), cut to the 32 bits the loader keeps.
uint32_t number(const std::string &field, unsigned base)
{
    size_t i = field.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return 0;
    bool negative = field[i] == '-';
    if (field[i] == '-' || field[i] == '+')
        i++;
    if (base == 16 && (field.compare(i, 2, "0x") == 0 || field.compare(i, 2, "0X") == 0))
        i += 2;
    uint64_t magnitude = 0;
    bool saturated = false;
    for (; i < field.size(); i++) {
        char c = field[i];
        unsigned digit = c >= '0' && c <= '9' ? c - '0'
                         : c >= 'a' && c <= 'z' ? c - 'a' + 10
                         : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                                : 99;
        if (digit >= base)
            break;
        saturated = saturated || magnitude > (UINT64_MAX - digit) / base;
        magnitude = magnitude * base + digit;
    }
    uint64_t limit = negative ? 1ull << 63 : (1ull << 63) - 1;
    if (saturated || magnitude > limit)
        magnitude = limit;
    return static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
}

// Fields between commas; empty ones do not count.
std::vector<std::string> fieldsOf(const std::string &text)
{
    std::vector<std::string> fields;
    size_t start = 0;
    while ((start = text.find_first_not_of(',', start)) != std::string::npos) {
        size_t end = text.find(',', start);
        fields.push_back(text.substr(start, end - start));
        start = end;
    }
    return fields;
}

// The file format as the README and the unit tests have it. Returns the
// steps of a complete load; failed is set when loading must stop in error.
std::vector<std::string> model(const uint8_t *data, size_t size, bool *failed)
{
    std::vector<std::string> expected;
    *failed = true;
    for (size_t pos = 0; pos < size;) {
        const void *lineEnd = memchr(data + pos, '\n', size - pos);
        size_t length = lineEnd ? static_cast<const uint8_t *>(lineEnd) - (data + pos) + 1 : size - pos;
        std::string whole(reinterpret_cast<const char *>(data + pos), length);
        std::string line = whole.substr(0, LINE_ROOM);
        pos += length;
        std::string text = line.substr(0, line.find('\0')); // what string functions see
        std::vector<std::string> fields = fieldsOf(text);
        // The part that fits is read as text; the rest of an overlong line is
        // searched byte by byte, the word reaching back across the cut.
        bool end = text.find(END_WORD) != std::string::npos ||
                   (length > LINE_ROOM && whole.find(END_WORD, LINE_ROOM - (END_WORD.size() - 1)) != std::string::npos);
        bool comment = !fields.empty() && fields[0].find(';') != std::string::npos;
        if (length > LINE_ROOM && !end && !comment)
            return expected; // an overlong command; its tail is never read
        if (end)
            break;
        if (fields.empty())
            return expected;
        const std::string &command = fields[0];
        if (comment)
            continue;
        if (command.find('X') != std::string::npos) {
            uint32_t address = fields.size() >= 3 ? number(fields[1], 16) : ~0u;
            if (address > LAST_ADDRESS)
                return expected;
            expected.push_back(transfer(0x7F, static_cast<uint8_t>(address >> 7)));
            expected.push_back(transfer(address & 0x7F, static_cast<uint8_t>(number(fields[2], 16))));
        } else if (command.find('W') != std::string::npos) {
            if (fields.size() < 2)
                return expected;
            expected.push_back("wait " + std::to_string(number(fields[1], 10)));
        } else if (command.find_first_of("\r\n") == std::string::npos) {
            return expected; // unknown command
        }
    }
    *failed = false;
    return expected;
}

void dump(const char *title, const std::vector<std::string> &list)
{
    fprintf(stderr, "%s (%zu):\n", title, list.size());
    for (const std::string &step : list)
        fprintf(stderr, "  %s\n", step.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceStdout();
    fileFd = memfd_create("morrask-fuzz", 0);
    FUZZ_CHECK(fileFd >= 0);
    snprintf(filePath, sizeof(filePath), "/proc/self/fd/%d", fileFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(ftruncate(fileFd, 0) == 0);
    FUZZ_CHECK(pwrite(fileFd, data, size, 0) == static_cast<ssize_t>(size));
    // Both bit orders, by the length of the input so that a crash reproduces.
    loaderSettings.lsbFirst = size & 1;
    steps.clear();
    openHandles = 0;

    int reportsBefore = errorReportCount();
    loadConfiguration(filePath);
    bool loaderFailed = errorReportCount() != reportsBefore;

    bool modelFailed = false;
    std::vector<std::string> expected = model(data, size, &modelFailed);
    if (steps != expected || loaderFailed != modelFailed) {
        fprintf(stderr, "loader %s, model %s\n", loaderFailed ? "failed" : "finished",
                modelFailed ? "failed" : "finished");
        dump("loader", steps);
        dump("model", expected);
        abort();
    }
    FUZZ_CHECK(openHandles == 0);
    return 0;
}
