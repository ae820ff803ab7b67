// Runs the built atquery as a child process with its output captured, the
// way a shell script would, under the target's emulator when cross-built.
#pragma once

#include <string>
#include <vector>

struct tool_run {
    std::vector<std::string> args;    // after the program name
    std::vector<std::string> prefix;  // a wrapper such as strace, run first
    std::vector<std::string> program; // run this instead of the tool when set
    enum { pipe_out, full_out, broken_out } stdout_to = pipe_out;
    std::vector<int> closed;          // descriptors among 0..2 closed in the child
    // Run as a background process group of a session whose controlling
    // terminal is this path, so that changing its settings fails.
    std::string background_of;
};

struct tool_result {
    int status = -1;  // exit status, or -1 if killed or not run
    std::string out;
    std::string err;
};

// Runs the tool to completion (killed after 30 s).
tool_result run_tool(const tool_run& run);

// The command that starts the tool: the emulator (if any) and its path.
std::vector<std::string> tool_command();
