// The exchanges of a run: a command sent, its reply read (until the quiet,
// or as it arrives until it ends) and printed through the reply reader.
#pragma once

#include "tool/options.h"
#include "tool/reader.h"

// The reader's set-up for the reply to command, as options ask for it,
// printing on standard output.
reader_setup setup_for(const run_options& options, const char* command);

// -t (reply.cpp): sends the run's command number index, then reads its reply
// as it arrives until a final result code (and, for the last command, the
// --until line), the prompt, or options.timeout_ms after the call (sending
// and draining count against the limit too), printing it a line at a time
// (with info_only: its information lines alone) and, without info_only, the
// tool's line feed after it. A message text (message_text: the command after a
// prompt) is ended by Ctrl-Z instead of CR LF. Reports its failures on
// standard error: "send_line error", "read_reply error" (ETIMEDOUT for
// timed_out), "puts error"; a port that went away as report_gone does
// (failed). Needs a non-blocking port_fd.
reply_end exchange_until_result(const run_options& options, int index, bool message_text);

// Sends ESC within options.timeout_ms: a modem that shows the prompt stops
// waiting for a message text. Returns false after reporting a failure.
bool abandon_message(const run_options& options);

// The quiet rule (quiet.cpp, frozen): sends the run's command number index
// and CR LF, then reads its reply until the line falls quiet and prints it
// with the tool's line feed, or with info_only its information lines alone (all but the echo, empty lines,
// result codes, unsolicited result codes and the prompt, without CR, each
// ended by one line feed). Returns 0, or -1 after reporting as
// exchange_until_result does.
int exchange_until_quiet(const run_options& options, int index);
