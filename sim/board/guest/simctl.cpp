// simctl: the simulation modules' state from the shell, for the demo and for
// looking around on the board by hand.
//   simctl chip BUS              the PLL chip's counts on SPI bus BUS
//   simctl transfers BUS [N]     the first N (all) transfers on the bus
//   simctl registers BUS         the chip's registers written so far
//   simctl soc BLOCK...          the registers that are not zero (ptp, bts, gpio)
//   simctl pps-ns NS             the SoC's PTP time of the last PPS edge
//   simctl reset                 the PLL reset register's content
//   simctl sync | unsync         the system clock held synchronised or not,
//                                as the kernel tells NTP clients (STA_UNSYNC)
//   simctl synced                exit 0 when the kernel calls it synchronised
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "board_sim.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: simctl chip BUS | transfers BUS [N] | registers BUS | soc BLOCK... | pps-ns NS | "
                         "reset | sync | unsync | synced\n");
    return 2;
}

void printTransfers(int bus, size_t most)
{
    std::vector<board::spi::Transfer> transfers = board::spi::transfers(bus);
    for (size_t i = 0; i < transfers.size() && i < most; ++i) {
        const board::spi::Transfer &t = transfers[i];
        std::printf("len=%u speed=%u bits=%u mode=0x%x data=", t.len, t.speed, t.bits, t.mode);
        for (size_t k = 0; k < t.bytes.size(); ++k)
            std::printf(k ? " %02x" : "%02x", t.bytes[k]);
        std::printf("\n");
    }
}

// Registers of a SoC block that are not zero; false when it cannot be read.
bool printSoc(const char *block)
{
    std::vector<uint64_t> regs = board::soc::snapshot(block);
    for (size_t i = 0; i < regs.size(); ++i) {
        if (regs[i] == 0xBAD)
            return false;
        if (regs[i] != 0)
            std::printf("  %-4s 0x%04zX = 0x%016" PRIX64 "\n", block, i * 8, regs[i]);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "reset") == 0) {
        volatile uint16_t *reset = board::resetRegister();
        if (!reset)
            return 1;
        std::printf("0x%04x\n", *reset);
        return 0;
    }
    if (argc == 2 && (std::strcmp(argv[1], "sync") == 0 || std::strcmp(argv[1], "unsync") == 0)) {
        bool synchronised = argv[1][0] == 's';
        if (!board::clock::setSynchronised(synchronised) || board::clock::synchronised() != synchronised) {
            std::fprintf(stderr, "simctl: cannot mark the clock %s\n",
                         synchronised ? "synchronised" : "unsynchronised");
            return 1;
        }
        return 0;
    }
    // As halvern asks the kernel: exit 0 when the clock is synchronised.
    if (argc == 2 && std::strcmp(argv[1], "synced") == 0)
        return board::clock::synchronised() == 1 ? 0 : 1;
    if (argc < 3)
        return usage();
    std::string command = argv[1];
    int bus = std::atoi(argv[2]);
    if (command == "chip") {
        std::fputs(board::spi::chip(bus).c_str(), stdout);
    } else if (command == "transfers") {
        printTransfers(bus, argc > 3 ? std::strtoul(argv[3], nullptr, 0) : SIZE_MAX);
    } else if (command == "registers") {
        for (const auto &reg : board::spi::registers(bus))
            std::printf("0x%03x 0x%02x\n", reg.first, reg.second);
    } else if (command == "soc") {
        int status = 0;
        for (int i = 2; i < argc; ++i)
            if (!printSoc(argv[i]))
                status = 1;
        return status;
    } else if (command == "pps-ns") {
        board::ptp::answer(std::strtoll(argv[2], nullptr, 0));
    } else {
        return usage();
    }
    return 0;
}
