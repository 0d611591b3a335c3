// The dry run (-n): a configuration file checked as a whole before any of
// it reaches the chip.
#pragma once

// Reads and parses the whole file as a load would, applies the pre-flight
// check's rule for the file and the bus's address range, and reports every
// bad line by its number (from 1). Stricter than a load: a carriage return
// before a line's end makes a bad line, and a file without a register write
// is refused; a value wider than a byte gets a warning. Touches no device
// and never sleeps. Returns 0 when the file would load cleanly, -1
// otherwise.
int checkConfiguration(const char *path);
