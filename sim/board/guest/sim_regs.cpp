// Shows the registers of the simulated SoC blocks that are not zero:
//   sim_regs ptp gpio bts
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "board_sim.h"

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<uint64_t> regs = board::soc::snapshot(argv[i]);
        if (std::all_of(regs.begin(), regs.end(), [](uint64_t reg) { return reg == 0xBAD; })) {
            std::printf("sim_regs: cannot read the %s block\n", argv[i]);
            status = 1;
            continue;
        }
        for (size_t r = 0; r < regs.size(); ++r)
            if (regs[r] != 0)
                std::printf("  %-4s 0x%04zX = 0x%016" PRIX64 "\n", argv[i], r * 8, regs[r]);
    }
    return status;
}
