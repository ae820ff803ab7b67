// The simulated modem: a poll loop on the pseudo-terminal master that echoes,
// collects command lines, and sends timed answers.
#include "sim/modem.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace atsim {

namespace {

constexpr char ok[] = "\r\nOK\r\n";
constexpr char error[] = "\r\nERROR\r\n";
constexpr char ring[] = "RING"; // what faults::urc_every_ms sends unless told otherwise
constexpr char text_prompt[] = "\r\n> "; // asks for a message's text
constexpr char endless_pattern[] = "+CMGL: 1,\"REC READ\",\"+15550100\",,\"endless\"\r\n";

long long now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

std::string upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Whether `text` is exactly `count` decimal numbers separated by commas.
bool is_decimal_list(std::string_view text, int count)
{
    int numbers = 0;
    bool in_number = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            numbers += in_number ? 0 : 1;
            in_number = true;
        } else if (c == ',' && in_number) {
            in_number = false;
        } else {
            return false;
        }
    }
    return in_number && numbers == count;
}

// One digit from 0 to `highest`, as a switch such as AT+CMEE=<n> takes.
template <char highest>
bool setting(std::string_view text)
{
    return text.size() == 1 && text[0] >= '0' && text[0] <= highest;
}

// One or two quoted strings of digits: a PIN, or a PUK and a new PIN.
bool pins(std::string_view text)
{
    for (int i = 0; i < 2; ++i) {
        if (text.size() < 3 || text[0] != '"')
            return false;
        size_t end = text.find('"', 1);
        if (end == std::string_view::npos || end == 1 ||
            text.substr(1, end - 1).find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        text.remove_prefix(end + 1);
        if (text.empty())
            return true;
        if (text[0] != ',')
            return false;
        text.remove_prefix(1);
    }
    return false;
}

bool one_number(std::string_view text) { return is_decimal_list(text, 1); }

bool two_numbers(std::string_view text) { return is_decimal_list(text, 2); }

bool one_or_two_numbers(std::string_view text) { return one_number(text) || two_numbers(text); }

// A quoted string without quotes inside, and what follows it.
bool quoted(std::string_view text, std::string_view& rest)
{
    size_t end = text.starts_with('"') ? text.find('"', 1) : std::string_view::npos;
    if (end == std::string_view::npos)
        return false;
    rest = text.substr(end + 1);
    return true;
}

// AT+CUSD=<n> (0 and 1 switch the presentation of network answers, 2 ends
// the session) or AT+CUSD=1,"<code>"[,<dcs>], a request to the network.
bool ussd_parameters(std::string_view text)
{
    if (text.size() == 1)
        return text[0] >= '0' && text[0] <= '2';
    std::string_view rest;
    if (!text.starts_with("1,\"") || text.starts_with("1,\"\"") || !quoted(text.substr(2), rest))
        return false;
    return rest.empty() || (rest[0] == ',' && one_number(rest.substr(1)));
}

// USSD texts as a network and a modem encode them, written bit by bit from
// 3GPP TS 23.038 (6.1.2.3.1 and 6.2.1) for the ASCII characters the
// simulator sends, independently of the tool's own decoder so that each
// checks the other. The GSM septet of an ASCII character: the same value
// except for the few the GSM alphabet places elsewhere.
int gsm_septet(char c)
{
    switch (c) {
    case '@': return 0x00;
    case '$': return 0x02;
    case '_': return 0x11;
    case '[': case '\\': case ']': case '^': case '`': case '{': case '|': case '}': case '~':
        return '?'; // extension characters: none in what the simulator says
    default: return c;
    }
}

const char hex_digits[] = "0123456789ABCDEF";

// Septets packed into octets, the first in the low bits; a CR fills 7 spare
// bits so that they cannot read as "@".
std::string packed_hex(std::string_view text)
{
    std::vector<bool> bits;
    auto add = [&](int septet) {
        for (int b = 0; b < 7; ++b)
            bits.push_back((septet >> b & 1) != 0);
    };
    for (char c : text)
        add(gsm_septet(c));
    if (text.size() % 8 == 7)
        add('\r');
    std::string hex;
    for (size_t at = 0; at < bits.size(); at += 8) {
        int octet = 0;
        for (size_t b = 0; b < 8 && at + b < bits.size(); ++b)
            octet |= bits[at + b] << b;
        (hex += hex_digits[octet >> 4]) += hex_digits[octet & 15];
    }
    return hex;
}

// A USSD code sent packed (as Huawei sticks want it): the code, or "" when
// `hex` is no packed dial string (digits, *, #, +).
std::string unpacked_code(std::string_view hex)
{
    std::vector<bool> bits;
    for (char c : hex) {
        const char* digit = std::strchr(hex_digits, c);
        if (c == '\0' || digit == nullptr)
            return "";
        for (int b = 3; b >= 0; --b)
            bits.push_back(((digit - hex_digits) >> b & 1) != 0);
    }
    if (hex.size() % 2 != 0)
        return "";
    // Within each octet the bits came most significant first: reverse them.
    for (size_t at = 0; at < bits.size(); at += 8)
        std::reverse(bits.begin() + static_cast<long>(at),
                     bits.begin() + static_cast<long>(at) + 8);
    std::string code;
    for (size_t at = 0; at + 7 <= bits.size(); at += 7) {
        int septet = 0;
        for (int b = 0; b < 7; ++b)
            septet |= bits[at + b] << b;
        code += static_cast<char>(septet);
    }
    if (hex.size() / 2 % 7 == 0 && code.ends_with('\r'))
        code.pop_back();
    bool dial = !code.empty() && code.find_first_not_of("0123456789*#+") == std::string::npos;
    return dial ? code : "";
}

// UCS-2 hex of ASCII text: four digits a character.
std::string ucs2_hex(std::string_view text)
{
    std::string hex;
    for (unsigned char c : text)
        for (int shift = 12; shift >= 0; shift -= 4)
            hex += hex_digits[c >> shift & 15];
    return hex;
}

// The network's answer to a USSD code, encoded as `f` asks.
std::string ussd_answer(const faults& f, const std::string& code)
{
    std::string status = "+CUSD: " + std::to_string(f.ussd_status);
    if (f.ussd_status > 2)
        return status;
    std::string text = "Balance for " + code + ": 12.34 EUR, valid until 31.12.2030";
    switch (f.ussd_encoding) {
    case faults::ussd_form::plain: return status + ",\"" + text + "\",15";
    case faults::ussd_form::gsm7: return status + ",\"" + packed_hex(text) + "\",15";
    case faults::ussd_form::ucs2: return status + ",\"" + ucs2_hex(text) + "\",72";
    case faults::ussd_form::ucs2_dcs15: break;
    }
    return status + ",\"" + ucs2_hex(text) + "\",15";
}

// The message states AT+CMGL takes in text mode.
constexpr std::string_view message_states[] = {
    "\"REC UNREAD\"", "\"REC READ\"", "\"STO UNSENT\"", "\"STO SENT\"", "\"ALL\"",
};

bool message_state(std::string_view text)
{
    return std::find(std::begin(message_states), std::end(message_states), text) !=
           std::end(message_states);
}

// The result codes in their numeric form, which ATV0 selects (ITU-T V.250
// 6.2.6; the same numbers in every maker's manual, e.g. Cinterion EHS6 2.5.1).
struct numeric_code {
    std::string_view verbose;
    char digit;
};
constexpr numeric_code numeric_codes[] = {
    {"OK", '0'}, {"CONNECT", '1'}, {"RING", '2'}, {"NO CARRIER", '3'},
    {"ERROR", '4'}, {"NO DIALTONE", '6'}, {"BUSY", '7'}, {"NO ANSWER", '8'},
};

// An answer framed as in ATV0: a result code becomes its digit and CR, any
// other line (information text, +CME ERROR and +CMS ERROR included) loses
// the CR LF before it and keeps the one after, as a Qualcomm modem in V0
// answers "+CREG: 1,1\r\n0\r" (HTC RIL log, pastebin.com/index/1Vv68HMs).
std::string numeric_framing(std::string_view verbose)
{
    std::string text;
    for (size_t at = 0; at < verbose.size();) {
        if (verbose.substr(at).starts_with("\r\n")) {
            at += 2;
            continue;
        }
        size_t end = std::min(verbose.find("\r\n", at), verbose.size());
        std::string_view line = verbose.substr(at, end - at);
        const numeric_code* code = std::find_if(
            std::begin(numeric_codes), std::end(numeric_codes),
            [&](const numeric_code& c) { return c.verbose == line; });
        if (code != std::end(numeric_codes))
            (text += code->digit) += '\r';
        else
            (text += line) += "\r\n";
        at = end + 2;
    }
    return text;
}

// The phonebook AT+CPBR reads: entries 1 to phonebook_size, each a made-up
// number and name, so a whole listing is about 88 KB.
constexpr int phonebook_size = 2000;

// The index in `digits`, or -1 when it is past the phonebook.
int phonebook_index(std::string_view digits)
{
    int index = -1;
    std::from_chars(digits.data(), digits.data() + digits.size(), index);
    return index <= phonebook_size ? index : -1;
}

std::string phonebook_entry(int index)
{
    std::string digits = std::to_string(index);
    digits.insert(0, 7 - digits.size(), '0');
    return "+CPBR: " + std::to_string(index) + ",\"555" + digits + "\",129,\"Contact " +
           std::to_string(index) + "\"";
}

// The one short message received before the simulator started, in storage
// slot 0 (AT+CMGW stores from 1 on): a telemetry unit's reply whose last
// line is "OK" (reported from a Siemens MC35i, github.com/adammck/pygsm
// issue 3). Its line breaks are LF, as the text holds them: an Ericsson
// passes an LF in a USSD text on as it is (gammu issue 150).
constexpr char received_header[] = "+CMGL: 0,\"REC READ\",\"+15550199\",,\"10/06/12,09:30:05+08\"";
constexpr char received_text[] = "INSYS GSM 4.X:\nBLOCK:\n\n100:\nAx=+01234\n\nOK";

// Digits and the dial modifiers of V.250 (pause, tone, pulse, wait, flash).
bool is_dial_string(std::string_view text)
{
    constexpr std::string_view allowed = "0123456789*#+ABCD,TPW!@";
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

// A quoted phone number, optionally followed by its type: "+15550100",145.
bool address(std::string_view text)
{
    if (!text.starts_with('"'))
        return false;
    size_t end = text.find('"', 1);
    if (end == std::string_view::npos || !is_dial_string(text.substr(1, end - 1)))
        return false;
    std::string_view type = text.substr(end + 1);
    return type.empty() || (type[0] == ',' && one_number(type.substr(1)));
}

// A voice call: a dial string and the semicolon that keeps the modem in
// command mode (without it, a data call).
bool voice_call(std::string_view text)
{
    return text.ends_with(';') && is_dial_string(text.substr(0, text.size() - 1));
}

// What a command changes besides answering.
enum class effect {
    none, echo_off, echo_on, numeric, verbose, dial, set_cmee, show_cmee, pin_not_wanted,
    set_cmgf, show_cmgf, send_message, store_message, list_messages, read_phonebook, ussd,
};

// An equipment error as numbered in 3GPP TS 27.007, with the text that
// AT+CMEE=2 reports instead of the number.
struct equipment_error {
    int code;
    std::string_view text;
};
constexpr equipment_error operation_not_allowed = {3, "operation not allowed"};
constexpr equipment_error invalid_index = {21, "invalid index"};
// What a network that fails a USSD request sends after the OK (gammu issue
// 326, a Huawei with AT+CMEE=1; "retry operation" after a Qualcomm M6281's
// OK, stackoverflow question 29731461).
constexpr equipment_error retry_operation = {258, "retry operation"};

// A command the modem knows: its name after "AT" (upper case), the
// parameters it takes after the name (none when `takes` is null), the
// information lines it answers before OK, what it changes, and how long it
// takes (a network search is slow; the echo still comes at once).
struct known_command {
    std::string_view name;
    bool (*takes)(std::string_view parameters) = nullptr;
    std::array<std::string_view, 5> lines = {};
    effect does = effect::none;
    int late_ms = 0;
};

constexpr known_command known_commands[] = {
    {""},
    {"H"},
    {"H0"},
    // ATE alone means ATE0, as for any numbered basic command.
    {"E", nullptr, {}, effect::echo_off},
    {"E0", nullptr, {}, effect::echo_off},
    {"E1", nullptr, {}, effect::echo_on},
    // Result codes: numeric (ATV0, ATV alone) or verbose (ATV1).
    {"V", nullptr, {}, effect::numeric},
    {"V0", nullptr, {}, effect::numeric},
    {"V1", nullptr, {}, effect::verbose},
    {"I", nullptr, {"Manufacturer: atquery", "Model: atquery-sim", "Revision: 1.0",
                    "IMEI: 356938035643809", "+GCAP: +CGSM"}},
    {"+CGMI", nullptr, {"atquery"}},
    {"+CGMM", nullptr, {"atquery-sim"}},
    {"+CGMR", nullptr, {"1.0"}},
    {"+CGSN", nullptr, {"356938035643809"}},
    {"+CSQ", nullptr, {"+CSQ: 23,99"}},
    {"+CPIN?", nullptr, {"+CPIN: READY"}},
    // The SIM is ready: no PIN (or PUK) is wanted.
    {"+CPIN=", pins, {}, effect::pin_not_wanted},
    // How errors are reported: plain ERROR (0), +CME ERROR: <n> (1) or <text> (2).
    {"+CMEE=", setting<'2'>, {}, effect::set_cmee},
    {"+CMEE?", nullptr, {}, effect::show_cmee},
    {"+CMEE=?", nullptr, {"+CMEE: (0-2)"}},
    // Short messages: PDU mode (0) at first; text mode (1) takes
    // AT+CMGS="<number>" (send) and AT+CMGW="<number>" (store), then the
    // text after a prompt.
    {"+CMGF=", setting<'1'>, {}, effect::set_cmgf},
    {"+CMGF?", nullptr, {}, effect::show_cmgf},
    {"+CMGF=?", nullptr, {"+CMGF: (0,1)"}},
    {"+CMGS=", address, {}, effect::send_message},
    {"+CMGW=", address, {}, effect::store_message},
    // Stored messages in text mode; alone it lists the unread ones.
    {"+CMGL", nullptr, {}, effect::list_messages},
    {"+CMGL=", message_state, {}, effect::list_messages},
    {"+CPBR=", one_or_two_numbers, {}, effect::read_phonebook},
    {"+CPBR=?", nullptr, {"+CPBR: (1-2000),20,18"}}, // the indexes: 1 to phonebook_size
    // USSD: OK at once, the network's answer later as an unsolicited +CUSD.
    {"+CUSD=", ussd_parameters, {}, effect::ussd},
    {"+CUSD=?", nullptr, {"+CUSD: (0-2)"}},
    {"+COPS?", nullptr, {"+COPS: 0,0,\"atquery net\",7"}},
    // The operators in reach: the current one, one more, and the modes and
    // formats the command takes.
    {"+COPS=?", nullptr,
     {"+COPS: (2,\"atquery net\",\"atquery\",\"26201\",7),(1,\"Operator B\",\"OpB\",\"26202\",2),"
      ",(0-4),(0-2)"},
     effect::none, 2000},
    {"D", voice_call, {}, effect::dial},
    // The modem-specific commands of a voice set-up: sleep, audio path, gains.
    {"$NOSLEEP=", one_number},
    {"+GDT=", one_number},
    {"$AUPATH=", two_numbers},
    {"$AUGAIN=", two_numbers},
};

// One line as the modem frames it: CR LF before and after.
std::string framed(const std::string& line)
{
    return "\r\n" + line + "\r\n";
}

// One line framed as information text, then OK.
std::string info(const std::string& line)
{
    return framed(line) + ok;
}

// The lines framed as information text, then OK.
std::string info(const std::array<std::string_view, 5>& lines)
{
    if (lines[0].empty())
        return ok;
    std::string text = "\r\n";
    for (std::string_view line : lines) {
        if (line.empty())
            break;
        text += line;
        text += "\r\n";
    }
    return text + ok;
}

const known_command* find_command(std::string_view body)
{
    for (const known_command& command : known_commands) {
        if (!body.starts_with(command.name))
            continue;
        std::string_view parameters = body.substr(command.name.size());
        if (command.takes != nullptr ? command.takes(parameters) : parameters.empty())
            return &command;
    }
    return nullptr;
}

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

modem::modem(faults f) : faults_(f) {}

modem::~modem()
{
    stop();
    close_fd(master_fd_);
    close_fd(slave_fd_);
    close_fd(wake_pipe_[0]);
    close_fd(wake_pipe_[1]);
}

bool modem::open()
{
    // Close-on-exec: a tool started from this process must not hold the
    // master, or closing it here would never hang the line up.
    master_fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0 || grantpt(master_fd_) != 0 || unlockpt(master_fd_) != 0)
        return false;
    const char* name = ptsname(master_fd_);
    if (name == nullptr)
        return false;
    slave_path_ = name;
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0 || pipe2(wake_pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    // Start raw like a bare serial port: an echoing line discipline would send
    // our own answers back to us while no program has the port.
    termios raw;
    if (tcgetattr(slave_fd_, &raw) != 0)
        return false;
    cfmakeraw(&raw);
    if (tcsetattr(slave_fd_, TCSANOW, &raw) != 0)
        return false;
    int flags = fcntl(master_fd_, F_GETFL);
    return flags >= 0 && fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK) == 0;
}

void modem::script(const std::string& command, const std::string& answer)
{
    scripts_[command] = answer;
}

void modem::inject(const std::string& bytes)
{
    ssize_t done = 0;
    while (done < static_cast<ssize_t>(bytes.size())) {
        ssize_t n = ::write(master_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (n > 0)
            done += n;
    }
}

std::string modem::received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<message> modem::messages() const
{
    std::lock_guard lock(mutex_);
    return messages_;
}

bool modem::hung_up() const
{
    std::lock_guard lock(mutex_);
    return hung_up_;
}

void modem::start()
{
    thread_ = std::thread([this] { serve(); });
}

// The wake pipe carries one byte per request: 'r' to release the terminal's
// output, anything else to stop. It does not block: a full pipe already
// wakes serve().
void modem::wake(char request)
{
    if (wake_pipe_[1] >= 0)
        [[maybe_unused]] ssize_t n = ::write(wake_pipe_[1], &request, 1);
}

void modem::interrupt() { wake('s'); }

void modem::release() { wake('r'); }

void modem::stop()
{
    interrupt();
    if (thread_.joinable())
        thread_.join();
}

void modem::hang_up()
{
    std::lock_guard lock(mutex_);
    close_fd(master_fd_);
    close_fd(slave_fd_);
    hung_up_ = true;
}

void modem::queue(long long due_us, std::string bytes, bool hangup_after, bool more_follows)
{
    out_.emplace(due_us, pending{std::move(bytes), hangup_after, more_follows, false});
}

void modem::take(char byte, long long now)
{
    if (faults_.silent)
        return;
    // A command line ends at CR; the LF that usually follows is not part of
    // it (nor of a message's text after it) and is not echoed.
    bool after_command = last_was_cr_;
    last_was_cr_ = false;
    if (byte == '\n' && after_command)
        return;
    if (entering_)
        return take_text(byte, now);
    // Some modems let an unsolicited line out just as a command starts, so
    // that it reaches the port before the echo (gammu issue 126: "^SRVST:0"
    // before "AT+CPIN?" from a Huawei E1752).
    if (line_.empty() && byte != '\r' && byte != '\n' && !faults_.urc_before_echo.empty())
        queue(now, next_unsolicited(faults_.urc_before_echo, before_echo_turn_));
    if (echo_)
        queue(now, std::string(1, byte));
    if (byte == '\r') {
        last_was_cr_ = true;
        std::string line;
        line.swap(line_);
        answer(line, now);
    } else if (byte != '\n') {
        line_ += byte;
    }
}

// A message's text ends with Ctrl-Z, or is dropped with ESC; a CR in it is a
// line break, after which the modem prompts again.
void modem::take_text(char byte, long long now)
{
    constexpr char ctrl_z = '\x1a', esc = '\x1b';
    if (byte == esc) {
        entering_ = false;
        respond({ok}, now);
        return;
    }
    if (byte == ctrl_z) {
        entering_ = false;
        int number;
        {
            std::lock_guard lock(mutex_);
            messages_.push_back(entry_);
            number = entry_.sent ? ++sent_ % 256 : ++stored_;
        }
        respond({"\r\n+" + std::string(entry_.sent ? "CMGS" : "CMGW") + ": " +
                 std::to_string(number) + "\r\n" + ok},
                now);
        return;
    }
    if (echo_)
        queue(now, std::string(1, byte));
    entry_.text += byte;
    if (byte == '\r')
        respond({text_prompt, 0, ending::prompt}, now);
}

void modem::answer(const std::string& line, long long now)
{
    endless_from_us_ = -1;
    if (hook_)
        hook_(line);
    auto scripted = scripts_.find(line);
    respond(scripted != scripts_.end() ? reply{scripted->second, 0, ending::script}
                                       : builtin_answer(line),
            now);
}

void modem::respond(reply r, long long now)
{
    std::string& text = r.text;
    if (text.empty())
        return;
    // One command at a time: an answer never starts before the one before it
    // is out, however late that was.
    long long due = std::max(now + (faults_.delay_ms + r.late_ms) * 1000LL, answered_by_us_);
    if (faults_.endless) {
        endless_from_us_ = due;
        return;
    }
    if (!verbose_ && r.ends == ending::result)
        text = numeric_framing(text);
    if (faults_.zero_byte)
        text.insert(text.size() / 2, 1, '\0');

    // Split into pieces of near-equal size, gap_ms apart.
    int pieces = std::clamp(faults_.pieces, 1, static_cast<int>(text.size()));
    size_t from = 0;
    for (int i = 0; i < pieces; ++i) {
        size_t to = text.size() * (i + 1) / pieces;
        queue(due, text.substr(from, to - from), false, i + 1 < pieces);
        from = to;
        if (i + 1 < pieces)
            due += faults_.gap_ms * 1000LL;
    }
    answered_by_us_ = due;
    if (!r.network_answer.empty()) {
        ussd_answer_ = as_unsolicited(r.network_answer);
        ussd_due_us_ = due + faults_.ussd_delay_ms * 1000LL;
    }
    // Right after a final result code, as a Huawei E150 sends "^RSSI:21"
    // after the OK to AT+CUSD (gammu issue 294).
    if (r.ends != ending::prompt && faults_.urc_every_ms == 0 && !faults_.urc_lines.empty())
        out_.emplace(due, pending{next_unsolicited(faults_.urc_lines, urc_turn_), false, false,
                                  true});
    if (faults_.hangup_after_answer_ms >= 0)
        queue(due + faults_.hangup_after_answer_ms * 1000LL, "", true);
}

// How `line` goes out as an unsolicited result code: framed as information
// text, or in ATV0 as a result code's digit and CR when it is one.
std::string modem::as_unsolicited(const std::string& line) const
{
    return verbose_ ? framed(line) : numeric_framing(framed(line));
}

// The unsolicited line whose turn it is among `lines`, framed.
std::string modem::next_unsolicited(const std::vector<std::string>& lines, size_t& turn)
{
    return as_unsolicited(lines[turn++ % lines.size()]);
}

// The stored messages in `status` (a quoted AT+CMGL state) in text mode,
// framed as information text, then OK.
std::string modem::message_listing(std::string_view status) const
{
    std::string text;
    auto add = [&](const std::string& header, std::string_view body) {
        (((text += "\r\n") += header) += "\r\n") += body;
    };
    bool all = status == "\"ALL\"";
    if (all || status == "\"REC READ\"")
        add(received_header, received_text);
    if (all || status == "\"STO UNSENT\"") {
        std::lock_guard lock(mutex_);
        int index = 0;
        for (const message& m : messages_)
            if (!m.sent)
                add("+CMGL: " + std::to_string(++index) + ",\"STO UNSENT\",\"" + m.number + "\",,",
                    m.text);
    }
    return text.empty() ? ok : text + "\r\n" + ok;
}

// The line that reports an equipment error as AT+CMEE asks. Unknown commands
// and bad parameters stay plain ERROR whatever it says, as in 3GPP modems:
// +CME ERROR is for commands the modem took but could not carry out.
std::string modem::equipment_error(int code, std::string_view text) const
{
    if (cmee_ == 0)
        return "ERROR";
    return "+CME ERROR: " + (cmee_ == 1 ? std::to_string(code) : std::string(text));
}

modem::reply modem::builtin_answer(const std::string& raw_line)
{
    std::string line = upper(raw_line);
    if (line.empty())
        return {};
    if (!line.starts_with("AT"))
        return {error};
    std::string_view body = std::string_view(line).substr(2);
    const known_command* command = find_command(body);
    if (command == nullptr)
        return {error};
    switch (command->does) {
    case effect::none: break;
    case effect::echo_off: echo_ = false; break;
    case effect::echo_on: echo_ = true; break;
    case effect::numeric: verbose_ = false; break;
    case effect::verbose: verbose_ = true; break;
    case effect::set_cmee: cmee_ = body.back() - '0'; break;
    case effect::show_cmee: return {info("+CMEE: " + std::to_string(cmee_))};
    case effect::pin_not_wanted:
        return {framed(equipment_error(operation_not_allowed.code, operation_not_allowed.text))};
    case effect::set_cmgf: cmgf_ = body.back() - '0'; break;
    case effect::show_cmgf: return {info("+CMGF: " + std::to_string(cmgf_))};
    case effect::send_message:
    case effect::store_message: {
        // In PDU mode these take a length, not a number.
        if (cmgf_ == 0)
            return {"\r\n+CMS ERROR: 302\r\n"};
        size_t quote = body.find('"') + 1;
        entry_ = {command->does == effect::send_message,
                  std::string(body.substr(quote, body.find('"', quote) - quote)), ""};
        entering_ = true;
        return {text_prompt, 0, ending::prompt};
    }
    case effect::list_messages:
        if (cmgf_ == 0)
            return {"\r\n+CMS ERROR: 302\r\n"};
        return {message_listing(body.ends_with('"') ? body.substr(body.find('"'))
                                                    : "\"REC UNREAD\"")};
    case effect::read_phonebook: {
        std::string_view indexes = body.substr(body.find('=') + 1);
        size_t comma = indexes.find(',');
        int first = phonebook_index(indexes.substr(0, comma));
        int last = comma == std::string_view::npos ? first
                                                   : phonebook_index(indexes.substr(comma + 1));
        if (first < 1 || last < first)
            return {framed(equipment_error(invalid_index.code, invalid_index.text))};
        std::string text;
        for (int i = first; i <= last; ++i)
            ((text += "\r\n") += phonebook_entry(i));
        return {text + "\r\n" + ok};
    }
    case effect::ussd: {
        if (body == "+CUSD=2") // the session ends: no answer comes any more
            ussd_due_us_ = -1;
        size_t quote = body.find('"') + 1;
        if (quote == 0) // AT+CUSD=<n> alone asks the network nothing
            break;
        std::string code(body.substr(quote, body.find('"', quote) - quote));
        if (std::string unpacked = unpacked_code(code); !unpacked.empty())
            code = unpacked;
        std::string answer = faults_.ussd_fail
                                 ? equipment_error(retry_operation.code, retry_operation.text)
                                 : ussd_answer(faults_, code);
        return {ok, 0, ending::result, answer};
    }
    case effect::dial:
        // The far end of a number ending in 9 is busy; it takes a while to tell.
        if (body[body.size() - 2] == '9')
            return {"\r\nBUSY\r\n", 1000};
        break;
    }
    return {info(command->lines), command->late_ms};
}

bool modem::flush_due(long long now)
{
    std::string ready;
    bool hangup = false;
    // Answers leave in the order they were queued, once due. An unsolicited
    // line waits while an answer stands split inside a line, and then goes
    // in at the next line end.
    while (!out_.empty() && out_.begin()->first <= now) {
        pending item = std::move(out_.begin()->second);
        out_.erase(out_.begin());
        hangup = hangup || item.hangup_after;
        if (item.unsolicited) {
            held_ += item.bytes;
        } else if (!item.bytes.empty()) {
            size_t at = ready.size();
            ready += item.bytes;
            mid_line_ = item.more_follows && !ready.ends_with('\n');
            if (!held_.empty() && mid_line_) {
                size_t line_end = ready.rfind('\n');
                if (line_end != std::string::npos && line_end >= at) {
                    ready.insert(line_end + 1, held_);
                    held_.clear();
                }
            }
        }
        if (!held_.empty() && !mid_line_) {
            ready += held_;
            held_.clear();
        }
    }
    if (endless_from_us_ >= 0 && endless_from_us_ <= now && ready.empty())
        ready = endless_pattern;

    size_t done = 0;
    while (done < ready.size()) {
        ssize_t n = ::write(master_fd_, ready.data() + done, ready.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // full: keep the rest at the front of the queue
    }
    blocked_ = done < ready.size();
    if (blocked_) {
        // An endless answer is made afresh; only real bytes wait.
        if (!(endless_from_us_ >= 0 && ready == endless_pattern && done == 0))
            queue(out_.empty() ? now : std::min(now, out_.begin()->first),
                  ready.substr(done), hangup);
        return false;
    }
    if (hangup) {
        hang_up();
        return true;
    }
    return false;
}

// What a program wrote just before it ended may still wait in the terminal
// when the modem is stopped: it is recorded, not answered.
void modem::record_waiting_input()
{
    char buffer[256];
    pollfd fd = {master_fd_, POLLIN, 0};
    ssize_t n;
    while (poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0 &&
           (n = ::read(master_fd_, buffer, sizeof buffer)) > 0) {
        std::lock_guard lock(mutex_);
        received_.append(buffer, static_cast<size_t>(n));
    }
}

void modem::serve()
{
    char buffer[256];
    const long long urc_every_us = faults_.urc_every_ms * 1000LL;
    if (urc_every_us > 0 && next_urc_us_ < 0)
        next_urc_us_ = now_us() + urc_every_us;
    while (master_fd_ >= 0) {
        long long now = now_us();
        // Unsolicited lines that the terminal cannot take are lost, as on a
        // serial line that no program reads.
        for (; urc_every_us > 0 && next_urc_us_ <= now; next_urc_us_ += urc_every_us)
            if (!blocked_)
                out_.emplace(next_urc_us_,
                             pending{faults_.urc_lines.empty()
                                         ? as_unsolicited(ring)
                                         : next_unsolicited(faults_.urc_lines, urc_turn_),
                                     false, false, true});
        if (ussd_due_us_ >= 0 && ussd_due_us_ <= now) {
            out_.emplace(ussd_due_us_, pending{ussd_answer_, false, false, true});
            ussd_due_us_ = -1;
        }
        if (flush_due(now))
            return;

        bool want_out = (endless_from_us_ >= 0 && endless_from_us_ <= now) ||
                        (!out_.empty() && out_.begin()->first <= now);
        long long wake_us = urc_every_us > 0 ? next_urc_us_ : -1;
        for (long long due :
             {out_.empty() ? -1 : out_.begin()->first, endless_from_us_, ussd_due_us_})
            if (due >= 0 && (wake_us < 0 || due < wake_us))
                wake_us = due;
        int timeout_ms = -1;
        if (!want_out && wake_us >= 0)
            timeout_ms = static_cast<int>(std::max(0LL, (wake_us - now + 999) / 1000));

        pollfd fds[2] = {{master_fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                         {wake_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR)
            return;
        if (fds[1].revents != 0) {
            char requests[16];
            ssize_t n = ::read(wake_pipe_[0], requests, sizeof requests);
            for (ssize_t i = 0; i < n; ++i) {
                if (requests[i] != 'r') {
                    record_waiting_input();
                    return;
                }
            }
            tcflow(slave_fd_, TCOON);
            continue;
        }
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        ssize_t n = ::read(master_fd_, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        now = now_us();
        for (ssize_t i = 0; i < n; ++i) {
            bool last = false;
            {
                std::lock_guard lock(mutex_);
                received_ += buffer[i];
                long count = static_cast<long>(received_.size());
                last = faults_.hangup_after_bytes >= 0 && count >= faults_.hangup_after_bytes;
                // Before the byte's echo, which tells a test that it is done.
                if (!held_output_ && faults_.hold_after_bytes >= 0 &&
                    count >= faults_.hold_after_bytes)
                    held_output_ = tcflow(slave_fd_, TCOOFF) == 0;
            }
            if (last) {
                hang_up();
                return;
            }
            take(buffer[i], now);
        }
    }
}

} // namespace atsim
