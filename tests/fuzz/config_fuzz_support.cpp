#include "config_fuzz_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "loader_settings.h"
#include "platform.h"

std::vector<Step> busSteps;

// Every run opens the file and so allocates a stream; with ASan's
// quarantine of 256 MB each would take fresh pages for the first tens of
// thousands of runs. 16 MB still holds the last few thousand runs' memory
// poisoned.
extern "C" const char *__asan_default_options(void)
{
    return "quarantine_size_mb=16";
}

namespace {

constexpr int SEAM_FD = 42;
constexpr size_t LINE_ROOM = CFG_LINE_SIZE - 1; // a line with its line end
constexpr uint32_t LAST_ADDRESS = 0x7FF;
constexpr std::string_view END_WORD = "END_OF_FILE";
constexpr Step WAIT_STEP = 1ull << 32;
constexpr Step SPI_STEP = 2ull << 32;

int openHandles;
int transfersThisOpen; // one register write per opening: page select, register

// The input's file: on tmpfs, where opening it by its path is cheap.
char filePath[64];
int fileFd = -1;
size_t fileSize;
FileIdentity fileIdentity;

uint8_t mirror(uint8_t value, int bits)
{
    uint8_t out = 0;
    for (int i = 0; i < bits; i++)
        if (value & (1u << i))
            out |= 1u << (bits - 1 - i);
    return out;
}

Step busStep(uint8_t command, uint8_t data)
{
    return SPI_STEP | command << 8 | data;
}

// A register write as the bus carries it in the configured bit order.
Step transfer(uint8_t reg, uint8_t data)
{
    bool lsb = loaderSettings.lsbFirst != 0;
    return busStep(lsb ? mirror(reg, 7) : reg, lsb ? mirror(data, 8) : data);
}

void removeFile(void)
{
    unlink(filePath);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceStdout();
    return 0;
}

const char *configInput(const uint8_t *data, size_t size)
{
    if (fileFd < 0) {
        snprintf(filePath, sizeof(filePath), "/dev/shm/morrask-fuzz-%d", getpid());
        fileFd = open(filePath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FUZZ_CHECK(fileFd >= 0);
        atexit(removeFile);
        struct stat status;
        FUZZ_CHECK(fstat(fileFd, &status) == 0);
        fileIdentity = {status.st_dev, status.st_ino};
    }
    FUZZ_CHECK(pwrite(fileFd, data, size, 0) == static_cast<ssize_t>(size));
    if (size < fileSize)
        FUZZ_CHECK(ftruncate(fileFd, static_cast<off_t>(size)) == 0);
    fileSize = size;
    loaderSettings.lsbFirst = size & 1;
    busSteps.clear();
    openHandles = 0;
    return filePath;
}

const FileIdentity *configIdentity(void)
{
    return &fileIdentity;
}

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
    busSteps.push_back(busStep(tx[0], tx[1]));
    return static_cast<int>(t->len);
}

int spiDeviceClose(int fd)
{
    FUZZ_CHECK(fd == SEAM_FD && openHandles == 1 && transfersThisOpen != 1);
    openHandles--;
    return 0;
}

// Loading and its dry run take no lock and never touch the reset register.
// One stub a line, a list to hold against platform.h.
// clang-format off
int spiBusLock(const char *) { abort(); }
int spiBusUnlock(int) { abort(); }
int spiBusMode(int, uint8_t *) { abort(); }
int physMemOpen(const char *, int) { abort(); }
void *physMemMap(size_t, int, int, int, off_t) { abort(); }
uint16_t physMemRead16(const volatile uint16_t *) { abort(); }
void physMemWrite16(volatile uint16_t *, uint16_t) { abort(); }
int physMemUnmap(void *, size_t) { abort(); }
int physMemClose(int) { abort(); }
// clang-format on

void sleepMicroseconds(unsigned long microseconds)
{
    FUZZ_CHECK(microseconds <= UINT32_MAX);
    busSteps.push_back(WAIT_STEP | microseconds);
}

namespace {

// A number field as the format has it: blanks, a plus sign, in base 16 a
// 0x prefix, then at least one digit, up to 32 bits; no minus sign. False
// when the field breaks one of these rules.
bool number(std::string_view field, unsigned base, uint32_t *value)
{
    size_t i = field.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string_view::npos || field[i] == '-')
        return false;
    if (field[i] == '+')
        i++;
    if (base == 16 && (field.compare(i, 2, "0x") == 0 || field.compare(i, 2, "0X") == 0))
        i += 2;
    uint64_t magnitude = 0;
    size_t digits = 0;
    for (; i < field.size(); i++, digits++) {
        char c = field[i];
        unsigned digit = c >= '0' && c <= '9'   ? c - '0'
                         : c >= 'a' && c <= 'z' ? c - 'a' + 10
                         : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                                : 99;
        if (digit >= base)
            break;
        magnitude = magnitude * base + digit;
        if (magnitude > UINT32_MAX)
            return false;
    }
    *value = static_cast<uint32_t>(magnitude);
    return digits > 0;
}

// The first fields between commas (empty ones do not count), at most
// count; returns how many there are, up to count.
size_t fieldsOf(std::string_view text, std::string_view *fields, size_t count)
{
    size_t found = 0, start = 0;
    while (found < count && (start = text.find_first_not_of(',', start)) != std::string_view::npos) {
        size_t end = text.find(',', start);
        fields[found++] = text.substr(start, end == std::string_view::npos ? end : end - start);
        start = end;
    }
    return found;
}

// The steps of a line that is not a comment, at most two; how many, or -1
// when the line is bad.
int commandSteps(const std::string_view *fields, size_t count, Step *out)
{
    if (count == 0)
        return -1;
    if (fields[0].find('X') != std::string_view::npos) {
        uint32_t address = 0, value = 0;
        if (count < 3 || !number(fields[1], 16, &address) || !number(fields[2], 16, &value) || address > LAST_ADDRESS)
            return -1;
        out[0] = transfer(0x7F, static_cast<uint8_t>(address >> 7));
        out[1] = transfer(address & 0x7F, static_cast<uint8_t>(value));
        return 2;
    }
    if (fields[0].find('W') != std::string_view::npos) {
        uint32_t wait = 0;
        if (count < 2 || !number(fields[1], 10, &wait))
            return -1;
        out[0] = WAIT_STEP | wait;
        return 1;
    }
    // A blank line, or an unknown command.
    return fields[0].find_first_of("\r\n") != std::string_view::npos ? 0 : -1;
}

// A carriage return before the line's end (trailing ones are its end).
bool innerCarriageReturn(std::string_view text)
{
    size_t end = text.find_last_not_of("\r\n");
    return end != std::string_view::npos && text.substr(0, end).find('\r') != std::string_view::npos;
}

// One line of the format, judged. Returns false at the end of the file.
bool judgeLine(std::string_view whole, Verdict *verdict)
{
    std::string_view line = whole.substr(0, LINE_ROOM);
    std::string_view text = line.substr(0, line.find('\0')); // what string functions see
    std::string_view fields[3];
    size_t count = fieldsOf(text, fields, 3);
    // The part that fits is read as text; the rest of an overlong line is
    // searched byte by byte, the word reaching back across the cut.
    bool overlong = whole.size() > LINE_ROOM;
    if (text.find(END_WORD) != std::string_view::npos) {
        verdict->innerCarriageReturns += !overlong && innerCarriageReturn(text);
        return false;
    }
    if (overlong && whole.find(END_WORD, LINE_ROOM - (END_WORD.size() - 1)) != std::string_view::npos)
        return false;
    bool comment = count > 0 && fields[0].find(';') != std::string_view::npos;
    Step lineSteps[2];
    int made = 0;
    // The tail of an overlong line is never read; only a comment may be one.
    bool bad = !comment && (overlong || (made = commandSteps(fields, count, lineSteps)) < 0);
    verdict->badLines += bad;
    bool innerReturn = !bad && innerCarriageReturn(text);
    verdict->innerCarriageReturns += innerReturn;
    verdict->writes += !bad && !innerReturn && made == 2;
    verdict->loadFails = verdict->loadFails || bad;
    if (!verdict->loadFails)
        verdict->steps.insert(verdict->steps.end(), lineSteps, lineSteps + made);
    return true;
}

} // namespace

void modelConfiguration(const uint8_t *data, size_t size, Verdict *verdict)
{
    std::string_view file(reinterpret_cast<const char *>(data), size);
    verdict->steps.clear();
    verdict->loadFails = false;
    verdict->badLines = 0;
    verdict->innerCarriageReturns = 0;
    verdict->writes = 0;
    for (size_t pos = 0; pos < size;) {
        size_t lineEnd = file.find('\n', pos);
        size_t length = lineEnd == std::string_view::npos ? size - pos : lineEnd - pos + 1;
        if (!judgeLine(file.substr(pos, length), verdict))
            break;
        pos += length;
    }
}

void dumpSteps(const char *title, const std::vector<Step> &list)
{
    fprintf(stderr, "%s (%zu):\n", title, list.size());
    for (Step step : list)
        if (step & SPI_STEP)
            fprintf(stderr, "  spi %02X %02X\n", static_cast<unsigned>(step >> 8 & 0xFF),
                    static_cast<unsigned>(step & 0xFF));
        else
            fprintf(stderr, "  wait %u\n", static_cast<unsigned>(step));
}
