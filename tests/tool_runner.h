// Runs the built atquery (or another program) as a child process with its
// output captured, the way a shell script would, under the target's emulator
// when cross-built; measures each run for the benchmark. Shared by the tests
// and the benchmark.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct tool_run {
    std::vector<std::string> args;    // after the program name
    std::vector<std::string> prefix;  // a wrapper such as strace, run first
    std::vector<std::string> program; // run this instead of the tool, e.g. sim_command()
    enum { pipe_out, full_out, broken_out } stdout_to = pipe_out;
    std::vector<int> closed;          // descriptors among 0..2 closed in the child
    // Run as a background process group of a session whose controlling
    // terminal is this path, so that changing its settings fails.
    std::string background_of;
    // Written to standard input, which is then closed; unset: inherited.
    std::optional<std::string> input;
    // Standard input and output on this device instead (a program that talks
    // to the modem through them).
    std::string stdio_on;
};

struct tool_result {
    int status = -1;  // exit status, or -1 if killed or not run
    int signal = 0;   // the signal that ended it, or 0
    std::string out;
    std::string err;
    // From fork to reaping: wall time on the monotonic clock, user plus
    // system CPU time and peak resident memory as wait4 reports them.
    double wall_ms = 0;
    double cpu_ms = 0;
    long peak_rss_kib = 0;
};

// A run going on in the background.
struct tool_process {
    int pid = -1;
    int out_fd = -1;
    int err_fd = -1;
    long long start_us = 0;
};

// Runs the tool to completion (killed after 30 s).
tool_result run_tool(const tool_run& run);

// Starts the run and returns at once; finish_tool() must follow.
tool_process start_tool(const tool_run& run);
// The next line of its standard output, without the line feed; what came
// before the end if no line feed comes within 10 s.
std::string read_line(tool_process& process);
// Sends `signal` unless it is 0, then collects the rest of the output and
// the exit status (killed after 30 s).
tool_result finish_tool(tool_process& process, int signal = 0);

// Microseconds and milliseconds on the monotonic clock, for deadlines and
// measurements.
long long now_us();
long long now_ms();

// The command that starts the tool: the emulator (if any) and its path.
std::vector<std::string> tool_command();
// The command that starts atquery-sim, the same way.
std::vector<std::string> sim_command();

// strerror(error) as the tool's C library words it (glibc, uClibc-ng and
// musl word many errors differently), without a line feed: what the tool
// prints after a label for that errno.
std::string tool_strerror(int error);
