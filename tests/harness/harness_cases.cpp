// Guest tests that go wrong in every way the harness must contain; the
// harness's own test runs this program and reads what it printed.
#include <csignal>

#include "harness.h"

namespace {
const char* const kMarks = "/tmp/harness_cases.marks";

void mark(const char* what)
{
    board::writeText(kMarks, board::readText(kMarks) + what + "\n");
}
}  // namespace

TEST(passes)
{
    EXPECT_EQ(1 + 1, 2);
}

TEST(expect_goes_on_assert_ends)
{
    EXPECT_EQ(std::string("seen"), "other");
    EXPECT_TRUE(false);
    mark("after expect");
    ASSERT_EQ(2u, 3);
    mark("after assert");
}

TEST(crashes)
{
    std::raise(SIGILL);  // SIGSEGV would be caught by AddressSanitizer
}

TEST_TIMEOUT(hangs, 1)
{
    for (;;)
        pause();
}

TEST(leaves_a_program_running)
{
    pid_t pid = board::startProgram("/bin/sleep", {"1000"}, "/dev/null", board::Start::asService());
    board::writeText("/tmp/harness_cases.left", std::to_string(pid));
}

TEST(skips)
{
    SKIP("nothing to do here");
}

FIXTURE(Tracked)
{
    int value = 0;
};

FIXTURE_SETUP(Tracked)
{
    self->value = 7;
    mark("set up");
}

FIXTURE_TEARDOWN(Tracked)
{
    mark(self->value == 7 ? "torn down" : "torn down after a crash");
}

TEST_F(Tracked, assert_still_tears_down)
{
    ASSERT_EQ(self->value, 8);
}

TEST_F(Tracked, crash_still_tears_down)
{
    std::abort();
}

int main(int argc, char** argv)
{
    unlink(kMarks);
    return harness::runAll(argc, argv);
}
