// The options against the simulated modem: replies read until their final
// result code, several commands, information lines, the message prompt, the
// line speed, the voice sequences and the usage errors.
#include "sim_fixture.h"
#include "syscall_trace.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using args = std::vector<std::string>;

// The tool's arguments: options, then the line's path, then the commands.
tool_result run_on(sim_line& line, args options, args commands, tool_run how = {})
{
    how.args = std::move(options);
    how.args.push_back(line.path());
    how.args.insert(how.args.end(), commands.begin(), commands.end());
    tool_result result = run_tool(how);
    line.stop();
    return result;
}

// A run that failed: its one message and its status.
void expect_failure(const tool_result& r, const std::string& message, int status)
{
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(r.status, status);
}

// Starts a run and checks the first lines of its output as they come.
tool_process start_reading(args words, const args& first_lines)
{
    tool_process p = start_tool({.args = std::move(words)});
    for (const std::string& line : first_lines)
        EXPECT_EQ(read_line(p), line);
    return p;
}

// The line's output speed as the modem's side of the terminal sees it.
speed_t speed_of(sim_line& line)
{
    termios t{};
    return tcgetattr(line->terminal_fd(), &t) == 0 ? cfgetospeed(&t) : B0;
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
    expect_failure(r, "read_reply error: Connection timed out\n", 3);
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

TEST(Results, SeveralCommandsWithoutTimeoutAreEachLikeASingleRun)
{
    sim_line line;
    tool_result r = run_on(line, {}, {"AT", "ATE0", "AT+CPIN?"});
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\nATE0\r\r\nOK\r\n\n\r\n+CPIN: READY\r\n\r\nOK\r\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(line->received(), "AT\r\nATE0\r\nAT+CPIN?\r\n");
}

TEST(Results, InfoPrintsOnlyTheInformationLinesWithAndWithoutTimeout)
{
    // RING is unsolicited: left out like the echo and the result code.
    const std::string answer = "\r\n+X: 1\r\n\r\nRING\r\n\r\n+X: 2\r\n\r\nOK\r\n";
    for (args options : {args{"-i"}, args{"-i", "-t", "5"}}) {
        sim_line line({.scripts = {{"AT+X", answer}, {"AT+Y", "\r\nOK\r\n"}}});
        tool_result r = run_on(line, options, {"AT+X", "AT+Y", "AT+X"});
        EXPECT_EQ(r.out, "+X: 1\n+X: 2\n+X: 1\n+X: 2\n");
        EXPECT_EQ(r.status, 0);
    }

    // A long echo is dropped and a long line printed whole; with echo off, a
    // first line that is only part of the command is information.
    const std::string command = "AT+L=" + std::string(700, '7');
    const std::string long_line = "+L: " + std::string(1500, 'x');
    sim_line line({.scripts = {{command, "\r\n" + long_line + "\r\n\r\nOK\r\n"},
                               {"AT+LONGER", "AT+LONG\r\n+CME ERROR: 3\r\n"}}});
    tool_result r = run_on(line, {"-it", "5"}, {command, "ATE0", "AT+LONGER"});
    EXPECT_EQ(r.out, long_line + "\nAT+LONG\n");
    EXPECT_EQ(r.status, 1);
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

TEST(Results, BaudSetsTheLineSpeedDuringTheExchange)
{
    for (args options : {args{"-b", "9600"}, args{"--baud=9600", "-t", "5"}}) {
        speed_t seen = B0;
        sim_line line({.on_command = [&](const std::string&) { seen = speed_of(line); }});
        tool_result r = run_on(line, options, {"AT"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(seen, speed_t(B9600));
    }
}

TEST(Results, BadOptionsAreUsageErrorsAndOpenNothing)
{
    sim_line line;
    const std::string dev = line.path();
    const std::pair<args, std::string> cases[] = {
        {{"-t", "0", dev, "AT"}, "atquery: bad value for --timeout: '0' (seconds, greater than 0)\n"},
        {{"--timeout=1.", dev, "AT"}, "atquery: bad value for --timeout: '1.' (seconds, greater than 0)\n"},
        {{"-t", "-1", dev, "AT"}, "atquery: bad value for --timeout: '-1' (seconds, greater than 0)\n"},
        {{"-b", "9601", dev, "AT"}, "atquery: bad value for --baud: '9601' (2400, 4800, 9600, 115200 or 460800)\n"},
        {{"-t"}, "atquery: option '-t' needs a value\n"},
        {{"--dial"}, "atquery: option '--dial' needs a value\n"},
        {{"-x", dev, "AT"}, "atquery: unknown option '-x'\n"},
        {{"--bogus", dev, "AT"}, "atquery: unknown option '--bogus'\n"},
        {{"--dial", "123", dev, "AT"}, "atquery: a COMMAND cannot go with --voice-setup or --dial\n"},
        {{"-i", "--voice-setup", dev}, "atquery: --timeout and --info do not go with --voice-setup or --dial\n"},
        {{"-t", "5", dev}, ""},
        {{"-u", "+CUSD:", dev, "AT"}, "atquery: --until needs --timeout\n"},
        {{"-t", "5", "--until=", dev, "AT"}, "atquery: bad value for --until: '' (the start of a line)\n"},
        {{"--info=1", dev, "AT"}, "atquery: option '--info' takes no value\n"},
    };
    for (const auto& [given, message] : cases) {
        tool_result r = run_tool({.args = given});
        EXPECT_EQ(r.err.substr(0, message.size()), message) << given[0];
        EXPECT_EQ(r.err.find("usage: atquery [OPTIONS] DEVICE COMMAND...\n"), message.size()) << given[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 2) << given[0];
    }
    line.stop();
    EXPECT_EQ(line->received(), "");

    tool_result r = run_tool({.args = {"--version"}});
    EXPECT_EQ(r.out.rfind("atquery ", 0), 0u);
    EXPECT_EQ(r.status, 0);
}

TEST(Results, VoiceSequencesRunFromTheCommandLineAtTheGivenSpeed)
{
    speed_t seen = B0;
    sim_line line({.on_command = [&](const std::string&) { seen = speed_of(line); }});
    tool_result r = run_on(line, {"--dial", "5550123", "-b", "4800", "--voice-setup"}, {});
    EXPECT_EQ(line->received(), "AT\r\nAT\r\nAT$NOSLEEP=1\r\nAT+GDT=1\r\nAT$AUPATH=0,1\r\n"
                                "AT$AUGAIN=1,7\r\nAT$AUGAIN=2,9\r\nATD5550123;\r\n");
    EXPECT_EQ(seen, speed_t(B4800));
    // Seven labelled replies, then the dial line without a line end.
    const std::string dial = "\xD5\xFD\xD4\xDA\xB4\xF2\xB5\xE7\xBB\xB0\xB8\xF8:5550123";
    ASSERT_GE(r.out.size(), dial.size());
    EXPECT_EQ(r.out.substr(r.out.size() - dial.size()), dial);
    EXPECT_EQ(r.out.rfind("\xB7\xB5\xBB\xD8\xD0\xC5\xCF\xA2:\nAT\r\r\nOK\r\n\n", 0), 0u);
    EXPECT_EQ(r.status, 0);

    r = run_tool({.args = {"--dial", "1", "/nonexistent/ttyUSB9"}});
    EXPECT_EQ(r.err, "open_port error: No such file or directory\n");
    EXPECT_EQ(r.status, 255);
}

TEST(Results, FailuresWhileWaitingAreReportedWith255)
{
    // The line drops before a final result code: what came, then the error.
    sim_line dropped({.faults = {.delay_ms = 400, .hangup_after_answer_ms = 50}, .scripts = {{"AT+X", "\r\n+X: 1\r\n"}}});
    tool_result r = run_on(dropped, {"-t", "5"}, {"AT+X", "AT"});
    EXPECT_EQ(r.out, "AT+X\r\r\n+X: 1\r\n\n");
    expect_failure(r, "read_reply error: Input/output error\n", 255);

    sim_line full;
    r = run_on(full, {"-t", "5"}, {"AT", "AT"}, {.stdout_to = tool_run::full_out});
    expect_failure(r, "puts error: No space left on device\n", 255);
    EXPECT_EQ(full->received(), "AT\r\n");
}

TEST(Results, HungUpLineEndsTheWaitWithAReadErrorAtOnce)
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
    EXPECT_EQ(r.err, "read_reply error: Input/output error\n");
    EXPECT_EQ(r.status, 255);
}

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
    expect_failure(r, "send_line error: Connection timed out\n", 3);
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

TEST(RealReplies, UssdUnsolicitedLinesAndNumericCodesEndToEnd)
{
    const struct {
        const char* what;
        atsim::faults faults;
        args options;
        args commands;
        std::string out;
        int status;
    } cases[] = {
        // The balance comes 0.3 s after OK, as Huawei E620 and E150 sticks
        // send it (gammu issue 294); ^RSSI: and +CREG: come unasked around it.
        {"USSD answer after OK",
         {.ussd_delay_ms = 300, .urc_lines = {"^RSSI:21", "+CREG: 1"}},
         {"-t", "5", "-i", "-u", "+CUSD:"},
         {"AT+CUSD=1,\"*100#\",15"},
         "+CUSD: 0,\"Balance for *100#: 12.34 EUR, valid until 31.12.2030\",15\n",
         0},
        // The network refuses after OK (gammu issues 326 and 689).
        {"USSD refused after OK", {.ussd_delay_ms = 300, .ussd_fail = true},
         {"-t", "5", "-i", "-u", "+CUSD:"}, {"AT+CMEE=1", "AT+CUSD=1,\"*100#\",15"}, "", 1},
        // A Huawei E1752 sends ^SRVST: before the echo (gammu issue 126).
        {"unsolicited line before the echo, without -t",
         {.urc_before_echo = {"^SRVST:0"}}, {"-i"}, {"AT+CPIN?"}, "+CPIN: READY\n", 0},
        // ATV0: numeric codes end each reply; the error stops the run.
        {"numeric result codes", {}, {"-t", "5", "-i"}, {"ATV0", "AT+CSQ", "AT+NOPE", "AT"},
         "+CSQ: 23,99\n", 1},
    };
    for (const auto& c : cases) {
        sim_line line({.faults = c.faults});
        long long start = now_ms();
        tool_result r = run_on(line, c.options, c.commands);
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        // Each ends at its end, not at the limit.
        EXPECT_LT(now_ms() - start, 3000) << c.what;
    }
}

TEST(RealReplies, ListedMessageEndingInOkIsReadWholeAndShownAsText)
{
    // The simulated modem lists a Siemens MC35i telemetry message whose text
    // ends in a line OK, followed at once by its own OK (pygsm issue 3).
    sim_line line;
    tool_result r = run_on(line, {"-t", "5", "-i"}, {"AT+CMGF=1", "AT+CMGL=\"ALL\""});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Ax=+01234\nOK\n"), std::string::npos) << r.out;
}

} // namespace
