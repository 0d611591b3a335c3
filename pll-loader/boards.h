// The boards known to the loader (boards.def), each with the bus to its PLL
// chip and the chip's reset bit. Nothing else in the loader names a board.
#pragma once

#include <cstdint>

struct Board {
    const char *name;      // as looked for in a board argument, and as shown
    uint8_t type;          // one of BoardType
    const char *spiDevice; // default SPI device node
    int32_t lsbFirst;      // default bit order: nonzero = least significant bit first
    uint16_t resetMask;    // the PLL chip's bit in the reset register
};

// The board names in table order, separated by commas ("VKA,VKB,VKC").
extern const char *const BOARD_NAMES;

// The first board, in table order, whose name occurs in text;
// nullptr when none does. The match is case-sensitive: the caller upper-cases.
const Board *boardNamedIn(const char *text);

// The board of this type, or nullptr when the type is unknown.
const Board *boardOfType(uint8_t type);
