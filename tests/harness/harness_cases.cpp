// Guest tests that go wrong in every way the harness must contain; the
// harness's own test runs this program and reads what it printed, and the
// files it leaves in $HARNESS_CASES_DIR (a folder of that run's own).
#include <csignal>
#include <cstdint>

#include "harness.h"

namespace {
std::string scratch(const char *name)
{
    const char *dir = std::getenv("HARNESS_CASES_DIR");
    return std::string(dir ? dir : "/tmp") + "/" + name;
}

void mark(const char *what)
{
    const std::string marks = scratch("marks");
    board::writeText(marks, board::readText(marks) + what + "\n");
}
} // namespace

TEST(passes)
{
    EXPECT_EQ(2, 1 + 1);
    EXPECT_EQ(3, 3ull); // the same value in integers of other types and signs
    EXPECT_EQ(-1, std::int8_t(-1));
}

TEST(expect_goes_on_assert_ends)
{
    EXPECT_EQ("other", std::string("seen"));
    EXPECT_EQ(-1, std::uint64_t(~0ull)); // no negative number equals an unsigned one
    EXPECT_TRUE(false);
    mark("after expect");
    ASSERT_EQ(3, 2u);
    mark("after assert");
}

TEST(crashes)
{
    std::raise(SIGILL); // SIGSEGV would be caught by AddressSanitizer
}

TEST_TIMEOUT(hangs, 1)
{
    for (;;)
        pause();
}

TEST(leaves_a_program_running)
{
    pid_t pid = board::startProgram("/bin/sleep", {"1000"}, "/dev/null", board::Start::asService());
    board::writeText(scratch("left"), std::to_string(pid));
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
    ASSERT_EQ(8, self->value);
}

TEST_F(Tracked, crash_still_tears_down)
{
    std::abort();
}

int main(int argc, char **argv)
{
    unlink(scratch("marks").c_str());
    return harness::runAll(argc, argv);
}
