// The guest harness, run on the host: every way a test can go wrong costs
// that test alone, says which and why, and leaves the board as it found it.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "board_sim.h"
#include "test_support.h"

namespace {

struct CasesRun {
    int status;
    std::string out;
};

// harness_cases with these arguments, its files in this test's scratch folder.
CasesRun runCases(const std::vector<std::string> &args)
{
    std::string out = scratchPath("harness.out");
    board::Start how;
    how.environment = {"HARNESS_CASES_DIR=" + scratchPath("")};
    pid_t pid = board::startProgram(HARNESS_CASES_BINARY, args, out.c_str(), how);
    int status = board::waitExit(pid, 30000);
    return {status, readWhole(out)};
}

} // namespace

TEST(Harness, EachTestStandsAloneAndIsNamed)
{
    CasesRun run = runCases({});
    ASSERT_EQ(1, run.status);
    const std::string &text = run.out;
    // In order: what each case must have printed.
    const char *expected[] = {
        "TAP version 13\n1..8\n",
        "ok 1 - passes\n",
        "std::string(\"seen\") is \"seen\", expected \"other\"\n",
        "std::uint64_t(~0ull) is 18446744073709551615, expected -1\n",
        "(false) is false\n",
        "2u is 2, expected 3\n",
        "not ok 2 - expect_goes_on_assert_ends\n",
        "# crashes: ended by signal 4 (Illegal instruction)\nnot ok 3 - crashes\n",
        "# hangs: no end within 1 s, killed\nnot ok 4 - hangs\n",
        "ok 5 - leaves_a_program_running\n",
        "skipped: nothing to do here\nok 6 - skips # SKIP nothing to do here\n",
        "self->value is 7, expected 8\nnot ok 7 - Tracked.assert_still_tears_down\n",
        "ended by signal 6 (Aborted)\nnot ok 8 - Tracked.crash_still_tears_down\n",
    };
    size_t at = 0;
    for (const char *line : expected) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing after offset " << at << ": " << line << "in:\n" << text;
        at = found == std::string::npos ? at : found + 1;
    }
    // A failure names its file and line, in a TAP comment.
    EXPECT_TRUE(std::regex_search(text, std::regex("(^|\n)# [^\n]*harness_cases\\.cpp:[0-9]+: 2u is 2"))) << text;
    // An EXPECT goes on, an ASSERT ends the test; a fixture is torn down
    // after an ASSERT and after a crash alike.
    EXPECT_EQ(readWhole(scratchPath("marks")), "after expect\nset up\ntorn down\nset up\ntorn down after a crash\n");
    // The program a test left running was killed.
    pid_t left = std::atoi(readWhole(scratchPath("left")).c_str());
    ASSERT_GT(left, 0);
    EXPECT_NE(kill(left, 0), 0);
}

TEST(Harness, ListsItsTestsAndFailsOnOneItDoesNotHave)
{
    CasesRun list = runCases({"-l"});
    EXPECT_EQ(0, list.status);
    EXPECT_EQ("passes\nexpect_goes_on_assert_ends\ncrashes\nhangs\nleaves_a_program_running\nskips\n"
              "Tracked.assert_still_tears_down\nTracked.crash_still_tears_down\n",
              list.out);
    CasesRun unknown = runCases({"no_such_test", "passes"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ(
        "TAP version 13\n1..2\nnot ok 1 - no_such_test # no such test in this suite\n# RUN passes\nok 2 - passes\n",
        unknown.out);
}
