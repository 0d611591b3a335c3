#include "sim_platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/spi/spidev.h>
#include <sys/mman.h>

#include "platform.h"
#include "sim_event_log.h"
#include "sim_pll_chip.h"

namespace {

constexpr size_t MEM_PAGE_WORDS = 4096 / sizeof(uint16_t);
constexpr size_t RESET_REGISTER_WORD = 2; // byte offset 4
constexpr int FIRST_FD = 100;

struct Failure {
    std::string operation;
    unsigned nth; // 0: every call
};

struct Raise {
    std::string operation;
    unsigned nth;
    int signal;
};

struct Board {
    std::vector<std::string> events;
    std::vector<SimTransfer> transfers;
    std::vector<Failure> failures;
    std::vector<Raise> raises;
    std::vector<unsigned> calls; // per operation, parallel to OPERATIONS
    uint16_t memPage[MEM_PAGE_WORDS];
    int openHandles;
    int nextFd;
};

const char *const OPERATIONS[] = {"spi_open", "spi_ioctl", "spi_short", "spi_close", "spi_lock",  "spi_unlock",
                                  "spi_mode", "mem_open",  "mem_map",   "mem_unmap", "mem_close", "sleep"};
constexpr size_t OPERATION_COUNT = sizeof(OPERATIONS) / sizeof(OPERATIONS[0]);

Board board;
std::string reportPath;

// Counts a call of operation, raises the signals armed for it, and tells
// whether it is to fail; sets errno.
bool failsNow(const char *operation)
{
    size_t index = 0;
    while (index < OPERATION_COUNT && strcmp(OPERATIONS[index], operation) != 0)
        index++;
    unsigned call = ++board.calls[index];
    for (const Raise &armed : board.raises)
        if (armed.operation == operation && armed.nth == call)
            raise(armed.signal);
    for (const Failure &failure : board.failures) {
        if (failure.operation == operation && (failure.nth == 0 || failure.nth == call)) {
            errno = EIO;
            return true;
        }
    }
    return false;
}

bool isBlocked(int signal)
{
    sigset_t current;
    sigprocmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal) == 1;
}

void writeReport(void)
{
    FILE *out = openReport(reportPath, board.events);
    if (out == nullptr)
        return;
    fprintf(out, "[reset-register]\n0x%04X\n", simResetRegister());
    fprintf(out, "[open-handles]\n%d\n", board.openHandles);
    fprintf(out, "[chip]\nwrites %u rejected %u page %u\n", simChipWrites(), simChipRejected(), simChipPage());
    fprintf(out, "[registers]\n");
    simChipDump(out);
    fclose(out);
}

void parseFailures(const char *list)
{
    for (const std::string &item : splitList(list)) {
        size_t at = item.find('@');
        unsigned nth = at == std::string::npos ? 0 : static_cast<unsigned>(atoi(item.c_str() + at + 1));
        simFailCall(item.substr(0, at), nth);
    }
}

// A loader binary linked with the simulation takes its set-up from the environment.
struct EnvironmentSetUp {
    EnvironmentSetUp()
    {
        simReset();
        const char *value = getenv("MORRASK_SIM_CHIP");
        if (value != nullptr)
            simSetChipLsbWired(strcmp(value, "msb") != 0);
        value = getenv("MORRASK_SIM_RESET_REG");
        if (value != nullptr)
            simSetResetRegister(static_cast<uint16_t>(strtoul(value, nullptr, 16)));
        value = getenv("MORRASK_SIM_FAIL");
        if (value != nullptr)
            parseFailures(value);
        value = getenv("MORRASK_SIM_REPORT");
        if (value != nullptr) {
            reportPath = value;
            atexit(writeReport);
        }
    }
} environmentSetUp;

} // namespace

void simReset(void)
{
    board.events.clear();
    board.transfers.clear();
    board.failures.clear();
    board.raises.clear();
    board.calls.assign(OPERATION_COUNT, 0);
    memset(board.memPage, 0, sizeof(board.memPage));
    board.memPage[RESET_REGISTER_WORD] = 0xFFFF;
    board.openHandles = 0;
    board.nextFd = FIRST_FD;
    simChipReset(true);
}

void simSetChipLsbWired(bool lsbWired)
{
    simChipReset(lsbWired);
}

void simFailCall(const std::string &operation, unsigned nth)
{
    board.failures.push_back({operation, nth});
}

void simRaiseDuring(const std::string &operation, unsigned nth, int signal)
{
    board.raises.push_back({operation, nth, signal});
}

const std::vector<std::string> &simEvents(void)
{
    return board.events;
}

const std::vector<SimTransfer> &simTransfers(void)
{
    return board.transfers;
}

uint16_t simResetRegister(void)
{
    return board.memPage[RESET_REGISTER_WORD];
}

void simSetResetRegister(uint16_t value)
{
    board.memPage[RESET_REGISTER_WORD] = value;
}

int simOpenHandles(void)
{
    return board.openHandles;
}

// Opening and closing the device node and /dev/mem look alike to the board.
static int openHandle(const char *operation, const char *path, int flags)
{
    appendEvent(board.events, "%s %s flags=0x%X", operation, path, flags);
    if (failsNow(operation))
        return -1;
    board.openHandles++;
    return board.nextFd++;
}

static int closeHandle(const char *operation, int fd)
{
    appendEvent(board.events, "%s fd=%d", operation, fd);
    board.openHandles--;
    return failsNow(operation) ? -1 : 0;
}

int spiDeviceOpen(const char *path, int flags)
{
    return openHandle("spi_open", path, flags);
}

int spiDeviceIoctl(int fd, unsigned long request, void *argument)
{
    const spi_ioc_transfer *transfer = static_cast<const spi_ioc_transfer *>(argument);
    SimTransfer record = {};
    record.fd = fd;
    record.request = request;
    record.rxBuf = transfer->rx_buf;
    record.speedHz = transfer->speed_hz;
    record.delayUsecs = transfer->delay_usecs;
    record.bitsPerWord = transfer->bits_per_word;
    record.csChange = transfer->cs_change;
    record.sigintHeld = isBlocked(SIGINT);
    record.sigtermHeld = isBlocked(SIGTERM);
    const uint8_t *tx = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(transfer->tx_buf));
    record.tx.assign(tx, tx + transfer->len);

    std::string bytes;
    char hex[4];
    for (uint8_t byte : record.tx) {
        snprintf(hex, sizeof(hex), " %02X", byte);
        bytes += hex;
    }
    appendEvent(board.events, "spi_xfer fd=%d len=%u:%s", fd, transfer->len, bytes.c_str());
    board.transfers.push_back(record);

    if (request != SPI_IOC_MESSAGE(1)) {
        errno = ENOTTY;
        return -1;
    }
    if (failsNow("spi_ioctl"))
        return -1;
    if (failsNow("spi_short"))
        return static_cast<int>(transfer->len) - 1;
    simChipTransfer(tx, transfer->len);
    return static_cast<int>(transfer->len);
}

int spiDeviceClose(int fd)
{
    return closeHandle("spi_close", fd);
}

int spiBusLock(const char *path)
{
    int handle = openHandle("spi_lock", path, 0);
    if (handle < 0)
        errno = EWOULDBLOCK;
    return handle;
}

int spiBusUnlock(int handle)
{
    return closeHandle("spi_unlock", handle);
}

int spiBusMode(int handle, uint8_t *mode)
{
    appendEvent(board.events, "spi_mode fd=%d", handle);
    if (failsNow("spi_mode")) {
        errno = ENOTTY; // what any node but spidev answers
        return -1;
    }
    *mode = SPI_MODE_0;
    return 0;
}

int physMemOpen(const char *path, int flags)
{
    return openHandle("mem_open", path, flags);
}

void *physMemMap(size_t length, int protection, int flags, int fd, off_t offset)
{
    appendEvent(board.events, "mem_map len=%zu prot=0x%X flags=0x%X fd=%d offset=0x%llX", length, protection, flags, fd,
                static_cast<unsigned long long>(offset));
    if (failsNow("mem_map"))
        return MAP_FAILED;
    return board.memPage;
}

uint16_t physMemRead16(const volatile uint16_t *reg)
{
    uint16_t value = *reg;
    appendEvent(board.events, "mem_read16 offset=%td value=0x%04X",
                reinterpret_cast<const volatile char *>(reg) - reinterpret_cast<char *>(board.memPage), value);
    return value;
}

void physMemWrite16(volatile uint16_t *reg, uint16_t value)
{
    appendEvent(board.events, "mem_write16 offset=%td value=0x%04X",
                reinterpret_cast<volatile char *>(reg) - reinterpret_cast<char *>(board.memPage), value);
    *reg = value;
}

int physMemUnmap(void *address, size_t length)
{
    appendEvent(board.events, "mem_unmap len=%zu%s", length, address == board.memPage ? "" : " (not the mapped page)");
    return failsNow("mem_unmap") ? -1 : 0;
}

int physMemClose(int fd)
{
    return closeHandle("mem_close", fd);
}

void sleepMicroseconds(unsigned long microseconds)
{
    appendEvent(board.events, "sleep %lu", microseconds);
    failsNow("sleep");
}
