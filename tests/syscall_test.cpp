// The exact system calls of one exchange: this pacing and framing is what
// the modem sees, so it is checked call by call.
#include "sim_fixture.h"
#include "syscall_trace.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> sleep_between_reads(int reads)
{
    std::vector<std::string> calls;
    for (int i = 1; i < reads; ++i) {
        calls.push_back(i + 1 < reads ? "read 1 = 1" : "read 1 = 0");
        calls.push_back("sleep 50000");
    }
    return calls;
}

TEST(SystemCalls, OneExchangeCallByCall)
{
    sim_line line({.scripts = {{"AT", "\r\nOK\r\n"}}});
    traced_run traced = trace_on_device({.args = {line.path(), "AT"}}, line.path());
    ASSERT_EQ(traced.result.status, 0) << traced.result.err;

    // Opened without waiting for carrier, the port locked; then the settings
    // read, input discarded before and after the new ones apply, and the
    // descriptor blocking again once CLOCAL holds.
    std::vector<std::string> expected = {
        "open O_RDWR|O_NONBLOCK", "lock", "tcgetattr", "flush input", "tcsetattr", "flush input",
        "blocking",
        // One byte per write, CR LF as one write, then the pause and drain.
        R"(write "A")", "sleep 100000", R"(write "T")", "sleep 100000", R"(write "\r\n")",
        "sleep 300000000", "drain",
        // The echo "AT\r" and "\r\nOK\r\n": nine bytes, one per read, then
        // the empty read that ends the reply; no pause after the first read.
        "read 1 = 1"};
    for (const std::string& call : sleep_between_reads(10))
        expected.push_back(call);
    // Both queues dropped, the reply printed before the settings go back,
    // and only then the close.
    for (const char* call : {"flush both", "stdout", "tcsetattr", "close"})
        expected.push_back(call);
    EXPECT_EQ(traced.calls, expected);
}

} // namespace
