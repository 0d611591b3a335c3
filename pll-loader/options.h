// Command line of the loader: options select the board, the SPI device and
// the bit order; the operand is the configuration file.
#pragma once

#include <cstddef>

struct RunOptions {
    bool resetRequested;    // pulse the PLL chip's reset line before loading
    bool dryRun;            // only check the whole file; touch no device
    const char *configFile; // the operand, or nullptr when there is none
    int errors;             // option errors reported while parsing
};

// Applies the options to the loader settings in command-line order. Every
// bad option is reported and parsing goes on, so all of them are seen.
void parseOptions(int argc, char **argv, RunOptions *options);

void printUsage(const char *program);

// Reduces a terminated text to its first word, in place, within capacity bytes.
void filterWhiteSpace(char *text, size_t capacity);
