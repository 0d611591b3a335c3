#include "trace_output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for the reports of several PPS between flushes.
constexpr size_t STREAM_BUFFER_SIZE = 4096;

struct TraceSink {
    int fd;
    bool socket; // the journal's stream: send() can be told not to wait
    size_t lost;
    bool blocked;  // the latest write could not be made whole
    bool lineOpen; // the last byte that went out was not a line feed
};

TraceSink sink;
char streamBuffer[STREAM_BUFFER_SIZE];

// Writes one piece without waiting: a socket is asked not to wait; any other
// descriptor is written only when poll() says it takes data now, and then
// no more than a pipe takes whole once it has room (PIPE_BUF). Returns the
// count taken, 0 when nothing could be.
size_t writeNow(const char *data, size_t size)
{
    size_t piece = std::min(size, static_cast<size_t>(PIPE_BUF));
    ssize_t taken;
    do {
        if (sink.socket) {
            taken = send(sink.fd, data, piece, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            struct pollfd ready = {sink.fd, POLLOUT, 0};
            int polled = poll(&ready, 1, 0);
            if (polled == 1 && (ready.revents & POLLOUT) != 0)
                taken = write(sink.fd, data, piece);
            else if (polled == -1)
                taken = -1;
            else
                return 0;
        }
    } while (taken == -1 && errno == EINTR);
    return taken > 0 ? static_cast<size_t>(taken) : 0;
}

// The stream's write: everything counts as written, so that stdio never
// retries or marks an error; what could not go out now is lost.
ssize_t sinkWrite(void *, const char *data, size_t size)
{
    int saved = errno; // a report's errno must survive its own output
    size_t done = 0;
    while (done < size) {
        size_t taken = writeNow(data + done, size - done);
        if (taken == 0)
            break;
        done += taken;
    }
    sink.blocked = done < size;
    if (done > 0)
        sink.lineOpen = data[done - 1] != '\n';
    sink.lost += size - done;
    errno = saved;
    return static_cast<ssize_t>(size);
}

} // namespace

bool traceOutputStart(int fd)
{
    struct stat about;
    sink.fd = fd;
    sink.socket = fstat(fd, &about) == 0 && S_ISSOCK(about.st_mode);
    cookie_io_functions_t calls = {nullptr, sinkWrite, nullptr, nullptr};
    FILE *stream = fopencookie(nullptr, "w", calls);
    if (stream == nullptr)
        return false;
    fflush(stdout);
    setvbuf(stream, streamBuffer, _IOFBF, sizeof(streamBuffer));
    stdout = stream;
    return true;
}

void traceOutputFlush(void)
{
    fflush(stdout);
    if (sink.socket && sink.lineOpen && writeNow("\n", 1) == 1)
        sink.lineOpen = false;
}

size_t traceOutputTakeLost(void)
{
    if (sink.blocked || sink.lost == 0)
        return 0;
    size_t lost = sink.lost;
    sink.lost = 0;
    return lost;
}
