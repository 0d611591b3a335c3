#include "boards.h"

#include <cstring>

#include "loader_settings.h"

// First match wins, in this order.
static const Board BOARDS[] = {
    {"VKA", BOARD_VKA, "/dev/spidev0.1", 0, 1u << 13},
    {"VKB", BOARD_VKB, "/dev/spidev0.1", 0, 1u << 11},
    {"VKC", BOARD_VKC, "/dev/spidev1.1", 1, 1u << 11},
};

const Board *boardNamedIn(const char *text)
{
    for (const Board &board : BOARDS)
        if (strstr(text, board.name) != nullptr)
            return &board;
    return nullptr;
}

const Board *boardOfType(uint8_t type)
{
    for (const Board &board : BOARDS)
        if (board.type == type)
            return &board;
    return nullptr;
}
