// Standard output that never holds the sender up. The trace and the reports
// go through C stdio as before, but stdout is a stream whose writes are
// made without blocking: what a full pipe or a stalled journal cannot take
// at once is dropped and counted, so that every PPS still sends its string
// on time.
#pragma once

#include <cstddef>

// Puts stdout on file descriptor fd through the non-blocking writer; false
// (and stdout left as it was) if the stream cannot be made.
bool traceOutputStart(int fd);
// Sends what stdout holds. The journal takes a line only once it ends, and
// a report ends without a line feed until the next output begins: before
// halvern waits, a report is ended at once on the journal's stream (on no
// other, whose bytes stay as they were).
void traceOutputFlush(void);
// The bytes dropped since the last call, once output is taken again;
// 0 while it is still blocked or nothing was lost.
size_t traceOutputTakeLost(void);
