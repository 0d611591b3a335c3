// Every text halvern shows on standard output: the banner, the trace of each
// PPS, the reports. The journal and the program tests read these word for
// word, so they are named here, in one place, and the code uses the names.
// Each format is a compile-time constant, so that -Wformat still checks it
// at every call.
#pragma once

constexpr const char *PROGRAM_NAME = "halvern";

// Report headers: the function a halvernReport speaks for. Named, not taken
// from __func__, so that renaming code changes no output. Keep them as they
// are, main included for what main's helpers report: log filters match on
// them.
constexpr const char *REPORTER_MAIN = "main";
constexpr const char *REPORTER_T1_FORMAT = "kvGetToDinT1Format";
constexpr const char *REPORTER_CURRENT_TIMESTAMP = "kvGetCurTimestamp";
constexpr const char *REPORTER_DEVICE_OPEN = "kvDeviceOpen";
constexpr const char *REPORTER_DEVICE_CLOSE = "kvDeviceClose";
constexpr const char *REPORTER_TS_TO_TOD = "kvTsToTod";

// A report: a line feed, the header (reporter), the message, then at once
// the trailer (program, source line).
constexpr const char *MSG_REPORT_HEADER = "\n%s: ";
constexpr const char *MSG_REPORT_TRAILER = " [F:%s,L:%d]";

// The run. Kept as they have always been printed ("Kestle" and "not write
// complete buffer" included): log readers match on them.
constexpr const char *MSG_BANNER = "\n##############"
                                   "\n# ToD TEST"
                                   "\n##############";
constexpr const char *MSG_USING_PORT = "Using ttyS%d as UART to Kestle device\n";
constexpr const char *MSG_PPS = "\nPPS Interrupt ";
constexpr const char *MSG_RUN_END = "\n\n";
constexpr const char *MSG_PPS_OPEN_FAILED = "Error opening PPS device %s";
constexpr const char *MSG_PORT_OPEN_FAILED = "Error opening ToD console device %s";
constexpr const char *MSG_PPS_READ_FAILED = "Error reading PPS device, pps_fd=%d,err=0x%X[%s]";
constexpr const char *MSG_PPS_READ_LENGTH = "Error Wrong length for PPS interrupt read, len=%zd";
constexpr const char *MSG_TIME_FAILED = "Error reading current time timestamp";
constexpr const char *MSG_TOD_TOO_SHORT = "Error converting TS to ToD buffer";
constexpr const char *MSG_PORT_WRITE_FAILED = "Error writing ToD console, con_fd=%d,err=0x%X[%s]";
constexpr const char *MSG_PORT_WRITE_STALLED = "Error not write complete buffer, req_len=%zd,wr_len=%zd";
constexpr const char *MSG_PORT_CLOSE_FAILED = "Error closing ToD console device, con_fd=%d,err=0x%X[%s]";
constexpr const char *MSG_PPS_CLOSE_FAILED = "Error closing PPS device, pps_fd=%d,err=0x%X[%s]";

// What the pulses and the clock say of each other.
constexpr const char *MSG_PPS_OFF_PHASE = "Error PPS at %+.1f ms from the nearest second of the system clock, "
                                          "no ToD sent";
constexpr const char *MSG_PPS_TOO_SOON = "Error %u PPS less than %lld ms after the previous one, no ToD sent";
constexpr const char *MSG_PPS_BURST = "Error more than %d PPS within one second, PPS device %s is broken";
constexpr const char *MSG_PPS_GAP = "PPS back after %.1f s, %lld PPS missed";
constexpr const char *MSG_PPS_SILENCE = "No PPS for %lld s, still waiting on %s";
constexpr const char *MSG_CLOCK_UNSYNCHRONISED = "The kernel calls the system clock unsynchronised, "
                                                 "ToD strings go on";
constexpr const char *MSG_CLOCK_SYNCHRONISED = "The kernel calls the system clock synchronised";
constexpr const char *MSG_CLOCK_SYNC_UNKNOWN = "Error asking the kernel whether the system clock is "
                                               "synchronised, err=0x%X[%s]";
constexpr const char *MSG_AWAITING_SYNC = "Waiting for the kernel to call the system clock synchronised, "
                                          "no ToD sent until then";
constexpr const char *MSG_BAD_AWAIT_SYNC = "Error %s is '%s': yes or no; no ToD sent";
constexpr const char *MSG_TRACE_LOST = "%zu bytes of trace lost while standard output was blocked";

// The ToD string and the clock. "Oops.gmtime()" and "parmeters" are kept as
// they have always been printed: log readers match on them.
constexpr const char *MSG_TOD = "(ToD:%s)\n";
constexpr const char *MSG_T1_ARGS = "Wrong input parameters, tod=%p,size=%d";
// Laid out with puts(), unlike the other reports: this line, then the report.
constexpr const char *MSG_GMTIME_OOPS = "Oops.gmtime() returned an Error";
constexpr const char *MSG_GMTIME_FAILED = "gmtime() returned an Error..\n";
constexpr const char *MSG_CLOCK = " (%lld.%.9ld) ";
constexpr const char *MSG_CLOCK_ALIGNED = " (PPS aligned==>%lld.%.9d) ";
constexpr const char *MSG_TIMESTAMP_ARGS = "Wrong input parmeters, ts=%p";
constexpr const char *MSG_CLOCK_READ_FAILED = "Error reading current time, err=0x%X[%s]";

// Devices.
constexpr const char *MSG_OPEN_ARGS = "Wrong input parameters, dev_name=%p,dev_fd=%p";
constexpr const char *MSG_OPEN_FAILED = "Error opening device %s, err=0x%X[%s]";
constexpr const char *MSG_CLOSE_ARGS = "Wrong input parameters, dev_fd=%d";
constexpr const char *MSG_CLOSE_FAILED = "Error closing PPS device, fd=%d,err=0x%X[%s]";

// The packed ToD buffer.
constexpr const char *MSG_PACK_ARGS = "Wrong parameters, ts=%p,tod_buf=%p,tod_len=%p";
constexpr const char *MSG_PACK_TOO_SHORT = "Error buffer too short, tod_len=%zu";
constexpr const char *MSG_PACK_ENDIAN = "Error unknown buffer endian, endian=%d";
