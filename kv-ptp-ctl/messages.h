// Every text kv-ptp-ctl shows: the usage, the usage errors and failures on
// standard error, the results on standard output. Scripts read these and
// the program tests hold them word for word, so they are named here, in one
// place, and the code uses the names. Each format is a compile-time
// constant, so that -Wformat still checks it at every call.
#pragma once

constexpr const char *PROGRAM_NAME = "kv-ptp-ctl";

// Usage: the program name three times, watch's default seconds, then the
// default device.
constexpr const char *MSG_USAGE = "usage: %s [-d DEVICE] setup\n"
                                  "       %s [-d DEVICE] pps-time CLOCK_ID\n"
                                  "       %s [-d DEVICE] watch [-c COUNT] [-t SECONDS] CLOCK_ID\n"
                                  "  setup      program the SoC's PTP, BTS PLL and GPIO blocks (ioctl 0x124)\n"
                                  "  pps-time   print the PTP time of the last PPS edge of clock CLOCK_ID\n"
                                  "             as SECONDS.NANOSECONDS (ioctl 0x123); CLOCK_ID is nonzero,\n"
                                  "             decimal or 0x hexadecimal\n"
                                  "  watch      print a line for each new PPS edge of clock CLOCK_ID: its PTP\n"
                                  "             time and the interval since the edge before; -c: end after\n"
                                  "             COUNT edges; -t: fail when none comes in SECONDS (default %d)\n"
                                  "  -d DEVICE  the kv_ptp device node, default %s\n"
                                  "  -h         this text\n";

// Usage errors: "PROGRAM: " and the error, then the usage.
constexpr const char *MSG_USAGE_ERROR_HEADER = "%s: ";
constexpr const char *MSG_NO_DEVICE_ARGUMENT = "option -%c needs a device";
constexpr const char *MSG_UNKNOWN_OPTION = "unknown option -%c";
constexpr const char *MSG_NO_COMMAND = "no command";
constexpr const char *MSG_SETUP_OPERAND = "setup takes no operand";
constexpr const char *MSG_PPS_TIME_OPERANDS = "pps-time takes one clock id";
constexpr const char *MSG_WATCH_OPERANDS = "watch takes one clock id";
constexpr const char *MSG_NO_COUNT_ARGUMENT = "option -%c needs a count";
constexpr const char *MSG_NO_SECONDS_ARGUMENT = "option -%c needs seconds";
constexpr const char *MSG_BAD_COUNT = "bad count '%s'";
constexpr const char *MSG_BAD_SECONDS = "bad seconds '%s'";
constexpr const char *MSG_BAD_CLOCK_ID = "bad clock id '%s'";
constexpr const char *MSG_UNKNOWN_COMMAND = "unknown command '%s'";

// Failures: program, device, what failed, why.
constexpr const char *MSG_FAILURE = "%s: %s: %s: %s\n";
constexpr const char *MSG_FAILURE_RESULT = "%s: %s: %s: ioctl returned %d\n";
constexpr const char *MSG_OPEN_FAILED = "open failed";
constexpr const char *MSG_CLOSE_FAILED = "close failed";
constexpr const char *MSG_SETUP_FAILED = "clock set-up (ioctl 0x124) failed";
constexpr const char *MSG_PPS_TIME_FAILED = "PPS time query (ioctl 0x123) failed";
constexpr const char *MSG_OUTPUT_FAILED = "%s: standard output: %s\n";
// watch's time limit: program, device, clock id, seconds.
constexpr const char *MSG_WATCH_TIMEOUT = "%s: %s: clock %d: no new PPS edge in %d s\n";

// Results.
constexpr const char *MSG_SET_UP = "%s: clock set up\n";
constexpr const char *MSG_PPS_TIME = "%lld.%09lld\n";
// watch, one line an edge: its time, then the interval since the edge
// before with its sign, '+' or '-' (the PTP clock stepped back).
constexpr const char *MSG_WATCH_EDGE = "%lld.%09lld %c%lld.%09lld\n";
// Before an edge's line when its interval is more than 1.5 s; the same
// words whatever the number, for the scripts.
constexpr const char *MSG_WATCH_MISSED = "missed %lld PPS edges\n";
