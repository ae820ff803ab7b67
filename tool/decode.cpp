// The GSM 7-bit alphabet as constexpr tables, a writer that never splits a
// character at the end of the caller's buffer, and the decoders and line
// rewriters built on them.
#include "tool/decode.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr int escape = 0x1b; // a GSM septet: the next one is from the extension table
constexpr char16_t carriage_return = u'\r';

// The GSM 7-bit default alphabet (3GPP TS 23.038 6.2.1): the character of
// each septet. Between 0x20 and 0x7f it is ASCII but for the changes below.
constexpr std::array<char16_t, 128> make_gsm_alphabet()
{
    std::array<char16_t, 128> table{};
    for (int septet = 0x20; septet < 0x80; ++septet)
        table[septet] = static_cast<char16_t>(septet);
    constexpr char16_t low[32] = {
        // @, pound, $, yen, e grave, e acute, u grave, i grave
        0x40, 0xa3, 0x24, 0xa5, 0xe8, 0xe9, 0xf9, 0xec,
        // o grave, C cedilla, LF, O stroke, o stroke, CR, A ring, a ring
        0xf2, 0xc7, 0x0a, 0xd8, 0xf8, 0x0d, 0xc5, 0xe5,
        // Greek capital Delta, _, Greek capitals Phi, Gamma, Lambda, Omega, Pi, Psi
        0x394, 0x5f, 0x3a6, 0x393, 0x39b, 0x3a9, 0x3a0, 0x3a8,
        // Greek capitals Sigma, Theta, Xi; ESC (a space when shown); AE, ae, sharp s, E acute
        0x3a3, 0x398, 0x39e, 0x20, 0xc6, 0xe6, 0xdf, 0xc9,
    };
    for (int septet = 0; septet < 32; ++septet)
        table[septet] = low[septet];
    // Where it is not ASCII: {septet, character}.
    constexpr struct {
        int septet;
        char16_t character;
    } changes[] = {
        // currency sign, inverted exclamation mark, A diaeresis, O diaeresis, N tilde
        {0x24, 0xa4}, {0x40, 0xa1}, {0x5b, 0xc4}, {0x5c, 0xd6}, {0x5d, 0xd1},
        // U diaeresis, section sign, inverted question mark, a diaeresis, o diaeresis
        {0x5e, 0xdc}, {0x5f, 0xa7}, {0x60, 0xbf}, {0x7b, 0xe4}, {0x7c, 0xf6},
        // n tilde, u diaeresis, a grave
        {0x7d, 0xf1}, {0x7e, 0xfc}, {0x7f, 0xe0},
    };
    for (const auto& change : changes)
        table[change.septet] = change.character;
    return table;
}
constexpr std::array<char16_t, 128> gsm_alphabet = make_gsm_alphabet();

// The extension table (6.2.1.1): the septet after ESC and its character.
struct extension {
    unsigned char septet;
    char16_t character;
};
constexpr extension gsm_extension[] = {
    {0x0a, u'\f'}, {0x14, u'^'}, {0x28, u'{'}, {0x29, u'}'}, {0x2f, u'\\'},
    {0x3c, u'['},  {0x3d, u'~'}, {0x3e, u']'}, {0x40, u'|'}, {0x65, 0x20ac /* euro sign */},
};

// The character of an extended septet; one the table lacks reads as the
// default alphabet's (6.2.1.1), ESC ESC as a space.
char16_t extended(int septet)
{
    if (septet == escape)
        return u' ';
    for (const extension& e : gsm_extension)
        if (e.septet == septet)
            return e.character;
    return gsm_alphabet[septet];
}

// The septet(s) that carry a character: 0..127, or 0x100 + the septet after
// ESC; -1 when the GSM alphabet lacks it.
int gsm_septets(char32_t character)
{
    for (int septet = 0; septet < 128; ++septet)
        if (gsm_alphabet[septet] == character && septet != escape)
            return septet;
    for (const extension& e : gsm_extension)
        if (e.character == character)
            return 0x100 + e.septet;
    return -1;
}

// The bytes of text from `from` on, and the first n of them: as substr
// would give them, but without its exception, so that no C++ runtime is
// linked in for it.
std::string_view from(std::string_view text, size_t at)
{
    return at < text.size() ? std::string_view(text.data() + at, text.size() - at)
                            : std::string_view();
}

std::string_view first(std::string_view text, size_t n)
{
    return std::string_view(text.data(), n < text.size() ? n : text.size());
}

bool begins(std::string_view text, std::string_view prefix)
{
    return first(text, prefix.size()) == prefix;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool all_hex(std::string_view text)
{
    for (char c : text)
        if (hex_value(c) < 0)
            return false;
    return true;
}

// What a text looks like: hex digits of one case in an even number, and
// whether they are decimal digits alone.
struct shape {
    bool hex = false;
    bool decimal = false;
};

shape shape_of(std::string_view text)
{
    bool upper = false, lower = false, letters = false;
    for (char c : text) {
        upper = upper || (c >= 'A' && c <= 'F');
        lower = lower || (c >= 'a' && c <= 'f');
        letters = letters || hex_value(c) > 9;
    }
    return {!text.empty() && all_hex(text) && text.size() % 2 == 0 && !(upper && lower), !letters};
}

// Octet k of packed hex (already checked), 0 past its end.
unsigned octet(std::string_view hex, size_t k)
{
    if (2 * k + 1 >= hex.size())
        return 0;
    return static_cast<unsigned>(hex_value(hex[2 * k]) << 4 | hex_value(hex[2 * k + 1]));
}

// Septet i of packed hex: bits 7i to 7i + 6, the first septet in the low bits.
int septet_at(std::string_view hex, size_t i)
{
    size_t bit = 7 * i;
    unsigned pair = octet(hex, bit / 8) | octet(hex, bit / 8 + 1) << 8;
    return static_cast<int>(pair >> (bit % 8) & 0x7f);
}

// How many septets packed hex of n octets holds: the last one is padding
// when it is a CR filling 7 spare bits (TS 23.038 6.1.2.3.1).
size_t septet_count(std::string_view hex)
{
    size_t octets = hex.size() / 2, count = octets * 8 / 7;
    if (count > 0 && octets % 7 == 0 && septet_at(hex, count - 1) == carriage_return)
        --count;
    return count;
}

// Output into the caller's buffer: a character goes in whole or not at all,
// and once one did not fit nothing more does, so that the output is always
// a prefix of the whole.
struct writer {
    std::span<char> out;
    int length = 0;
    bool full = false;

    void put(const char* bytes, size_t n)
    {
        if (n == 0)
            return;
        if (full || n > out.size() - static_cast<size_t>(length)) {
            full = true;
            return;
        }
        std::memcpy(out.data() + length, bytes, n);
        length += static_cast<int>(n);
    }
    void put(char32_t c)
    {
        char b[4];
        size_t n;
        if (c < 0x80) {
            b[0] = static_cast<char>(c);
            n = 1;
        } else if (c < 0x800) {
            b[0] = static_cast<char>(0xc0 | c >> 6);
            n = 2;
        } else if (c < 0x10000) {
            b[0] = static_cast<char>(0xe0 | c >> 12);
            n = 3;
        } else {
            b[0] = static_cast<char>(0xf0 | c >> 18);
            n = 4;
        }
        for (size_t i = 1; i < n; ++i)
            b[i] = static_cast<char>(0x80 | (c >> (6 * (n - 1 - i)) & 0x3f));
        put(b, n);
    }
    // Raw bytes: as many as fit.
    void copy(std::string_view bytes)
    {
        size_t room = full ? 0 : out.size() - static_cast<size_t>(length);
        put(bytes.data(), bytes.size() < room ? bytes.size() : room);
        full = full || bytes.size() > room;
    }
    text_result result(charset used) const
    {
        return {full ? text_status::truncated : text_status::ok, length, used};
    }
};

text_result invalid(charset used)
{
    return {text_status::invalid, 0, used};
}

// The GSM text of count septets, septet(i) giving each.
template <typename Septet>
void write_gsm(writer& w, size_t count, Septet septet)
{
    for (size_t i = 0; i < count; ++i) {
        int s = septet(i);
        if (s == escape)
            w.put(extended(++i < count ? septet(i) : escape));
        else
            w.put(gsm_alphabet[s]);
    }
}

text_result decode_packed(std::string_view hex, writer& w)
{
    if (!all_hex(hex) || hex.size() % 2 != 0)
        return invalid(charset::gsm7);
    write_gsm(w, septet_count(hex), [&](size_t i) { return septet_at(hex, i); });
    return w.result(charset::gsm7);
}

// A UCS-2 unit from four hex digits, or -1.
long unit_at(std::string_view hex, size_t i)
{
    long unit = 0;
    for (size_t k = 4 * i; k < 4 * i + 4; ++k) {
        int v = k < hex.size() ? hex_value(hex[k]) : -1;
        if (v < 0)
            return -1;
        unit = unit << 4 | v;
    }
    return unit;
}

// The character at unit i of UCS-2 hex, advancing i past a surrogate pair;
// -1 when it is not one (a bad digit, a lone or reversed surrogate).
long ucs2_character(std::string_view hex, size_t& i)
{
    long unit = unit_at(hex, i);
    if (unit >= 0xdc00 && unit < 0xe000)
        return -1;
    if (unit < 0xd800 || unit >= 0xdc00)
        return unit;
    long low = unit_at(hex, ++i);
    if (low < 0xdc00 || low >= 0xe000)
        return -1;
    return 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
}

text_result decode_ucs2(std::string_view hex, writer& w)
{
    if (hex.size() % 4 != 0)
        return invalid(charset::ucs2);
    for (size_t i = 0; i < hex.size() / 4; ++i) {
        long c = ucs2_character(hex, i);
        if (c < 0)
            return invalid(charset::ucs2);
        w.put(static_cast<char32_t>(c));
    }
    return w.result(charset::ucs2);
}

// Whether octets k.. of hex start a printable character: not a control
// (CR, LF and tab aside), well-formed UTF-8. Sets n to its length.
bool printable_octets(std::string_view hex, size_t k, int& n)
{
    char window[4];
    size_t left = hex.size() / 2 - k;
    for (size_t i = 0; i < 4; ++i)
        window[i] = static_cast<char>(i < left ? octet(hex, k + i) : 0);
    n = utf8_length(std::string_view(window, left < 4 ? left : 4));
    unsigned first = static_cast<unsigned char>(window[0]);
    unsigned second = static_cast<unsigned char>(window[1]);
    bool control = first < 0x20 || first == 0x7f || (first == 0xc2 && second < 0xa0);
    return n > 0 && (!control || first == '\r' || first == '\n' || first == '\t');
}

text_result decode_data8(std::string_view hex, writer& w)
{
    if (!all_hex(hex) || hex.size() % 2 != 0)
        return invalid(charset::data8);
    int n = 0;
    for (size_t k = 0; k < hex.size() / 2; k += static_cast<size_t>(n))
        if (!printable_octets(hex, k, n)) {
            w.copy(hex);
            return w.result(charset::data8);
        }
    for (size_t k = 0; k < hex.size() / 2; ++k) {
        char c = static_cast<char>(octet(hex, k));
        w.put(&c, 1);
    }
    return w.result(charset::data8);
}

text_result decode_plain(std::string_view text, writer& w)
{
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            int n = utf8_length(from(text, i));
            if (n > 0) {
                w.put(text.data() + i, static_cast<size_t>(n));
                i += static_cast<size_t>(n) - 1;
            } else {
                w.put(static_cast<char32_t>(c)); // Latin-1
            }
        } else if ((c >= 0x20 && c < 0x7f) || c == '\r' || c == '\n') {
            w.put(text.data() + i, 1);
        } else if (c == escape) {
            bool next = i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0x80;
            w.put(extended(next ? text[++i] : escape));
        } else {
            w.put(gsm_alphabet[c]);
        }
    }
    return w.result(charset::text);
}

text_result decode_into(std::string_view text, charset set, writer& w)
{
    switch (set) {
    case charset::gsm7: return decode_packed(text, w);
    case charset::ucs2: return decode_ucs2(text, w);
    case charset::data8: return decode_data8(text, w);
    case charset::text: break;
    }
    return decode_plain(text, w);
}

// Septets a USSD text in Latin script is made of: letters, digits, common
// punctuation, the accented letters and currencies of the alphabet, line
// breaks; not the Greek capitals, _, the currency sign, the inverted marks,
// the section sign, nor an unknown extension.
bool common_septet(int septet)
{
    char16_t c = gsm_alphabet[septet];
    return c == u'\n' || c == u'\r' || (c >= 0x20 && c < 0x7f && c != u'_') || c == 0xa3 ||
           c == 0xa5 || c >= 0xc0;
}

// Whether packed hex unpacks into common characters, at most half of them
// outside ASCII: hex digits that spell a word or a number seldom do.
bool packed_text_is_common(std::string_view hex)
{
    size_t count = septet_count(hex), characters = 0, foreign = 0;
    for (size_t i = 0; i < count; ++i, ++characters) {
        int s = septet_at(hex, i);
        if (s == escape) {
            s = ++i < count ? septet_at(hex, i) : escape;
            if (s == 0x0a || extended(s) == gsm_alphabet[s])
                return false;
            foreign += extended(s) >= 0x80;
        } else if (!common_septet(s)) {
            return false;
        } else {
            foreign += gsm_alphabet[s] >= 0x80;
        }
    }
    return 2 * foreign <= characters;
}

// Whether every unit of UCS-2 hex is a character `fits` accepts (pairs
// whole), the hex a multiple of four.
bool ucs2_units_all(std::string_view hex, bool (*fits)(long))
{
    if (hex.empty() || hex.size() % 4 != 0 || !all_hex(hex))
        return false;
    for (size_t i = 0; i < hex.size() / 4; ++i) {
        long c = ucs2_character(hex, i);
        if (c < 0 || !fits(c))
            return false;
    }
    return true;
}

// A character a message may hold: not a control (CR, LF, tab aside) nor a
// noncharacter; for hex of decimal digits alone, only up to U+00FF.
bool printable(long c)
{
    bool control = c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0xfffe || c == 0xffff;
    return !control || c == '\r' || c == '\n' || c == '\t';
}

bool printable_latin1(long c)
{
    return c < 0x100 && printable(c);
}

// A language indication in the scheme: two letters and CR (TS 23.038 5), or
// for UCS-2 two letters packed into the first two octets.
bool is_letter(int c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void drop_language(std::span<char> out, text_result& r)
{
    if (r.status == text_status::truncated && r.length < 3)
        r.length = 0; // it may be a language cut short: keep the output a prefix
    if (r.status == text_status::invalid || r.length < 3 || !is_letter(out[0]) ||
        !is_letter(out[1]) || out[2] != '\r')
        return;
    std::memmove(out.data(), out.data() + 3, static_cast<size_t>(r.length - 3));
    r.length -= 3;
}

// A field of a header's comma-separated list: commas inside quotes do not
// count; the field is returned without its quotes and spaces, empty when
// the list has fewer.
std::string_view field(std::string_view list, int index)
{
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i < list.size() && list[i] == '"')
            quoted = !quoted;
        if (i < list.size() && (quoted || list[i] != ','))
            continue;
        if (index-- == 0) {
            std::string_view f = first(from(list, start), i - start);
            while (!f.empty() && (f.front() == ' ' || f.front() == '"'))
                f.remove_prefix(1);
            while (!f.empty() && (f.back() == ' ' || f.back() == '"'))
                f.remove_suffix(1);
            return f;
        }
        start = i + 1;
    }
    return {};
}

// A decimal number of at most three digits, or -1.
int small_number(std::string_view digits)
{
    int value = 0;
    if (digits.empty() || digits.size() > 3)
        return -1;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string_view skip_spaces(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

// Bits 3 and 2 of a general data coding scheme: GSM 7-bit, 8-bit data,
// UCS-2, and a reserved value that reads as GSM 7-bit.
charset general_set(int dcs)
{
    constexpr charset sets[] = {charset::gsm7, charset::data8, charset::ucs2, charset::gsm7};
    return sets[dcs >> 2 & 3];
}

} // namespace

int utf8_length(std::string_view bytes)
{
    if (bytes.empty())
        return 0;
    unsigned first = static_cast<unsigned char>(bytes[0]);
    if (first < 0x80)
        return 1;
    size_t n;
    unsigned low = 0x80, high = 0xbf; // the second byte's range
    if (first >= 0xc2 && first <= 0xdf) {
        n = 2;
    } else if (first >= 0xe0 && first <= 0xef) {
        n = 3;
        low = first == 0xe0 ? 0xa0 : low;   // no overlong forms
        high = first == 0xed ? 0x9f : high; // no surrogates
    } else if (first >= 0xf0 && first <= 0xf4) {
        n = 4;
        low = first == 0xf0 ? 0x90 : low;   // no overlong forms
        high = first == 0xf4 ? 0x8f : high; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (bytes.size() < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        unsigned c = static_cast<unsigned char>(bytes[i]);
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf))
            return 0;
    }
    return static_cast<int>(n);
}

std::optional<charset> charset_named(std::string_view name)
{
    constexpr std::string_view names[] = {"gsm7", "ucs2", "8bit", "text"};
    constexpr charset sets[] = {charset::gsm7, charset::ucs2, charset::data8, charset::text};
    for (int i = 0; i < 4; ++i)
        if (name == names[i])
            return sets[i];
    return std::nullopt;
}

coding ussd_coding(int dcs)
{
    if (dcs < 0 || dcs > 0xff)
        return {};
    switch (dcs >> 4) {
    case 0x1: // 0x10 GSM 7-bit, 0x11 UCS-2, each preceded by its language
        return {dcs == 0x11 ? charset::ucs2 : charset::gsm7, dcs <= 0x11, false};
    case 0x4: case 0x5: case 0x6: case 0x7: // general data coding; bit 5: compressed
        return {general_set(dcs), false, (dcs & 0x20) != 0};
    case 0x9: // a message with a user data header
        return {general_set(dcs), false, false};
    case 0xe: // defined by the WAP Forum
        return {charset::data8, false, false};
    case 0xf: // data coding and message class: bit 2 8-bit data
        return {(dcs & 4) != 0 ? charset::data8 : charset::gsm7, false, false};
    default: // languages in GSM 7-bit, and reserved groups
        return {};
    }
}

coding message_coding(int dcs)
{
    if (dcs < 0 || dcs > 0xff)
        return {};
    switch (dcs >> 4) {
    case 0x0: case 0x1: case 0x2: case 0x3: // general data coding (and auto-deletion)
    case 0x4: case 0x5: case 0x6: case 0x7:
        return {general_set(dcs), false, (dcs & 0x20) != 0};
    case 0xe: // message waiting indication, UCS-2
        return {charset::ucs2, false, false};
    case 0xf: // data coding and message class: bit 2 8-bit data
        return {(dcs & 4) != 0 ? charset::data8 : charset::gsm7, false, false};
    default: // message waiting in GSM 7-bit, and reserved groups
        return {};
    }
}

text_result decode_text(std::string_view text, charset set, std::span<char> out)
{
    writer w{out};
    return decode_into(text, set, w);
}

charset ussd_charset(std::string_view text, int dcs)
{
    coding c = ussd_coding(dcs);
    if (c.set != charset::gsm7)
        return all_hex(text) ? c.set : charset::text;
    shape s = shape_of(text);
    if (!s.hex)
        return charset::text;
    if (ucs2_units_all(text, [](long u) { return gsm_septets(static_cast<char32_t>(u)) >= 0; }))
        return charset::ucs2;
    if (!s.decimal && packed_text_is_common(text))
        return charset::gsm7;
    return charset::text;
}

text_result decode_ussd(std::string_view text, int dcs, std::optional<charset> forced,
                        std::span<char> out)
{
    coding c = ussd_coding(dcs);
    charset set = forced ? *forced : ussd_charset(text, dcs);
    if (c.compressed && !forced)
        return invalid(set);
    // UCS-2 preceded by its language: two packed septets, then the units.
    if (c.language && set == charset::ucs2 && text.size() >= 4 && all_hex(first(text, 4)) &&
        is_letter(septet_at(text, 0)) && is_letter(septet_at(text, 1)))
        text.remove_prefix(4);
    text_result r = decode_text(text, set, out);
    if (c.language)
        drop_language(out, r);
    return r;
}

text_result pack_gsm7(std::string_view text, std::span<char> out)
{
    writer w{out};
    uint32_t bits = 0;
    int held = 0;                 // bits waiting in `bits`
    size_t count = 0;             // septets so far
    int last = -1;
    auto add = [&](int septet) {
        bits |= static_cast<uint32_t>(septet) << held;
        held += 7;
        ++count;
        last = septet;
        for (; held >= 8; held -= 8, bits >>= 8) {
            constexpr char digits[] = "0123456789ABCDEF";
            char pair[2] = {digits[bits >> 4 & 0xf], digits[bits & 0xf]};
            w.put(pair, 2);
        }
    };
    for (size_t i = 0; i < text.size();) {
        int n = utf8_length(from(text, i));
        if (n == 0)
            return invalid(charset::gsm7);
        char32_t c = static_cast<unsigned char>(text[i]);
        if (n > 1) {
            c &= 0x3f >> (n - 1);
            for (int k = 1; k < n; ++k)
                c = c << 6 | (static_cast<unsigned char>(text[i + static_cast<size_t>(k)]) & 0x3f);
        }
        i += static_cast<size_t>(n);
        int septets = gsm_septets(c);
        if (septets < 0)
            return invalid(charset::gsm7);
        if (septets >= 0x100)
            add(escape);
        add(septets & 0x7f);
    }
    // 7 spare bits would read as "@": a CR fills them, and so a CR that ends
    // on an octet boundary is doubled, or the receiver drops it as the fill.
    if (count % 8 == 7 || (count > 0 && count % 8 == 0 && last == carriage_return))
        add(carriage_return);
    if (held > 0)
        add(0); // the last octet's spare bits, zero
    return w.result(charset::gsm7);
}

std::optional<ussd_line> parse_ussd_line(std::string_view line)
{
    constexpr std::string_view prefix = "+CUSD:";
    if (!begins(line, prefix))
        return std::nullopt;
    std::string_view rest = skip_spaces(from(line, prefix.size()));
    size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9')
        ++digits;
    ussd_line parsed;
    parsed.status = small_number(first(rest, digits));
    if (parsed.status < 0)
        return std::nullopt;
    rest = skip_spaces(from(rest, digits));
    if (!rest.starts_with(','))
        return parsed;
    rest = skip_spaces(from(rest, 1));
    if (!rest.starts_with('"'))
        return parsed;
    size_t open = static_cast<size_t>(rest.data() - line.data()), close = line.rfind('"');
    parsed.has_text = true;
    if (close == open) { // cut short: the text runs to the end
        parsed.text = from(line, open + 1);
        return parsed;
    }
    parsed.text = first(from(line, open + 1), close - open - 1);
    rest = skip_spaces(from(line, close + 1));
    if (rest.starts_with(','))
        parsed.dcs = small_number(skip_spaces(from(rest, 1)));
    if (parsed.dcs > 0xff)
        parsed.dcs = -1;
    return parsed;
}

text_result rewrite_ussd_line(std::string_view line, std::optional<charset> forced,
                              std::span<char> out)
{
    writer w{out};
    std::optional<ussd_line> parsed = parse_ussd_line(line);
    if (!parsed || !parsed->has_text) {
        w.copy(line);
        return w.result(charset::text);
    }
    size_t start = static_cast<size_t>(parsed->text.data() - line.data());
    w.copy(first(line, start));
    text_result r = decode_ussd(parsed->text, parsed->dcs, forced,
                                out.subspan(static_cast<size_t>(w.length)));
    if (r.status == text_status::invalid) {
        writer as_came{out};
        as_came.copy(line);
        return {text_status::invalid, as_came.length, r.used};
    }
    w.length += r.length;
    w.full = w.full || r.status == text_status::truncated;
    w.copy(from(line, start + parsed->text.size()));
    return w.result(r.used);
}

text_result rewrite_message_body(std::string_view header, std::string_view body,
                                 std::optional<charset> forced, std::span<char> out)
{
    writer w{out};
    std::optional<charset> set = forced;
    bool compressed = false;
    if (!set) {
        // Where the address and the scheme stand: +CMT: <oa>,[<alpha>],<scts>,
        // <tooa>,<fo>,<pid>,<dcs>,...; +CMGR: <stat>,<oa>,... with <dcs> as
        // +CMT:'s one later when received, or <stat>,<da>,[<alpha>],<toda>,
        // <fo>,<pid>,<dcs>,... when stored to send; +CMGL: shows no scheme.
        int address_at = 0, dcs_at = -1;
        std::string_view list;
        if (begins(header, "+CMT:")) {
            list = from(header, 5);
            dcs_at = 6;
        } else if (begins(header, "+CMGR:")) {
            list = from(header, 6);
            address_at = 1;
            dcs_at = begins(field(list, 0), "STO") ? 6 : 7;
        } else if (begins(header, "+CMGL:")) {
            list = from(header, 6);
            address_at = 2;
        }
        int dcs = dcs_at < 0 ? -1 : small_number(field(list, dcs_at));
        coding c = message_coding(dcs);
        compressed = dcs >= 0 && c.compressed;
        bool ucs2_address = ucs2_units_all(field(list, address_at),
                                           [](long u) { return u >= 0x20 && u < 0x7f; });
        shape s = shape_of(body);
        if (dcs >= 0 && c.set != charset::gsm7)
            set = c.set;
        else if (ucs2_address && all_hex(body))
            set = charset::ucs2;
        else if (dcs < 0 && s.hex && ucs2_units_all(body, s.decimal ? printable_latin1 : printable))
            set = charset::ucs2;
    }
    if (!set || compressed) {
        w.copy(body);
        text_result r = w.result(charset::text);
        r.status = compressed ? text_status::invalid : r.status;
        return r;
    }
    text_result r = decode_into(body, *set, w);
    if (r.status == text_status::invalid) {
        writer as_came{out};
        as_came.copy(body);
        return {text_status::invalid, as_came.length, r.used};
    }
    return r;
}
