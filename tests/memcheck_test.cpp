// atquery under valgrind's memcheck against the simulated modem, on the
// replies that drive the reading loop hardest: one that never ends and is
// cut at the buffer, and one that a zero byte ends. Any invalid access, use
// of an uninitialised byte or leak makes valgrind report and fail the run.
#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

namespace {

tool_result run_under_memcheck(atsim::faults f, const std::string& command)
{
    sim_line line({.faults = f});
    return run_tool({.args = {line.path(), command},
                     .prefix = {VALGRIND, "--quiet", "--error-exitcode=1", "--leak-check=full",
                                "--track-origins=yes"}});
}

TEST(Memcheck, EndlessReplyCutAtTheBufferRunsClean)
{
    tool_result r = run_under_memcheck({.endless = true}, "AT+CMGL");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 4999u + 1);
}

TEST(Memcheck, ReplyEndedByAZeroByteRunsClean)
{
    tool_result r = run_under_memcheck({.zero_byte = true}, "ATE0");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ATE0\r\r\nO\n");
}

} // namespace
