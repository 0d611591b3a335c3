// Pre-flight check of the loader's inputs, and the PLL chip's reset pulse.
#pragma once

#include "config_file.h"

// Hold time of the reset pulse that main asks for, in milliseconds.
constexpr int PLL_RESET_HOLD_MS = 200;

// Checks that the SPI device exists and that the configuration file is a
// non-empty regular file its owner may read; given identity, notes which
// file that is.
int checkPllCfg(const char *device, const char *file, FileIdentity *identity = nullptr);
// The rule for the configuration file alone, on its status. Reports, like
// checkPllCfg's, name checkPllCfg.
int checkCfgStatus(mode_t mode, off_t size);
int pllReset(int timeout);
