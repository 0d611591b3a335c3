// A simulated PLL chip on the far end of the SPI bus. It decodes each
// transfer as the real chip does: a command byte (bit 7 clear for a write,
// 7-bit register number) and data bytes for consecutive registers; a write to
// register 0x7F selects the page that later register writes land in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// 16 pages of 128 registers, addresses 0x000 to 0x7FF, as the chip on the
// simulated board (sim/board/kmod/sim_spi.c) has them.
constexpr unsigned SIM_PLL_PAGES = 16;
constexpr unsigned SIM_PLL_PAGE_SIZE = 128;

// lsbWired: the chip sees every byte least significant bit first.
void simChipReset(bool lsbWired);
void simChipTransfer(const uint8_t *tx, size_t length);

// Value of register address (page * 128 + register), or -1 if never written.
int simChipRegister(unsigned address);
unsigned simChipPage(void);
unsigned simChipWrites(void);
// Register writes that the chip could not take: read commands, pages past the last.
unsigned simChipRejected(void);

// Register map, 16 registers a row, "--" for never written; rows never written to are left out.
void simChipDump(FILE *out);
