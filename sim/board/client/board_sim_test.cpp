// The simulated board's own devices, as the tests rely on them: the serial
// loop from ttyS2 into ttyS3 (run.sh), the PPS interrupt device
// /dev/appint2 (sim_appint) and the PTP hardware clock it follows
// (sim_otx2_ptp), reached through the board's client library.
#include <linux/ptp_clock.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>

#include <thread>

#include "kv_ptp_support.h"

namespace {

const long long kSecond = 1000000000LL;

long long realtimeNs()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * kSecond + ts.tv_nsec;
}

struct ReadResult {
    ssize_t n = -2;
    int err = 0;
    unsigned char byte = 0x55;
};

// One-byte reads of /dev/appint2, one thread each, ended by a single trigger
// once all of them are parked in the driver.
std::vector<ReadResult> readsAcrossTrigger(int fd, int readers)
{
    std::vector<ReadResult> results(readers);
    std::vector<std::thread> threads;
    for (ReadResult &r : results)
        threads.emplace_back([fd, &r] {
            r.n = read(fd, &r.byte, 1);
            r.err = errno;
        });
    EXPECT_TRUE(board::pps::waitForWaiting(readers, 3000));
    EXPECT_TRUE(board::pps::trigger());
    for (std::thread &t : threads)
        t.join();
    return results;
}

ReadResult readAcrossTrigger(int fd)
{
    return readsAcrossTrigger(fd, 1)[0];
}

// The device opened anew: no event is pending for the file.
void reopen(int &fd)
{
    close(fd);
    fd = open(board::pps::kDevice, O_RDONLY);
}

const long long kMs = 1000000;

long long nsOn(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * kSecond + ts.tv_nsec;
}

// low <= value <= high, and what it was when not.
bool within(const char *what, long long value, long long low, long long high)
{
    if (value < low || value > high)
        std::printf("# %s: %lld, not in [%lld, %lld]\n", what, value, low, high);
    return value >= low && value <= high;
}

// kv_ptp's answer to 0x123 for clock id 1, in nanoseconds; -1 on an error.
long long kvPtpStamp()
{
    kv_ptp_pps_time_ty record = kvptp::makeRecord(1, 0);
    return kvptp::queryOn(0, KV_PTP_IOCTL_PPS_TIME, &record)
               ? -1
               : record.pps_time.tv_sec * kSecond + record.pps_time.tv_nsec;
}

// The stamp of the next PPS event on fd; woken: the PHC's time after it.
long long nextEdge(int fd, clockid_t phc, long long *woken)
{
    char byte;
    EXPECT_EQ(0, read(fd, &byte, 1));
    *woken = nsOn(phc);
    return kvPtpStamp();
}

} // namespace

FIXTURE(Loop)
{
    int tx = -1, rx = -1;
};

FIXTURE_SETUP(Loop)
{
    self->rx = board::openRawPort(board::kLoopPort);
    self->tx = board::openRawPort(board::kTodPort);
    ASSERT_TRUE(self->rx >= 0 && self->tx >= 0);
}

FIXTURE_TEARDOWN(Loop)
{
    close(self->tx);
    close(self->rx);
}

TEST_F(Loop, ttyS2_output_arrives_on_ttyS3_byte_exact)
{
    // A ToD-like ASCII line, then every byte value (NUL, \n, \r, 0xFF...).
    std::string sent = "$GPZDA,120000.00,01*\r";
    EXPECT_EQ(21, sent.size());
    for (int b = 0; b < 256; b++)
        sent.push_back(static_cast<char>(b));
    EXPECT_EQ(sent.size(), write(self->tx, sent.data(), sent.size()));
    EXPECT_EQ(0, tcdrain(self->tx));
    EXPECT_EQ(sent, board::receive(self->rx, 3000, sent.size()));
    EXPECT_EQ("", board::receive(self->rx, 200)); // nothing extra, no echo
}

// Every test finds the device as loaded: its timer on.
FIXTURE(Pps)
{
    int fd = -1;
};

FIXTURE_SETUP(Pps)
{
    ASSERT_TRUE(board::pps::timerOn());
    self->fd = open(board::pps::kDevice, O_RDONLY);
    ASSERT_TRUE(self->fd >= 0);
}

FIXTURE_TEARDOWN(Pps)
{
    close(self->fd);
    board::pps::setImmediate(false);
    board::pps::setPollable(true);
    board::pps::setPhaseNs(0);
    board::pps::setTimer(true);
}

TEST_F(Pps, the_timer_ticks_on_whole_seconds)
{
    long long previous = 0;
    for (int i = 0; i < 3; i++) {
        long long events = board::pps::events();
        char byte;
        EXPECT_EQ(0, read(self->fd, &byte, 1));
        long long woken = realtimeNs();
        long long event = board::pps::lastEventNs();
        EXPECT_EQ(events + 1, board::pps::events());
        // TCG is slow: allow some latency after the edge, none before it.
        EXPECT_TRUE(event % kSecond < 50000000);
        EXPECT_TRUE(woken >= event && woken - event < 200000000);
        if (previous)
            EXPECT_EQ(1, event / kSecond - previous / kSecond);
        previous = event;
    }

    EXPECT_TRUE(board::pps::setTimer(false));
    EXPECT_FALSE(board::pps::timerOn());
    long long events = board::pps::events();
    usleep(1300000);
    EXPECT_EQ(events, board::pps::events());
}

TEST_F(Pps, a_read_ends_at_the_next_event_for_every_reader)
{
    board::pps::setTimer(false);
    // An event before the open must not end a read.
    EXPECT_TRUE(board::pps::trigger());
    reopen(self->fd);
    long long events = board::pps::events();
    long long before = realtimeNs();
    ReadResult r = readAcrossTrigger(self->fd);
    EXPECT_EQ(0, r.n);
    EXPECT_EQ(0x55, r.byte);
    long long event = board::pps::lastEventNs();
    EXPECT_TRUE(event > before && event < realtimeNs());
    EXPECT_EQ(events + 1, board::pps::events());

    for (const ReadResult &each : readsAcrossTrigger(self->fd, 3))
        EXPECT_EQ(0, each.n);
    EXPECT_EQ(events + 2, board::pps::events());
    EXPECT_TRUE(board::pps::waitForWaiting(0, 1000));
}

TEST_F(Pps, injected_faults_hit_one_read_each)
{
    board::pps::setTimer(false);
    reopen(self->fd);
    EXPECT_TRUE(board::pps::injectShort());
    ReadResult r = readAcrossTrigger(self->fd);
    EXPECT_EQ(1, r.n);
    EXPECT_EQ(0, r.byte);
    EXPECT_EQ(0, readAcrossTrigger(self->fd).n);

    EXPECT_TRUE(board::pps::injectEio());
    r = readAcrossTrigger(self->fd);
    EXPECT_EQ(-1, r.n);
    EXPECT_EQ(EIO, r.err);
    EXPECT_EQ(0, readAcrossTrigger(self->fd).n);
}

TEST_F(Pps, a_read_is_interrupted_by_a_signal)
{
    board::pps::setTimer(false);
    reopen(self->fd);
    struct sigaction action {};
    action.sa_handler = [](int) {}; // no SA_RESTART: the read must end
    sigaction(SIGALRM, &action, nullptr);
    itimerval alarm{{0, 0}, {0, 300000}};
    setitimer(ITIMER_REAL, &alarm, nullptr);
    long long start = realtimeNs();
    char byte;
    EXPECT_EQ(-1, read(self->fd, &byte, 1));
    EXPECT_EQ(EINTR, errno);
    EXPECT_TRUE(realtimeNs() - start >= 250000000);
    EXPECT_EQ(0, board::pps::waiting());
}

// halvern polls before it reads: poll() wakes at an event and the read
// after it takes that event; a device without poll support answers at once,
// readable and writable, and its reads still block.
TEST_F(Pps, poll_then_read_takes_the_event_and_without_poll_support_reads_block)
{
    board::pps::setTimer(false);
    reopen(self->fd);
    pollfd p = {self->fd, POLLIN, 0};
    EXPECT_EQ(0, poll(&p, 1, 0));
    EXPECT_TRUE(board::pps::trigger());
    EXPECT_EQ(1, poll(&p, 1, 0));
    char byte;
    EXPECT_EQ(0, read(self->fd, &byte, 1));
    EXPECT_EQ(0, poll(&p, 1, 0));

    EXPECT_TRUE(board::pps::setPollable(false));
    reopen(self->fd);
    p = {self->fd, POLLIN | POLLOUT, 0};
    EXPECT_EQ(1, poll(&p, 1, 3000));
    EXPECT_EQ(POLLIN | POLLOUT, p.revents);
    EXPECT_EQ(0, readAcrossTrigger(self->fd).n);
}

TEST_F(Pps, sim_appint_unloads_with_its_timer_running)
{
    EXPECT_TRUE(board::unloadModule("sim_appint") != 0); // an open device holds it
    close(self->fd);
    self->fd = -1;
    int log_fd = board::kmsgOpen();
    EXPECT_EQ(0, board::unloadModule("sim_appint"));
    EXPECT_FALSE(board::exists(board::pps::kDevice));
    EXPECT_FALSE(board::pps::present());
    usleep(1200000); // a timer left armed would fire into the freed module
    ASSERT_EQ(0, board::loadModule(std::string(board::kSimModules) + "sim_appint.ko"));
    EXPECT_TRUE(board::exists(board::pps::kDevice));
    EXPECT_TRUE(board::pps::timerOn());
    auto log = board::kmsgTake(log_fd);
    EXPECT_FALSE(board::logMentions(log, "BUG"));
    EXPECT_FALSE(board::logMentions(log, "WARNING"));
}

// sim_otx2_ptp's clock as phc_ctl and phc2sys use it; each test leaves it on
// CLOCK_REALTIME + 37 s at its nominal rate, the PPS timer on its seconds.
FIXTURE(Phc)
{
    int fd = -1;
    clockid_t clock = 0;
};

FIXTURE_SETUP(Phc)
{
    self->fd = open(board::phc::kDevice, O_RDWR);
    ASSERT_TRUE(self->fd >= 0);
    self->clock = board::phc::clockOf(self->fd);
}

FIXTURE_TEARDOWN(Phc)
{
    close(self->fd);
    EXPECT_TRUE(board::phc::restore());
    board::pps::setPhaseNs(0);
    board::pps::setTimer(true);
    board::ptp::followEdges();
}

TEST_F(Phc, ptp0_reads_tai_and_phc2sys_offsets_bracket_its_reading)
{
    EXPECT_EQ("sim_otx2_ptp\n", board::readText("/sys/class/ptp/ptp0/clock_name"));
    EXPECT_TRUE(within("PHC - TAI", board::phc::taiOffsetNs(), -2 * kMs, 2 * kMs));
    ptp_sys_offset_extended offsets{};
    offsets.n_samples = 3;
    ASSERT_EQ(0, ioctl(self->fd, PTP_SYS_OFFSET_EXTENDED, &offsets));
    for (unsigned i = 0; i < offsets.n_samples; i++) {
        const ptp_clock_time *ts = offsets.ts[i];
        long long tai = ts[1].sec * kSecond + ts[1].nsec - board::phc::kTaiNs;
        EXPECT_TRUE(within("PHC - 37 s", tai, ts[0].sec * kSecond + ts[0].nsec - 2 * kMs,
                           ts[2].sec * kSecond + ts[2].nsec + 2 * kMs));
    }
}

TEST_F(Phc, steps_sets_and_runs_at_the_frequency_it_is_given)
{
    long long start = board::phc::taiOffsetNs();
    ASSERT_TRUE(board::phc::step(2500 * kMs));
    long long stepped = board::phc::taiOffsetNs();
    EXPECT_TRUE(within("after +2.5 s", stepped - start, 2495 * kMs, 2505 * kMs));
    ASSERT_TRUE(board::phc::step(-3250 * kMs));
    EXPECT_TRUE(within("after -3.25 s", board::phc::taiOffsetNs() - stepped, -3255 * kMs, -3245 * kMs));
    ASSERT_TRUE(board::phc::set(1000 * kSecond));
    EXPECT_TRUE(within("after a set", nsOn(self->clock), 1000 * kSecond, 1000 * kSecond + 100 * kMs));

    for (long long ppm : {100, -100}) {
        ASSERT_TRUE(board::phc::setFrequencyPpb(ppm * 1000.0));
        long long phc0, raw0, phc1, raw1;
        ASSERT_TRUE(board::phc::compare(CLOCK_MONOTONIC_RAW, &phc0, &raw0));
        usleep(1000000);
        ASSERT_TRUE(board::phc::compare(CLOCK_MONOTONIC_RAW, &phc1, &raw1));
        long long raw = raw1 - raw0;
        EXPECT_TRUE(within("ppm", (phc1 - phc0 - raw) * 1000000 / raw, ppm - 40, ppm + 40));
    }
    ASSERT_TRUE(board::phc::restore());
    EXPECT_TRUE(within("restored", board::phc::taiOffsetNs(), -kMs, kMs));
}

// The timer's edges: the PHC's seconds plus the phase, stamped so, after a
// step too; a trigger's: the PHC's time at it; a forced stamp, 0 too, wins
// until the edges are followed again.
TEST_F(Phc, pps_edges_fall_on_its_seconds_and_kv_ptp_answers_their_phc_time)
{
    if (!board::moduleLoaded("kv_ptp"))
        ASSERT_EQ(0, board::loadModule(board::kKvPtpModule));
    board::ptp::followEdges();
    ASSERT_TRUE(board::pps::setPhaseNs(-250 * kMs));
    int fd = open(board::pps::kDevice, O_RDONLY);
    long long stamp, woken;
    for (int i = 0; i < 4; i++) {
        if (i == 2) {
            ASSERT_TRUE(board::phc::step(2 * kSecond));
            reopen(fd);
        }
        stamp = nextEdge(fd, self->clock, &woken);
        EXPECT_EQ(750 * kMs, stamp % kSecond);
        EXPECT_TRUE(within("woken - edge", woken - stamp, 0, 200 * kMs));
    }
    EXPECT_TRUE(board::pps::setTimer(false));
    long long before = nsOn(self->clock);
    EXPECT_TRUE(board::pps::trigger());
    stamp = nextEdge(fd, self->clock, &woken);
    EXPECT_TRUE(within("triggered", stamp, before, woken));
    close(fd);

    board::ptp::answer(0);
    EXPECT_EQ(0, kvPtpStamp());
    board::ptp::followEdges();
    EXPECT_EQ(stamp, kvPtpStamp());
}

int main(int argc, char **argv)
{
    return harness::runAll(argc, argv);
}
