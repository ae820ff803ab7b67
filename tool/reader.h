// The reply reader: fed a reply's bytes as they arrive (and told of 0.1 s of
// quiet), it splits them into lines, recognises the echo, the final result
// codes (verbose and numeric), the message prompt and unsolicited result
// codes, prints the reply raw or its information lines, and says how the
// reply ended. It touches no descriptor and keeps no clock.
#pragma once

// How a reply ended.
enum class reply_end {
    ok,        // OK, CONNECT or CONNECT <text>, numeric 0 or 1
    error,     // ERROR, +CME ERROR: ..., +CMS ERROR: ..., NO CARRIER, BUSY, ...
    prompt,    // "> " after AT+CMGS or AT+CMGW: the modem waits for the text
    timed_out, // no end yet (the caller's limit ran out)
    failed,    // printing failed, or the caller's send or read did
};

struct reader_setup {
    const char* command = "";  // what was sent: its echo is recognised
    char echo_end = '\0';      // a byte the echo may carry after it (Ctrl-Z), or 0
    bool info_only = false;    // print the information lines alone
    bool to_quiet = false;     // the reply ends at the quiet: no code ends it
    const char* until = nullptr; // the reply also needs a line starting so
    // The commands on the command line: the names they carry (+CREG for
    // AT+CREG?) own the lines that start with them, unsolicited or not.
    char* const* owners = nullptr;
    int owner_count = 0;
    // Takes the output a line (or a long line's piece) at a time; false when
    // it could not be printed, with errno set.
    bool (*print)(void* context, const char* bytes, int length) = nullptr;
    void* print_context = nullptr;
};

class reply_reader {
public:
    explicit reply_reader(const reader_setup& setup);

    // Takes the next bytes of the reply; returns how many of them belong to
    // it: all, or those up to its end when it ended among them.
    int feed(const char* bytes, int length);
    // 0.1 s passed without a byte.
    void quiet();
    // Prints what is left: a line without its end yet, and without
    // info_only the tool's line feed.
    void finish();

    bool over() const { return over_; }
    // How it ended; timed_out while it is not over.
    reply_end end() const { return over_ ? end_ : reply_end::timed_out; }
    // errno of the failed print, or 0 when printing never failed.
    int print_errno() const { return print_errno_; }

private:
    // The echo: the current line may still be it (matching, or ended by
    // echo_end), is not (other), or the echo question is over (settled).
    enum class echo { matching, ended, other, settled };
    enum class line_kind { text, echo_line, result, unsolicited, owned_unsolicited, until_line };

    bool take(char byte);
    void add_to_line(char byte);
    void end_line();
    line_kind classify();
    // How many of the current line's bytes head_ holds.
    int head_length() const { return line_length_ < head_capacity ? line_length_ : head_capacity; }
    bool head_is(const char* text, bool prefix) const;
    bool owned() const;
    bool settle_result(reply_end code, bool command_error);
    void resolve_digit(bool followed_by_lf);
    void keep(const char* bytes, int length);
    void keep_echo_part();
    void print_out();

    static constexpr int line_capacity = 512;
    static constexpr int head_capacity = 32;

    reader_setup setup_;
    int command_length_;
    bool prompt_allowed_;   // AT+CMGS / AT+CMGW: "> " asks for the text
    bool confirm_by_quiet_; // AT+CMGL / AT+CMGR: a code ends only after quiet

    char out_[line_capacity]; // waiting to be printed
    int out_length_ = 0;
    char head_[head_capacity]; // the current line's first bytes
    int line_length_ = 0;      // its length, stopped at line_capacity
    int until_matched_ = 0;    // bytes of until it matched; -1: it differs

    echo echo_ = echo::matching;
    int echo_matched_ = 0; // bytes of the command the current line matched

    bool data_line_ = false;      // the unsolicited line just classified has one
    bool drop_next_line_ = false; // the data line of +CMT:, +CDS:, +CBM:
    bool last_was_cr_ = false;
    char digit_pending_ = '\0';   // a one-digit line ended by CR: what follows decides
    bool result_pending_ = false; // a code that waits for quiet (confirm_by_quiet_)
    reply_end pending_code_ = reply_end::ok;
    bool pending_command_error_ = false;
    bool end_at_lf_ = false;      // the reply is over at this line's LF
    bool until_seen_ = false;
    bool until_open_ = false;     // the --until line's quotes are still open
    int quotes_ = 0;              // quotes in the current line
    bool waiting_until_ = false;  // the final result came, the until line not yet

    bool over_ = false;
    reply_end end_ = reply_end::timed_out;
    int print_errno_ = 0;
};
