// The simulator's own tests, not the tool's: they check that the simulated
// modem the other tests stand on behaves as a 3GPP modem does and keeps its
// state between runs of atquery, and that the atquery-sim program around it
// takes its options. Suites SimulatedModem and SimProgram.
#include "sim/modem.h"
#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// Adds to `got` what the terminal `fd` receives for `ms` milliseconds, until
// `done(got)` or the line hangs up.
std::string collect_until(int fd, int ms, const std::function<bool(const std::string&)>& done,
                          std::string got = "")
{
    long long deadline = now_ms() + ms;
    pollfd p = {fd, POLLIN, 0};
    while (!done(got)) {
        long long left = deadline - now_ms();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// The same until it holds `enough` bytes or ends with one of `endings`.
std::string collect(int fd, int ms, size_t enough = SIZE_MAX,
                    const std::vector<std::string>& endings = {}, std::string got = "")
{
    return collect_until(fd, ms, [&](const std::string& text) {
        return text.size() >= enough ||
               std::any_of(endings.begin(), endings.end(),
                           [&](const std::string& ending) { return text.ends_with(ending); });
    }, std::move(got));
}

void send(int fd, const std::string& text)
{
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

TEST(SimulatedModem, AnswersLikeA3gppModemWithVerboseResultCodes)
{
    sim_line modem;
    const int fd = modem->terminal_fd();
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n";
    const std::string line = "\r\n[^\r\n]+\r\n"; // one information line, framed
    const std::pair<const char*, std::string> cases[] = {
        {"AT\r", "AT\r" + ok}, // echo is on at first; CR alone ends a line
        {"ATE0\r\n", "ATE0\r" + ok},
        {"at\r\n", ok},
        {"ATI\r\n", "\r\n([^\r\n]+\r\n){2,}" + ok}, // lines of one block
        {"AT+CGMI\r\n", line + ok},
        {"AT+CGMM\r\n", line + ok},
        {"AT+CGMR\r\n", line + ok},
        {"AT+CGSN\r\n", "\r\n[0-9]{15}\r\n" + ok},
        {"AT+CSQ\r\n", "\r\n\\+CSQ: [0-9]+,[0-9]+\r\n" + ok},
        {"AT+CPIN?\r\n", "\r\n\\+CPIN: READY\r\n" + ok},
        {"AT+COPS?\r\n", "\r\n\\+COPS: [^\r\n]+\r\n" + ok},
        {"ATD+15550100;\r\n", ok},
        {"ATH\r\n", ok},
        {"AT$NOSLEEP=1\r\n", ok},
        {"AT+GDT=1\r\n", ok},
        {"AT$AUPATH=0,1\r\n", ok},
        {"AT$AUGAIN=1,7\r\n", ok},
        {"AT$AUGAIN=2,9\r\n", ok},
        {"AT+BOGUS\r\n", error},
        {"ATD5550100\r\n", error}, // a data call
        {"ATD;\r\n", error},
        {"AT$AUGAIN=1\r\n", error},
        {"AT+GDT=\r\n", error},
        {"HELLO\r\n", error},
        {"ATE1\r\n", ok},
        {"AT\r\n", "AT\r" + ok},
    };
    for (const auto& [sent, pattern] : cases) {
        send(fd, sent);
        std::string reply = collect(fd, 2000, SIZE_MAX, {ok, error});
        EXPECT_TRUE(std::regex_match(reply, std::regex(pattern)))
            << "sent " << testing::PrintToString(std::string(sent)) << " got "
            << testing::PrintToString(reply);
    }
}

TEST(SimulatedModem, ANetworkSearchAndABusyCallAnswerLateThoughTheEchoComesAtOnce)
{
    sim_line line;
    const int fd = line->terminal_fd();
    const struct {
        std::string sent;
        int late_ms;
        std::string answer; // a pattern
    } cases[] = {
        // The command after it waits its turn.
        {"AT+COPS=?\rAT\r", 2000,
         "\r\n\\+COPS: (\\([0-4],(\"[^\"]+\",){3}[0-9]\\),)+,\\(0-4\\),\\(0-2\\)\r\n\r\nOK\r\n"
         "\r\nOK\r\n"},
        {"ATD+15550109;\r", 1000, "\r\nBUSY\r\n"},
    };
    for (const auto& [sent, late_ms, answer] : cases) {
        send(fd, sent);
        std::string early = collect(fd, late_ms - 300);
        EXPECT_EQ(early, sent);
        const std::regex whole("[^\n]+\r" + answer);
        std::string all = collect_until(
            fd, 3000, [&](const std::string& got) { return std::regex_match(got, whole); }, early);
        EXPECT_TRUE(std::regex_match(all, whole)) << testing::PrintToString(all);
    }
}

// Sends `command` and returns what comes back up to a final result code or
// the prompt for a message's text (or within 3 s).
std::string exchange(int fd, const std::string& command)
{
    send(fd, command);
    static const std::regex end("\r\n(OK|ERROR|BUSY|\\+CM[ES] ERROR: [^\r\n]+)\r\n$|\r\n> $");
    return collect_until(fd, 3000,
                         [](const std::string& got) { return std::regex_search(got, end); });
}

TEST(SimulatedModem, CmeeTurnsRefusalsIntoNumberedOrWordedErrorsButLeavesUnknownCommandsPlain)
{
    sim_line line;
    const int fd = line->terminal_fd();
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n";
    exchange(fd, "ATE0\r");
    const std::pair<const char*, std::string> cases[] = {
        {"AT+CMEE?\r", "\r\n+CMEE: 0\r\n" + ok},
        {"AT+CPIN=\"0000\"\r", error}, // no PIN is wanted
        {"AT+CMEE=1\r", ok},
        {"AT+CPIN=\"0000\"\r", "\r\n+CME ERROR: 3\r\n"},
        {"AT+BOGUS\r", error},
        {"AT+CMEE=2\r", ok},
        {"AT+CPIN=\"0000\"\r", "\r\n+CME ERROR: operation not allowed\r\n"},
        {"AT+CMEE=3\r", error},
        {"AT+CMEE?\r", "\r\n+CMEE: 2\r\n" + ok},
    };
    for (const auto& [sent, answer] : cases)
        EXPECT_EQ(exchange(fd, sent), answer) << sent;
}

TEST(SimulatedModem, TextModeTakesAMessageUpToCtrlZWithLineBreaksAndDropsItAtEsc)
{
    sim_line line;
    const int fd = line->terminal_fd();
    const std::string ok = "\r\nOK\r\n", prompt = "\r\n> ";
    const std::pair<std::string, std::string> cases[] = {
        {"AT+CMGS=\"+15550100\"\r", "AT+CMGS=\"+15550100\"\r\r\n+CMS ERROR: 302\r\n"}, // PDU mode
        {"AT+CMGF=1\r", "AT+CMGF=1\r" + ok},
        {"AT+CMGF?\r", "AT+CMGF?\r\r\n+CMGF: 1\r\n" + ok},
        // The LF after the command is not part of the text, a CR in it is.
        {"AT+CMGS=\"+15550100\"\r\n", "AT+CMGS=\"+15550100\"\r" + prompt},
        {"Hello\r", "Hello\r" + prompt},
        {"AT\n\x1a", "AT\n\r\n+CMGS: 1\r\n" + ok},
        {"AT+CMGW=\"+15550101\"\r", "AT+CMGW=\"+15550101\"\r" + prompt},
        {"draft\x1b", "draft" + ok},
        {"ATE0\r", "ATE0\r" + ok},
        {"AT+CMGW=\"+15550101\",145\r", prompt},
        {"kept\x1a", "\r\n+CMGW: 1\r\n" + ok},
        {"AT+CMGS=\"+15550102\"\r", prompt},
        {"again\x1a", "\r\n+CMGS: 2\r\n" + ok},
    };
    for (const auto& [sent, answer] : cases)
        EXPECT_EQ(exchange(fd, sent), answer) << testing::PrintToString(sent);
    const std::vector<atsim::message> taken = {
        {true, "+15550100", "Hello\rAT\n"},
        {false, "+15550101", "kept"},
        {true, "+15550102", "again"},
    };
    EXPECT_EQ(line->messages(), taken);
}

TEST(SimulatedModem, AtvZeroFramesResultCodesAsNumbersAndInformationTextWithoutAHeader)
{
    sim_line line;
    const int fd = line->terminal_fd();
    const std::pair<const char*, std::string> cases[] = {
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"ATV0\r", "0\r"},
        // As a Qualcomm modem in V0 answers AT+CREG? with "+CREG: 1,1\r\n0\r"
        // (HTC RIL log, pastebin.com/index/1Vv68HMs).
        {"AT+CSQ\r", "+CSQ: 23,99\r\n0\r"},
        {"AT+BOGUS\r", "4\r"},
        {"ATD+15550109;\r", "7\r"},
        {"AT+CMEE=2\r", "0\r"},
        {"AT+CPIN=\"0000\"\r", "+CME ERROR: operation not allowed\r\n"},
        {"ATV1\r", "\r\nOK\r\n"},
        {"AT+CSQ\r", "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"},
    };
    for (const auto& [sent, answer] : cases) {
        send(fd, sent);
        EXPECT_EQ(collect(fd, 3000, answer.size()), answer) << sent;
    }
}

TEST(SimulatedModem, ListsStoredMessagesInTextModeAndReadsPhonebookRanges)
{
    sim_line line;
    const int fd = line->terminal_fd();
    const std::string ok = "\r\nOK\r\n", error = "\r\nERROR\r\n";
    // A telemetry unit's message whose last line is "OK", as a Siemens MC35i
    // listed it (github.com/adammck/pygsm issue 3).
    const std::string received =
        "\r\n+CMGL: 0,\"REC READ\",\"+15550199\",,\"10/06/12,09:30:05+08\"\r\n"
        "INSYS GSM 4.X:\nBLOCK:\n\n100:\nAx=+01234\n\nOK";
    const std::string stored = "\r\n+CMGL: 1,\"STO UNSENT\",\"+15550101\",,\r\nkept";
    exchange(fd, "ATE0\r");
    const std::pair<std::string, std::string> cases[] = {
        {"AT+CMGL=\"ALL\"\r", "\r\n+CMS ERROR: 302\r\n"}, // PDU mode
        {"AT+CMGF=1\r", ok},
        {"AT+CMGL=\"ALL\"\r", received + "\r\n" + ok},
        {"AT+CMGW=\"+15550101\"\r", "\r\n> "},
        {"kept\x1a", "\r\n+CMGW: 1\r\n" + ok},
        {"AT+CMGL=\"ALL\"\r", received + stored + "\r\n" + ok},
        {"AT+CMGL=\"STO UNSENT\"\r", stored + "\r\n" + ok},
        {"AT+CMGL\r", ok}, // the unread ones
        {"AT+CMGL=\"NEW\"\r", error},
        {"AT+CPBR=1999,2000\r", "\r\n+CPBR: 1999,\"5550001999\",129,\"Contact 1999\"\r\n"
                               "+CPBR: 2000,\"5550002000\",129,\"Contact 2000\"\r\n" + ok},
        {"AT+CPBR=2001\r", error},
        {"AT+CPBR=2,1\r", error},
        {"AT+CPBR=0\r", error},
    };
    for (const auto& [sent, answer] : cases)
        EXPECT_EQ(exchange(fd, sent), answer) << testing::PrintToString(sent);

    // The whole phonebook: a listing of about 88 KB for long replies.
    send(fd, "AT+CPBR=1,2000\r");
    std::string all = collect(fd, 10000, SIZE_MAX, {"\r\n" + ok});
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 1 + 2000 + 2) << all.size();
    EXPECT_TRUE(all.starts_with("\r\n+CPBR: 1,\"5550000001\",129,\"Contact 1\"\r\n"))
        << all.substr(0, 80);
    EXPECT_TRUE(all.ends_with(",\"Contact 2000\"\r\n" + ok));
    EXPECT_GT(all.size(), 70u * 1024);
}

TEST(SimulatedModem, UssdIsAnsweredOkAtOnceAndByTheNetworkLaterUnlessCancelled)
{
    // OK first, the network's answer later as an unsolicited +CUSD (a Huawei
    // E150, gammu issue 294), or a failure as +CME ERROR after the OK (gammu
    // issue 326).
    const struct {
        bool fails;
        const char* cmee;
        std::string sent;
        std::string at_once;
        std::string later;
    } rows[] = {
        {false, "AT+CMEE=0\r", "AT+CUSD=1,\"*100#\",15\r", "\r\nOK\r\n",
         "\r\n+CUSD: 0,\"Balance for *100#: 12.34 EUR, valid until 31.12.2030\",15\r\n"},
        {false, "AT+CMEE=0\r", "AT+CUSD=1,\"*100#\"\rAT+CUSD=2\r", "\r\nOK\r\n\r\nOK\r\n", ""},
        {true, "AT+CMEE=0\r", "AT+CUSD=1,\"*100#\",15\r", "\r\nOK\r\n", "\r\nERROR\r\n"},
        {true, "AT+CMEE=1\r", "AT+CUSD=1,\"*100#\",15\r", "\r\nOK\r\n", "\r\n+CME ERROR: 258\r\n"},
        {true, "AT+CMEE=2\r", "AT+CUSD=1,\"*100#\",15\r", "\r\nOK\r\n",
         "\r\n+CME ERROR: retry operation\r\n"},
    };
    for (const auto& row : rows) {
        sim_line line({.faults = {.ussd_delay_ms = 500, .ussd_fail = row.fails}});
        const int fd = line->terminal_fd();
        exchange(fd, "ATE0\r");
        exchange(fd, row.cmee);
        send(fd, row.sent);
        EXPECT_EQ(collect(fd, 250), row.at_once) << row.sent;
        EXPECT_EQ(collect(fd, 1000, row.later.size() + (row.later.empty() ? 1 : 0)), row.later)
            << row.sent << row.cmee;
    }
}

TEST(SimulatedModem, ChosenUnsolicitedLinesFollowResultsPrecedeEchoesOrComeOnTime)
{
    const struct {
        atsim::faults faults;
        std::vector<std::string> sent;
        std::string got;
    } rows[] = {
        {{.urc_lines = {"^RSSI:7", "+CREG: 1"}}, {"AT\r", "AT\r", "AT\r"},
         "AT\r\r\nOK\r\n\r\n^RSSI:7\r\nAT\r\r\nOK\r\n\r\n+CREG: 1\r\n"
         "AT\r\r\nOK\r\n\r\n^RSSI:7\r\n"},
        // As a Huawei E1752 lets "^SRVST:0" out before the echo (gammu issue 126).
        {{.urc_before_echo = {"^SRVST:0"}}, {"AT+CPIN?\r"},
         "\r\n^SRVST:0\r\nAT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {{.urc_before_echo = {"RDY"}}, {"ATV0\r", "AT\r"}, "\r\nRDY\r\nATV0\r0\rRDY\r\nAT\r0\r"},
        {{.urc_every_ms = 100, .urc_lines = {"RDY", "+QIND: SMS DONE"}}, {},
         "\r\nRDY\r\n\r\n+QIND: SMS DONE\r\n\r\nRDY\r\n"},
    };
    for (const auto& row : rows) {
        sim_line line({.faults = row.faults});
        std::string got;
        for (const std::string& sent : row.sent) {
            send(line->terminal_fd(), sent);
            got = collect(line->terminal_fd(), 2000, got.size() + sent.size() + 6, {}, got);
        }
        EXPECT_EQ(collect(line->terminal_fd(), 2000, row.got.size(), {}, got), row.got);
    }
}

TEST(SimulatedModem, UnsolicitedLinesComeBetweenTheLinesOfAnAnswerSentInPieces)
{
    // The answer to ATI (5 lines) takes 12 pieces over 550 ms; a RING falls
    // due every 120 ms.
    sim_line line({.faults = {.pieces = 12, .gap_ms = 50, .urc_every_ms = 120}});
    const std::string ring = "\r\nRING\r\n", echo = "ATI\r";
    send(line->terminal_fd(), echo);
    std::string got = collect_until(line->terminal_fd(), 5000, [](const std::string& text) {
        return text.find("\r\nOK\r\n") != std::string::npos;
    });

    std::string answer = got;
    int inside = 0;
    for (size_t at; (at = answer.find(ring)) != std::string::npos;) {
        // In the answer, only after a whole line.
        if (at > echo.size()) {
            EXPECT_EQ(answer[at - 1], '\n') << testing::PrintToString(got);
            inside += answer.find("\r\nOK\r\n") > at;
        }
        answer.erase(at, ring.size());
    }
    EXPECT_TRUE(answer.starts_with(echo + "\r\nManufacturer: atquery\r\n") &&
                answer.ends_with("\r\n+GCAP: +CGSM\r\n\r\nOK\r\n"))
        << testing::PrintToString(got);
    EXPECT_GE(inside, 2) << testing::PrintToString(got);
}

TEST(SimulatedModem, HeldOutputBlocksAWriterOnTheTerminalUntilReleased)
{
    sim_line line({.faults = {.hold_after_bytes = 1}});
    int fd = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    send(fd, "A");
    ASSERT_EQ(collect(fd, 2000, 1), "A"); // echoed once held

    int done[2];
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    std::thread writer([&] {
        EXPECT_EQ(write(fd, "T\r", 2), 2);
        EXPECT_EQ(write(done[1], "w", 1), 1);
    });
    pollfd p = {done[0], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 300), 0) << "the write went through";
    EXPECT_EQ(line->received(), "A");
    line->release();
    EXPECT_EQ(poll(&p, 1, 3000), 1) << "the write is still held";
    tcflow(line->terminal_fd(), TCOON); // lets a failed test end
    writer.join();
    EXPECT_EQ(collect(fd, 2000, SIZE_MAX, {"OK\r\n"}), "T\r\r\nOK\r\n");
    for (int d : {fd, done[0], done[1]})
        close(d);
}

TEST(SimulatedModem, EchoAndItsSwitchLastBetweenRunsOfTheTool)
{
    sim_line line;
    tool_result first = run_tool({.args = {line.path(), "ATE0"}});
    tool_result second = run_tool({.args = {line.path(), "AT"}});
    EXPECT_EQ(first.out, "ATE0\r\r\nOK\r\n\n");
    EXPECT_EQ(second.out, "\r\nOK\r\n\n");
    EXPECT_EQ(second.status, 0);
}

// A scratch directory for links, removed with what is left in it.
class SimProgram : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(dir_), nullptr); }
    void TearDown() override
    {
        unlink(link_.c_str());
        rmdir(dir_);
    }

    tool_process start(std::vector<std::string> options)
    {
        return start_tool({.args = std::move(options), .program = sim_command()});
    }

    // Where --link points in these tests.
    std::string link() { return link_ = std::string(dir_) + "/modem"; }

    char dir_[32] = "/tmp/atquery-sim-test-XXXXXX";
    std::string link_;
};

std::string link_target(const std::string& link)
{
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST_F(SimProgram, PrintsATerminalPathAndKeepsALinkToItUntilSigterm)
{
    tool_process sim = start({"--link", link()});
    std::string path = read_line(sim);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_TRUE(fd >= 0 && isatty(fd)) << path;
    close(fd);
    EXPECT_EQ(link_target(link_), path);

    tool_result r = run_tool({.args = {link_, "AT+CSQ"}});
    EXPECT_TRUE(std::regex_match(r.out, std::regex("AT\\+CSQ\r\r\n\\+CSQ: [0-9]+,[0-9]+\r\n\r\nOK\r\n\n")))
        << testing::PrintToString(r.out);

    tool_result end = finish_tool(sim, SIGTERM);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.err, "");
    EXPECT_FALSE(exists(link_));
}

TEST_F(SimProgram, ReplacesAStaleLinkButRefusesAnyOtherFile)
{
    ASSERT_EQ(symlink("/dev/pts/gone", link().c_str()), 0);
    tool_process sim = start({"--link", link_});
    std::string path = read_line(sim);
    EXPECT_EQ(link_target(link_), path);
    tool_result end = finish_tool(sim, SIGINT);
    EXPECT_EQ(end.status, 0);
    EXPECT_FALSE(exists(link_));

    int fd = open(link_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    send(fd, "mine");
    close(fd);
    tool_result refused = run_tool({.args = {"--link", link_}, .program = sim_command()});
    EXPECT_NE(refused.status, 0);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("not a symbolic link"), std::string::npos) << refused.err;
    fd = open(link_.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(collect(fd, 1000), "mine");
    close(fd);
}

TEST_F(SimProgram, FaultOptionsReachTheModem)
{
    struct row {
        std::vector<std::string> options;
        std::string early;  // within 200 ms of sending
        std::string all;    // within 1.2 s
        std::string sent = "AT\r";
    };
    const std::string answer = "AT\r\r\nOK\r\n";
    const row rows[] = {
        {{"--silent"}, "", ""},
        {{"--zero-byte"}, std::string("AT\r\r\nO\0K\r\n", 10), std::string("AT\r\r\nO\0K\r\n", 10)},
        {{"--delay", "600"}, "AT\r", answer},
        {{"--pieces", "2", "--gap", "600"}, "AT\r\r\nO", answer},
        {{"--urc", "^RSSI:7"}, answer + "\r\n^RSSI:7\r\n", answer + "\r\n^RSSI:7\r\n"},
        {{"--urc-before-echo", "+CREG: 1"}, "\r\n+CREG: 1\r\n" + answer,
         "\r\n+CREG: 1\r\n" + answer},
        {{"--ussd-fail", "--ussd-delay", "600"}, "AT+CUSD=1,\"*1#\"\r\r\nOK\r\n",
         "AT+CUSD=1,\"*1#\"\r\r\nOK\r\n\r\nERROR\r\n", "AT+CUSD=1,\"*1#\"\r"},
    };
    for (const row& r : rows) {
        tool_process sim = start(r.options);
        int fd = open(read_line(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        send(fd, r.sent);
        std::string early = collect(fd, 200);
        std::string all = collect(fd, 1000, r.all.size(), {}, early);
        EXPECT_EQ(early, r.early) << r.options[0];
        EXPECT_EQ(all, r.all) << r.options[0];
        close(fd);
        EXPECT_EQ(finish_tool(sim, SIGTERM).status, 0);
    }

    tool_process sim = start({"--endless"});
    int fd = open(read_line(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    send(fd, "AT\r");
    EXPECT_GE(collect(fd, 3000, 20000).size(), 20000u);
    close(fd);
    EXPECT_EQ(finish_tool(sim, SIGTERM).status, 0);

    // Once the line is hung up the terminal is gone: the program exits by
    // itself and takes its link away.
    for (const char* option : {"--hangup-after-bytes", "--hangup-after-answer"}) {
        sim = start({option, "1", "--link", link()});
        fd = open(read_line(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        send(fd, "AT\r");
        collect(fd, 3000);
        close(fd);
        tool_result end = finish_tool(sim);
        EXPECT_EQ(end.status, 0) << option;
        EXPECT_NE(end.err.find("hung up"), std::string::npos) << end.err;
        EXPECT_FALSE(exists(link_)) << option;
    }
}

TEST_F(SimProgram, SendsRingsAndHoldsItsOutputUntilSigusr1AsAsked)
{
    tool_process sim = start({"--urc-every", "100"});
    int fd = open(read_line(sim).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(collect(fd, 2000, 16), "\r\nRING\r\n\r\nRING\r\n");
    close(fd);
    EXPECT_EQ(finish_tool(sim, SIGTERM).status, 0);

    sim = start({"--hold-after-bytes", "1"});
    fd = open(read_line(sim).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    send(fd, "A");
    EXPECT_EQ(collect(fd, 2000, 1), "A");
    EXPECT_EQ(write(fd, "T", 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    kill(sim.pid, SIGUSR1);
    pollfd p = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&p, 1, 3000), 1);
    send(fd, "T\r");
    EXPECT_EQ(collect(fd, 2000, SIZE_MAX, {"OK\r\n"}), "T\r\r\nOK\r\n");
    close(fd);
    EXPECT_EQ(finish_tool(sim, SIGTERM).status, 0);
}

TEST_F(SimProgram, BadArgumentsAreUsageErrorsAndHelpNamesEveryOption)
{
    const std::vector<std::string> bad[] = {
        {"--delay", "abc"}, {"--delay", "-1"}, {"--gap", "5x"}, {"--pieces", "0"},
        {"--hangup-after-bytes", ""}, {"--hangup-after-answer", "99999999999"},
        {"--delay"}, {"--no-such-option"}, {"extra"}, {"--urc-every", "0"},
        {"--hold-after-bytes", "1k"}, {"--urc", ""}, {"--urc-before-echo", "A\r\nB"},
        {"--ussd-delay", "soon"},
    };
    for (const std::vector<std::string>& args : bad) {
        tool_result r = run_tool({.args = args, .program = sim_command()});
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find("usage: atquery-sim"), std::string::npos) << r.err;
    }
    tool_result help = run_tool({.args = {"--help"}, .program = sim_command()});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--link", "--silent", "--zero-byte", "--endless", "--delay",
                               "--pieces", "--gap", "--hangup-after-bytes",
                               "--hangup-after-answer", "--urc-every", "--hold-after-bytes",
                               "--urc", "--urc-before-echo", "--ussd-delay", "--ussd-fail"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

} // namespace
