// halvern on the simulated board: PPS events of the simulated /dev/appint2,
// and what actually left the 16550 UART ttyS2, read back on ttyS3 (the two
// are looped outside the guest).
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>
#include <cctype>
#include <ctime>
#include <thread>

#include "guest_test.h"

namespace {

const std::string kPps = "/sys/kernel/debug/sim_appint/";
const char* const kOut = "/tmp/halvern.out";
const std::string kBanner =
    "\n##############\n# ToD TEST\n##############Using ttyS2 as UART to Kestle device\n";

struct Sender {
    pid_t pid;
};

// Raw 8-bit line, as the board's start-up configures the port.
int openRaw(const char* path)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios tio;
    if (fd < 0 || tcgetattr(fd, &tio) != 0)
        return -1;
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fd, TCSANOW, &tio);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

// Starts halvern in a session of its own (no controlling terminal), its
// standard output going to kOut.
Sender startHalvern(std::vector<std::string> args)
{
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int out = open(kOut, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        for (int fd = 3; fd < 64; ++fd)  // as init starts it: nothing else open
            close(fd);
        std::vector<char*> argv{const_cast<char*>("halvern")};
        for (std::string& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        execv("/bin/halvern", argv.data());
        _exit(127);
    }
    return {pid};
}

// Exit status of a sender that ends by itself within a few seconds; -1 if not.
int waitExit(const Sender& sender)
{
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (waitpid(sender.pid, &status, WNOHANG) == sender.pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10000);
    }
    kill(sender.pid, SIGKILL);
    waitpid(sender.pid, nullptr, 0);
    return -1;
}

void stop(const Sender& sender)
{
    kill(sender.pid, SIGTERM);
    waitpid(sender.pid, nullptr, 0);
}

// Waits until a reader is parked in the PPS device, then makes one event.
bool pps()
{
    for (int i = 0; i < 500 && guest::readNumber(kPps + "waiting") < 1; ++i)
        usleep(10000);
    return guest::writeNumber(kPps + "trigger", 1);
}

// Whatever arrives on the loop-back port within timeoutMs of quiet.
std::string receive(int fd, int timeoutMs)
{
    std::string bytes;
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) == 1) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        bytes.append(buf, n);
    }
    return bytes;
}

std::string t1Of(time_t seconds)
{
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[80];
    std::snprintf(text, sizeof(text), "T1%02d%02d%02d%02d%02d%04dZ0000", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_year + 1900);
    return text;
}

// The trace with the report trailers' line numbers as "L:*".
std::string withoutLineNumbers(const std::string& out)
{
    std::string text;
    for (size_t i = 0; i < out.size(); ++i) {
        text += out[i];
        if (out.compare(i, 2, "L:") == 0 && i + 2 < out.size() && std::isdigit(out[i + 2])) {
            text += ":*";
            for (i += 2; i + 1 < out.size() && std::isdigit(out[i + 1]); ++i) {
            }
        }
    }
    return text;
}

// The ToD strings of the trace, in order.
std::vector<std::string> tracedTods(const std::string& out)
{
    std::vector<std::string> tods;
    const std::string mark = "\nPPS Interrupt (ToD:";
    for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1))
        tods.push_back(out.substr(at + mark.size(), 21));
    return tods;
}

}  // namespace

GUEST_TEST(each_pps_sends_the_t1_string_of_the_utc_second_and_a_read_error_ends_with_1)
{
    guest::writeNumber(kPps + "timer", 0);
    int con = openRaw("/dev/ttyS2"), loop = openRaw("/dev/ttyS3");
    CHECK(con >= 0 && loop >= 0);
    Sender sender = startHalvern({});
    std::string expectedOut = kBanner;
    for (int i = 0; i < 3; ++i) {
        time_t before = time(nullptr);
        CHECK(pps());
        std::string bytes = receive(loop, 1000);
        time_t after = time(nullptr);
        CHECK(bytes == t1Of(before) || bytes == t1Of(after));
        expectedOut += "\nPPS Interrupt (ToD:" + bytes + ")\n";
    }
    guest::writeNumber(kPps + "inject_eio", 1);
    CHECK(pps());
    CHECK_EQ(waitExit(sender), 1);
    CHECK(receive(loop, 200).empty());
    expectedOut += "\nmain: Error reading PPS device, pps_fd=3,err=0x5[Input/output error] [F:halvern,L:*]\n\n";
    CHECK(withoutLineNumbers(guest::readText(kOut)) == expectedOut);
    close(con);
    close(loop);
}

GUEST_TEST(a_one_byte_read_costs_only_that_event)
{
    guest::writeNumber(kPps + "timer", 0);
    int con = openRaw("/dev/ttyS2"), loop = openRaw("/dev/ttyS3");
    Sender sender = startHalvern({"2"});
    guest::writeNumber(kPps + "inject_short", 1);
    CHECK(pps());
    CHECK(receive(loop, 300).empty());
    CHECK(pps());
    CHECK_EQ(receive(loop, 1000).size(), 21);
    stop(sender);
    std::string out = guest::readText(kOut);
    CHECK(withoutLineNumbers(out).find(kBanner + "\nmain: Error Wrong length for PPS interrupt read, len=1 [F:halvern,L:*]\n"
                                          "PPS Interrupt (ToD:") == 0);
    CHECK_EQ(tracedTods(out).size(), 1);
    close(con);
    close(loop);
}

// Started by init, the sender has no terminal: the port must not become one.
GUEST_TEST(the_port_is_chosen_by_argument_and_never_becomes_the_controlling_terminal)
{
    guest::writeNumber(kPps + "timer", 0);
    Sender sender = startHalvern({"abc"});
    CHECK(pps());  // parked in the PPS read: both devices are open
    usleep(100000);
    char link[64] = "";
    std::string fd4 = "/proc/" + std::to_string(sender.pid) + "/fd/4";
    CHECK(readlink(fd4.c_str(), link, sizeof(link) - 1) > 0);
    CHECK(std::string(link) == "/dev/ttyS0");
    std::string stat = guest::readText("/proc/" + std::to_string(sender.pid) + "/stat");
    int ttyNr = -1;
    std::sscanf(stat.c_str() + stat.rfind(')') + 2, "%*c %*d %*d %*d %d", &ttyNr);
    CHECK_EQ(ttyNr, 0);
    stop(sender);

    sender = startHalvern({"5"});
    CHECK_EQ(waitExit(sender), 255);
    CHECK(withoutLineNumbers(guest::readText(kOut)) ==
          "\n##############\n# ToD TEST\n##############Using ttyS5 as UART to Kestle device\n"
          "\nkvDeviceOpen: Error opening device /dev/ttyS5, err=0x2[No such file or directory] [F:halvern,L:*]"
          "\nmain: Error opening ToD console device /dev/ttyS5 [F:halvern,L:*]\n\n");
}

GUEST_TEST(without_the_pps_device_nothing_else_is_opened)
{
    CHECK_EQ(rename("/dev/appint2", "/dev/appint2.away"), 0);
    Sender sender = startHalvern({});
    CHECK_EQ(waitExit(sender), 255);
    CHECK(withoutLineNumbers(guest::readText(kOut)) ==
          kBanner +
              "\nkvDeviceOpen: Error opening device /dev/appint2, err=0x2[No such file or directory] "
              "[F:halvern,L:*]\nmain: Error opening PPS device /dev/appint2 [F:halvern,L:*]\n\n");
    CHECK_EQ(rename("/dev/appint2.away", "/dev/appint2"), 0);
}

GUEST_TEST(second_after_second_one_whole_message_each_in_order)
{
    guest::writeNumber(kPps + "timer", 1);
    int con = openRaw("/dev/ttyS2"), loop = openRaw("/dev/ttyS3");
    Sender sender = startHalvern({});
    std::string bytes;
    for (time_t end = time(nullptr) + 6; time(nullptr) < end;)
        bytes += receive(loop, 100);
    stop(sender);
    bytes += receive(loop, 200);
    guest::writeNumber(kPps + "timer", 0);
    std::vector<std::string> tods = tracedTods(guest::readText(kOut));
    CHECK(tods.size() >= 5);
    std::string traced;
    for (const std::string& tod : tods)
        traced += tod;
    CHECK(bytes == traced || bytes == traced.substr(0, bytes.size()));
    for (size_t i = 1; i < tods.size(); ++i)
        CHECK(tods[i] == [&] {
            struct tm utc = {};
            strptime(tods[i - 1].c_str() + 2, "%H%M%S%m%d%Y", &utc);
            return t1Of(timegm(&utc) + 1);
        }());
    close(con);
    close(loop);
}

// One PPS event, handed over only once halvern is parked in its read, and
// returning only once it has handled the event and is parked again.
bool ppsHandled()
{
    long long reads = guest::readNumber(kPps + "reads");
    for (int i = 0; i < 5000 && guest::readNumber(kPps + "waiting") < 1; ++i)
        usleep(200);
    if (!guest::writeNumber(kPps + "trigger", 1))
        return false;
    for (int i = 0; i < 5000 && guest::readNumber(kPps + "reads") <= reads; ++i)
        usleep(200);
    for (int i = 0; i < 5000; ++i, usleep(200))
        if (guest::readNumber(kPps + "waiting") >= 1)
            return true;
    return false;
}

// Fast PPS with wrong-length reads, partial writes and writes the port takes
// nothing of: what reaches the UART is exactly the messages halvern traced
// as sent, each whole, in order.
GUEST_TEST(fast_pps_with_short_reads_and_short_writes_keep_every_message_whole_and_in_order)
{
    const int events = 3000;
    const std::string shortWrites = "/sys/kernel/debug/sim_short_write/";
    CHECK_EQ(guest::loadModule("/lib/board/tools/sim_short_write.ko"), 0);
    guest::writeNumber(kPps + "timer", 0);
    int con = openRaw("/dev/ttyS2"), loop = openRaw("/dev/ttyS3");
    std::string bytes;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done)
            bytes += receive(loop, 50);
    });
    Sender sender = startHalvern({});
    int shortReads = 0, cutWrites = 0, dropped = 0, lost = 0;
    for (int i = 0; i < events; ++i) {
        switch (i % 10) {
        case 2:
            guest::writeNumber(kPps + "inject_short", 1);
            ++shortReads;
            break;
        case 4:  // one write of 7, the rest in a second
            guest::writeText(shortWrites + "limits", "7");
            cutWrites += 1;
            break;
        case 6:  // four writes: 1, 3, 16 bytes and the last one
            guest::writeText(shortWrites + "limits", "1 3 16");
            cutWrites += 3;
            break;
        case 8:  // the port takes nothing: that message is dropped whole
            guest::writeText(shortWrites + "limits", "0");
            cutWrites += 1;
            ++dropped;
            break;
        }
        if (!ppsHandled())
            ++lost;
    }
    stop(sender);
    usleep(300000);
    done = true;
    reader.join();
    long long cut = guest::readNumber(shortWrites + "cut");
    CHECK_EQ(guest::unloadModule("sim_short_write"), 0);

    std::string out = guest::readText(kOut), expected;
    std::vector<std::string> tods = tracedTods(out);
    const std::string mark = "\nPPS Interrupt (ToD:", noProgress = "main: Error not write complete buffer";
    for (size_t at = out.find(mark), i = 0; at != std::string::npos; at = out.find(mark, at + 1), ++i) {
        size_t next = out.find(mark, at + 1);
        size_t report = out.find(noProgress, at);
        if (report == std::string::npos || (next != std::string::npos && report > next))
            expected += tods[i];
    }
    std::printf("  %d events, %d wrong-length reads, %d writes cut, %d messages dropped, %zu bytes on the UART\n",
                events, shortReads, cutWrites, dropped, bytes.size());
    CHECK_EQ(lost, 0);
    CHECK_EQ(cut, cutWrites);
    CHECK_EQ(tods.size(), events - shortReads);
    CHECK_EQ(expected.size(), (events - shortReads - dropped) * 21);
    CHECK(bytes == expected);
    close(con);
    close(loop);
}

int main()
{
    return guest::runAll();
}
