// Runs sharing one port take turns under its lock, and a run ended by a
// signal still puts the port's settings back.
#include "sim_fixture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// Settings no run would choose, so that any run's raw mode left behind, or
// recorded and restored in their place, shows.
termios set_distinctive(int fd)
{
    termios odd{};
    tcgetattr(fd, &odd);
    odd.c_iflag = ICRNL | IXON | IGNBRK;
    odd.c_oflag = OPOST | ONLCR;
    odd.c_cflag = CS7 | PARENB | CSTOPB | HUPCL | CREAD;
    odd.c_lflag = ICANON | ISIG | IEXTEN;
    odd.c_cc[VMIN] = 4;
    odd.c_cc[VTIME] = 9;
    cfsetispeed(&odd, B4800);
    cfsetospeed(&odd, B4800);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &odd), 0);
    tcgetattr(fd, &odd);
    return odd;
}

// Every field of the settings, readable in a failure message.
std::string describe(const termios& t)
{
    std::ostringstream text;
    text << std::hex << "i=" << t.c_iflag << " o=" << t.c_oflag << " c=" << t.c_cflag
         << " l=" << t.c_lflag << " line=" << int(t.c_line) << " speed=" << cfgetispeed(&t) << "/"
         << cfgetospeed(&t) << " cc=";
    for (cc_t c : t.c_cc)
        text << int(c) << ",";
    return text.str();
}

std::string describe(int fd)
{
    termios t{};
    tcgetattr(fd, &t);
    return describe(t);
}

// Polls until done() or 20 s have passed; false on time-out.
template <typename F> bool wait_until(F done)
{
    for (long long deadline = now_ms() + 20000; now_ms() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (done())
            return true;
    return false;
}

// Whether process pid has path open on more than `inherited` descriptors.
bool has_open(int pid, const std::string& path, int inherited = 0)
{
    std::error_code error;
    int opens = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        opens += std::filesystem::read_symlink(fd.path(), error) == path;
    return opens > inherited;
}

// Whether process pid sleeps with the port open (beyond the descriptors it
// inherited on it): a run waiting for the lock.
bool waits_for_lock(int pid, const std::string& path, int inherited = 0)
{
    if (!has_open(pid, path, inherited))
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t name_end = text.rfind(')');
    return name_end != std::string::npos && text.compare(name_end, 3, ") S") == 0;
}

struct exchange {
    std::string command;
    std::string answer;
};

const std::vector<exchange> four_exchanges = {
    {"AT+CSQ", "\r\n+CSQ: 21,99\r\n\r\nOK\r\n"},
    {"ATI", "\r\nModel: shared\r\n\r\nOK\r\n"},
    {"AT+CGMI", "\r\nmaker\r\n\r\nOK\r\n"},
    {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
};

TEST(SharedPort, RunsStartedTogetherTakeTurnsAndLeaveThePortAsItWas)
{
    sim_setup setup;
    for (const exchange& e : four_exchanges)
        setup.scripts.emplace_back(e.command, e.answer);
    sim_line line(std::move(setup));
    const std::string before = describe(set_distinctive(line->terminal_fd()));

    // Two rounds at each offset between one start and the next.
    size_t seen = 0;
    for (int offset_ms : {0, 1, 2, 5, 20, 50, 100, 200, 300, 400}) {
        for (int round = 0; round < 2; ++round) {
            std::vector<tool_process> runs;
            for (const exchange& e : four_exchanges) {
                if (!runs.empty())
                    std::this_thread::sleep_for(std::chrono::milliseconds(offset_ms));
                runs.push_back(start_tool({.args = {line.path(), e.command}}));
            }
            for (size_t i = 0; i < runs.size(); ++i) {
                tool_result r = finish_tool(runs[i]);
                const exchange& e = four_exchanges[i];
                EXPECT_EQ(r.status, 0) << offset_ms << " ms: " << e.command << ": " << r.err;
                EXPECT_EQ(r.out, e.command + "\r" + e.answer + "\n") << offset_ms << " ms";
            }
            // Each command line arrived whole, in whatever order.
            std::string received = line->received().substr(seen);
            seen += received.size();
            std::vector<std::string> lines, expected;
            for (size_t end; (end = received.find("\r\n")) != std::string::npos;
                 received.erase(0, end + 2))
                lines.push_back(received.substr(0, end));
            for (const exchange& e : four_exchanges)
                expected.push_back(e.command);
            std::sort(lines.begin(), lines.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(lines, expected) << offset_ms << " ms";
            EXPECT_EQ(received, "") << offset_ms << " ms";
            EXPECT_EQ(describe(line->terminal_fd()), before) << offset_ms << " ms";
        }
    }
}

TEST(SharedPort, AHeldPortIsReportedWithStatus4AfterTheWaitAndNothingChanged)
{
    sim_line line;
    const std::string before = describe(set_distinctive(line->terminal_fd()));
    int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    // The holder named as /proc shows this process.
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(getpid()) + "/comm"), name);
    const std::string busy = "atquery: " + line.path() + " is in use by " + name + " (process " +
                             std::to_string(getpid()) + ")\n";

    long long start = now_ms();
    tool_result r = run_tool({.args = {"-w", "0", line.path(), "AT"}});
    long long no_wait_ms = now_ms() - start;
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, busy);
    EXPECT_EQ(r.out, "");
    EXPECT_LT(no_wait_ms, 1000);

    start = now_ms();
    r = run_tool({.args = {"--wait", "1", line.path(), "AT"}});
    long long one_second_ms = now_ms() - start;
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, busy);
    EXPECT_GE(one_second_ms, 1000);
    EXPECT_LT(one_second_ms, no_wait_ms + 2000);
    // The voice sequences take the same lock.
    r = run_tool({.args = {"-w", "0", "--dial", "123", line.path()}});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, busy);
    EXPECT_EQ(line->received(), "");
    EXPECT_EQ(describe(line->terminal_fd()), before);

    // Without the lock nothing waits (the default wait would end in status 4).
    r = run_tool({.args = {"--no-lock", line.path(), "AT"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
    close(holder);
}

TEST(SharedPort, ARunWaitingForTheLockGoesOnOnceItIsReleased)
{
    sim_line line;
    int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    tool_process run = start_tool({.args = {"-w", "30", line.path(), "ATI"}});
    // With the device open, it can go no further than the lock.
    EXPECT_TRUE(wait_until([&] { return has_open(run.pid, line.path()); }));
    EXPECT_EQ(line->received(), "");
    close(holder);
    tool_result r = finish_tool(run);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(line->received(), "ATI\r\n");
}

TEST(SharedPort, ALockTheCallerHoldsThroughFlockIsUsedNotWaitedFor)
{
    sim_line line;
    // -w 0: a lock not recognised as the caller's would give status 4 at once.
    tool_result r = run_tool({.args = {"-w", "0", line.path(), "AT"}, .prefix = {"flock", line.path()}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "AT\r\r\nOK\r\n\n");
}

TEST(SharedPort, ADescriptorTheCallerPassesOnKeepsItsLockAsItWas)
{
    // The caller keeps the port open (for a background reader, say) and the
    // run inherits that descriptor: without a lock, while another holder lets
    // go during the wait; or with a shared lock, which is not the run's.
    struct {
        int callers_lock;
        const char* wait;
        int status;
    } cases[] = {{LOCK_UN, "30", 0}, {LOCK_SH, "0", 4}};
    for (const auto& c : cases) {
        sim_line line;
        int callers = open(line.path().c_str(), O_RDWR | O_NOCTTY);
        int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (c.callers_lock == LOCK_UN)
            ASSERT_EQ(flock(holder, LOCK_EX), 0);
        else
            ASSERT_EQ(flock(callers, c.callers_lock), 0);
        tool_process run = start_tool({.args = {"-w", c.wait, line.path(), "AT"}});
        if (c.callers_lock == LOCK_UN) {
            EXPECT_TRUE(wait_until([&] { return waits_for_lock(run.pid, line.path(), 1); }));
            flock(holder, LOCK_UN);
        }
        tool_result r = finish_tool(run);
        EXPECT_EQ(r.status, c.status) << r.err;
        // With the caller's descriptor still open: no exclusive lock left
        // behind, and the caller's shared one still there.
        int next = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_EQ(flock(next, LOCK_SH | LOCK_NB), 0);
        EXPECT_EQ(flock(next, LOCK_EX | LOCK_NB) == 0, c.callers_lock == LOCK_UN);
        close(next);
        close(holder);
        close(callers);
    }
}

TEST(SharedPort, RunsWaitingForTheLockGetItInTheOrderTheyCame)
{
    sim_setup setup;
    for (const exchange& e : four_exchanges)
        setup.scripts.emplace_back(e.command, e.answer);
    sim_line line(std::move(setup));
    for (int round = 0; round < 2; ++round) {
        const size_t seen = line->received().size();
        int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_EQ(flock(holder, LOCK_EX), 0);
        // Each run starts once the one before it waits.
        std::vector<tool_process> runs;
        std::string in_order;
        for (const exchange& e : four_exchanges) {
            runs.push_back(start_tool({.args = {"-w", "20", line.path(), e.command}}));
            EXPECT_TRUE(wait_until([&] { return waits_for_lock(runs.back().pid, line.path()); }));
            in_order += e.command + "\r\n";
        }
        close(holder);
        for (tool_process& run : runs) {
            tool_result r = finish_tool(run);
            EXPECT_EQ(r.status, 0) << r.err;
        }
        EXPECT_EQ(line->received().substr(seen), in_order) << "round " << round;
    }
}

TEST(SharedPort, SigtermEndsARunWaitingForTheLockAndTheLineIsUntouched)
{
    sim_line line;
    const std::string before = describe(set_distinctive(line->terminal_fd()));
    int holder = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    tool_process run = start_tool({.args = {"-w", "30", line.path(), "AT"}});
    EXPECT_TRUE(wait_until([&] { return waits_for_lock(run.pid, line.path()); }));
    tool_result r = finish_tool(run, SIGTERM);
    EXPECT_EQ(r.signal, SIGTERM) << "status " << r.status << " " << r.err;
    EXPECT_LT(r.wall_ms, 10000);
    EXPECT_EQ(line->received(), "");
    EXPECT_EQ(describe(line->terminal_fd()), before);
    close(holder);
}

enum class phase { pacing, pause, reading };

// Ends a run by sig in the given phase of its exchange and checks how.
void end_run_by(int sig, phase when)
{
    std::atomic<int> pid{-1};
    std::atomic<bool> command_done{false};
    sim_setup setup{.faults = {.pieces = 20, .gap_ms = 40}};
    setup.scripts = {{"AT+SLOW", std::string(100, 'r')}};
    setup.on_command = [&](const std::string&) {
        command_done = true;
        if (when == phase::pause && pid > 0)
            kill(pid, sig);
    };
    sim_line line(std::move(setup));
    const std::string before = describe(set_distinctive(line->terminal_fd()));

    std::string command = when == phase::pacing ? "AT+" + std::string(2000, 'x') : "AT+SLOW";
    tool_process run = start_tool({.args = {line.path(), command}});
    pid = run.pid;
    if (when == phase::pacing) {
        EXPECT_TRUE(wait_until([&] { return line->received().size() >= 20; }));
        kill(run.pid, sig);
    } else if (when == phase::reading) {
        // The echo waits in the input queue until the tool starts reading.
        bool echo_waits = false;
        EXPECT_TRUE(wait_until([&] {
            int queued = 0;
            if (!command_done || ioctl(line->terminal_fd(), FIONREAD, &queued) != 0)
                return false;
            echo_waits = echo_waits || queued > 0;
            return echo_waits && queued == 0;
        }));
        kill(run.pid, sig);
    }
    tool_result r = finish_tool(run);
    line.stop();

    const char* name = strsignal(sig);
    EXPECT_EQ(r.signal, sig) << name << " " << int(when) << ": status " << r.status << " " << r.err;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(describe(line->terminal_fd()), before) << name << " " << int(when);
    if (when == phase::pacing) {
        EXPECT_EQ(line->received().find('\r'), std::string::npos) << name;
    }
}

TEST(Signals, EachSignalInEachPhasePutsTheSettingsBackAndEndsTheRunByIt)
{
    // SIGQUIT would leave a core file behind.
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        for (phase when : {phase::pacing, phase::pause, phase::reading})
            end_run_by(sig, when);
}

TEST(Signals, TimeoutEndsAWriteTheModemHoldsBackAndTheSettingsComeBack)
{
    sim_line line;
    const std::string before = describe(set_distinctive(line->terminal_fd()));
    // Stops the terminal's output as CTS held low would: the first write blocks.
    ASSERT_EQ(tcflow(line->terminal_fd(), TCOOFF), 0);
    tool_result r = run_tool({.args = {line.path(), "AT"}, .prefix = {"timeout", "2"}});
    tcflow(line->terminal_fd(), TCOON);
    EXPECT_EQ(r.status, 124) << r.err; // timeout's status for a command it ended
    EXPECT_EQ(line->received(), "");
    EXPECT_EQ(describe(line->terminal_fd()), before);
}

} // namespace
