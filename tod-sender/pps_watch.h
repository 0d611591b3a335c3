// What halvern watches besides each PPS: the spacing of the pulses, the
// silences between them and the kernel's view of the system clock. Each
// finding is reported once, or at most once a second, on standard output.
#pragma once

#include <cstdint>

#include "pulse_check.h"

struct PpsWatch {
    PulseHistory history;
    int64_t lastNs;       // the last pulse, or the start (CLOCK_MONOTONIC)
    bool silenceReported; // since the last pulse
    unsigned tooSoonUnreported;
    bool tooSoonReported;
    int64_t tooSoonReportedNs;
    int synchronised;  // as last seen: 1, 0, -1 (not known) or SYNC_NOT_ASKED
    bool awaitingSync; // no ToD until the kernel calls the clock synchronised
};

enum PulseVerdict {
    PULSE_SEND, // a ToD string goes out for it
    PULSE_HOLD, // reported or counted, no string
    PULSE_STOP, // the device is broken
};

// Starts watching, with the devices just opened; with awaitSync, no ToD
// goes out before the kernel first calls the system clock synchronised.
void ppsWatchStart(PpsWatch *watch, bool awaitSync);
// Waits for the PPS device to have a pulse, saying once when none has come
// for a while. A device that cannot be waited on returns at once.
void ppsWaitForPulse(PpsWatch *watch, int pps_fd);
// Whether a pulse that just came on the PPS device is spaced as a PPS.
PulseVerdict ppsTakePulse(PpsWatch *watch);
// Whether a pulse spaced as a PPS may have its ToD sent: always, unless the
// watch still waits for a synchronised clock.
bool ppsClockReady(PpsWatch *watch);
// Asks the kernel about the system clock and reports what changed.
void ppsCheckClockSync(PpsWatch *watch);
// Reports trace output that standard output could not take, once it can.
void ppsReportLostTrace(void);
