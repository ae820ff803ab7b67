// Replies read by their final result codes: which lines end a reply, which
// are information, the message-text prompt, and printing as bytes arrive.
#pragma once

// How a reply read by its final result code ended.
enum class reply_end {
    ok,        // OK, CONNECT or CONNECT <text>
    error,     // ERROR, +CME ERROR: ..., +CMS ERROR: ..., NO CARRIER, BUSY, ...
    prompt,    // "> " after AT+CMGS or AT+CMGW: the modem waits for the text
    timed_out, // no final result code within the time limit
    failed,    // the command could not be sent, a read failed or printing failed
};

// Sends text, then reads its reply as it arrives until a final result code,
// the prompt or timeout_ms after the call (sending and draining count
// against the limit too), printing it a line at a time as it
// arrives (with info_only: its information lines alone) and, without
// info_only, the tool's line feed after it. A message text (message_text:
// the command after a prompt) is ended by Ctrl-Z instead of CR LF. Reports
// its failures on standard error: "send_line error", "read_reply error"
// (ETIMEDOUT for timed_out), "puts error". Needs a non-blocking port_fd.
reply_end exchange_until_result(const char* text, bool message_text, int timeout_ms, bool info_only);

// Sends ESC within timeout_ms: a modem that shows the prompt stops waiting
// for a message text.
void abandon_message(int timeout_ms);

// Sends command and CR LF, then reads its reply until the line falls quiet
// and prints it with the tool's line feed, or with info_only its
// information lines alone (all but the echo, empty lines, final result codes
// and the prompt, without CR, each ended by one line feed). Returns 0, or -1
// after reporting as exchange_until_result does.
int exchange_until_quiet(const char* command, bool info_only);
