// The loader's run sequence and its load loop, in the core library so that
// the program's main, the host simulation and the fuzz target all run the
// same code.
#pragma once

#include "config_file.h"

// One forward pass over the configuration file at path, which must be the
// file that was checked (identity): each line is read, parsed and carried
// out (register write, wait) before the next one, up to the end of the file
// or the first failure, which is reported.
void loadConfiguration(const char *path, const FileIdentity *identity);

// The whole program: options, banner, pre-flight check, the bus locked
// against other loaders, optional reset pulse, loading; or, with -n, only
// the dry run. Returns the exit status: -1 (255 to the shell) without a
// configuration file operand, 2 after an option error (nothing is touched
// then), 1 when a failure was reported after the banner (or the dry run
// found one), 0 when the whole file was loaded (or would load) without one.
int runMorrask(int argc, char **argv);
