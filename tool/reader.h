// The reply reader: fed a reply's bytes as they arrive (and told of 0.1 s of
// quiet), it says how the reply ended. It works in three stages, each fed by
// the one before: bytes become lines (CR and LF each end one, the echo is
// held back until it is settled, a long line goes on in pieces); a line
// becomes one kind (echo, information, final result code, prompt,
// unsolicited code, the data line of one, the --until line); a printer
// (tool/printer.h) makes one output form of the kinds and the bytes. It
// touches no descriptor and keeps no clock.
#pragma once

#include <string_view>

class reply_printer;

// How a reply ended.
enum class reply_end {
    ok,        // OK, CONNECT or CONNECT <text>, numeric 0 or 1
    error,     // ERROR, +CME ERROR: ..., +CMS ERROR: ..., NO CARRIER, BUSY, ...
    prompt,    // "> " after AT+CMGS or AT+CMGW: the modem waits for the text
    timed_out, // no end yet (the caller's limit ran out)
    failed,    // printing failed, or the caller's send or read did
};

// What a line of a reply is.
enum class line_kind : char {
    information,   // none of the others: what -i prints
    owned,         // an unsolicited code's line whose name a command on the
                   // command line carries (+CREG: for AT+CREG?): information
    echo,          // the command, as the modem echoed it
    ok,            // final result code: success
    error,         // final result code: failure (NO CARRIER, BUSY, ...)
    command_error, // final result code: ERROR, +CME ERROR:, +CMS ERROR:, which
                   // also end a wait for the --until line
    prompt,        // "> " after AT+CMGS or AT+CMGW
    unsolicited,   // an unsolicited result code
    data,          // the message text or PDU that belongs to the line before
                   // (+CMT:, +CBM:, +CDS:)
    until,         // the --until line, and the lines its open quotes hold
};

struct reader_setup {
    const char* command = "";  // what was sent: its echo is recognised
    char echo_end = '\0';      // a byte the echo may carry after it (Ctrl-Z), or 0
    bool to_quiet = false;     // the reply ends at the quiet: no code ends it
    const char* until = nullptr; // the reply also needs a line starting so
    // The commands on the command line: the names they carry (+CREG for
    // AT+CREG?) own the lines that start with them, unsolicited or not.
    char* const* owners = nullptr;
    int owner_count = 0;
};

class reply_reader {
public:
    // Reads a reply to setup.command, handing what it finds to printer.
    reply_reader(const reader_setup& setup, reply_printer& printer);

    // Takes the next bytes of the reply; returns how many of them belong to
    // it: all, or those up to its end when it ended among them.
    int feed(const char* bytes, int length);
    // 0.1 s passed without a byte.
    void quiet();
    // No more bytes will come: hands on the line cut short, if any, and has
    // the printer print what is left.
    void finish();

    // Over: it ended, or printing failed.
    bool over() const;
    // How it ended; timed_out while it is not over.
    reply_end end() const { return over() ? end_ : reply_end::timed_out; }
    // errno of the failed print, or 0 when printing never failed.
    int print_errno() const;

private:
    // Stage 1, bytes to a line: between lines (after a CR, which an LF then
    // completes, or not), in a line that may still be the echo (all of it
    // matched the command; echo_ended: the command and echo_end), in any
    // other line, or after a one-digit line and its CR, which the next byte
    // (or quiet) makes a numeric result code or not.
    enum class assembly : char { between, after_cr, echo, echo_ended, other, digit };
    // Stage 2, what the next line may be: the echo (only unsolicited lines
    // came so far) or not, and each with the data line of the line before;
    // or the last line was a final result code that only quiet confirms
    // (AT+CMGL, AT+CMGR: a message's text may read as one).
    enum class context : char { before_echo, before_echo_data, reply, reply_data, result_pending };
    // The verdict: none yet; a success came before the --until line, which
    // the reply now waits for; in, with the reply over at the next LF (after
    // such a wait, or not); over.
    enum class progress : char { reading, awaiting_until, ending, ending_awaited, over };
    // The --until line: not yet; come, with its quotes still open; come.
    enum class until_state : char { not_seen, open, seen };
    // AT+CMGS and AT+CMGW ask for a message text with "> "; AT+CMGL and
    // AT+CMGR list messages, whose text may read as a result code.
    enum class command_kind : char { plain, message_prompt, message_list };

    static constexpr int line_capacity = 512;

    bool take(char byte);
    // Stage 1.
    bool in_line() const;
    bool inside_echo(char byte) const;
    void add(char byte);
    void store(char byte);
    void no_echo();
    void hand_over();
    void end_line();
    void end_digit_line(bool lone_cr);
    void prompt();
    std::string_view line() const { return {line_, static_cast<std::string_view::size_type>(fill_)}; }
    // Stage 2.
    bool echo_may_come() const;
    bool data_expected() const;
    line_kind classify(std::string_view text, bool echo) const;
    bool follows_until(std::string_view text, int offset) const;
    bool owned(std::string_view text) const;
    bool announces_data(std::string_view text) const;
    void next_context(line_kind kind, std::string_view text);
    // Then the printer and the verdict.
    void after_line(line_kind kind, std::string_view text);
    void take_result(bool confirmed);
    bool settle(line_kind code);

    reader_setup setup_;
    reply_printer& printer_;
    int command_length_;
    command_kind command_;

    // Stage 1: the current line (or, between lines, the last one), of which
    // line_ holds the last fill_ bytes; all of it, length_, counts on past
    // line_capacity.
    assembly state_ = assembly::between;
    char line_[line_capacity];
    int fill_ = 0;
    int length_ = 0;

    // Stage 2, and the kind of a long line, set when its first piece went on.
    context context_ = context::before_echo;
    line_kind kind_ = line_kind::information;

    // The verdict, the --until line and the quotes of the current line.
    progress progress_ = progress::reading;
    until_state until_ = until_state::not_seen;
    int quotes_ = 0;
    reply_end end_ = reply_end::timed_out;
};
