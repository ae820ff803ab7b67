// The voice-call sequences in this process against the simulated modem, with
// standard output caught at the descriptor; the dial's system calls traced in
// a driver process; their failures through the tool's options.
#include "serial/port.h"
#include "sim_fixture.h"
#include "syscall_trace.h"
#include "tool/voice.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace {

using std::chrono::steady_clock;

// The labels as GB2312 bytes: "returned information:" and "now calling:".
const std::string reply_label = "\xB7\xB5\xBB\xD8\xD0\xC5\xCF\xA2\x3A";
const std::string dial_label = "\xD5\xFD\xD4\xDA\xB4\xF2\xB5\xE7\xBB\xB0\xB8\xF8\x3A";

const std::string setup_commands = "AT\r\nAT\r\nAT$NOSLEEP=1\r\nAT+GDT=1\r\nAT$AUPATH=0,1\r\n"
                                   "AT$AUGAIN=1,7\r\nAT$AUGAIN=2,9\r\n";

// Sends this process's standard output into a pipe while it lives.
class stdout_capture {
public:
    stdout_capture()
    {
        std::fflush(stdout);
        saved_ = dup(1);
        int ends[2];
        if (saved_ < 0 || pipe2(ends, O_CLOEXEC) != 0)
            return;
        read_end_ = ends[0];
        fcntl(read_end_, F_SETFL, O_NONBLOCK);
        dup2(ends[1], 1);
        close(ends[1]);
    }
    ~stdout_capture() { finish(); }

    // What has reached the descriptor so far, without flushing stdio first.
    std::string take()
    {
        std::string got;
        char buffer[4096];
        ssize_t n;
        while (read_end_ >= 0 && (n = read(read_end_, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        return got;
    }

    // Flushes stdio, puts standard output back and returns the rest.
    std::string finish()
    {
        if (saved_ < 0)
            return "";
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
        std::string rest = take();
        close(read_end_);
        read_end_ = -1;
        return rest;
    }

private:
    int saved_ = -1;
    int read_end_ = -1;
};

class Voice : public ::testing::Test {
protected:
    // Serves a modem set up as given and opens its line the way the entry does.
    void open_line(sim_setup setup = {})
    {
        line_ = std::make_unique<sim_line>(std::move(setup));
        port_fd = open(line_->path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(port_fd, 0);
        ASSERT_EQ(set_opt(port_fd, 115200, 8, 'N', 1), 0);
    }

    void TearDown() override
    {
        if (port_fd >= 0) {
            restore_opt();
            close(port_fd);
            port_fd = -1;
        }
        line_.reset();
    }

    atsim::modem& modem() { return line_->modem(); }

    std::unique_ptr<sim_line> line_;
};

TEST_F(Voice, SetupSendsTheSevenCommandsAndPrintsEachFreshReplyUnderItsLabel)
{
    // Echo stays on, so each reply starts with its command and CR.
    std::string long_answer = "\r\n+LONG:";
    while (long_answer.size() < 150)
        long_answer += "0123456789";
    open_line({.scripts = {
                   {"AT$NOSLEEP=1", long_answer}, // then cut to the buffer
                   {"AT+GDT=1", "\r\nOK\r\n"},     // short, after the long one
                   {"AT$AUPATH=0,1", ""},          // no answer beyond the echo
               }});

    stdout_capture capture;
    voice_setup();
    std::string out = capture.finish();

    EXPECT_EQ(modem().received(), setup_commands);
    const std::string replies[] = {
        "AT\r\r\nOK\r\n",
        "AT\r\r\nOK\r\n",
        ("AT$NOSLEEP=1\r" + long_answer).substr(0, 99),
        "AT+GDT=1\r\r\nOK\r\n",
        "AT$AUPATH=0,1\r",
        "AT$AUGAIN=1,7\r\r\nOK\r\n",
        "AT$AUGAIN=2,9\r\r\nOK\r\n",
    };
    std::string expected;
    for (const std::string& reply : replies)
        expected += reply_label + "\n" + reply + "\n";
    EXPECT_EQ(out, expected);
}

TEST_F(Voice, SetupAgainstASilentModemSendsEveryCommandAndPrintsSevenEmptyReplies)
{
    open_line({.faults = {.silent = true}});
    stdout_capture capture;
    voice_setup();
    std::string out = capture.finish();

    EXPECT_EQ(modem().received(), setup_commands);
    std::string expected;
    for (int i = 0; i < 7; ++i)
        expected += reply_label + "\n\n";
    EXPECT_EQ(out, expected);
}

TEST_F(Voice, DialWithoutNumberBytesSendsAtdSemicolonAndShowsTheLabelAloneAfterThePause)
{
    // Set on the modem's thread when the first command line's CR arrives.
    std::mutex mutex;
    std::optional<steady_clock::time_point> line_done;
    open_line({.on_command = [&](const std::string&) {
        std::lock_guard lock(mutex);
        if (!line_done)
            line_done = steady_clock::now();
    }});

    stdout_capture capture;
    voice_dial(nullptr, 0);
    const steady_clock::time_point returned = steady_clock::now();
    // Flushed by the dial itself, though the line has no end.
    EXPECT_EQ(capture.take(), dial_label);
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(line_done) << "the modem never saw the dial's line end";
        // The modem stamps the line a moment after its CR went out, so allow
        // a little below the 2 s pause; without the pause this is milliseconds.
        EXPECT_GE(returned - *line_done, std::chrono::milliseconds(1900));
    }

    voice_dial("5550100", -1);
    EXPECT_EQ(capture.take(), dial_label);
    EXPECT_EQ(modem().received(), "ATD;\r\nATD;\r\n");
}

// One byte as strace quotes it.
std::string quoted(char byte)
{
    return byte == '\r' ? "\\r" : byte == '\n' ? "\\n" : std::string(1, byte);
}

TEST(VoiceDial, EachByteIsItsOwnWriteEachPieceIsDrainedAndPrintingFollowsThePause)
{
    sim_line line;
    // Non-digits go out as they are; the two bytes past the length do not.
    traced_run traced = trace_on_device(
        {.args = {line.path(), "+1 (5)#*;9", "8"}, .program = {VOICE_DRIVER_COMMAND}},
        line.path());
    line.stop();
    ASSERT_EQ(traced.result.status, 0) << traced.result.err;
    EXPECT_EQ(line->received(), "ATD+1 (5)#*;\r\n");
    EXPECT_EQ(traced.result.out, dial_label + "+1 (5)#*");

    std::vector<std::string> expected = {"open O_RDWR|O_NONBLOCK", "tcgetattr", "flush input",
                                         "tcsetattr", "flush input", "blocking"};
    for (std::string piece : {"ATD", "+1 (5)#*", ";", "\r\n"}) {
        for (char byte : piece) {
            expected.push_back("write \"" + quoted(byte) + "\"");
            expected.push_back("sleep 100000");
        }
        expected.push_back("drain");
    }
    // The driver's standard output is unbuffered, so a print made before the
    // pause would show before it. No read: the answer to the dial is left
    // alone.
    for (const char* call : {"sleep 2000000000", "stdout", "tcsetattr", "close"})
        expected.push_back(call);
    EXPECT_EQ(traced.calls, expected);
}

TEST(VoiceOptions, AHangUpWhileSendingOrReadingIsReportedWithStatus255)
{
    struct hang_up {
        std::vector<std::string> options;
        sim_setup modem;
        std::string out; // what was printed before the failure
        std::string err;
    };
    const std::string ok_reply = reply_label + "\nAT\r\r\nOK\r\n\n";
    const hang_up cases[] = {
        // Gone in the third command: the two replies before it stay, and
        // neither the rest of the set-up nor the dial goes out.
        {{"--voice-setup", "--dial", "5550100"}, {.faults = {.hangup_after_bytes = 10}},
         ok_reply + ok_reply, "send_line error: " + tool_strerror(EIO) + "\n"},
        // Gone while the first reply trickles in: what came, then the error.
        {{"--voice-setup"},
         {.faults = {.pieces = 10, .gap_ms = 50, .hangup_after_answer_ms = 50}, .scripts = {{"AT", "0123456789"}}},
         reply_label + "\nAT\r0123456789\n", "read_reply error: " + tool_strerror(EIO) + "\n"},
        // Gone during the dial: no call, so no "now calling:". The number is
        // long enough (40 ms of paced bytes) that the modem's hang-up after
        // two bytes lands inside the dial even on a loaded machine.
        {{"--dial", std::string(400, '5')}, {.faults = {.hangup_after_bytes = 2}}, "",
         "send_line error: " + tool_strerror(EIO) + "\n"},
    };
    for (const hang_up& c : cases) {
        sim_line line(c.modem);
        std::vector<std::string> args = c.options;
        args.push_back(line.path());
        tool_result r = run_tool({.args = args});
        line.stop();
        EXPECT_EQ(r.out, c.out) << c.options[0];
        EXPECT_EQ(r.err, c.err) << c.options[0];
        EXPECT_EQ(r.status, 255) << c.options[0];
        EXPECT_EQ(line->received().find("ATD"), std::string::npos) << c.options[0];
    }
}

} // namespace
