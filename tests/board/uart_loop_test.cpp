// Guest tests of the simulated board's devices for the ToD sender: the serial
// loop from ttyS2 into ttyS3 (run.sh) and the PPS interrupt device
// /dev/appint2 (sim_appint).
#include "guest_test.h"

#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
#include <functional>
#include <thread>

namespace {

const std::string kAppint = "/sys/kernel/debug/sim_appint/";
const long long kSecond = 1000000000LL;

long long realtimeNs()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec * kSecond + ts.tv_nsec;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    for (int ms = 0; ms < timeoutMs; ms += 5) {
        if (done())
            return true;
        usleep(5000);
    }
    return done();
}

int openRaw(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY);
    termios t;
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return -1;
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    return tcsetattr(fd, TCSANOW, &t) == 0 ? fd : -1;
}

// Up to n bytes; stops early when none arrive for timeoutMs.
std::string readFor(int fd, size_t n, int timeoutMs)
{
    std::string got;
    char buf[512];
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            break;
        ssize_t k = read(fd, buf, std::min(sizeof(buf), n - got.size()));
        if (k <= 0)
            break;
        got.append(buf, k);
    }
    return got;
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
    for (ReadResult& r : results)
        threads.emplace_back([fd, &r] {
            r.n = read(fd, &r.byte, 1);
            r.err = errno;
        });
    CHECK(waitFor([&] { return guest::readNumber(kAppint + "waiting") == readers; }, 3000));
    CHECK(guest::writeText(kAppint + "trigger", "1"));
    for (std::thread& t : threads)
        t.join();
    return results;
}

ReadResult readAcrossTrigger(int fd)
{
    return readsAcrossTrigger(fd, 1)[0];
}

}  // namespace

GUEST_TEST(ttyS2_output_arrives_on_ttyS3_byte_exact)
{
    int rx = openRaw("/dev/ttyS3");
    int tx = openRaw("/dev/ttyS2");
    CHECK(rx >= 0);
    CHECK(tx >= 0);
    tcflush(rx, TCIOFLUSH);
    // A ToD-like ASCII line, then every byte value (NUL, \n, \r, 0xFF...).
    std::string sent = "$GPZDA,120000.00,01*\r";
    CHECK_EQ(sent.size(), 21);
    for (int b = 0; b < 256; b++)
        sent.push_back(static_cast<char>(b));
    CHECK_EQ(write(tx, sent.data(), sent.size()), sent.size());
    CHECK(tcdrain(tx) == 0);
    std::string got = readFor(rx, sent.size(), 3000);
    CHECK_EQ(got.size(), sent.size());
    CHECK(got == sent);
    CHECK(readFor(rx, 1, 200).empty());  // nothing extra, no echo
    close(tx);
    close(rx);
}

GUEST_TEST(appint2_timer_ticks_on_whole_seconds)
{
    CHECK_EQ(guest::readNumber(kAppint + "timer"), 1);  // on at load
    int fd = open("/dev/appint2", O_RDONLY);
    CHECK(fd >= 0);
    long long previous = 0;
    for (int i = 0; i < 3; i++) {
        long long events = guest::readNumber(kAppint + "events");
        char byte;
        CHECK_EQ(read(fd, &byte, 1), 0);
        long long woken = realtimeNs();
        long long event = guest::readNumber(kAppint + "last_event_ns");
        CHECK_EQ(guest::readNumber(kAppint + "events"), events + 1);
        // TCG is slow: allow some latency after the edge, none before it.
        CHECK(event % kSecond < 50000000);
        CHECK(woken >= event && woken - event < 200000000);
        if (previous)
            CHECK_EQ(event / kSecond - previous / kSecond, 1);
        previous = event;
    }
    close(fd);

    CHECK(guest::writeNumber(kAppint + "timer", 0));
    CHECK_EQ(guest::readNumber(kAppint + "timer"), 0);
    long long events = guest::readNumber(kAppint + "events");
    usleep(1300000);
    CHECK_EQ(guest::readNumber(kAppint + "events"), events);
}

GUEST_TEST(appint2_read_ends_at_the_next_event_for_every_reader)
{
    guest::writeNumber(kAppint + "timer", 0);
    int fd = open("/dev/appint2", O_RDONLY);
    CHECK(fd >= 0);
    // An event before the read began must not end it.
    CHECK(guest::writeText(kAppint + "trigger", "1"));
    long long events = guest::readNumber(kAppint + "events");
    long long before = realtimeNs();
    ReadResult r = readAcrossTrigger(fd);
    CHECK_EQ(r.n, 0);
    CHECK_EQ(r.byte, 0x55);
    long long event = guest::readNumber(kAppint + "last_event_ns");
    CHECK(event > before && event < realtimeNs());
    CHECK_EQ(guest::readNumber(kAppint + "events"), events + 1);

    for (const ReadResult& each : readsAcrossTrigger(fd, 3))
        CHECK_EQ(each.n, 0);
    CHECK_EQ(guest::readNumber(kAppint + "events"), events + 2);
    CHECK(waitFor([] { return guest::readNumber(kAppint + "waiting") == 0; }, 1000));
    close(fd);
}

GUEST_TEST(appint2_injected_faults_hit_one_read_each)
{
    int fd = open("/dev/appint2", O_RDONLY);
    CHECK(fd >= 0);
    CHECK(guest::writeNumber(kAppint + "inject_short", 1));
    ReadResult r = readAcrossTrigger(fd);
    CHECK_EQ(r.n, 1);
    CHECK_EQ(r.byte, 0);
    CHECK_EQ(readAcrossTrigger(fd).n, 0);

    CHECK(guest::writeNumber(kAppint + "inject_eio", 1));
    r = readAcrossTrigger(fd);
    CHECK_EQ(r.n, -1);
    CHECK_EQ(r.err, EIO);
    CHECK_EQ(readAcrossTrigger(fd).n, 0);
    close(fd);
}

GUEST_TEST(appint2_read_is_interrupted_by_a_signal)
{
    int fd = open("/dev/appint2", O_RDONLY);
    CHECK(fd >= 0);
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the read must end
    sigaction(SIGALRM, &action, nullptr);
    itimerval alarm{{0, 0}, {0, 300000}};
    setitimer(ITIMER_REAL, &alarm, nullptr);
    long long start = realtimeNs();
    char byte;
    CHECK_EQ(read(fd, &byte, 1), -1);
    CHECK_EQ(errno, EINTR);
    CHECK(realtimeNs() - start >= 250000000);
    CHECK_EQ(guest::readNumber(kAppint + "waiting"), 0);
    close(fd);
    guest::writeNumber(kAppint + "timer", 1);
}

GUEST_TEST(sim_appint_unloads_with_its_timer_running)
{
    CHECK_EQ(guest::readNumber(kAppint + "timer"), 1);
    int fd = open("/dev/appint2", O_RDONLY);
    CHECK(fd >= 0);
    CHECK(guest::unloadModule("sim_appint") != 0);  // an open device holds it
    close(fd);
    int log_fd = guest::kmsgOpen();
    CHECK_EQ(guest::unloadModule("sim_appint"), 0);
    CHECK(!guest::exists("/dev/appint2"));
    CHECK(!guest::exists(kAppint));
    usleep(1200000);  // a timer left armed would fire into the freed module
    CHECK_EQ(guest::loadModule("/lib/board/sim/sim_appint.ko"), 0);
    CHECK(guest::exists("/dev/appint2"));
    CHECK_EQ(guest::readNumber(kAppint + "timer"), 1);
    auto log = guest::kmsgTake(log_fd);
    CHECK(!guest::logMentions(log, "BUG"));
    CHECK(!guest::logMentions(log, "WARNING"));
}

int main()
{
    return guest::runAll();
}
