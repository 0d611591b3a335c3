#include "pulse_check.h"

#include <limits>

constexpr long HALF_SECOND_NS = NS_PER_S / 2;

int64_t timespecNs(const struct timespec *t)
{
    return static_cast<int64_t>(t->tv_sec) * NS_PER_S + t->tv_nsec;
}

PulseLabel pulseLabel(const struct timespec *reading)
{
    PulseLabel label;
    // Past the last second a time_t holds there is no nearer one.
    bool roundUp = reading->tv_nsec >= HALF_SECOND_NS && reading->tv_sec < std::numeric_limits<time_t>::max();
    label.second = reading->tv_sec + (roundUp ? 1 : 0);
    label.phaseNs = roundUp ? reading->tv_nsec - NS_PER_S : reading->tv_nsec;
    return label;
}

bool pulsePhaseTrusted(int64_t phaseNs)
{
    return phaseNs >= -PULSE_PHASE_LIMIT_NS && phaseNs <= PULSE_PHASE_LIMIT_NS;
}

void pulseHistoryReset(PulseHistory *history)
{
    *history = PulseHistory();
}

PulseSpacing pulseSpacing(PulseHistory *history, int64_t monotonicNs, int64_t *sinceNs)
{
    // The oldest of the last PULSE_BURST_LIMIT + 1 pulses, this one included,
    // is less than a second old: too many within one second.
    const int ring = PULSE_BURST_LIMIT + 1;
    history->recentNs[history->recentNext] = monotonicNs;
    history->recentNext = (history->recentNext + 1) % ring;
    if (history->recentCount < ring)
        history->recentCount++;
    if (history->recentCount == ring && monotonicNs - history->recentNs[history->recentNext] < NS_PER_S)
        return PULSE_BURST;

    *sinceNs = history->taken ? monotonicNs - history->takenNs : 0;
    if (history->taken && *sinceNs < PULSE_MIN_SPACING_NS)
        return PULSE_TOO_SOON;
    bool first = !history->taken;
    history->taken = true;
    history->takenNs = monotonicNs;
    if (first)
        return PULSE_FIRST;
    return *sinceNs > PULSE_GAP_NS ? PULSE_AFTER_GAP : PULSE_ON_TIME;
}
