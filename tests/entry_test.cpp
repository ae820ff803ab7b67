// atquery end to end against the simulated modem on a pseudo-terminal.
#include "sim/modem.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

class Entry : public ::testing::Test {
protected:
    void use(atsim::faults f) { modem_ = std::make_unique<atsim::modem>(f); }

    // Opens the line and serves it; call after the modem is scripted.
    void start()
    {
        ASSERT_TRUE(modem_->open());
        modem_->start();
    }

    tool_result run(std::string command, tool_run how = {})
    {
        how.args = {modem_->path(), std::move(command)};
        tool_result result = run_tool(how);
        modem_->stop();
        return result;
    }

    std::unique_ptr<atsim::modem> modem_ = std::make_unique<atsim::modem>();
};

TEST_F(Entry, PrintsTheRawReplyWithEchoAndAddsOneLineFeed)
{
    start();
    tool_result r = run("AT");
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modem_->received(), "AT\r\n");
}

TEST_F(Entry, SendsTheCommandUnchangedAndAnEmptyCommandAsCrLfAlone)
{
    modem_->script("at+cops=? \"a b\"", "\r\nscripted\r\n");
    start();
    tool_result r = run("at+cops=? \"a b\"");
    EXPECT_EQ(r.out, "at+cops=? \"a b\"\r\r\nscripted\r\n\n");
    EXPECT_EQ(modem_->received(), "at+cops=? \"a b\"\r\n");

    use({.silent = true});
    start();
    r = run("");
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(modem_->received(), "\r\n");
}

TEST_F(Entry, ReplyEndsAtAZeroByteAndAtATenthOfASecondOfQuiet)
{
    use({.zero_byte = true});
    start();
    tool_result r = run("ATE0");
    EXPECT_EQ(r.out, std::string("ATE0\r\r\nO") + "\n");
    EXPECT_EQ(r.status, 0);

    // Pieces 60 ms apart, all after reading began: one reply.
    use({.delay_ms = 250, .pieces = 4, .gap_ms = 60});
    modem_->script("AT+X", "\r\n+X: one two three four\r\n\r\nOK\r\n");
    start();
    r = run("AT+X");
    EXPECT_EQ(r.out, "AT+X\r\r\n+X: one two three four\r\n\r\nOK\r\n\n");

    // A gap well past 0.1 s ends the reply; the rest never shows.
    use({.pieces = 2, .gap_ms = 600});
    modem_->script("AT+X", "first half|second half");
    start();
    r = run("AT+X");
    EXPECT_EQ(r.out, "AT+X\rfirst half|\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Entry, EndlessReplyIsCutAtTheBufferAndTheToolStillEnds)
{
    use({.endless = true});
    start();
    tool_result r = run("AT+CMGL");
    ASSERT_EQ(r.out.size(), 4999u + 1);
    EXPECT_EQ(r.out.substr(0, 8), "AT+CMGL\r");
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_EQ(r.status, 0);
}

TEST_F(Entry, InputWaitingBeforeTheRunIsDiscarded)
{
    start();
    modem_->inject("RING\r\nstale\r\n");
    tool_result r = run("AT");
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
}

TEST_F(Entry, LineIsRawAt115200With8N1AndRtsCtsWhileTheCommandArrives)
{
    termios seen{};
    bool got = false;
    modem_->on_command([&](const std::string&) { got = tcgetattr(modem_->terminal_fd(), &seen) == 0; });
    start();
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
        use({});
        start();
        termios odd{};
        ASSERT_EQ(tcgetattr(modem_->terminal_fd(), &odd), 0);
        odd.c_iflag = ICRNL | IXON | IGNBRK;
        odd.c_oflag = OPOST | ONLCR;
        odd.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | CREAD;
        odd.c_lflag = ICANON | ISIG | IEXTEN;
        odd.c_cc[VMIN] = 3;
        odd.c_cc[VTIME] = 7;
        odd.c_cc[VINTR] = 0x05;
        cfsetispeed(&odd, B9600);
        cfsetospeed(&odd, B9600);
        ASSERT_EQ(tcsetattr(modem_->terminal_fd(), TCSANOW, &odd), 0);
        termios before{};
        ASSERT_EQ(tcgetattr(modem_->terminal_fd(), &before), 0);

        tool_run how;
        how.stdout_to = stdout_to;
        tool_result r = run("AT", how);
        EXPECT_EQ(r.status, stdout_to == tool_run::pipe_out ? 0 : 255);
        termios after{};
        ASSERT_EQ(tcgetattr(modem_->terminal_fd(), &after), 0);
        expect_same(before, after);
    }
}

TEST_F(Entry, DeviceFailuresPrintTheirMessagesAndExit255)
{
    tool_result r = run_tool({.args = {"/nonexistent/ttyUSB9", "AT"}});
    EXPECT_EQ(r.err, "open_port error: No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);

    char file[] = "/tmp/atquery-not-a-tty-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    r = run_tool({.args = {file, "AT"}});
    unlink(file);
    EXPECT_EQ(r.err, "SetupSerial 1: Inappropriate ioctl for device\n"
                     "set_opt error: Inappropriate ioctl for device\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);

    // A background group may read a terminal's settings but not change them.
    start();
    tool_run how;
    how.background_of = modem_->path();
    r = run("AT", how);
    EXPECT_EQ(r.err, "com set error: Input/output error\n"
                     "set_opt error: Input/output error\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(modem_->received(), "");
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
    EXPECT_EQ(r.err, "puts error: No space left on device\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, HangUpWhileSendingIsASendLineError)
{
    use({.hangup_after_bytes = 1});
    start();
    tool_result r = run("ATI");
    EXPECT_EQ(r.err, "send_line error: Input/output error\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(modem_->hung_up());
}

TEST_F(Entry, HangUpWhileReadingPrintsWhatCameThenAReadReplyError)
{
    // The answer trickles in until well after reading began; the line drops
    // while the tool waits for the next byte.
    use({.silent = false, .pieces = 10, .gap_ms = 50, .hangup_after_answer_ms = 50});
    modem_->script("AT+TRICKLE", "0123456789");
    start();
    tool_result r = run("AT+TRICKLE");
    EXPECT_EQ(r.out, "AT+TRICKLE\r0123456789\n");
    EXPECT_EQ(r.err, "read_reply error: Input/output error\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, OutputThatCannotBeWrittenIsReported)
{
    start();
    tool_result r = run("AT", {.stdout_to = tool_run::full_out});
    EXPECT_EQ(r.err, "puts error: No space left on device\n");
    EXPECT_EQ(r.status, 255);

    use({});
    start();
    r = run("AT", {.stdout_to = tool_run::broken_out});
    EXPECT_EQ(r.err, "puts error: Broken pipe\n");
    EXPECT_EQ(r.status, 255);
}

TEST_F(Entry, ClosedStandardDescriptorsAreNeverTakenByTheDevice)
{
    for (std::vector<int> closed : {std::vector<int>{1}, {0, 1, 2}}) {
        use({});
        start();
        tool_result r = run("AT", {.closed = closed});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(modem_->received(), "AT\r\n");
    }
}

} // namespace
