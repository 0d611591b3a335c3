// halvern on the simulated board: PPS events of the simulated /dev/appint2,
// and what actually left the 16550 UART ttyS2, read back on ttyS3 (the two
// are looped outside the guest).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <ctime>
#include <thread>

#include "harness.h"

namespace {

const char *const kHalvern = "/bin/halvern";
const char *const kOut = "/tmp/halvern.out";
const char *const kPpsAway = "/dev/appint2.away";
const std::string kTrace = "\nPPS Interrupt (ToD:";

std::string t1Of(time_t seconds)
{
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof(text), "T1%02d%02d%02d%02d%02d%04dZ0000", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
    return text;
}

// The ToD strings of the trace, in order.
std::vector<std::string> tracedTods(const std::string &out)
{
    std::vector<std::string> tods;
    for (size_t at = out.find(kTrace); at != std::string::npos; at = out.find(kTrace, at + 1))
        tods.push_back(out.substr(at + kTrace.size(), 21));
    return tods;
}

// The error reports of the output, in order: each is a line of its own that
// ends in the sender's trailer, "[F:halvern,L:<line>]".
std::vector<std::string> reports(const std::string &out)
{
    std::vector<std::string> found;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
        end = std::min(out.find('\n', at), out.size());
        std::string line = out.substr(at, end - at);
        if (line.find(" [F:halvern,L:") != std::string::npos && line.back() == ']')
            found.push_back(line);
    }
    return found;
}

// Whether the first report comes before the first trace of a sent ToD.
bool reportedFirst(const std::string &out)
{
    return out.find(" [F:halvern,L:") < out.find(kTrace);
}

bool names(const std::string &report, const std::string &what)
{
    return report.find(what) != std::string::npos;
}

double realtimeS()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

time_t secondOf(const std::string &tod)
{
    struct tm utc = {};
    strptime(tod.c_str() + 2, "%H%M%S%m%d%Y", &utc);
    return timegm(&utc);
}

// A string that left the port, and when it had come in whole on the loop.
struct Arrival {
    std::string tod;
    double at;
};

// The strings that come in on the loop within forMs.
std::vector<Arrival> arrivals(int rx, double forMs)
{
    std::vector<Arrival> got;
    std::string pending;
    for (double end = board::monotonicMs() + forMs; board::monotonicMs() < end;) {
        pending += board::receive(rx, 50, 21 - pending.size());
        if (pending.size() == 21) {
            got.push_back({pending, realtimeS()});
            pending.clear();
        }
    }
    return got;
}

// Whether halvern, whose reads had ended handled times, has taken one more
// PPS and waits again.
bool waitHandled(long long handled)
{
    for (double end = board::monotonicMs() + 5000; board::pps::reads() <= handled; usleep(200))
        if (board::monotonicMs() > end)
            return false;
    return board::pps::waitForWaiting(1, 5000);
}

} // namespace

// The board as halvern finds it when init starts it, but with the PPS timer
// off, so that the test makes every event; the ToD port and its loop-back
// opened raw. The tear-down puts back what a test changed.
FIXTURE(Sender)
{
    int tx = -1, rx = -1;
    pid_t pid = 0;

    void start(const std::vector<std::string> &args)
    {
        pid = board::startProgram(kHalvern, args, kOut, board::Start::asService());
    }
    int exitStatus()
    {
        int status = board::waitExit(pid, 5000);
        pid = 0;
        return status;
    }
    void stop()
    {
        board::stopProgram(pid);
        pid = 0;
    }
};

FIXTURE_SETUP(Sender)
{
    ASSERT_TRUE(board::pps::setTimer(false));
    ASSERT_TRUE(board::exists(board::pps::kDevice));
    self->tx = board::openRawPort(board::kTodPort); // held open: keeps the raw settings
    self->rx = board::openRawPort(board::kLoopPort);
    ASSERT_TRUE(self->tx >= 0 && self->rx >= 0);
}

FIXTURE_TEARDOWN(Sender)
{
    if (self->pid > 0)
        self->stop();
    // A string sent as halvern ended may still be on its way round the loop;
    // read off, its tail would open the next test's line.
    board::receive(self->rx, 200);
    close(self->tx);
    close(self->rx);
    if (!board::exists(board::pps::kDevice))
        rename(kPpsAway, board::pps::kDevice);
    if (board::moduleLoaded("sim_short_write"))
        board::shortWrite::unload();
    board::pps::setImmediate(false);
    board::pps::setPhaseNs(0);
    board::pps::setTimer(true);
    board::clock::setSynchronised(true);
}

// A device that cannot be opened ends the sender with 255 and two reports,
// both naming that device: of the failed open with its errno, then of the
// device; nothing is sent.
void expectOpenFailure(Sender *sender, const std::string &device)
{
    EXPECT_EQ(255, sender->exitStatus());
    std::string out = board::readText(kOut);
    std::vector<std::string> made = reports(out);
    ASSERT_EQ(2, made.size());
    EXPECT_TRUE(names(made[0], device) && names(made[0], std::strerror(ENOENT)));
    EXPECT_TRUE(names(made[1], device));
    EXPECT_TRUE(tracedTods(out).empty());
}

TEST_F(Sender, each_pps_sends_the_t1_string_of_the_utc_second_and_a_read_error_ends_with_1)
{
    self->start({});
    std::vector<std::string> sent;
    for (int i = 0; i < 3; ++i) {
        time_t second = board::pps::triggerAtSecond();
        std::string bytes = board::receive(self->rx, 300, 21);
        EXPECT_EQ(t1Of(second), bytes);
        sent.push_back(bytes);
    }
    EXPECT_TRUE(board::pps::injectEio());
    EXPECT_TRUE(board::pps::triggerAtSecond());
    EXPECT_EQ(1, self->exitStatus());
    EXPECT_EQ("", board::receive(self->rx, 200));
    std::string out = board::readText(kOut);
    EXPECT_TRUE(tracedTods(out) == sent);
    // One report, of the failed read, after the last message.
    std::vector<std::string> made = reports(out);
    ASSERT_EQ(1, made.size());
    EXPECT_TRUE(names(made[0], std::strerror(EIO)));
    EXPECT_TRUE(out.rfind(kTrace) < out.find(made[0]));
}

TEST_F(Sender, a_one_byte_read_costs_only_that_event)
{
    self->start({"2"});
    EXPECT_TRUE(board::pps::injectShort());
    EXPECT_TRUE(board::pps::triggerAtSecond());
    EXPECT_EQ("", board::receive(self->rx, 300));
    EXPECT_TRUE(board::pps::triggerAtSecond());
    std::string bytes = board::receive(self->rx, 1000);
    EXPECT_EQ(21, bytes.size());
    self->stop();
    std::string out = board::readText(kOut);
    EXPECT_EQ(1, reports(out).size());
    EXPECT_TRUE(reportedFirst(out));
    EXPECT_TRUE(tracedTods(out) == std::vector<std::string>{bytes});
}

// Started by init, the sender has no terminal: the port must not become one.
TEST_F(Sender, the_port_is_chosen_by_argument_and_never_becomes_the_controlling_terminal)
{
    self->start({"abc"});
    ASSERT_TRUE(board::pps::waitForWaiting(1, 5000)); // parked in the PPS read: both devices are open
    char link[64] = "";
    std::string fd4 = "/proc/" + std::to_string(self->pid) + "/fd/4";
    EXPECT_TRUE(readlink(fd4.c_str(), link, sizeof(link) - 1) > 0);
    EXPECT_EQ("/dev/ttyS0", std::string(link));
    std::string stat = board::readText("/proc/" + std::to_string(self->pid) + "/stat");
    int ttyNr = -1;
    std::sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %d", &ttyNr);
    EXPECT_EQ(0, ttyNr);
    self->stop();

    self->start({"5"});
    expectOpenFailure(self, "/dev/ttyS5");
}

TEST_F(Sender, without_the_pps_device_nothing_else_is_opened)
{
    ASSERT_EQ(0, rename(board::pps::kDevice, kPpsAway));
    self->start({});
    expectOpenFailure(self, board::pps::kDevice); // and no report of the port
}

TEST_F(Sender, second_after_second_one_whole_message_each_in_order)
{
    ASSERT_TRUE(board::pps::setTimer(true));
    self->start({});
    std::string bytes;
    for (time_t end = time(nullptr) + 6; time(nullptr) < end;)
        bytes += board::receive(self->rx, 100);
    self->stop();
    bytes += board::receive(self->rx, 200);
    std::vector<std::string> tods = tracedTods(board::readText(kOut));
    EXPECT_TRUE(tods.size() >= 5);
    std::string traced;
    for (const std::string &tod : tods)
        traced += tod;
    EXPECT_TRUE(bytes == traced || bytes == traced.substr(0, bytes.size()));
    for (size_t i = 1; i < tods.size(); ++i)
        EXPECT_TRUE(tods[i] == [&] {
            struct tm utc = {};
            strptime(tods[i - 1].c_str() + 2, "%H%M%S%m%d%Y", &utc);
            return t1Of(timegm(&utc) + 1);
        }());
}

// PPS on a loaded board with wrong-length reads, partial writes and writes
// the port takes nothing of: what reaches the UART is exactly the messages
// halvern traced as sent, each whole, in order, less the ones the port took
// nothing of. A PPS a second, each case once, two busy loops a CPU: about
// 10 s.
TEST_F_TIMEOUT(Sender, loaded_pps_with_short_reads_and_short_writes_keep_every_message_whole_and_in_order, 40)
{
    const int events = 10;
    ASSERT_EQ(0, board::shortWrite::load());
    std::string bytes;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done)
            bytes += board::receive(self->rx, 50);
    });
    double start = board::monotonicMs();
    self->start({});
    std::vector<pid_t> loops = board::startBusyLoops(2 * static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    int shortReads = 0, cutWrites = 0, dropped = 0, lost = 0;
    for (int i = 0; i < events; ++i) {
        switch (i % 10) {
        case 2:
            board::pps::injectShort();
            ++shortReads;
            break;
        case 4: // one write of 7, the rest in a second
            board::shortWrite::setLimits("7");
            cutWrites += 1;
            break;
        case 6: // four writes: 1, 3, 16 bytes and the last one
            board::shortWrite::setLimits("1 3 16");
            cutWrites += 3;
            break;
        case 8: // the port takes nothing: that message is dropped whole
            board::shortWrite::setLimits("0");
            cutWrites += 1;
            ++dropped;
            break;
        }
        long long handled = board::pps::reads();
        if (board::pps::triggerAtSecond() == 0 || !waitHandled(handled))
            ++lost;
    }
    board::stopBusyLoops(loops);
    self->stop();
    usleep(300000);
    done = true;
    reader.join();
    EXPECT_EQ(cutWrites, board::shortWrite::cut());
    EXPECT_EQ(0, board::shortWrite::unload());

    // Every event but a wrong-length read is traced; the messages of the
    // events whose write the port took nothing of are missing on the UART.
    std::string out = board::readText(kOut), expected;
    std::vector<std::string> tods = tracedTods(out);
    size_t traced = 0;
    for (int i = 0; i < events && traced < tods.size(); ++i) {
        if (i % 10 == 2)
            continue;
        if (i % 10 != 8)
            expected += tods[traced];
        ++traced;
    }
    std::printf("# %d events in %.0f s, %d wrong-length reads, %d writes cut, %d messages dropped, "
                "%zu bytes on the UART\n",
                events, (board::monotonicMs() - start) / 1e3, shortReads, cutWrites, dropped, bytes.size());
    EXPECT_EQ(0, lost);
    EXPECT_EQ(events - shortReads, tods.size());
    // A wrong-length read is no PPS: the next one comes after a gap, and
    // so may one that the loaded board let slip to the second after. Such
    // a gap is 2 s, as long as halvern waits before it calls the PPS
    // silent: that report may come too, a hair before the pulse.
    std::vector<std::string> made = reports(out);
    long gaps = std::count_if(made.begin(), made.end(), [](const std::string &r) { return names(r, "missed"); });
    long silences = std::count_if(made.begin(), made.end(), [](const std::string &r) { return names(r, "No PPS"); });
    EXPECT_EQ(shortReads + dropped, made.size() - gaps - silences);
    EXPECT_TRUE(gaps >= shortReads);
    EXPECT_EQ((events - shortReads - dropped) * 21, expected.size());
    EXPECT_TRUE(bytes == expected);
}

// With the edge a hair before or after the whole second, as the PPS meets a
// clock that a daemon steers, each string names the second nearest its
// edge. (The board's own wake-up can take longer than 300 us, which hides a
// label of the second before; an edge 100 ms early cannot hide it.) Nearly
// half a second off, no one can say which second a pulse marks: nothing is
// sent, and every PPS says why.
TEST_F_TIMEOUT(Sender, each_string_names_the_second_nearest_its_edge_and_none_goes_out_half_a_second_off, 60)
{
    struct Edge {
        long long phaseNs;
        double forMs;
        size_t atLeast; // strings, or reports when none may go out
    } edges[] = {
        {-300000, 10500, 9}, {300000, 10500, 9}, {-100000000, 3500, 2}, {-450000000, 3200, 3}, {450000000, 3200, 3}};
    for (const Edge &edge : edges) {
        bool held = std::llabs(edge.phaseNs) > 400000000;
        ASSERT_TRUE(board::pps::setPhaseNs(edge.phaseNs));
        ASSERT_TRUE(board::pps::setTimer(true));
        self->start({});
        std::vector<Arrival> got = arrivals(self->rx, edge.forMs);
        self->stop();
        ASSERT_TRUE(board::pps::setTimer(false));
        EXPECT_TRUE(got.size() >= (held ? 0 : edge.atLeast) && (got.empty() || !held));
        for (const Arrival &arrival : got) {
            bool nearest = std::fabs(arrival.at - secondOf(arrival.tod)) < 0.4;
            EXPECT_TRUE(nearest);
            if (!nearest)
                std::printf("# edge at %+lld ns: %s came in at %.6f\n", edge.phaseNs, arrival.tod.c_str(), arrival.at);
        }
        std::vector<std::string> made = reports(board::readText(kOut));
        EXPECT_TRUE(held ? made.size() >= edge.atLeast : made.empty());
        for (const std::string &report : made)
            EXPECT_TRUE(names(report, edge.phaseNs < 0 ? " -4" : " +4"));
    }
}

// A burst on the PPS line sends one string; a device whose read never
// blocks ends halvern with 1 at once, for its unit to start it again.
TEST_F(Sender, a_burst_sends_one_string_and_a_device_that_never_blocks_ends_with_1)
{
    self->start({});
    time_t second = board::pps::triggerAtSecond();
    ASSERT_TRUE(second != 0 && board::pps::burst(4)); // five within 4 ms
    std::vector<Arrival> got = arrivals(self->rx, 700);
    EXPECT_TRUE(got.size() == 1 && got[0].tod == t1Of(second));
    ASSERT_TRUE(board::pps::setImmediate(true));
    double start = board::monotonicMs();
    EXPECT_EQ(1, self->exitStatus());
    EXPECT_TRUE(board::monotonicMs() - start < 2000);
    std::vector<std::string> made = reports(board::readText(kOut));
    EXPECT_TRUE(made.size() >= 2); // too soon, at least once; then broken
}

// The PPS stop for 3 s: silence is reported while halvern waits, the gap
// once the pulses come back. The kernel's word on the clock is reported
// once when it changes. The strings go on through both.
TEST_F_TIMEOUT(Sender, a_stop_and_an_unsynchronised_clock_are_each_reported_and_the_strings_go_on, 30)
{
    ASSERT_TRUE(board::pps::setTimer(true));
    self->start({});
    EXPECT_TRUE(arrivals(self->rx, 2500).size() >= 2);
    ASSERT_TRUE(board::pps::setTimer(false));
    usleep(2900000);
    std::vector<std::string> during = reports(board::readText(kOut));
    ASSERT_TRUE(board::pps::setTimer(true));
    EXPECT_TRUE(arrivals(self->rx, 2500).size() >= 2);
    std::vector<std::string> after = reports(board::readText(kOut));
    ASSERT_TRUE(board::clock::setSynchronised(false));
    EXPECT_TRUE(arrivals(self->rx, 2500).size() >= 2);
    self->stop();
    std::vector<std::string> made = reports(board::readText(kOut));
    EXPECT_EQ(1, during.size());
    EXPECT_EQ(2, after.size());
    EXPECT_EQ(3, made.size());
    EXPECT_TRUE(made.size() == 3 && made[0] == during[0] && names(made[1], "missed"));
}

int main(int argc, char **argv)
{
    return harness::runAll(argc, argv);
}
