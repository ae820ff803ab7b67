// The pace of a -t exchange: the command typed out byte by byte, the reply
// read as it arrives without pauses, 20 ms between a reply and the next
// command, and a modem that holds the output back until the limit is up.
#include "sim_run.h"
#include "syscall_trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <termios.h>

namespace {

TEST(Results, CommandGoesOutPacedThenTheReplyIsReadAsItArrivesWithoutPauses)
{
    sim_line line({.scripts = {{"AT", "\r\nOK\r\n"}}});
    traced_run traced = trace_on_device({.args = {"-t", "5", line.path(), "AT"}}, line.path());
    line.stop();
    ASSERT_EQ(traced.result.status, 0) << traced.result.err;
    // Typed input as without -t, but no pause after the line end: the
    // output is drained within the limit and reading starts at once.
    const std::vector<std::string> sending = {
        "open O_RDWR|O_NONBLOCK", "lock", "tcgetattr", "flush input", "tcsetattr", "flush input",
        R"(write "A")", "sleep 100000", R"(write "T")", "sleep 100000", R"(write "\r\n")",
        "output queue"};
    ASSERT_GE(traced.calls.size(), sending.size());
    EXPECT_EQ(std::vector<std::string>(traced.calls.begin(), traced.calls.begin() + sending.size()), sending);

    // Then waits and reads of as many bytes as came, no pause between them,
    // until the nine bytes of "AT\r\r\nOK\r\n" are in; both queues dropped,
    // the guard's sleep (at most 21 ms), the settings back, the close.
    size_t i = sending.size();
    int bytes = 0;
    for (; i < traced.calls.size() && traced.calls[i] != "flush both"; ++i) {
        const std::string& call = traced.calls[i];
        int got = 0;
        if (call == "poll" || call == "stdout")
            continue;
        ASSERT_EQ(std::sscanf(call.c_str(), "read 512 = %d", &got), 1) << call;
        EXPECT_GT(got, 0);
        bytes += got;
    }
    EXPECT_EQ(bytes, 9);
    std::vector<std::string> ending;
    for (; i < traced.calls.size(); ++i)
        if (traced.calls[i] != "stdout")
            ending.push_back(traced.calls[i]);
    ASSERT_EQ(ending.size(), 4u) << ::testing::PrintToString(traced.calls);
    EXPECT_EQ(ending[0], "flush both");
    long long guard_ns = -1;
    EXPECT_EQ(std::sscanf(ending[1].c_str(), "sleep %lld", &guard_ns), 1) << ending[1];
    EXPECT_GT(guard_ns, 0);
    EXPECT_LE(guard_ns, 21000000);
    EXPECT_EQ(ending[2], "tcsetattr");
    EXPECT_EQ(ending[3], "close");
}

TEST(Pace, NextCommandFollowsAReplyNoSoonerThan20MillisecondsWithinAndAcrossRuns)
{
    // When each command line reached the modem; read once it has stopped.
    std::vector<long long> arrivals;
    sim_line line({.on_command = [&](const std::string&) { arrivals.push_back(now_us()); }});
    tool_result first = run_tool({.args = {"-t", "2", line.path(), "AT", "ATI"}});
    tool_result second = run_tool({.args = {line.path(), "AT"}});
    line.stop();
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(second.status, 0);
    ASSERT_EQ(arrivals.size(), 3u);
    // Each reply is sent at once, so its end follows the command's arrival.
    EXPECT_GE(arrivals[1] - arrivals[0], 20000);
    EXPECT_GE(arrivals[2] - arrivals[1], 20000);
}

TEST(Pace, ModemHoldingTheOutputEndsTheRunWhenTheLimitIsUpWithTheLineRestored)
{
    // The modem's CTS low, as a pseudo-terminal plays it: no write gets
    // through. Held before the run starts; holding once the modem has seen a
    // byte races the tool's next writes on a slow or emulated machine.
    sim_line line;
    termios before{};
    tcgetattr(line->terminal_fd(), &before);
    ASSERT_EQ(tcflow(line->terminal_fd(), TCOOFF), 0);
    long long start = now_ms();
    tool_result r = run_tool({.args = {"-t", "1", line.path(), "AT+CSQ"}});
    long long took = now_ms() - start;
    tcflow(line->terminal_fd(), TCOON);
    termios after{};
    tcgetattr(line->terminal_fd(), &after);
    EXPECT_EQ(line->received(), "");
    expect_failure(r, "send_line error: " + tool_strerror(ETIMEDOUT) + "\n", 3);
    EXPECT_EQ(r.out, "");
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2500);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST(Pace, LongListingArrivesWholeInLargeReads)
{
    // A phonebook of about 70 KiB, as AT+CPBR lists it.
    std::string listing;
    for (int i = 1; listing.size() < 70 * 1024; ++i)
        listing += "\r\n+CPBR: " + std::to_string(i) + ",\"+4915550" + std::to_string(100000 + i) +
                   "\",145,\"Contact " + std::to_string(i) + "\"";
    listing += "\r\n\r\nOK\r\n";
    sim_line line({.scripts = {{"AT+CPBR=1,2000", listing}}});
    tool_result r = run_on(line, {"-t", "10"}, {"AT+CPBR=1,2000"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "AT+CPBR=1,2000\r" + listing + "\n");
}

} // namespace
