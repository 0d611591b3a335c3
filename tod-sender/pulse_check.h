// Which second a PPS marks, and whether it came when a PPS should. The
// system clock and the pulse never agree exactly: the clock a daemon steers
// may lag or lead the pulse by nanoseconds to milliseconds, so a pulse is
// labelled with the whole second nearest to the clock, and a pulse that is
// far from every whole second, or that comes too soon after the last, is
// held back rather than sent with a guessed label.
#pragma once

#include <cstdint>
#include <ctime>

constexpr int64_t NS_PER_MS = 1000000;
constexpr int64_t NS_PER_S = 1000000000;

// Beyond this either way, neither the clock nor the pulse can say which
// second the pulse marks.
constexpr int64_t PULSE_PHASE_LIMIT_NS = 400 * NS_PER_MS;
// A pulse sooner than this after the last one is a glitch on the line.
constexpr int64_t PULSE_MIN_SPACING_NS = 500 * NS_PER_MS;
// A pulse later than this after the last one follows a gap.
constexpr int64_t PULSE_GAP_NS = 1500 * NS_PER_MS;
// No pulse for this long is a silence worth saying.
constexpr int64_t PULSE_SILENCE_NS = 2000 * NS_PER_MS;
// More pulses than this within one second: the device is broken.
constexpr int PULSE_BURST_LIMIT = 10;

struct PulseLabel {
    time_t second;   // the whole second nearest to the reading
    int64_t phaseNs; // the reading minus that second, in [-500 ms, +500 ms)
};

PulseLabel pulseLabel(const struct timespec *reading);
bool pulsePhaseTrusted(int64_t phaseNs);

enum PulseSpacing {
    PULSE_FIRST,   // the first since the start
    PULSE_ON_TIME, // about a second after the last
    PULSE_AFTER_GAP,
    PULSE_TOO_SOON, // held back; the last pulse stays the one to measure from
    PULSE_BURST,    // more than PULSE_BURST_LIMIT within one second
};

// The pulses so far, on CLOCK_MONOTONIC.
struct PulseHistory {
    int64_t recentNs[PULSE_BURST_LIMIT + 1]; // every pulse, a ring
    int recentCount;
    int recentNext;
    bool taken;      // a pulse that was not too soon has come
    int64_t takenNs; // when the latest such pulse came
};

void pulseHistoryReset(PulseHistory *history);
// Files the pulse that came at monotonicNs and says how it was spaced;
// *sinceNs is the time since the last pulse that was not too soon (0 for
// the first).
PulseSpacing pulseSpacing(PulseHistory *history, int64_t monotonicNs, int64_t *sinceNs);

int64_t timespecNs(const struct timespec *t);
