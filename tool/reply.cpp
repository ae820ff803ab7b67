// Replies read by their final result codes: the codes as a table, a reader
// that splits the reply into lines as bytes arrive, recognises the echo, the
// final result code and the prompt, and prints a line at a time.
#include "tool/reply.h"

#include "serial/port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

struct result_code {
    const char* text;
    bool prefix; // the line only starts with text
    reply_end end;
};

constexpr result_code result_codes[] = {
    {"OK", false, reply_end::ok},
    {"CONNECT", false, reply_end::ok},
    {"CONNECT ", true, reply_end::ok},
    {"ERROR", false, reply_end::error},
    {"+CME ERROR:", true, reply_end::error},
    {"+CMS ERROR:", true, reply_end::error},
    {"NO CARRIER", false, reply_end::error},
    {"BUSY", false, reply_end::error},
    {"NO ANSWER", false, reply_end::error},
    {"NO DIALTONE", false, reply_end::error},
    {"COMMAND NOT SUPPORT", false, reply_end::error},
};

// As many bytes as a reply read until the quiet may hold, with its end.
constexpr int reply_capacity = 5000;
// Longer than every code above, so a line's head decides whether it is one.
constexpr int head_capacity = 24;
// Lines are printed whole up to this length; longer ones in pieces.
constexpr int line_capacity = 512;

constexpr char line_end[] = {'\r', '\n'};
constexpr char ctrl_z = 0x1A; // ends a message text
constexpr char esc = 0x1B;    // abandons it

// One reply being read, all zero at the start but for start_reader's
// fields. A "line" here is the text between two line ends, CR and LF both
// counting as one.
struct reply_reader {
    const char* command;
    int command_length;
    char echo_end;        // a byte the echo may carry after the command, or 0
    bool info_only;
    bool prompt_allowed;

    // Waiting to be printed: the raw bytes up to the next LF, or with
    // info_only the current line's text (not its part that matches the echo).
    char out[line_capacity];
    int out_length;

    char head[head_capacity]; // the current line's first bytes
    int line_length;          // its length, stopped at line_capacity

    bool echo_decided; // the first non-empty line is over
    bool echo_broken;  // the current (first) line differs from the command
    int echo_matched;  // bytes of the command it matched so far
    bool echo_ended;   // and echo_end after them

    bool final_seen;
    reply_end end;
    bool print_failed;
    int print_errno;
};

void print_out(reply_reader& r)
{
    if (r.out_length > 0 && !r.print_failed &&
        (std::fwrite(r.out, 1, static_cast<size_t>(r.out_length), stdout) != static_cast<size_t>(r.out_length) ||
         !flush_stdout())) {
        r.print_failed = true;
        r.print_errno = errno;
    }
    r.out_length = 0;
}

// Queues bytes for printing; a full buffer goes out as a piece of the line.
void keep(reply_reader& r, const char* bytes, int length)
{
    for (int i = 0; i < length; ++i) {
        if (r.out_length == line_capacity)
            print_out(r);
        r.out[r.out_length++] = bytes[i];
    }
}

// With info_only, the part of the line that matched the command was not
// kept; once the line is known not to be the echo, it is.
void keep_echo_part(reply_reader& r)
{
    if (!r.info_only)
        return;
    keep(r, r.command, r.echo_matched);
    if (r.echo_ended)
        keep(r, &r.echo_end, 1);
}

// Whether the current line is a final result code, and which.
bool is_final(const reply_reader& r, reply_end& end)
{
    // Longer lines are printed in pieces as they come: never a result.
    if (r.line_length >= line_capacity)
        return false;
    int known = r.line_length < head_capacity ? r.line_length : head_capacity;
    for (const result_code& code : result_codes) {
        int i = 0;
        while (code.text[i] != '\0' && i < known && r.head[i] == code.text[i])
            ++i;
        if (code.text[i] == '\0' && (code.prefix || i == r.line_length)) {
            end = code.end;
            return true;
        }
    }
    return false;
}

void end_line(reply_reader& r)
{
    if (r.line_length == 0)
        return;
    bool first = !r.echo_decided;
    r.echo_decided = true;
    // The echo is never a final result code, even when it reads as one.
    bool echo = first && !r.echo_broken && r.echo_matched == r.command_length;
    bool result_line = !echo && is_final(r, r.end);
    r.final_seen = r.final_seen || result_line;
    if (r.info_only) {
        if (echo || result_line) {
            r.out_length = 0;
        } else {
            if (first && !r.echo_broken)
                keep_echo_part(r);
            keep(r, "\n", 1);
            print_out(r);
        }
    }
    r.line_length = 0;
}

// Takes a byte of a line; true when it completes the prompt.
bool add_to_line(reply_reader& r, char byte)
{
    if (r.prompt_allowed && r.line_length == 1 && r.head[0] == '>' && byte == ' ') {
        r.final_seen = true;
        r.end = reply_end::prompt;
        r.echo_decided = true;
        r.line_length = 0;
        if (r.info_only)
            r.out_length = 0;
        return true;
    }
    if (r.line_length < head_capacity)
        r.head[r.line_length] = byte;
    if (r.line_length < line_capacity)
        ++r.line_length;

    // A byte that goes on matching the command is kept back (see
    // keep_echo_part) until the line turns out not to be the echo.
    bool held = false;
    if (!r.echo_decided && !r.echo_broken) {
        if (r.echo_matched < r.command_length && byte == r.command[r.echo_matched]) {
            ++r.echo_matched;
            held = true;
        } else if (r.echo_matched == r.command_length && r.echo_end != 0 && !r.echo_ended &&
                   byte == r.echo_end) {
            r.echo_ended = true;
            held = true;
        } else {
            r.echo_broken = true;
            keep_echo_part(r);
        }
    }
    if (r.info_only && !held)
        keep(r, &byte, 1);
    return false;
}

// One byte of the reply; true when the reply is over (or printing failed).
bool take_byte(reply_reader& r, char byte)
{
    // A zero byte is line noise here, not an end.
    if (byte == '\0')
        return false;
    if (!r.info_only)
        keep(r, &byte, 1);
    // A line end inside the echo of a command or text that holds one (a
    // message text of several lines) is part of the echo.
    bool in_echo = r.echo_matched > 0 && !r.echo_decided && !r.echo_broken &&
                   r.echo_matched < r.command_length && byte == r.command[r.echo_matched];
    bool over = false;
    if ((byte == '\r' || byte == '\n') && !in_echo) {
        end_line(r);
        if (byte == '\n') {
            print_out(r);
            // The line of a final result code ends at its LF.
            over = r.final_seen;
        }
    } else {
        over = add_to_line(r, byte);
    }
    return over || r.print_failed;
}

// Bytes of the reply as they arrive; true when the reply is over.
bool take(void* context, const char* bytes, int length)
{
    reply_reader& r = *static_cast<reply_reader*>(context);
    for (int i = 0; i < length; ++i)
        if (take_byte(r, bytes[i]))
            return true;
    return false;
}

// Prints what is left of the reply: a line without its end yet, and without
// info_only the tool's line feed.
void finish(reply_reader& r)
{
    if (r.info_only)
        end_line(r);
    print_out(r);
    if (!r.info_only)
        keep(r, "\n", 1);
    print_out(r);
}

void start_reader(reply_reader& r, const char* command, char echo_end, bool info_only)
{
    std::memset(&r, 0, sizeof r);
    r.end = reply_end::timed_out;
    r.command = command;
    r.command_length = static_cast<int>(std::strlen(command));
    r.echo_end = echo_end;
    r.info_only = info_only;
    // The commands that send or store a message in text mode ask for it
    // with "> " and wait.
    r.prompt_allowed = echo_end == 0 && (strncasecmp(command, "AT+CMGS", 7) == 0 ||
                                         strncasecmp(command, "AT+CMGW", 7) == 0);
}

// Reports a failed send; true when it did not fail.
bool sent(int send_result)
{
    if (send_result == 0)
        return true;
    report_error("send_line error");
    return false;
}

// Reports a failed read, then failed printing; true when neither happened.
bool report_failures(int read_result, int read_errno, bool printed, int print_errno)
{
    if (read_result < 0) {
        errno = read_errno;
        report_error("read_reply error");
    }
    if (!printed) {
        errno = print_errno;
        report_error("puts error");
    }
    return read_result >= 0 && printed;
}

} // namespace

int exchange_until_quiet(const char* command, bool info_only)
{
    if (!sent(send_line(command, static_cast<int>(std::strlen(command)))))
        return -1;

    char reply_buffer[reply_capacity];
    std::memset(reply_buffer, 0, sizeof reply_buffer);
    int read_result = read_reply(reply_buffer);
    int read_errno = errno;

    bool printed;
    if (info_only) {
        reply_reader reader;
        start_reader(reader, command, '\0', true);
        // Everything up to the quiet counts, lines after a final result code
        // (late unsolicited ones) included.
        for (const char* p = reply_buffer; *p != '\0' && !reader.print_failed; ++p)
            take_byte(reader, *p);
        finish(reader);
        printed = !reader.print_failed;
        errno = reader.print_errno;
    } else {
        // The reply with its line feed, made sure to have left the process.
        printed = std::puts(reply_buffer) >= 0 && flush_stdout();
    }
    return report_failures(read_result, read_errno, printed, errno) ? 0 : -1;
}

reply_end exchange_until_result(const char* text, bool message_text, int timeout_ms, bool info_only)
{
    // The limit counts from the moment the first byte may go out: sending,
    // draining and reading all spend it.
    const unsigned deadline_ms = monotonic_ms() + static_cast<unsigned>(timeout_ms);
    int text_length = static_cast<int>(std::strlen(text));
    if (!sent(message_text ? send_within(text, text_length, &ctrl_z, 1, deadline_ms)
                           : send_within(text, text_length, line_end, sizeof line_end, deadline_ms)))
        return errno == ETIMEDOUT ? reply_end::timed_out : reply_end::failed;

    reply_reader reader;
    start_reader(reader, text, message_text ? ctrl_z : '\0', info_only);
    int read_result = read_until(deadline_ms, take, &reader);
    int read_errno = errno;
    finish(reader);

    if (report_failures(read_result, read_errno, !reader.print_failed, reader.print_errno))
        return reader.end;
    return reader.print_failed || read_errno != ETIMEDOUT ? reply_end::failed : reply_end::timed_out;
}

void abandon_message(int timeout_ms)
{
    if (send_within(&esc, 1, nullptr, 0, monotonic_ms() + static_cast<unsigned>(timeout_ms)) != 0)
        report_error("send_line error");
}
