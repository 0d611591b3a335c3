#include "sim_pll_chip.h"

#include <cstring>

namespace {

constexpr uint8_t PAGE_REGISTER = 0x7F;
constexpr uint8_t READ_FLAG = 0x80;

struct Chip {
    bool lsbWired;
    unsigned page;
    int16_t registers[SIM_PLL_PAGES][SIM_PLL_PAGE_SIZE];
    unsigned writes;
    unsigned rejected;
};

Chip chip;

uint8_t mirror(uint8_t value, unsigned bits)
{
    uint8_t out = 0;
    for (unsigned i = 0; i < bits; i++)
        out |= ((value >> i) & 1u) << (bits - 1 - i);
    return out;
}

void writeRegister(unsigned reg, uint8_t value)
{
    if (reg == PAGE_REGISTER) {
        chip.page = value;
        return;
    }
    if (chip.page >= SIM_PLL_PAGES) {
        chip.rejected++;
        return;
    }
    chip.registers[chip.page][reg] = value;
    chip.writes++;
}

} // namespace

void simChipReset(bool lsbWired)
{
    chip.lsbWired = lsbWired;
    chip.page = 0;
    memset(chip.registers, 0xFF, sizeof(chip.registers)); // -1: never written
    chip.writes = 0;
    chip.rejected = 0;
}

void simChipTransfer(const uint8_t *tx, size_t length)
{
    if (length == 0)
        return;
    uint8_t command = tx[0];
    if (command & READ_FLAG) {
        chip.rejected++;
        return;
    }
    unsigned reg = chip.lsbWired ? mirror(command, 7) : command;
    for (size_t i = 1; i < length; i++, reg++) {
        uint8_t value = chip.lsbWired ? mirror(tx[i], 8) : tx[i];
        if (reg >= SIM_PLL_PAGE_SIZE) {
            chip.rejected++;
            continue;
        }
        writeRegister(reg, value);
    }
}

int simChipRegister(unsigned address)
{
    unsigned page = address / SIM_PLL_PAGE_SIZE;
    if (page >= SIM_PLL_PAGES)
        return -1;
    return chip.registers[page][address % SIM_PLL_PAGE_SIZE];
}

unsigned simChipPage(void)
{
    return chip.page;
}

unsigned simChipWrites(void)
{
    return chip.writes;
}

unsigned simChipRejected(void)
{
    return chip.rejected;
}

void simChipDump(FILE *out)
{
    for (unsigned page = 0; page < SIM_PLL_PAGES; page++) {
        for (unsigned row = 0; row < SIM_PLL_PAGE_SIZE; row += 16) {
            const int16_t *values = &chip.registers[page][row];
            bool used = false;
            for (unsigned i = 0; i < 16; i++)
                used = used || values[i] >= 0;
            if (!used)
                continue;
            fprintf(out, "0x%04X:", page * SIM_PLL_PAGE_SIZE + row);
            for (unsigned i = 0; i < 16; i++) {
                if (values[i] < 0)
                    fprintf(out, " --");
                else
                    fprintf(out, " %02X", values[i]);
            }
            fprintf(out, "\n");
        }
    }
}
