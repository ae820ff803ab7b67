// Runs a program under strace and reduces the trace to what it did on one
// device: settings, flushes, drains, each write and read, the pauses between
// them, and its writes to standard output.
#pragma once

#include "tool_runner.h"

#include <string>
#include <vector>

struct traced_run {
    tool_result result;
    // One entry per call, in order: "open <flags>", "lock" (a non-blocking
    // exclusive flock), "tcgetattr", "tcsetattr", "flush input", "flush
    // both", "drain", "output queue", "blocking" (O_NONBLOCK cleared), "poll", "close",
    // "write <bytes>" (the bytes as strace quotes them), "read <asked> =
    // <got>", "sleep <ns>", "stdout" (writes to standard output in a row).
    std::vector<std::string> calls;
};

// Runs `run` under strace -f and keeps the calls of the process that opened
// `device`, from that open on.
traced_run trace_on_device(tool_run run, const std::string& device);
