// The guest harness, run on the host: every way a test can go wrong costs
// that test alone, says which and why, and leaves the board as it found it.
#include <gtest/gtest.h>
#include <signal.h>

#include "board_sim.h"
#include "test_support.h"

TEST(Harness, EachTestStandsAloneAndIsNamed)
{
    std::string out = scratchPath("harness.out");
    pid_t pid = board::startProgram(HARNESS_CASES_BINARY, {}, out.c_str());
    ASSERT_EQ(board::waitExit(pid, 30000), 1);
    std::string text = readWhole(out);
    // In order: what each case must have printed.
    const char* expected[] = {
        "[  OK  ] passes\n",
        "std::string(\"seen\") is \"seen\", expected \"other\"\n",
        "(false) is false\n",
        "2u is 2, expected 3\n",
        "[ FAIL ] expect_goes_on_assert_ends\n",
        "  crashes: ended by signal 4 (Illegal instruction)\n[ FAIL ] crashes\n",
        "  hangs: no end within 1 s, killed\n[ FAIL ] hangs\n",
        "[  OK  ] leaves_a_program_running\n",
        "skipped: nothing to do here\n[ SKIP ] skips\n",
        "self->value is 7, expected 8\n[ FAIL ] Tracked.assert_still_tears_down\n",
        "ended by signal 6 (Aborted)\n[ FAIL ] Tracked.crash_still_tears_down\n",
        "board: 1 skipped\nboard result: 2 passed, 5 failed\n",
    };
    size_t at = 0;
    for (const char* line : expected) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing after offset " << at << ": " << line << "in:\n" << text;
        at = found == std::string::npos ? at : found + 1;
    }
    // An EXPECT goes on, an ASSERT ends the test; a fixture is torn down
    // after an ASSERT and after a crash alike.
    EXPECT_EQ(readWhole("/tmp/harness_cases.marks"),
              "after expect\nset up\ntorn down\nset up\ntorn down after a crash\n");
    // The program a test left running was killed.
    pid_t left = std::atoi(readWhole("/tmp/harness_cases.left").c_str());
    ASSERT_GT(left, 0);
    EXPECT_NE(kill(left, 0), 0);
}
