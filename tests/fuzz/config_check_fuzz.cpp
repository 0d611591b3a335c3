// morrask's dry run (-n) over any file: nothing may reach the bus or sleep,
// and it must report exactly the bad lines of the model of the file format,
// one report each (an empty file is refused as a whole, and so is one
// without a register write, with one report more), and fail whenever a load
// of the file would fail.
#include <cstdio>
#include <cstdlib>

#include "config_fuzz_support.h"
#include "dry_run.h"
#include "error_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Verdict expected;

    const char *path = configInput(data, size);
    int reportsBefore = errorReportCount();
    bool failed = checkConfiguration(path) != 0;
    unsigned reports = static_cast<unsigned>(errorReportCount() - reportsBefore);

    modelConfiguration(data, size, &expected);
    unsigned badLines = size == 0 ? 1 : expected.badLines + expected.innerCarriageReturns + (expected.writes == 0);
    if (!busSteps.empty() || reports != badLines || failed != (badLines > 0) || (expected.loadFails && !failed)) {
        fprintf(stderr, "dry run %s with %u reports, model: %u bad lines, a load %s\n", failed ? "failed" : "passed",
                reports, badLines, expected.loadFails ? "fails" : "passes");
        dumpSteps("dry run", busSteps);
        abort();
    }
    return 0;
}
