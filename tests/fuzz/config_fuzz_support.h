// Shared by the fuzz targets of morrask's configuration file (config_file:
// the load; config_check: the dry run): the input put where the loader reads
// it, the board seam, which records what reaches the bus and the waits, and
// an independent model of the file format that both are held to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config_file.h"

// A step of a load: a transfer (command and data byte, as on the bus) or a
// wait, packed so that recording one costs no allocation.
using Step = uint64_t;

// What the seam recorded since the last configInput, in order.
extern std::vector<Step> busSteps;

// It also gives the targets their LLVMFuzzerInitialize, which silences stdout.

// Puts the input into the configuration file and picks the bit order from
// its length (so that a crash input replays alike); returns the file's path.
const char *configInput(const uint8_t *data, size_t size);
const FileIdentity *configIdentity(void);

// What the file format says of a file: the steps of a load up to its end or
// its first bad line, and every bad line, which the dry run must find; the
// dry run also finds the lines a load would take with a carriage return
// inside them, and counts the good register writes.
struct Verdict {
    std::vector<Step> steps;
    bool loadFails = false;
    unsigned badLines = 0;
    unsigned innerCarriageReturns = 0;
    unsigned writes = 0;
};
void modelConfiguration(const uint8_t *data, size_t size, Verdict *verdict);

void dumpSteps(const char *title, const std::vector<Step> &steps);
