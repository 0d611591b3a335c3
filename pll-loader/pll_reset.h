// The PLL chip's reset pulse.
#pragma once

// Hold time of the reset pulse that main asks for, in milliseconds.
constexpr int PLL_RESET_HOLD_MS = 200;

int pllReset(int timeout);
