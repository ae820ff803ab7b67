// Who else has a port open, as /proc shows it. Only --find and a run that
// found the port locked look: a run without a conflict reads nothing here.
#pragma once

#include <span>
#include <sys/types.h>

// Writes the holder as a message names it: "NAME (process PID)" with the
// name from /proc/PID/comm (bytes that are not printable ASCII as '?'), or
// "process PID" when that cannot be read (the process has gone, or /proc
// hides it). Always zero-terminated within text.
void describe_holder(unsigned long pid, std::span<char> text);

// For each of devices (a character device's number, st_rdev), the first
// process other than this one that has a descriptor open on it, from one
// pass over /proc/PID/fd; 0 where none is seen. Only root sees the
// descriptors of other users' processes. pids has devices.size() entries.
void find_openers(std::span<const dev_t> devices, std::span<unsigned long> pids);
