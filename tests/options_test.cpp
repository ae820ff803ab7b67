// The command line against the simulated modem: several commands in one
// run, -i, -b, the voice options, and the usage errors that open nothing.
#include "sim_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <termios.h>

namespace {

// The line's output speed as the modem's side of the terminal sees it.
speed_t speed_of(sim_line& line)
{
    termios t{};
    return tcgetattr(line->terminal_fd(), &t) == 0 ? cfgetospeed(&t) : B0;
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
    EXPECT_EQ(r.err, "open_port error: " + tool_strerror(ENOENT) + "\n");
    EXPECT_EQ(r.status, 255);
}

} // namespace
