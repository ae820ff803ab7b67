// The tool's own output: failure reports on standard error, with every label
// they use, and making sure what was printed on standard output has left the
// process. The serial link prints nothing; the tool reports each failure
// once, from here.
#pragma once

// The labels of the failure reports. Scripts match these texts, so they stay
// byte for byte as the tool has always printed them: most name the routine
// that failed in its first version (open_port, set_opt, send_line,
// read_reply, puts, lock_port), and "SetupSerial 1" and "com set error" the
// two steps of set_opt (reading the port's settings, applying the tool's).
namespace label {
inline constexpr const char* null_device = "/dev/null";
inline constexpr const char* open_port = "open_port error";
inline constexpr const char* lock_port = "lock_port error";
inline constexpr const char* settings_unreadable = "SetupSerial 1";
inline constexpr const char* settings_refused = "com set error";
inline constexpr const char* set_opt = "set_opt error";
inline constexpr const char* send = "send_line error";
inline constexpr const char* read = "read_reply error";
inline constexpr const char* print = "puts error";
} // namespace label

// Prints label, ": " and the text for errno on standard error (perror),
// leaving errno as it was for the caller's own report.
void report_error(const char* label);

// Reports what went wrong with a reply: a failed read (label::read, with
// read_errno) when read_failed, then failed printing (label::print) when
// print_errno is not 0. Returns true when neither happened.
bool report_reply_failures(bool read_failed, int read_errno, int print_errno);

// Prints "atquery: DEVICE is in use by NAME (process PID)" on standard
// error, "by process PID" when /proc shows no name, or without " by ..."
// when holder is 0 (not known). Reads /proc only when holder is not 0.
void report_busy(const char* device, unsigned long holder);

// Prints "atquery: DEVICE: the port went away" on standard error for a
// hang-up (error EIO), or the text for error in its place (a removed
// device: ENODEV, ENXIO).
void report_gone(const char* device, int error);

// Flushes standard output; true when everything written to it so far has
// left the process. Checks the stream's error indicator as well as fflush's
// result: uClibc-ng's fflush drops the buffered bytes after a write that
// failed for good (ENOSPC, EPIPE) and then reports success. errno then
// still holds the failed write's error.
bool flush_stdout();
