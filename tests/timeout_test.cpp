// -t against the simulated modem: each reply read as it arrives until its
// final result code, the status that code gives, the message prompt, and
// the failures met while waiting.
#include "sim_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ioctl.h>

namespace {

// Starts a run and checks the first lines of its output as they come.
tool_process start_reading(args words, const args& first_lines)
{
    tool_process p = start_tool({.args = std::move(words)});
    for (const std::string& line : first_lines)
        EXPECT_EQ(read_line(p), line);
    return p;
}

TEST(Results, EachFinalResultCodeEndsTheReplyWithItsStatus)
{
    // Success codes: every command is answered and the run goes on.
    sim_line ok({.scripts = {{"AT+A", "\r\nOK\r\n"},
                             {"AT+B", "\r\nCONNECT\r\n"},
                             {"AT+C", "\r\nCONNECT 115200\r\n"}}});
    tool_result r = run_on(ok, {"-t", "5"}, {"AT+A", "AT+B", "AT+C"});
    EXPECT_EQ(r.out, "AT+A\r\r\nOK\r\n\nAT+B\r\r\nCONNECT\r\n\nAT+C\r\r\nCONNECT 115200\r\n\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // Error codes: status 1 and the commands after it are not sent.
    for (std::string code : {"ERROR", "+CME ERROR: 10", "+CME ERROR: operation not allowed", "+CMS ERROR: 500", "NO CARRIER", "BUSY",
                             "NO ANSWER", "NO DIALTONE", "COMMAND NOT SUPPORT"}) {
        sim_line line({.scripts = {{"AT+E", "\r\n+E: 1\r\n\r\n" + code + "\r\n"}}});
        r = run_on(line, {"--timeout", "5"}, {"AT+E", "AT"});
        EXPECT_EQ(r.out, "AT+E\r\r\n+E: 1\r\n\r\n" + code + "\r\n\n") << code;
        EXPECT_EQ(r.err, "") << code;
        EXPECT_EQ(r.status, 1) << code;
        EXPECT_EQ(line->received(), "AT+E\r\n") << code;
    }
}

TEST(Results, ReplyGoesOnPastQuietUnsolicitedLinesZeroBytesAndAnEchoReadingAsAResult)
{
    // The echo "OK" is the command, not its result; RING, +CMTI, a line that
    // only holds OK, a zero byte and 0.6 s of quiet do not end the reply.
    const char answer[] = "\r\nRING\r\n\r\n+CMTI: \"SM\",3\r\n\r\n+X: OK\0K\r\n\r\nOKAY\r\n\r\nOK\r\n";
    sim_line line({.faults = {.pieces = 2, .gap_ms = 600},
                   .scripts = {{"OK", std::string(answer, sizeof answer - 1)}}});
    tool_result r = run_on(line, {"-t", "5"}, {"OK"});
    EXPECT_EQ(r.out, "OK\r\r\nRING\r\n\r\n+CMTI: \"SM\",3\r\n\r\n+X: OKK\r\n\r\nOKAY\r\n\r\nOK\r\n\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Results, OperatorScanArrivesWholeWithinTheLimitAndIsCutWithStatus3After)
{
    // The simulated modem lists the operators after 2 s.
    sim_line in_time;
    tool_result r = run_on(in_time, {"-t", "5", "-i"}, {"AT+COPS=?"});
    EXPECT_EQ(r.out, "+COPS: (2,\"atquery net\",\"atquery\",\"26201\",7),"
                     "(1,\"Operator B\",\"OpB\",\"26202\",2),,(0-4),(0-2)\n");
    EXPECT_EQ(r.status, 0);

    // Without -t the reply ends at the first quiet, as it always did.
    sim_line quiet;
    r = run_on(quiet, {}, {"AT+COPS=?"});
    EXPECT_EQ(r.out, "AT+COPS=?\r\n");
    EXPECT_EQ(r.status, 0);

    // A limit shorter than the 300 ms pause after the command still takes
    // what arrived within it.
    sim_line quick;
    r = run_on(quick, {"-t", "0.1", "-i"}, {"AT+CSQ"});
    EXPECT_EQ(r.out, "+CSQ: 23,99\n");
    EXPECT_EQ(r.status, 0);

    sim_line late;
    long long start = now_ms();
    r = run_on(late, {"-t", "1"}, {"AT+COPS=?", "ATI"});
    EXPECT_GE(now_ms() - start, 1000);
    EXPECT_EQ(r.out, "AT+COPS=?\r\n");
    expect_failure(r, "read_reply error: " + tool_strerror(ETIMEDOUT) + "\n", 3);
    EXPECT_EQ(late->received(), "AT+COPS=?\r\n");
}

TEST(Results, RepliesArePrintedALineAtATimeAsTheyArrive)
{
    sim_line line({.scripts = {{"AT+CMGL", "\r\n+CMGL: 1\r\nfirst\r\n"}}});
    tool_process p =
        start_reading({"-t", "20", line.path(), "AT+CMGL"}, {"AT+CMGL\r\r", "+CMGL: 1\r", "first\r"});
    line->inject("\r\nOK\r\n");
    tool_result r = finish_tool(p);
    EXPECT_EQ(r.out, "\r\nOK\r\n\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Results, MessageSentInOneRunAndAPromptWithoutTextIsAbandoned)
{
    // The text goes out after the prompt, one byte per write, ended by Ctrl-Z.
    sim_line line;
    tool_result r = run_on(line, {"-t", "5"}, {"AT+CMGF=1", "at+cmgs=\"+15550100\"", "Hi there"});
    EXPECT_EQ(line->received(), "AT+CMGF=1\r\nat+cmgs=\"+15550100\"\r\nHi there\x1a");
    EXPECT_EQ(r.out, "AT+CMGF=1\r\r\nOK\r\n\nat+cmgs=\"+15550100\"\r\r\n> \n"
                     "Hi there\r\n+CMGS: 1\r\n\r\nOK\r\n\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(line->messages().size(), 1u);
    EXPECT_EQ(line->messages()[0].number, "+15550100");
    EXPECT_EQ(line->messages()[0].text, "Hi there");

    // With -i only the message's reference is left; the echo of the text,
    // with its line break, goes.
    sim_line stored;
    r = run_on(stored, {"-i", "-t", "5"}, {"AT+CMGF=1", "AT+CMGW=\"+15550100\"", "Hi\nthere", "AT"});
    EXPECT_EQ(r.out, "+CMGW: 1\n");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(stored->messages().size(), 1u);
    EXPECT_EQ(stored->messages()[0].text, "Hi\nthere");

    sim_line alone;
    r = run_on(alone, {"-i", "-t", "5"}, {"AT+CMGF=1", "AT+CMGW=\"1\""});
    EXPECT_EQ(alone->received(), "AT+CMGF=1\r\nAT+CMGW=\"1\"\r\n\x1b");
    EXPECT_TRUE(alone->messages().empty());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
}

TEST(Results, FailuresWhileWaitingAreReportedWith255)
{
    // The line drops before a final result code: what came, then the error.
    sim_line dropped({.faults = {.delay_ms = 400, .hangup_after_answer_ms = 50}, .scripts = {{"AT+X", "\r\n+X: 1\r\n"}}});
    tool_result r = run_on(dropped, {"-t", "5"}, {"AT+X", "AT"});
    EXPECT_EQ(r.out, "AT+X\r\r\n+X: 1\r\n\n");
    expect_failure(r, "atquery: " + dropped.path() + ": the port went away\n", 255);

    sim_line full;
    r = run_on(full, {"-t", "5"}, {"AT", "AT"}, {.stdout_to = tool_run::full_out});
    expect_failure(r, "puts error: " + tool_strerror(ENOSPC) + "\n", 255);
    EXPECT_EQ(full->received(), "AT\r\n");
}

TEST(Results, HungUpLineEndsTheWaitAtOnceNamingThePort)
{
    // As when a USB modem is unplugged: the terminal is hung up under the
    // tool, and reads come back empty at once.
    sim_line line({.scripts = {{"AT+X", "\r\n+X: 1\r\n"}}});
    tool_process p = start_reading({"-t", "8", line.path(), "AT+X"}, {"AT+X\r\r", "+X: 1\r"});
    long long start = now_ms();
    if (ioctl(line->terminal_fd(), TIOCVHANGUP) != 0) {
        // It needs CAP_SYS_ADMIN, and qemu-user does not pass it on.
        int failure = errno;
        finish_tool(p, SIGKILL);
        GTEST_SKIP() << "cannot hang up the terminal: " << std::strerror(failure);
    }
    tool_result r = finish_tool(p);
    EXPECT_LT(now_ms() - start, 5000);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "atquery: " + line.path() + ": the port went away\n");
    EXPECT_EQ(r.status, 255);
}

} // namespace
