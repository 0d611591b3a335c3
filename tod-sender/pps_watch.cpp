#include "pps_watch.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "error_report.h"
#include "messages.h"
#include "platform.h"
#include "trace_output.h"

constexpr int SYNC_NOT_ASKED = -2;
constexpr int64_t TOO_SOON_REPORT_INTERVAL_NS = NS_PER_S;

// CLOCK_MONOTONIC cannot fail on Linux; were it to, every pulse would look
// like a burst and halvern would stop and be restarted.
static int64_t monotonicNs(void)
{
    struct timespec now = {0, 0};
    monotonicRead(&now);
    return timespecNs(&now);
}

void ppsWatchStart(PpsWatch *watch, bool awaitSync)
{
    *watch = PpsWatch();
    pulseHistoryReset(&watch->history);
    watch->lastNs = monotonicNs();
    watch->synchronised = SYNC_NOT_ASKED;
    watch->awaitingSync = awaitSync;
    if (awaitSync)
        HALVERN_REPORT(REPORTER_MAIN, MSG_AWAITING_SYNC);
}

void ppsWaitForPulse(PpsWatch *watch, int pps_fd)
{
    for (;;) {
        int timeoutMs = -1;
        if (!watch->silenceReported) {
            int64_t left = watch->lastNs + PULSE_SILENCE_NS - monotonicNs();
            timeoutMs = left > 0 ? static_cast<int>((left + NS_PER_MS - 1) / NS_PER_MS) : 0;
        }
        int ready = deviceWait(pps_fd, timeoutMs);
        if (ready != 0)
            return; // ready, or the wait failed: the blocking read decides
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_SILENCE, static_cast<long long>(PULSE_SILENCE_NS / NS_PER_S),
                       HALVERN_PPS_DEVICE);
        watch->silenceReported = true;
        traceOutputFlush();
    }
}

// The pulses held back as too soon, unless that was said less than a
// second ago: a device gone wild must not fill the journal.
static void reportTooSoon(PpsWatch *watch, int64_t nowNs)
{
    if (watch->tooSoonUnreported == 0)
        return;
    if (watch->tooSoonReported && nowNs - watch->tooSoonReportedNs < TOO_SOON_REPORT_INTERVAL_NS)
        return;
    HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_TOO_SOON, watch->tooSoonUnreported,
                   static_cast<long long>(PULSE_MIN_SPACING_NS / NS_PER_MS));
    watch->tooSoonUnreported = 0;
    watch->tooSoonReported = true;
    watch->tooSoonReportedNs = nowNs;
}

PulseVerdict ppsTakePulse(PpsWatch *watch)
{
    int64_t nowNs = monotonicNs();
    int64_t sinceNs = 0;
    watch->lastNs = nowNs;
    watch->silenceReported = false;
    switch (pulseSpacing(&watch->history, nowNs, &sinceNs)) {
    case PULSE_BURST:
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_BURST, PULSE_BURST_LIMIT, HALVERN_PPS_DEVICE);
        return PULSE_STOP;
    case PULSE_TOO_SOON:
        watch->tooSoonUnreported++;
        reportTooSoon(watch, nowNs);
        return PULSE_HOLD;
    case PULSE_AFTER_GAP: {
        double gap = static_cast<double>(sinceNs) / NS_PER_S;
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_GAP, gap, std::llround(gap) - 1);
        break;
    }
    case PULSE_FIRST:
    case PULSE_ON_TIME:
        break;
    }
    reportTooSoon(watch, nowNs);
    return PULSE_SEND;
}

// The wait ends at the first pulse the kernel calls the clock synchronised
// at; a daemon that loses it later does not stop the strings again.
bool ppsClockReady(PpsWatch *watch)
{
    if (!watch->awaitingSync)
        return true;
    int state = clockSynchronised();
    int err = errno;
    if (state == -1 && watch->synchronised != -1)
        HALVERN_REPORT(REPORTER_MAIN, MSG_CLOCK_SYNC_UNKNOWN, err, strerror(err));
    watch->synchronised = state;
    if (state != 1)
        return false;
    watch->awaitingSync = false;
    HALVERN_REPORT(REPORTER_MAIN, MSG_CLOCK_SYNCHRONISED);
    return true;
}

void ppsCheckClockSync(PpsWatch *watch)
{
    int state = clockSynchronised();
    int err = errno;
    if (state == watch->synchronised)
        return;
    bool first = watch->synchronised == SYNC_NOT_ASKED;
    watch->synchronised = state;
    if (state == 1 && !first)
        HALVERN_REPORT(REPORTER_MAIN, MSG_CLOCK_SYNCHRONISED);
    else if (state == 0)
        HALVERN_REPORT(REPORTER_MAIN, MSG_CLOCK_UNSYNCHRONISED);
    else if (state == -1)
        HALVERN_REPORT(REPORTER_MAIN, MSG_CLOCK_SYNC_UNKNOWN, err, strerror(err));
}

void ppsReportLostTrace(void)
{
    size_t lost = traceOutputTakeLost();
    if (lost != 0)
        HALVERN_REPORT(REPORTER_MAIN, MSG_TRACE_LOST, lost);
}
