// kv-ptp-ctl's command line and its commands, in the core library so
// that the program's main and the tests run the same code:
//   kv-ptp-ctl [-d DEVICE] setup              ioctl 0x124, the clock set-up
//   kv-ptp-ctl [-d DEVICE] pps-time CLOCK_ID  ioctl 0x123, printed as S.NNNNNNNNN
//   kv-ptp-ctl [-d DEVICE] watch [-c COUNT] [-t SECONDS] CLOCK_ID
//                                             ioctl 0x123 polled, a line an edge
//   kv-ptp-ctl -h
#pragma once

// The whole program. Returns the exit status: 0 when the command was done
// (or the usage printed for -h), 1 when the device, the command or standard
// output failed or watch waited too long for an edge, 2 on a usage error
// (the device is not touched then).
int runKvPtpCtl(int argc, char **argv);
