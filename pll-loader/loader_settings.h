// Process-wide settings of the PLL configuration loader.
#pragma once

#include <cstdint>

// BOARD_<name> for each board of boards.def, from 1 in table order.
enum BoardType : uint8_t {
    BOARD_TYPE_NONE = 0,
#define BOARD(name, spiDevice, lsbFirst, resetBit) BOARD_##name,
#include "boards.def"
};

constexpr int LOADER_PATH_SIZE = 128;

struct LoaderSettings {
    char spiDevice[LOADER_PATH_SIZE]; // SPI device node, e.g. "/dev/spidev1.1"
    uint8_t boardType;                // one of BoardType
    int32_t lsbFirst;                 // nonzero: least significant bit first on the bus
};

// Written only by option handling; read by the SPI writer and the reset.
extern LoaderSettings loaderSettings;
