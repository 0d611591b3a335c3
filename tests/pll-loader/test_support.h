// Helpers shared by the loader's tests: scratch files, and runs of the
// loader binary built on the simulated board.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Writes content to a new file in the test's scratch folder; returns its path.
std::string scratchFile(const std::string &content, mode_t mode = 0644);
std::string scratchPath(const std::string &name);

struct MorraskRun {
    int status;
    std::string out;
    std::string err;
    std::string report; // the simulation's log, reset register and register map
};

// Runs the simulated loader with these arguments and MORRASK_SIM_* settings.
MorraskRun runMorrask(const std::vector<std::string> &args, const std::vector<std::string> &environment = {});
