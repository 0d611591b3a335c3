// The sender's platform seams, simulated on the host: clocks that move on
// only as the PPS script says, a PPS device whose reads follow a script,
// and serial ports whose writes take as many bytes as a script allows.
// Every call is logged (a wait only when it ends at its time limit), and
// the bytes that reach each port are kept.
//
// Tests drive it through the functions below. A sender binary linked with it
// takes its set-up from the environment instead:
//   HALVERN_SIM_CLOCK=<s>[.<ns>]  real-time clock at the start (0.0); the
//                                 monotonic clock starts at 1000.0 and both
//                                 move on together
//   HALVERN_SIM_PPS=<r>[+<ms>][*<n>],...
//                                 results of the PPS reads in turn: pps (0),
//                                 short (1), eio (-1, EIO), drained (0, once
//                                 the pipe on standard output has been read
//                                 empty); then eio. Each
//                                 comes <ms> after the one before (1000; the
//                                 first at once), <n> times over
//   HALVERN_SIM_NOPOLL=1          the PPS device cannot be waited on: every
//                                 wait ends at once, ready
//   HALVERN_SIM_SYNC=<s>,...      answers to the clock-sync queries in turn:
//                                 1, 0, eperm; the last one holds (1)
//   HALVERN_SIM_WRITE=<w>,...     serial writes in turn: a number (takes at
//                                 most that many bytes), eintr, eio; then all
//   HALVERN_SIM_FAIL=<op>,...     pps_close, con_close, clock: fail with EIO
//   HALVERN_SIM_MISSING=<path>    a device node that does not exist
//   HALVERN_SIM_REPORT=<file>     at exit: the log, then "[port <path>]" and
//                                 the bytes each serial port received
// Device nodes: /dev/appint2 and /dev/ttyS0 to /dev/ttyS3.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Clock at 0.0, all devices present, empty scripts, no failures, empty log.
void todSimReset(void);
void todSimSetClock(int64_t seconds, long nanoseconds);
void todSimScriptPps(const std::string &results);
void todSimScriptSync(const std::string &answers);
void todSimScriptWrites(const std::string &writes);
void todSimFail(const std::string &operation);
void todSimRemoveDevice(const std::string &path);

const std::vector<std::string> &todSimEvents(void);
std::string todSimReceived(const std::string &port);
int todSimOpenHandles(void);
