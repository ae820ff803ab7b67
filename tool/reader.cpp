// The reply reader, a byte at a time: stage 1 makes lines of the bytes,
// stage 2 tells what each line is, then the printer is told and the
// verdict kept. A "line" is the text between two line ends, CR and LF each
// counting as one.
#include "tool/reader.h"

#include "tool/printer.h"
#include "tool/unsolicited.h"

#include <climits>
#include <cstring>
#include <strings.h>

namespace {

struct result_code {
    std::string_view text; // ending in ':' or ' ': starts the line; otherwise the whole line
    line_kind kind;
};

// The verbose final result codes.
constexpr result_code result_codes[] = {
    {"OK", line_kind::ok},
    {"CONNECT", line_kind::ok},
    {"CONNECT ", line_kind::ok},
    {"ERROR", line_kind::command_error},
    {"+CME ERROR:", line_kind::command_error},
    {"+CMS ERROR:", line_kind::command_error},
    {"NO CARRIER", line_kind::error},
    {"BUSY", line_kind::error},
    {"NO ANSWER", line_kind::error},
    {"NO DIALTONE", line_kind::error},
    {"COMMAND NOT SUPPORT", line_kind::error},
};

// The numeric forms a modem in ATV0 sends (ITU-T V.250, 5.7.1, table 1),
// by digit: the digit and CR alone. 2 is RING, unsolicited; 5 and 9 are
// none of ours: such a line is read as any other. 4 is ERROR, which also
// ends a wait for --until, as its verbose form does; 3 (NO CARRIER) does not.
constexpr line_kind numeric_codes[] = {
    line_kind::ok,    line_kind::ok,          line_kind::unsolicited, line_kind::error,
    line_kind::command_error, line_kind::information, line_kind::error, line_kind::error,
    line_kind::error, line_kind::information,
};

// The longest line an unsolicited code that gives a PDU's length alone takes.
constexpr int pdu_length_line = 9;

// How far into a line its name is looked for.
constexpr int head_capacity = 32;

// Longer than any name a line's head can hold.
constexpr int command_name_limit = 64;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_result(line_kind kind)
{
    return kind == line_kind::ok || kind == line_kind::error || kind == line_kind::command_error;
}

// Whether the n bytes at a and b are the same. A loop, not memcmp: the
// router's C library is only asked for the calls the tool already makes.
bool same(const char* a, const char* b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Whether the line is the code (a code ending in ':' or ' ' starts it).
bool is_code(std::string_view line, std::string_view code)
{
    char last = code[code.size() - 1];
    return line.size() >= code.size() && same(line.data(), code.data(), code.size()) &&
           (last == ':' || last == ' ' || line.size() == code.size());
}

// The length of the name at p, of the first limit bytes at most, that a
// command carries and a line starts with: "+CREG" of "+CREG?" and of
// "+CREG: 1"; 0 when there is none.
int name_length(const char* p, int limit)
{
    if (limit < 1 || (*p != '+' && *p != '^' && *p != '$' && *p != '%' && *p != '#' && *p != '*'))
        return 0;
    int n = 1;
    while (n < limit && (is_digit(p[n]) || (p[n] >= 'A' && p[n] <= 'Z') ||
                         (p[n] >= 'a' && p[n] <= 'z') || p[n] == '_'))
        ++n;
    return n > 1 ? n : 0;
}

// The length of the name the line starts with when a ':' follows it within
// the line's head ("+CREG" of "+CREG: 1"); 0 otherwise.
int line_name(std::string_view line)
{
    int known = line.size() < head_capacity ? static_cast<int>(line.size()) : head_capacity;
    int n = name_length(line.data(), known);
    return n > 0 && n < known && line[n] == ':' ? n : 0;
}

// Vendors send their own unsolicited codes as "^NAME: ..." (Huawei's
// ^RSSI:, ^BOOT:, ^MODE:, ...).
bool is_vendor_code(std::string_view line)
{
    return line_name(line) > 0 && line[0] == '^';
}

// The kind of final result code a whole line reads as, or information.
line_kind result_kind(std::string_view line)
{
    for (const result_code& code : result_codes)
        if (is_code(line, code.text))
            return code.kind;
    return line_kind::information;
}

// The unsolicited code of the table a line of a whole line's length reads
// as, or none.
const unsolicited_code* find_unsolicited(std::string_view line)
{
    for (const unsolicited_code& code : unsolicited_codes)
        if (is_code(line, code.text))
            return &code;
    return nullptr;
}

int count_quotes(std::string_view text)
{
    int quotes = 0;
    for (char c : text)
        quotes += c == '"';
    return quotes;
}

} // namespace

reply_reader::reply_reader(const reader_setup& setup, reply_printer& printer)
    : setup_(setup), printer_(printer), command_length_(static_cast<int>(std::strlen(setup.command))),
      command_(command_kind::plain)
{
    // A message text is none of them.
    if (setup.echo_end == '\0' && strncasecmp(setup.command, "AT+CMG", 6) == 0) {
        char kind = static_cast<char>(setup.command[6] | 0x20);
        if (kind == 's' || kind == 'w')
            command_ = command_kind::message_prompt;
        else if (kind == 'l' || kind == 'r')
            command_ = command_kind::message_list;
    }
}

bool reply_reader::over() const
{
    return progress_ == progress::over || printer_.print_errno() != 0;
}

int reply_reader::print_errno() const
{
    return printer_.print_errno();
}

int reply_reader::feed(const char* bytes, int length)
{
    for (int i = 0; i < length; ++i)
        if (over() || !take(bytes[i]))
            return i;
    return length;
}

void reply_reader::quiet()
{
    if (state_ == assembly::digit)
        end_digit_line(true);
    if (context_ == context::result_pending)
        take_result(true);
}

void reply_reader::finish()
{
    // A line cut short by the end of the reading: a lone digit is taken for
    // the code it would be, and a code waiting for quiet for a code, neither
    // of them information.
    if (state_ == assembly::digit)
        state_ = assembly::after_cr;
    else if (in_line())
        end_line();
    if (context_ == context::result_pending)
        context_ = context::reply;
    printer_.finish();
}

// One byte; false when it is not the reply's (it showed that the reply had
// ended before it).
bool reply_reader::take(char byte)
{
    // A zero byte is line noise here, not an end.
    if (byte == '\0')
        return true;
    if (state_ == assembly::digit) {
        end_digit_line(byte != '\n');
        if (over())
            return false;
    }
    // A code followed by more than its line end was message text.
    if (context_ == context::result_pending && !(byte == '\n' && state_ == assembly::after_cr))
        take_result(false);

    bool line_end = (byte == '\r' || byte == '\n') && !inside_echo(byte);
    if (!line_end) {
        add(byte);
    } else if (byte == '\r' && in_line() && length_ == 1 && is_digit(line_[0]) &&
               !(state_ == assembly::echo && length_ == command_length_)) {
        // A one-digit line ended by CR: a numeric result code unless LF follows.
        state_ = assembly::digit;
    } else {
        if (in_line())
            end_line();
        state_ = byte == '\r' ? assembly::after_cr : assembly::between;
        if (byte == '\n' && (progress_ == progress::ending || progress_ == progress::ending_awaited))
            progress_ = progress::over;
    }
    printer_.byte(byte, line_end && byte == '\n');
    return true;
}

// Stage 1: bytes to a line.

bool reply_reader::in_line() const
{
    return state_ == assembly::echo || state_ == assembly::echo_ended || state_ == assembly::other;
}

// A line end inside the echo of a text that holds one (a message of several
// lines) is part of the echo.
bool reply_reader::inside_echo(char byte) const
{
    return state_ == assembly::echo && length_ > 0 && length_ < command_length_ &&
           byte == setup_.command[length_];
}

void reply_reader::add(char byte)
{
    if (!in_line()) {
        state_ = echo_may_come() ? assembly::echo : assembly::other;
        fill_ = 0;
        length_ = 0;
        quotes_ = 0;
    }
    if (byte == ' ' && command_ == command_kind::message_prompt && length_ == 1 && line_[0] == '>') {
        prompt();
        return;
    }
    if (state_ == assembly::echo && length_ < command_length_ && byte == setup_.command[length_]) {
        // still the echo
    } else if (state_ == assembly::echo && length_ == command_length_ && setup_.echo_end != '\0' &&
               byte == setup_.echo_end) {
        state_ = assembly::echo_ended;
    } else if (state_ != assembly::other) {
        no_echo();
    }
    store(byte);
}

// A line that may still be the echo keeps what the command holds: past
// line_capacity it only counts it (see no_echo).
void reply_reader::store(char byte)
{
    if (length_ < INT_MAX)
        ++length_;
    if (fill_ == line_capacity) {
        if (state_ != assembly::other)
            return;
        hand_over();
    }
    line_[fill_++] = byte;
}

// The line turned out not to be the echo. When it outgrew line_ while it
// matched the command, what it held goes on again, from the command.
void reply_reader::no_echo()
{
    int held = length_;
    bool ended = state_ == assembly::echo_ended;
    state_ = assembly::other;
    if (held <= fill_)
        return;
    fill_ = 0;
    length_ = 0;
    for (int i = 0; i < held; ++i)
        store(ended && i == command_length_ ? setup_.echo_end : setup_.command[i]);
}

// A full line_ of a line that goes on: its first piece is classified, and
// each piece goes to the printer as it comes.
void reply_reader::hand_over()
{
    int offset = length_ - 1 - fill_;
    if (offset == 0)
        kind_ = classify(line(), false);
    else if (kind_ == line_kind::until && !follows_until(line(), offset))
        kind_ = line_kind::information;
    quotes_ += count_quotes(line());
    printer_.line(kind_, line(), false);
    fill_ = 0;
}

// The line ended (at a line end, or with the reading).
void reply_reader::end_line()
{
    bool echo = !data_expected() && ((state_ == assembly::echo && length_ == command_length_) ||
                                     state_ == assembly::echo_ended);
    if (state_ != assembly::other && !echo)
        no_echo();
    quotes_ += count_quotes(line());
    line_kind kind;
    if (echo || length_ == fill_) {
        kind = classify(line(), echo);
    } else {
        // A long line: its kind came with its first piece.
        kind = kind_;
        if (kind == line_kind::until &&
            (!follows_until(line(), length_ - fill_) || length_ < static_cast<int>(std::strlen(setup_.until))))
            kind = line_kind::information;
    }
    after_line(kind, echo ? std::string_view(setup_.command, static_cast<size_t>(command_length_)) : line());
}

// The byte after a one-digit line's CR has come (or quiet: lone_cr).
void reply_reader::end_digit_line(bool lone_cr)
{
    line_kind code = lone_cr ? numeric_codes[line_[0] - '0'] : line_kind::information;
    if (code == line_kind::information) {
        state_ = assembly::other;
        end_line();
    } else {
        // A numeric code: never information, and its CR ends it. It touches
        // nothing but the echo and the verdict.
        if (code != line_kind::unsolicited && echo_may_come())
            context_ = data_expected() ? context::reply_data : context::reply;
        printer_.line(code, line(), true);
        if (code != line_kind::unsolicited && settle(code))
            progress_ = progress::over;
    }
    state_ = assembly::after_cr;
}

// "> " at the start of a line after AT+CMGS or AT+CMGW: the modem waits for
// the text. Read to the quiet, it is left out and ends nothing.
void reply_reader::prompt()
{
    state_ = assembly::between;
    if (echo_may_come())
        context_ = data_expected() ? context::reply_data : context::reply;
    printer_.line(line_kind::prompt, "> ", true);
    end_ = reply_end::prompt;
    if (!setup_.to_quiet)
        progress_ = progress::over;
}

// Stage 2: what a line is.

bool reply_reader::echo_may_come() const
{
    return context_ == context::before_echo || context_ == context::before_echo_data;
}

bool reply_reader::data_expected() const
{
    return context_ == context::before_echo_data || context_ == context::reply_data;
}

// The kind of a line from its text (a long line's: its first piece) and
// whether it is the whole echo.
line_kind reply_reader::classify(std::string_view text, bool echo) const
{
    // The message text after +CMT: (or +CBM:, +CDS:) is never a code, even
    // when it reads "OK".
    if (data_expected())
        return line_kind::data;
    if (echo)
        return line_kind::echo;
    // Longer lines go on in pieces as they come: never a code.
    bool whole = length_ < line_capacity;
    if (line_kind code = whole ? result_kind(text) : line_kind::information; code != line_kind::information)
        return code;
    // The first piece of a line that goes on may hold only part of the
    // --until text; the next pieces tell (see hand_over and end_line).
    if (setup_.until != nullptr && follows_until(text, 0) &&
        (length_ > fill_ || text.size() >= std::strlen(setup_.until)))
        return line_kind::until;
    if (is_vendor_code(text) || (whole && find_unsolicited(text) != nullptr))
        return owned(text) ? line_kind::owned : line_kind::unsolicited;
    return line_kind::information;
}

// Whether text, the bytes of the line from offset on, goes on as the
// --until text does.
bool reply_reader::follows_until(std::string_view text, int offset) const
{
    std::string_view until = setup_.until;
    if (static_cast<size_t>(offset) >= until.size())
        return true;
    until.remove_prefix(static_cast<size_t>(offset));
    size_t n = until.size() < text.size() ? until.size() : text.size();
    return same(until.data(), text.data(), n);
}

// Whether a command on the command line carries the name the line starts
// with ("+CREG: 1" and AT+CREG? or at+cops?;+creg?), in any case.
bool reply_reader::owned(std::string_view text) const
{
    int length = line_name(text);
    if (length == 0)
        return false;
    for (int i = 0; i < setup_.owner_count; ++i) {
        const char* p = setup_.owners[i];
        if (strncasecmp(p, "AT", 2) != 0)
            continue;
        // Each command of a chain ("AT+CREG?;+CSQ") carries its own name.
        for (p += 2;; ++p) {
            if (name_length(p, command_name_limit) == length &&
                strncasecmp(p, text.data(), static_cast<size_t>(length)) == 0)
                return true;
            while (*p != '\0' && *p != ';')
                ++p;
            if (*p == '\0')
                break;
        }
    }
    return false;
}

// Whether the next line belongs to this unsolicited one.
bool reply_reader::announces_data(std::string_view text) const
{
    if (length_ >= line_capacity || is_vendor_code(text))
        return false;
    const unsolicited_code* code = find_unsolicited(text);
    // PDU mode's +CDS: gives the PDU's length alone ("+CDS: 25", at most
    // three digits), and the PDU follows; text mode's has seven fields.
    return code != nullptr && (code->next == next_line::message ||
                               (code->next == next_line::pdu && length_ <= pdu_length_line));
}

// Unsolicited lines may come before the echo; anything else settles it.
void reply_reader::next_context(line_kind kind, std::string_view text)
{
    if (is_result(kind) && command_ == command_kind::message_list) {
        context_ = context::result_pending;
        return;
    }
    bool before_echo = echo_may_come() &&
                       (kind == line_kind::unsolicited || kind == line_kind::owned || kind == line_kind::data);
    bool data_next = kind == line_kind::unsolicited && announces_data(text);
    if (before_echo)
        context_ = data_next ? context::before_echo_data : context::before_echo;
    else
        context_ = data_next ? context::reply_data : context::reply;
}

// The printer and the verdict.

void reply_reader::after_line(line_kind kind, std::string_view text)
{
    next_context(kind, text);
    // A code that waits for quiet goes to the printer once that decides.
    if (context_ != context::result_pending)
        printer_.line(kind, text, true);
    // The --until line ends where its quotes do: a USSD text may hold line
    // breaks ("+CUSD: 1,\"Menu\n1. Balance\",15").
    if (kind == line_kind::until || until_ == until_state::open) {
        bool open = (until_ == until_state::open) != ((quotes_ & 1) != 0);
        until_ = open ? until_state::open : until_state::seen;
        if (!open && (progress_ == progress::awaiting_until || progress_ == progress::ending_awaited)) {
            end_ = reply_end::ok;
            progress_ = progress::ending_awaited;
        }
    }
    // Once the verdict is in, the codes up to the LF change nothing.
    bool settled = progress_ == progress::ending || progress_ == progress::ending_awaited;
    if (is_result(kind) && context_ != context::result_pending && !settled && settle(kind))
        progress_ = progress_ == progress::awaiting_until ? progress::ending_awaited : progress::ending;
}

// The code in line_ that waited for quiet: confirmed by it, or shown to be
// message text by a byte.
void reply_reader::take_result(bool confirmed)
{
    context_ = context::reply;
    if (!confirmed) {
        printer_.line(line_kind::information, line(), true);
        return;
    }
    // It read as a code when it came: result_kind finds it again.
    line_kind code = result_kind(line());
    printer_.line(code, line(), true);
    if (!over() && settle(code))
        progress_ = progress::over;
}

// A final result code arrived; true when it ends the reply (end_ then says
// how).
bool reply_reader::settle(line_kind code)
{
    if (setup_.to_quiet)
        return false;
    bool awaiting = progress_ == progress::awaiting_until || progress_ == progress::ending_awaited;
    if (awaiting && code != line_kind::command_error)
        return false;
    if (!awaiting && code == line_kind::ok && setup_.until != nullptr && until_ == until_state::not_seen) {
        progress_ = progress_ == progress::ending ? progress::ending_awaited : progress::awaiting_until;
        return false;
    }
    end_ = code == line_kind::ok ? reply_end::ok : reply_end::error;
    return true;
}
