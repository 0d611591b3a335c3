// The pre-flight rules: what the loader's inputs must be before any of the
// file reaches the chip. The load and the dry run both apply them.
#pragma once

#include "config_file.h"

// Checks that the SPI device exists and that the configuration file is a
// non-empty regular file its owner may read; given identity, notes which
// file that is.
int checkPllCfg(const char *device, const char *file, FileIdentity *identity = nullptr);
// The rule for the configuration file alone, on its status. Reports, like
// checkPllCfg's, name checkPllCfg.
int checkCfgStatus(mode_t mode, off_t size);
// Before the chip is reset: the node the bus lock holds (handle) must answer
// as a spidev node, or the reset would leave the chip unconfigured when the
// first write fails. Reports name main.
int checkSpiNode(const char *device, int handle);
