// Register writes to the PLL chip over spidev.
//
// The chip addresses a register by a 7-bit number within a page; the page is
// chosen by first writing page register 0x7F. Each write opens the device,
// selects the page, writes the register and closes the device again. Boards
// wired least significant bit first get every byte bit-reversed in software.
// Every signal but SIGTERM and SIGKILL is held off from the page select to
// the end of its register transfer, so that an interrupt cannot leave a page
// selected without its register written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr uint8_t PLL_PAGE_REGISTER = 0x7F;
constexpr unsigned PLL_REGISTER_BITS = 7;
constexpr unsigned PLL_MAX_REGISTER = 0x7F;
constexpr unsigned PLL_MAX_PAGE = 15;
constexpr unsigned PLL_MAX_PAYLOAD = 24;
constexpr uint32_t PLL_LAST_ADDRESS = PLL_MAX_PAGE << PLL_REGISTER_BITS | PLL_MAX_REGISTER;
constexpr uint32_t SPI_SPEED_HZ = 10000000;
constexpr uint8_t SPI_BITS_PER_WORD = 8;

int cpuSpiWrite(uint32_t address, uint8_t *data, uint16_t count);
int write_spi_device(int fd, unsigned page, unsigned address, uint16_t bytes, const uint8_t *data);
ssize_t spi_write(int fd, const uint8_t *buffer, size_t count);
uint8_t reverseBits(uint8_t value, int n);
