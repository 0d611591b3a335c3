// morrask's configuration loading as one unit: the input is the file, loaded
// by the loader's own loop (loadConfiguration from the core) over a recording
// SPI seam. The writes and waits it makes must be those of the model of the
// file format, line by line, up to the same end or failure.
#include <cstdio>
#include <cstdlib>

#include "config_fuzz_support.h"
#include "error_report.h"
#include "run_sequence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Verdict expected;

    const char *path = configInput(data, size);
    int reportsBefore = errorReportCount();
    loadConfiguration(path, configIdentity());
    bool loaderFailed = errorReportCount() != reportsBefore;

    modelConfiguration(data, size, &expected);
    if (busSteps != expected.steps || loaderFailed != expected.loadFails) {
        fprintf(stderr, "loader %s, model %s\n", loaderFailed ? "failed" : "finished",
                expected.loadFails ? "failed" : "finished");
        dumpSteps("loader", busSteps);
        dumpSteps("model", expected.steps);
        abort();
    }
    return 0;
}
