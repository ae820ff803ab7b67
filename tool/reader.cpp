// The reply reader: result codes and unsolicited result codes as tables, and
// a reader that takes a reply a byte at a time. A "line" is the text between
// two line ends, CR and LF each counting as one.
#include "tool/reader.h"

#include "tool/unsolicited.h"

#include <cerrno>
#include <cstring>
#include <strings.h>

namespace {

// The final result codes, one after another, each ended by a zero byte:
// first its kind ('o' success, 'e' error, 'E' an error that also ends a wait
// for --until), then its text. A text ending in ':' or ' ' starts the line;
// any other is the whole line.
constexpr char result_codes[] = "oOK\0" "oCONNECT\0" "oCONNECT \0" "EERROR\0" "E+CME ERROR:\0"
                                "E+CMS ERROR:\0" "eNO CARRIER\0" "eBUSY\0" "eNO ANSWER\0"
                                "eNO DIALTONE\0" "eCOMMAND NOT SUPPORT\0";

// The numeric forms a modem in ATV0 sends (ITU-T V.250, 5.7.1, table 1):
// the digit and CR alone. 2 is RING, unsolicited; 5 and 9 are none of ours.
// For each digit: 'o' success, 'e' error, 'E' error that also ends a wait
// for --until, 'u' unsolicited, ' ' not a code.
constexpr char numeric_codes[] = "oouEe eee ";

// The longest line an unsolicited code that gives a PDU's length alone takes.
constexpr int pdu_length_line = 9;

// Longer than any name a line's head can hold.
constexpr int command_name_limit = 64;

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
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

} // namespace

reply_reader::reply_reader(const reader_setup& setup)
    : setup_(setup), command_length_(static_cast<int>(std::strlen(setup.command)))
{
    // The commands that send or store a message in text mode (AT+CMGS,
    // AT+CMGW) ask for it with "> " and wait; those that list or read
    // messages (AT+CMGL, AT+CMGR) may carry a body that reads as a result
    // code. A message text is none of them.
    char kind = '\0';
    if (setup.echo_end == '\0' && strncasecmp(setup.command, "AT+CMG", 6) == 0)
        kind = static_cast<char>(setup.command[6] | 0x20);
    prompt_allowed_ = kind == 's' || kind == 'w';
    confirm_by_quiet_ = kind == 'l' || kind == 'r';
}

int reply_reader::feed(const char* bytes, int length)
{
    for (int i = 0; i < length; ++i)
        if (over_ || !take(bytes[i]))
            return i;
    return length;
}

void reply_reader::quiet()
{
    if (digit_pending_ != '\0')
        resolve_digit(false);
    if (result_pending_) {
        result_pending_ = false;
        if (setup_.info_only)
            out_length_ = 0;
        over_ = over_ || settle_result(pending_code_, pending_command_error_);
    }
}

void reply_reader::finish()
{
    // A line cut short by the end of the reading: a lone digit is taken for
    // the code it would be, and a code waiting for quiet for a code.
    if (digit_pending_ != '\0' || result_pending_) {
        digit_pending_ = '\0';
        result_pending_ = false;
        if (setup_.info_only)
            out_length_ = 0;
    } else if (setup_.info_only) {
        end_line();
        // A code cut short by the end of the reading is no information.
        if (result_pending_)
            out_length_ = 0;
    }
    print_out();
    if (!setup_.info_only) {
        keep("\n", 1);
        print_out();
    }
}

// One byte; false when it is not the reply's (it showed that the reply had
// ended before it).
bool reply_reader::take(char byte)
{
    // A zero byte is line noise here, not an end.
    if (byte == '\0')
        return true;
    if (digit_pending_ != '\0') {
        resolve_digit(byte == '\n');
        if (over_)
            return false;
    }
    // A code followed by more than its line end was message text.
    if (result_pending_ && !(byte == '\n' && last_was_cr_)) {
        result_pending_ = false;
        if (setup_.info_only) {
            keep("\n", 1);
            print_out();
        }
    }
    last_was_cr_ = byte == '\r';
    if (!setup_.info_only)
        keep(&byte, 1);

    // A line end inside the echo of a text that holds one (a message of
    // several lines) is part of the echo.
    bool in_echo = echo_ == echo::matching && echo_matched_ > 0 && echo_matched_ < command_length_ &&
                   byte == setup_.command[echo_matched_];
    if ((byte != '\r' && byte != '\n') || in_echo) {
        if (prompt_allowed_ && line_length_ == 1 && head_[0] == '>' && byte == ' ') {
            // Read to the quiet, the prompt is left out and ends nothing.
            end_ = reply_end::prompt;
            over_ = !setup_.to_quiet;
            line_length_ = 0;
            echo_ = echo::settled;
            if (setup_.info_only)
                out_length_ = 0;
            return true;
        }
        add_to_line(byte);
        return true;
    }
    // A one-digit line ended by CR: a numeric result code unless LF follows.
    bool echo_line = echo_ == echo::matching && echo_matched_ == command_length_;
    if (byte == '\r' && line_length_ == 1 && is_digit(head_[0]) && !echo_line) {
        digit_pending_ = head_[0];
        return true;
    }
    end_line();
    if (byte == '\n') {
        if (!setup_.info_only)
            print_out();
        over_ = over_ || end_at_lf_;
    }
    return true;
}

void reply_reader::add_to_line(char byte)
{
    quotes_ += byte == '"';
    if (line_length_ < head_capacity)
        head_[line_length_] = byte;
    if (line_length_ < line_capacity)
        ++line_length_;
    if (setup_.until != nullptr && until_matched_ >= 0 && setup_.until[until_matched_] != '\0')
        until_matched_ = byte == setup_.until[until_matched_] ? until_matched_ + 1 : -1;

    // A byte that goes on matching the command is kept back (see
    // keep_echo_part) until the line turns out not to be the echo.
    bool held = false;
    if (echo_ == echo::matching) {
        if (echo_matched_ < command_length_ && byte == setup_.command[echo_matched_]) {
            ++echo_matched_;
            held = true;
        } else if (echo_matched_ == command_length_ && setup_.echo_end != '\0' &&
                   byte == setup_.echo_end) {
            echo_ = echo::ended;
            held = true;
        } else {
            keep_echo_part();
            echo_ = echo::other;
        }
    } else if (echo_ == echo::ended) {
        keep_echo_part();
        echo_ = echo::other;
    }
    // The message text of an unsolicited code is never printed with
    // info_only, not even a long one's first pieces.
    if (setup_.info_only && !held && !drop_next_line_)
        keep(&byte, 1);
}

// With info_only, the part of the line that matched the command was not
// kept; once the line is known not to be the echo, it is (without CR: an
// information line never holds one).
void reply_reader::keep_echo_part()
{
    if (!setup_.info_only)
        return;
    for (int i = 0; i < echo_matched_; ++i)
        if (setup_.command[i] != '\r')
            keep(&setup_.command[i], 1);
    if (echo_ == echo::ended)
        keep(&setup_.echo_end, 1);
}

bool reply_reader::head_is(const char* text, bool prefix) const
{
    // Longer lines are printed in pieces as they come: never a code.
    if (line_length_ >= line_capacity)
        return false;
    int known = head_length();
    int i = 0;
    while (text[i] != '\0' && i < known && head_[i] == text[i])
        ++i;
    return text[i] == '\0' && (prefix || i == line_length_);
}

// Whether a command on the command line carries the name the line starts
// with ("+CREG: 1" and AT+CREG? or at+cops?;+creg?), in any case.
bool reply_reader::owned() const
{
    int known = head_length();
    int length = name_length(head_, known);
    if (length == 0 || length >= known || head_[length] != ':')
        return false;
    for (int i = 0; i < setup_.owner_count; ++i) {
        const char* p = setup_.owners[i];
        if (strncasecmp(p, "AT", 2) != 0)
            continue;
        // Each command of a chain ("AT+CREG?;+CSQ") carries its own name.
        for (p += 2;; ++p) {
            if (name_length(p, command_name_limit) == length &&
                strncasecmp(p, head_, static_cast<size_t>(length)) == 0)
                return true;
            while (*p != '\0' && *p != ';')
                ++p;
            if (*p == '\0')
                break;
        }
    }
    return false;
}

// Out of line: inlined into end_line, it costs the router's flash more than
// the call does.
__attribute__((noinline)) reply_reader::line_kind reply_reader::classify()
{
    if ((echo_ == echo::matching && echo_matched_ == command_length_) || echo_ == echo::ended)
        return line_kind::echo_line;
    for (const char* code = result_codes; *code != '\0'; code += std::strlen(code) + 1) {
        char last = code[std::strlen(code) - 1];
        if (head_is(code + 1, last == ':' || last == ' ')) {
            pending_code_ = *code == 'o' ? reply_end::ok : reply_end::error;
            pending_command_error_ = *code == 'E';
            return line_kind::result;
        }
    }
    if (setup_.until != nullptr && until_matched_ >= 0 && setup_.until[until_matched_] == '\0')
        return line_kind::until_line;
    // Vendors send their own unsolicited codes as "^NAME: ..." (Huawei's
    // ^RSSI:, ^BOOT:, ^MODE:, ...).
    int name = name_length(head_, head_length());
    bool vendor = head_[0] == '^' && name > 0 && name < line_length_ && name < head_capacity &&
                  head_[name] == ':';
    for (const char* code = unsolicited_codes; *code != '\0'; code += std::strlen(code) + 1) {
        char data = *code < ' ' ? *code++ : '\0';
        size_t length = std::strlen(code);
        if (!vendor && !head_is(code, code[length - 1] == ':'))
            continue;
        if (owned())
            return line_kind::owned_unsolicited;
        // PDU mode's +CDS: gives the PDU's length alone ("+CDS: 25", at most
        // three digits), and the PDU follows; text mode's has seven fields.
        data_line_ = !vendor && (data == '\x01' || (data == '\x02' && line_length_ <= pdu_length_line));
        return line_kind::unsolicited;
    }
    return line_kind::text;
}

void reply_reader::end_line()
{
    if (line_length_ == 0)
        return;
    bool data_line = drop_next_line_;
    drop_next_line_ = false;
    data_line_ = false;
    // The message text after +CMT: (or +CBM:, +CDS:) is never a code, even
    // when it reads "OK".
    line_kind kind = data_line ? line_kind::unsolicited : classify();

    if (setup_.info_only) {
        // A line that matched the command so far but is not the echo: its
        // text was held back.
        if (kind != line_kind::echo_line && (echo_ == echo::matching || echo_ == echo::ended))
            keep_echo_part();
        bool shown = kind == line_kind::until_line ||
                     ((kind == line_kind::text || kind == line_kind::owned_unsolicited) && !data_line);
        if (shown) {
            keep("\n", 1);
            print_out();
        } else if (!(kind == line_kind::result && confirm_by_quiet_)) {
            out_length_ = 0;
        }
    }
    // Unsolicited lines may come before the echo; anything else settles it.
    bool unsolicited = kind == line_kind::unsolicited || kind == line_kind::owned_unsolicited;
    echo_ = echo_ != echo::settled && unsolicited ? echo::matching : echo::settled;
    echo_matched_ = 0;
    line_length_ = 0;
    until_matched_ = 0;

    if (kind == line_kind::unsolicited)
        drop_next_line_ = data_line_;
    // The --until line ends where its quotes do: a USSD text may hold line
    // breaks ("+CUSD: 1,\"Menu\n1. Balance\",15").
    if (kind == line_kind::until_line || until_open_) {
        until_seen_ = true;
        until_open_ = until_open_ != ((quotes_ & 1) != 0);
        if (waiting_until_ && !until_open_) {
            end_ = reply_end::ok;
            end_at_lf_ = true;
        }
    }
    quotes_ = 0;
    if (kind == line_kind::result) {
        if (confirm_by_quiet_)
            result_pending_ = true;
        else
            end_at_lf_ = end_at_lf_ || settle_result(pending_code_, pending_command_error_);
    }
}

// A final result code arrived; true when it ends the reply.
bool reply_reader::settle_result(reply_end code, bool command_error)
{
    if (setup_.to_quiet)
        return false;
    if (waiting_until_) {
        if (!command_error)
            return false;
    } else if (code == reply_end::ok && setup_.until != nullptr && !until_seen_) {
        waiting_until_ = true;
        return false;
    }
    end_ = code;
    return true;
}

// The byte after a one-digit line's CR has come (or quiet, or the end).
void reply_reader::resolve_digit(bool followed_by_lf)
{
    char kind = numeric_codes[digit_pending_ - '0'];
    digit_pending_ = '\0';
    if (followed_by_lf || kind == ' ') {
        end_line();
        return;
    }
    // A numeric code: never information, and its CR ends it.
    if (setup_.info_only)
        out_length_ = 0;
    line_length_ = 0;
    until_matched_ = 0;
    echo_matched_ = 0;
    if (echo_ != echo::settled)
        echo_ = kind == 'u' ? echo::matching : echo::settled;
    if (kind != 'u' &&
        settle_result(kind == 'o' ? reply_end::ok : reply_end::error, kind == 'E'))
        over_ = true;
}

// Queues bytes for printing; a full buffer goes out as a piece of the line.
void reply_reader::keep(const char* bytes, int length)
{
    for (int i = 0; i < length; ++i) {
        if (out_length_ == line_capacity)
            print_out();
        out_[out_length_++] = bytes[i];
    }
}

void reply_reader::print_out()
{
    if (out_length_ > 0 && print_errno_ == 0 && !setup_.print(setup_.print_context, out_, out_length_)) {
        print_errno_ = errno != 0 ? errno : EIO;
        over_ = true;
    }
    out_length_ = 0;
}
