#include "tool_runner.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

// Makes this (forked) process a session leader whose terminal's foreground
// group is another group: a group that is orphaned and in the background
// gets EIO when it changes the terminal's settings. Async-signal-safe only.
void enter_background_session(const char* tty)
{
    setsid();
    int fd = open(tty, O_RDWR);
    pid_t fg = fork();
    if (fg == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    setpgid(fg, fg);
    tcsetpgrp(fd, fg);
    close(fd);
}

void read_outputs(int out_fd, int err_fd, tool_result& result, pid_t child)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    const long long deadline = now_ms() + 30000;
    for (;;) {
        if (fds[0].fd < 0 && fds[1].fd < 0)
            return;
        if (now_ms() > deadline) {
            kill(child, SIGKILL);
            return;
        }
        if (poll(fds, 2, 1000) < 0 && errno != EINTR)
            return;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
}

} // namespace

long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long now_ms()
{
    return now_us() / 1000;
}

std::vector<std::string> tool_command()
{
    return {ATQUERY_COMMAND};
}

std::vector<std::string> sim_command()
{
    return {ATQUERY_SIM_COMMAND};
}

std::string tool_strerror(int error)
{
    // One run of the probe per errno: each costs an emulator's start.
    static std::map<int, std::string> known;
    auto found = known.find(error);
    if (found != known.end())
        return found->second;
    tool_run probe;
    probe.program = {STRERROR_PROBE_COMMAND};
    probe.args = {std::to_string(error)};
    tool_result said = run_tool(probe);
    if (said.status != 0 || said.out.empty() || said.out.back() != '\n')
        return "(no words for errno " + std::to_string(error) + ": " + said.err + ")";
    said.out.pop_back();
    return known[error] = said.out;
}

tool_result run_tool(const tool_run& run)
{
    tool_process process = start_tool(run);
    return finish_tool(process);
}

tool_process start_tool(const tool_run& run)
{
    std::vector<std::string> words = run.prefix;
    for (const std::string& word : run.program.empty() ? tool_command() : run.program)
        words.push_back(word);
    words.insert(words.end(), run.args.begin(), run.args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int out[2] = {-1, -1};
    int err[2];
    int in[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
        (run.input && pipe2(in, O_CLOEXEC) != 0))
        return {};
    if (run.input) {
        // Small enough to wait in the pipe until the child reads it.
        [[maybe_unused]] ssize_t n = write(in[1], run.input->data(), run.input->size());
        close(in[1]);
    }
    if (run.stdout_to == tool_run::broken_out) {
        close(out[0]);
        out[0] = -1;
    }
    int full = run.stdout_to == tool_run::full_out ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;

    const long long start_us = now_us();
    pid_t child = fork();
    if (child == 0) {
        dup2(full >= 0 ? full : out[1], 1);
        dup2(err[1], 2);
        if (in[0] >= 0)
            dup2(in[0], 0);
        if (!run.stdio_on.empty()) {
            int fd = open(run.stdio_on.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            dup2(fd, 0);
            dup2(fd, 1);
        }
        for (int fd : run.closed)
            close(fd);
        if (!run.background_of.empty())
            enter_background_session(run.background_of.c_str());
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (in[0] >= 0)
        close(in[0]);
    if (full >= 0)
        close(full);
    return {child, out[0], err[0], start_us};
}

std::string read_line(tool_process& process)
{
    std::string line;
    const long long deadline = now_ms() + 10000;
    pollfd fd = {process.out_fd, POLLIN, 0};
    for (;;) {
        int left_ms = static_cast<int>(deadline - now_ms());
        if (left_ms <= 0 || poll(&fd, 1, left_ms) <= 0)
            return line;
        char c;
        if (read(process.out_fd, &c, 1) != 1 || c == '\n')
            return line;
        line += c;
    }
}

tool_result finish_tool(tool_process& process, int signal)
{
    tool_result result;
    if (process.pid < 0)
        return result;
    if (signal != 0)
        kill(process.pid, signal);
    read_outputs(process.out_fd, process.err_fd, result, process.pid);
    int status = 0;
    rusage usage{};
    wait4(process.pid, &status, 0, &usage);
    result.wall_ms = (now_us() - process.start_us) / 1e3;
    result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    result.peak_rss_kib = usage.ru_maxrss;
    process = {};
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}
