// The loader's run sequence and its load loop, in the core library so that
// the program's main, the host simulation and the fuzz target all run the
// same code.
#pragma once

// Work buffer of the load loop: one configuration line (or a 127-byte piece
// of a longer one) and its terminator.
constexpr int CFG_LINE_SIZE = 128;

// One forward pass over the configuration file at path: each line is read,
// parsed and carried out (register write, wait) before the next one, up to
// the end of the file or the first failure, which is reported.
void loadConfiguration(const char *path);

// The whole program: options, banner, pre-flight check, optional reset
// pulse, loading. Returns the exit status: -1 (255 to the shell) without a
// configuration file operand, 2 after an option error (nothing is touched
// then), 1 when a failure was reported after the banner, 0 when the whole
// file was loaded without one.
int runMorrask(int argc, char **argv);
