#include "boards.h"

#include <cstring>

#include "loader_settings.h"

// First match wins, in the table's order.
static const Board BOARDS[] = {
#define BOARD(name, spiDevice, lsbFirst, resetBit) {#name, BOARD_##name, spiDevice, lsbFirst, 1u << (resetBit)},
#include "boards.def"
};

// ",VKA,VKB,..." without its first comma.
static constexpr char COMMA_BOARD_NAMES[] = ""
#define BOARD(name, spiDevice, lsbFirst, resetBit) "," #name
#include "boards.def"
    ;
const char *const BOARD_NAMES = COMMA_BOARD_NAMES + 1;

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
