// Pre-flight check of the loader's inputs, and the PLL chip's reset pulse.
#pragma once

// Hold time of the reset pulse that main asks for, in milliseconds.
constexpr int PLL_RESET_HOLD_MS = 200;

int checkPllCfg(const char *device, const char *file);
int pllReset(int timeout);
