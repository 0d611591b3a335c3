#include "spi_writer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>

#include "loader_settings.h"
#include "messages.h"
#include "platform.h"

// Command byte and the largest payload, with room to spare.
constexpr size_t SPI_BUFFER_SIZE = 27;
static_assert(SPI_BUFFER_SIZE >= 1 + PLL_MAX_PAYLOAD, "transfer buffer too small");

// Swaps halves, then pairs, then neighbours: the 8 bits reversed, without a
// loop per bit (a VKC board reverses every byte it sends).
uint8_t reverseBits(uint8_t value, int n)
{
    if (n <= 0)
        return 0;
    if (n > 8)
        n = 8;
    unsigned v = value;
    v = (v & 0xF0u) >> 4 | (v & 0x0Fu) << 4;
    v = (v & 0xCCu) >> 2 | (v & 0x33u) << 2;
    v = (v & 0xAAu) >> 1 | (v & 0x55u) << 1;
    return static_cast<uint8_t>(v >> (8 - n)); // the low n bits, reversed
}

// Blocks every signal but SIGTERM and SIGKILL, so that an interactive
// interrupt cannot cut a register write in half. Returns true when the mask
// took.
static bool spi_lock(sigset_t *previous)
{
    sigset_t held;

    if (sigfillset(&held) != 0)
        fprintf(stderr, MSG_SIGNAL_FILL_FAILED, errno, strerror(errno));
    if (sigdelset(&held, SIGTERM) != 0)
        fprintf(stderr, MSG_SIGTERM_UNMASK_FAILED, errno, strerror(errno));
    if (sigdelset(&held, SIGKILL) != 0)
        fprintf(stderr, MSG_SIGKILL_UNMASK_FAILED, errno, strerror(errno));
    if (sigprocmask(SIG_BLOCK, &held, previous) != 0) {
        fprintf(stderr, MSG_SIGNAL_MASK_FAILED, errno, strerror(errno));
        return false;
    }
    return true;
}

static void spi_unlock(const sigset_t *previous)
{
    if (sigprocmask(SIG_SETMASK, previous, nullptr) != 0)
        fprintf(stderr, MSG_SIGNAL_UNMASK_FAILED, errno, strerror(errno));
}

ssize_t spi_write(int fd, const uint8_t *buffer, size_t count)
{
    if (fd == -1) {
        fprintf(stderr, MSG_SPI_WRITE_ARGS, fd, static_cast<const void *>(buffer), static_cast<unsigned long>(count));
        return -1;
    }

    struct spi_ioc_transfer transfer;
    memset(&transfer, 0, sizeof(transfer));
    transfer.tx_buf = reinterpret_cast<uintptr_t>(buffer);
    transfer.rx_buf = 0;
    transfer.len = static_cast<uint32_t>(count);
    transfer.speed_hz = SPI_SPEED_HZ;
    transfer.delay_usecs = 0;
    transfer.bits_per_word = SPI_BITS_PER_WORD;
    transfer.cs_change = 0;

    int result = spiDeviceIoctl(fd, SPI_IOC_MESSAGE(1), &transfer);
    int transferErrno = errno;
    if (result == -1) {
        fprintf(stderr, MSG_SPI_TRANSFER_FAILED, __LINE__, transferErrno, strerror(transferErrno));
        return -1;
    }
    return result;
}

// Bit order on the wire: register numbers are 7 bits wide, everything else 8.
static uint8_t commandByte(unsigned reg)
{
    if (loaderSettings.lsbFirst)
        return reverseBits(static_cast<uint8_t>(reg), PLL_REGISTER_BITS) & PLL_MAX_REGISTER;
    return static_cast<uint8_t>(reg) & PLL_MAX_REGISTER; // bit 7 clear: a write
}

static uint8_t dataByte(uint8_t value)
{
    return loaderSettings.lsbFirst ? reverseBits(value, 8) : value;
}

// The two transfers of a register write, its arguments already checked.
static int write_page_and_register(int fd, unsigned page, unsigned address, uint16_t bytes, const uint8_t *data)
{
    uint8_t buffer[SPI_BUFFER_SIZE];
    memset(buffer, 0, sizeof(buffer));
    buffer[0] = commandByte(PLL_PAGE_REGISTER);
    buffer[1] = dataByte(static_cast<uint8_t>(page));
    ssize_t sent = spi_write(fd, buffer, 2);
    if (sent <= 0) {
        printf(MSG_PAGE_WRITE_FAILED, fd, static_cast<void *>(buffer), 2L, static_cast<long>(sent));
        return -1;
    }

    memset(buffer, 0, sizeof(buffer));
    buffer[0] = commandByte(address);
    for (unsigned i = 0; i < bytes; i++)
        buffer[1 + i] = dataByte(data[i]);
    sent = spi_write(fd, buffer, bytes + 1u);
    if (sent != bytes + 1) {
        printf(MSG_REGISTER_WRITE_FAILED, fd, static_cast<void *>(buffer), bytes + 1L, static_cast<long>(sent));
        return -1;
    }
    return 0;
}

int write_spi_device(int fd, unsigned page, unsigned address, uint16_t bytes, const uint8_t *data)
{
    if (fd < 0 || bytes > PLL_MAX_PAYLOAD || address > PLL_MAX_REGISTER || page > PLL_MAX_PAGE ||
        (data == nullptr && bytes > 0)) {
        printf(MSG_SPI_DEVICE_ARGS, fd, page, address, bytes, static_cast<const void *>(data));
        return -1;
    }

    // Only a mask that was changed is put back; the saved one is valid only then.
    sigset_t previous;
    bool locked = spi_lock(&previous);
    int result = write_page_and_register(fd, page, address, bytes, data);
    if (locked)
        spi_unlock(&previous); // a signal held meanwhile acts now
    return result;
}

int cpuSpiWrite(uint32_t address, uint8_t *data, uint16_t count)
{
    const char *device = loaderSettings.spiDevice;
    int fd = spiDeviceOpen(device, O_RDWR);
    if (fd < 0) {
        printf(MSG_SPI_OPEN_FAILED, device, errno, strerror(errno));
        return -1;
    }

    // The chip takes multi-byte values last byte first.
    if (data != nullptr)
        std::reverse(data, data + count);

    // Every address bit above the register number counts towards the page, so
    // that an address beyond the last page is refused rather than wrapped.
    unsigned page = address >> PLL_REGISTER_BITS;
    unsigned reg = address & PLL_MAX_REGISTER;
    int result = write_spi_device(fd, page, reg, count, data);
    if (result == -1)
        printf(MSG_SPI_WRITE_FAILED, device, fd, reg, page, count);

    if (spiDeviceClose(fd) != 0)
        printf(MSG_SPI_CLOSE_FAILED, device, fd, errno, strerror(errno));
    return result;
}
