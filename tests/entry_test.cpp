// atquery end to end against the simulated modem on a pseudo-terminal.
#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class Entry : public ::testing::Test {
protected:
    // Replaces the modem with one set up as given, serving at once.
    void use(sim_setup setup = {})
    {
        line_.reset();
        line_ = std::make_unique<sim_line>(std::move(setup));
    }
    atsim::modem& modem() { return line_->modem(); }

    // Runs the tool on the modem's line; the modem has stopped when it returns.
    tool_result run(std::string command, tool_run how = {})
    {
        how.args = {line_->path(), std::move(command)};
        tool_result result = run_tool(how);
        line_->stop();
        return result;
    }

    std::unique_ptr<sim_line> line_;
};

TEST_F(Entry, PrintsTheRawReplyWithEchoAndAddsOneLineFeed)
{
    use();
    tool_result r = run("AT");
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modem().received(), "AT\r\n");
}

TEST_F(Entry, SendsTheCommandUnchangedAndAnEmptyCommandAsCrLfAlone)
{
    use({.scripts = {{"at+cops=? \"a b\"", "\r\nscripted\r\n"}}});
    tool_result r = run("at+cops=? \"a b\"");
    EXPECT_EQ(r.out, "at+cops=? \"a b\"\r\r\nscripted\r\n\n");
    EXPECT_EQ(modem().received(), "at+cops=? \"a b\"\r\n");

    use({.faults = {.silent = true}});
    r = run("");
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modem().received(), "\r\n");
}

TEST_F(Entry, ReplyEndsAtAZeroByteAndAtATenthOfASecondOfQuiet)
{
    use({.faults = {.zero_byte = true}});
    tool_result r = run("ATE0");
    EXPECT_EQ(r.out, std::string("ATE0\r\r\nO") + "\n");
    EXPECT_EQ(r.status, 0);

    // Pieces 60 ms apart, all after reading began: one reply.
    use({.faults = {.delay_ms = 250, .pieces = 4, .gap_ms = 60},
         .scripts = {{"AT+X", "\r\n+X: one two three four\r\n\r\nOK\r\n"}}});
    r = run("AT+X");
    EXPECT_EQ(r.out, "AT+X\r\r\n+X: one two three four\r\n\r\nOK\r\n\n");

    // A gap well past 0.1 s ends the reply; the rest never shows.
    use({.faults = {.pieces = 2, .gap_ms = 600}, .scripts = {{"AT+X", "first half|second half"}}});
    r = run("AT+X");
    EXPECT_EQ(r.out, "AT+X\rfirst half|\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Entry, EndlessReplyIsCutAtTheBufferAndTheToolStillEnds)
{
    use({.faults = {.endless = true}});
    tool_result r = run("AT+CMGL");
    ASSERT_EQ(r.out.size(), 4999u + 1);
    EXPECT_EQ(r.out.substr(0, 8), "AT+CMGL\r");
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.status, 0);
}

TEST_F(Entry, InputWaitingBeforeTheRunIsDiscarded)
{
    use();
    modem().inject("RING\r\nstale\r\n");
    tool_result r = run("AT");
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
}

TEST_F(Entry, LineIsRawAt115200With8N1AndRtsCtsWhileTheCommandArrives)
{
    termios seen{};
    bool got = false;
    use({.on_command = [&](const std::string&) {
        got = tcgetattr(modem().terminal_fd(), &seen) == 0;
    }});
    run("AT");
    ASSERT_TRUE(got);
    EXPECT_EQ(seen.c_cflag & ~CBAUD, tcflag_t(CREAD | CLOCAL | CRTSCTS | CS8));
    EXPECT_EQ(cfgetispeed(&seen), speed_t(B115200));
    EXPECT_EQ(cfgetospeed(&seen), speed_t(B115200));
    EXPECT_EQ(seen.c_iflag, 0u);
    EXPECT_EQ(seen.c_oflag, 0u);
    EXPECT_EQ(seen.c_lflag, 0u);
    EXPECT_EQ(seen.c_cc[VMIN], 0);
    EXPECT_EQ(seen.c_cc[VTIME], 1);
}

// Every field of the port's settings, as the port reports them.
void expect_same(const termios& a, const termios& b)
{
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(a.c_line, b.c_line);
    EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

TEST_F(Entry, SettingsAreBackExactlyAfterSuccessAndAfterFailedPrints)
{
    for (auto stdout_to : {tool_run::pipe_out, tool_run::full_out, tool_run::broken_out}) {
        use();
        termios odd{};
        ASSERT_EQ(tcgetattr(modem().terminal_fd(), &odd), 0);
        odd.c_iflag = ICRNL | IXON | IGNBRK;
        odd.c_oflag = OPOST | ONLCR;
        odd.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | CREAD;
        odd.c_lflag = ICANON | ISIG | IEXTEN;
        odd.c_cc[VMIN] = 3;
        odd.c_cc[VTIME] = 7;
        odd.c_cc[VINTR] = 0x05;
        cfsetispeed(&odd, B9600);
        cfsetospeed(&odd, B9600);
        ASSERT_EQ(tcsetattr(modem().terminal_fd(), TCSANOW, &odd), 0);
        termios before{};
        ASSERT_EQ(tcgetattr(modem().terminal_fd(), &before), 0);

        tool_run how;
        how.stdout_to = stdout_to;
        tool_result r = run("AT", how);
        EXPECT_EQ(r.status, stdout_to == tool_run::pipe_out ? 0 : 255);
        termios after{};
        ASSERT_EQ(tcgetattr(modem().terminal_fd(), &after), 0);
        expect_same(before, after);
    }
}

TEST_F(Entry, DeviceFailuresPrintTheirMessagesAndExit255)
{
    tool_result r = run_tool({.args = {"/nonexistent/ttyUSB9", "AT"}});
    EXPECT_EQ(r.err, "open_port error: " + tool_strerror(ENOENT) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);

    char file[] = "/tmp/atquery-not-a-tty-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    r = run_tool({.args = {file, "AT"}});
    unlink(file);
    EXPECT_EQ(r.err, "SetupSerial 1: " + tool_strerror(ENOTTY) + "\n"
                     "set_opt error: " + tool_strerror(ENOTTY) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);

    // A background group may read a terminal's settings but not change them.
    use();
    tool_run how;
    how.background_of = modem().path();
    r = run("AT", how);
    EXPECT_EQ(r.err, "com set error: " + tool_strerror(EIO) + "\n"
                     "set_opt error: " + tool_strerror(EIO) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(modem().received(), "");
}

TEST_F(Entry, UsageGoesToStandardErrorWithStatus2AndHelpToStandardOutput)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"/dev/ttyUSB2"}}) {
        tool_result r = run_tool({.args = args});
        EXPECT_EQ(r.err.rfind("usage: atquery [OPTIONS] DEVICE COMMAND...\n", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 2);
    }
    for (const char* flag : {"-h", "--help"}) {
        tool_result r = run_tool({.args = {flag}});
        EXPECT_EQ(r.out.rfind("usage: atquery [OPTIONS] DEVICE COMMAND...\n", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    tool_result r = run_tool({.args = {"--help"}, .stdout_to = tool_run::full_out});
    EXPECT_EQ(r.err, "puts error: " + tool_strerror(ENOSPC) + "\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, HangUpWhileSendingIsASendLineError)
{
    use({.faults = {.hangup_after_bytes = 1}});
    tool_result r = run("ATI");
    EXPECT_EQ(r.err, "send_line error: " + tool_strerror(EIO) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(modem().hung_up());
}

TEST_F(Entry, HangUpWhileReadingPrintsWhatCameThenAReadReplyError)
{
    // The answer trickles in until well after reading began; the line drops
    // while the tool waits for the next byte.
    use({.faults = {.silent = false, .pieces = 10, .gap_ms = 50, .hangup_after_answer_ms = 50},
         .scripts = {{"AT+TRICKLE", "0123456789"}}});
    tool_result r = run("AT+TRICKLE");
    EXPECT_EQ(r.out, "AT+TRICKLE\r0123456789\n");
    EXPECT_EQ(r.err, "read_reply error: " + tool_strerror(EIO) + "\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, OutputThatCannotBeWrittenIsReported)
{
    use();
    tool_result r = run("AT", {.stdout_to = tool_run::full_out});
    EXPECT_EQ(r.err, "puts error: " + tool_strerror(ENOSPC) + "\n");
    EXPECT_EQ(r.status, 255);

    use();
    r = run("AT", {.stdout_to = tool_run::broken_out});
    EXPECT_EQ(r.err, "puts error: " + tool_strerror(EPIPE) + "\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, ClosedStandardDescriptorsAreNeverTakenByTheDevice)
{
    for (std::vector<int> closed : {std::vector<int>{1}, {0, 1, 2}}) {
        use();
        tool_result r = run("AT", {.closed = closed});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(modem().received(), "AT\r\n");
    }
}

} // namespace
