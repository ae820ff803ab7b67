// A port that goes away under a run, in every mode: the modem side answers
// part of a long reply, keeps the line busy, then closes, which hangs the
// terminal up as the removal of a USB adapter does.
#include "free_terminal.h"
#include "syscall_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace {

struct gone_case {
    const char* mode;
    std::vector<std::string> options; // before the device
    std::vector<std::string> commands;
    std::string message;              // PATH stands for the device
};

// Plays the modem on port: once a command's CR came, answers part of a reply
// and then a byte every 20 ms, and hangs up once the run has read for a
// while (the two-argument form starts reading 300 ms after the command).
// Returns when it hung up (now_ms), or 0 if no command came.
long long answer_in_part_then_hang_up(free_terminal& port)
{
    const long long deadline = now_ms() + 10000;
    for (std::string got; got.find('\r') == std::string::npos;) {
        pollfd fd = {port.master, POLLIN, 0};
        char bytes[64];
        ssize_t n = 0;
        if (now_ms() > deadline || poll(&fd, 1, 100) < 0 ||
            (fd.revents != 0 && (n = read(port.master, bytes, sizeof bytes)) <= 0))
            return 0;
        got.append(bytes, static_cast<size_t>(n));
    }
    const std::string part = "\r\n+CPBR: 1,\"5550001\",129,\"Contact 1\"\r\n+CPBR: 2,\"555000";
    const long long hang_up_at = now_ms() + 600;
    bool written = write(port.master, part.data(), part.size()) == static_cast<ssize_t>(part.size());
    while (written && now_ms() < hang_up_at) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        written = write(port.master, "2", 1) == 1;
    }
    port.hang_up();
    return now_ms();
}

TEST(GonePort, EveryModeEndsAtOnceWithOneReportAndPutsNothingBack)
{
    const gone_case cases[] = {
        {"two-argument", {}, {"AT+CPBR=1,100"}, "read_reply error: " + tool_strerror(EIO) + "\n"},
        {"-t", {"-t", "10"}, {"AT+CPBR=1,100"}, "atquery: PATH: the port went away\n"},
        {"voice", {"--voice-setup"}, {}, "read_reply error: " + tool_strerror(EIO) + "\n"},
        {"--find", {"--find"}, {}, "atquery: PATH: the port went away\n"},
    };
    for (const gone_case& c : cases) {
        free_terminal port;
        long long hung_up_ms = 0;
        std::thread modem([&] { hung_up_ms = answer_in_part_then_hang_up(port); });
        tool_run run;
        run.args = c.options;
        run.args.push_back(port.path);
        run.args.insert(run.args.end(), c.commands.begin(), c.commands.end());
        traced_run traced = trace_on_device(run, port.path);
        const long long ended_ms = now_ms();
        modem.join();
        ASSERT_NE(hung_up_ms, 0) << c.mode << ": no command came";

        std::string message = c.message;
        if (size_t at = message.find("PATH"); at != std::string::npos)
            message.replace(at, 4, port.path);
        EXPECT_EQ(traced.result.err, message) << c.mode;
        EXPECT_EQ(traced.result.status, 255) << c.mode;
        // At once, not at the limit (10 s with -t, 1 s for --find).
        EXPECT_LT(ended_ms - hung_up_ms, 900) << c.mode;
        // The settings applied once, never put back on the port that went.
        EXPECT_EQ(std::count(traced.calls.begin(), traced.calls.end(), "tcsetattr"), 1) << c.mode;
    }
}

} // namespace
