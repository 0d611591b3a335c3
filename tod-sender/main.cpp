// halvern: at every PPS interrupt, writes the current UTC time as a T1 ToD
// string to the serial port that leads to the Kestle device.
//   halvern [tty_index]        the port is /dev/ttyS<tty_index>, default 2
// With TOD_WAIT_SYNC=yes in its environment (the board's setting, which its
// unit passes on), no string goes out before the kernel first calls the
// system clock synchronised; unset or no, from the first PPS.
//
// Runs until a fatal error. Exit status: 255 when a device cannot be opened,
// 1 when the loop ended on a PPS read, time or serial write error, or on a
// PPS device that fires far faster than once a second; 2 when TOD_WAIT_SYNC
// is neither yes nor no (a unit does not start that again).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "error_report.h"
#include "messages.h"
#include "platform.h"
#include "pps_watch.h"
#include "pulse_check.h"
#include "tod_utils.h"
#include "trace_output.h"

constexpr int EXIT_OPEN_FAILED = -1; // 255 to the shell
constexpr int EXIT_LOOP_FAILED = 1;
constexpr int EXIT_BAD_SETTING = 2;

constexpr int DEFAULT_TTY_INDEX = 2;
constexpr int DEVICE_NAME_SIZE = 128;
constexpr int TOD_BUFFER_SIZE = 128;
// Anything this short cannot be a T1 string.
constexpr size_t TOD_MIN_LENGTH = 17;

static const char PPS_DEVICE[] = HALVERN_PPS_DEVICE;
static const char CONSOLE_STEM[] = "/dev/ttyS";
static const char AWAIT_SYNC_SETTING[] = "TOD_WAIT_SYNC";

// Sends one T1 string whole, over as many write() calls as the port needs.
// Returns false on a write error, which ends the loop; a write that makes
// no progress costs only this message.
static bool sendTod(int con_fd, const char *tod, size_t length)
{
    size_t written = 0;
    while (written < length) {
        ssize_t count = deviceWrite(con_fd, tod + written, length - written);
        if (count > 0) {
            written += static_cast<size_t>(count);
        } else if (count == -1 && errno == EINTR) {
            continue;
        } else if (count == -1) {
            int err = errno;
            HALVERN_REPORT(REPORTER_MAIN, MSG_PORT_WRITE_FAILED, con_fd, err, strerror(err));
            return false;
        } else {
            HALVERN_REPORT(REPORTER_MAIN, MSG_PORT_WRITE_STALLED, static_cast<ssize_t>(length),
                           static_cast<ssize_t>(written));
            return true;
        }
    }
    return true;
}

// The label and the string of a pulse that is spaced as a PPS, sent unless
// the pulse is too far from any whole second to say which one it marks.
// False when the loop must end.
static bool sendTodOfPulse(int con_fd, char *tod, size_t size)
{
    fputs(MSG_PPS, stdout);
    struct timespec now;
    if (clockRead(&now) != 0) {
        HALVERN_REPORT(REPORTER_MAIN, MSG_TIME_FAILED);
        return false;
    }
    PulseLabel label = pulseLabel(&now);
    if (!pulsePhaseTrusted(label.phaseNs)) {
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_OFF_PHASE, static_cast<double>(label.phaseNs) / NS_PER_MS);
        return true;
    }
    if (kvSecondToT1(label.second, tod, static_cast<int>(size)) != 0) {
        HALVERN_REPORT(REPORTER_MAIN, MSG_TIME_FAILED);
        return false;
    }
    size_t length = strlen(tod);
    if (length < TOD_MIN_LENGTH) {
        HALVERN_REPORT(REPORTER_MAIN, MSG_TOD_TOO_SHORT);
        return true;
    }
    return sendTod(con_fd, tod, length);
}

// One T1 string per PPS until a read, time or write error, or a PPS device
// gone wild.
static void sendTodAtEveryPps(int pps_fd, int con_fd, bool awaitSync)
{
    char tod[TOD_BUFFER_SIZE];
    char scratch;
    PpsWatch watch;
    ppsWatchStart(&watch, awaitSync);
    for (;;) {
        ppsReportLostTrace();
        traceOutputFlush(); // the trace of the last event, before waiting
        ppsWaitForPulse(&watch, pps_fd);
        ssize_t count = deviceRead(pps_fd, &scratch, 1);
        if (count == -1) {
            int err = errno;
            HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_READ_FAILED, pps_fd, err, strerror(err));
            return;
        }
        if (count != 0) {
            HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_READ_LENGTH, count);
            continue;
        }
        PulseVerdict verdict = ppsTakePulse(&watch);
        if (verdict == PULSE_STOP)
            return;
        if (verdict == PULSE_HOLD || !ppsClockReady(&watch))
            continue;
        if (!sendTodOfPulse(con_fd, tod, sizeof(tod)))
            return;
        ppsCheckClockSync(&watch);
    }
}

// Whether the ToD waits for a synchronised clock: false when the setting is
// not there, as when halvern is run by hand. A value that is neither yes nor
// no is reported, and false returned in ok.
static bool awaitSyncSetting(bool *ok)
{
    const char *value = getenv(AWAIT_SYNC_SETTING);
    *ok = value == nullptr || strcmp(value, "yes") == 0 || strcmp(value, "no") == 0;
    if (!*ok)
        HALVERN_REPORT(REPORTER_MAIN, MSG_BAD_AWAIT_SYNC, AWAIT_SYNC_SETTING, value);
    return value != nullptr && strcmp(value, "yes") == 0;
}

static void closeDevices(int con_fd, int pps_fd)
{
    if (kvDeviceClose(con_fd) != 0) {
        int err = errno;
        HALVERN_REPORT(REPORTER_MAIN, MSG_PORT_CLOSE_FAILED, con_fd, err, strerror(err));
    }
    if (kvDeviceClose(pps_fd) != 0) {
        int err = errno;
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_CLOSE_FAILED, pps_fd, err, strerror(err));
    }
}

int main(int argc, char **argv)
{
    traceOutputStart(STDOUT_FILENO); // else plain stdout: a trace that may block
    fputs(MSG_BANNER, stdout);
    // Taken as given: no digits read as 0, a minus sign gives a negative index.
    int tty_index = argc > 1 ? static_cast<int>(strtol(argv[1], nullptr, 10)) : DEFAULT_TTY_INDEX;
    printf(MSG_USING_PORT, tty_index);

    char name[DEVICE_NAME_SIZE];
    int pps_fd = -1;
    int con_fd = -1;
    int status = EXIT_LOOP_FAILED;
    bool settingOk;
    bool awaitSync = awaitSyncSetting(&settingOk);
    if (!settingOk) {
        status = EXIT_BAD_SETTING;
    } else if (kvDeviceOpen(PPS_DEVICE, &pps_fd) != 0) {
        HALVERN_REPORT(REPORTER_MAIN, MSG_PPS_OPEN_FAILED, PPS_DEVICE);
        status = EXIT_OPEN_FAILED;
    } else {
        snprintf(name, sizeof(name), "%s%d", CONSOLE_STEM, tty_index);
        if (kvDeviceOpen(name, &con_fd) != 0) {
            // The PPS device is left to the process exit.
            HALVERN_REPORT(REPORTER_MAIN, MSG_PORT_OPEN_FAILED, name);
            status = EXIT_OPEN_FAILED;
        } else {
            sendTodAtEveryPps(pps_fd, con_fd, awaitSync);
            closeDevices(con_fd, pps_fd);
        }
    }
    fputs(MSG_RUN_END, stdout);
    return status;
}
