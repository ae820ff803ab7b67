// atquery under valgrind's memcheck against the simulated modem, on the
// replies that drive the reading loop hardest: one that never ends and is
// cut at the buffer, one that a zero byte ends, and an endless one waited
// through for a final result code. Any invalid access, use
// of an uninitialised byte or leak makes valgrind report and fail the run.
#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

tool_result run_under_memcheck(atsim::faults f, const std::string& command,
                               std::vector<std::string> options = {})
{
    sim_line line({.faults = f});
    options.push_back(line.path());
    options.push_back(command);
    return run_tool({.args = options,
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

TEST(Memcheck, EndlessReplyWaitedThroughForAResultRunsClean)
{
    tool_result r = run_under_memcheck({.endless = true}, "AT+CMGL", {"-t", "1", "-i"});
    EXPECT_EQ(r.err, "read_reply error: " + tool_strerror(ETIMEDOUT) + "\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_GT(r.out.size(), 1000u);
}

} // namespace
