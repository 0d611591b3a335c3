// Process-wide settings of the PLL configuration loader.
#pragma once

#include <cstdint>

enum BoardType : uint8_t {
    BOARD_VKA = 1,
    BOARD_VKB = 2,
    BOARD_VKC = 3,
};

constexpr int LOADER_PATH_SIZE = 128;

struct LoaderSettings {
    char spiDevice[LOADER_PATH_SIZE]; // SPI device node, e.g. "/dev/spidev1.1"
    uint8_t boardType;                // one of BoardType
    int32_t lsbFirst;                 // nonzero: least significant bit first on the bus
};

// Written only by option handling; read by the SPI writer and the reset.
extern LoaderSettings loaderSettings;
