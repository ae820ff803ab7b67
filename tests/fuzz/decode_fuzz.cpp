// libFuzzer target for the text decoder and the JSON writer. On arbitrary
// bytes, in every form and scheme, the decoder stays within the caller's
// buffer, needs no more than twice the input's size, gives well-formed
// UTF-8 whenever it succeeds, and a smaller buffer gets a prefix of the same
// text; USSD codes it packs read back as they were. The JSON writer, driven
// through any buffer size with arbitrary bytes as keys and strings in nested
// objects and arrays, writes what a strict parser reads, each string back as
// it was with every byte outside well-formed UTF-8 as its Latin-1 character.
#include "tool/decode.h"
#include "tool/json.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool holds)
{
    if (!holds)
        std::abort();
}

// The length of the UTF-8 sequence at the start of s if it is well-formed
// (RFC 3629), decoded to its code point and checked against the ranges,
// rather than by the lead bytes as the tool does; 0 otherwise.
size_t well_formed(std::string_view s)
{
    if (s.empty())
        return 0;
    unsigned char c = static_cast<unsigned char>(s[0]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || s.size() < n)
        return 0;
    uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t i = 1; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if ((b & 0xc0) != 0x80)
            return 0;
        cp = cp << 6 | (b & 0x3f);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp < 0xe000))
        return 0;
    return n;
}

bool valid_utf8(std::string_view s)
{
    for (size_t n; !s.empty(); s.remove_prefix(n))
        if ((n = well_formed(s)) == 0)
            return false;
    return true;
}

// What a JSON string written from `bytes` reads as: the bytes, each one
// outside well-formed UTF-8 as the UTF-8 of its Latin-1 character.
std::string as_read(std::string_view bytes)
{
    std::string text;
    for (size_t n; !bytes.empty(); bytes.remove_prefix(n)) {
        n = well_formed(bytes);
        if (n > 0) {
            text.append(bytes.substr(0, n));
            continue;
        }
        unsigned char c = static_cast<unsigned char>(bytes[0]);
        text += static_cast<char>(0xc0 | c >> 6);
        text += static_cast<char>(0x80 | (c & 0x3f));
        n = 1;
    }
    return text;
}

// A strict JSON parser (RFC 8259) that collects every string, keys
// included, in order, decoded to UTF-8.
struct json_parser {
    std::string_view in;
    std::vector<std::string> strings;

    bool eat(char c)
    {
        if (in.empty() || in[0] != c)
            return false;
        in.remove_prefix(1);
        return true;
    }
    bool literal(std::string_view word)
    {
        if (!in.starts_with(word))
            return false;
        in.remove_prefix(word.size());
        return true;
    }
    bool hex4(uint32_t& v)
    {
        v = 0;
        for (int i = 0; i < 4; ++i) {
            if (in.empty())
                return false;
            char c = in[0];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0)
                return false;
            v = v << 4 | static_cast<uint32_t>(d);
            in.remove_prefix(1);
        }
        return true;
    }
    static void append_utf8(std::string& s, uint32_t cp)
    {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xc0 | cp >> 6);
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xe0 | cp >> 12);
            s += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            s += static_cast<char>(0xf0 | cp >> 18);
            s += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
            s += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
            s += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    bool string()
    {
        if (!eat('"'))
            return false;
        std::string s;
        while (!in.empty() && in[0] != '"') {
            unsigned char c = static_cast<unsigned char>(in[0]);
            if (c < 0x20)
                return false;
            if (c != '\\') {
                size_t n = well_formed(in);
                if (n == 0)
                    return false;
                s.append(in.substr(0, n));
                in.remove_prefix(n);
                continue;
            }
            in.remove_prefix(1);
            if (in.empty())
                return false;
            char e = in[0];
            in.remove_prefix(1);
            const char* from = "\"\\/bfnrt";
            const char* to = "\"\\/\b\f\n\r\t";
            if (const char* at = e != '\0' ? std::strchr(from, e) : nullptr) {
                s += to[at - from];
                continue;
            }
            uint32_t cp;
            if (e != 'u' || !hex4(cp))
                return false;
            if (cp >= 0xd800 && cp < 0xdc00) {
                uint32_t low;
                if (!literal("\\u") || !hex4(low) || low < 0xdc00 || low >= 0xe000)
                    return false;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            } else if (cp >= 0xdc00 && cp < 0xe000) {
                return false;
            }
            append_utf8(s, cp);
        }
        if (!eat('"'))
            return false;
        strings.push_back(s);
        return true;
    }
    bool digits()
    {
        size_t n = 0;
        while (n < in.size() && in[n] >= '0' && in[n] <= '9')
            ++n;
        in.remove_prefix(n);
        return n > 0;
    }
    bool number()
    {
        eat('-');
        if (!eat('0') && (in.empty() || in[0] < '1' || in[0] > '9' || !digits()))
            return false;
        if (eat('.') && !digits())
            return false;
        if ((eat('e') || eat('E')) && (eat('+') || eat('-') || true) && !digits())
            return false;
        return true;
    }
    bool value(int depth)
    {
        if (depth > 64 || in.empty())
            return false;
        if (eat('{')) {
            if (eat('}'))
                return true;
            do {
                if (!string() || !eat(':') || !value(depth + 1))
                    return false;
            } while (eat(','));
            return eat('}');
        }
        if (eat('[')) {
            if (eat(']'))
                return true;
            do {
                if (!value(depth + 1))
                    return false;
            } while (eat(','));
            return eat(']');
        }
        if (in[0] == '"')
            return string();
        if (literal("true") || literal("false") || literal("null"))
            return true;
        return number();
    }
};

bool append(void* context, const char* bytes, int length)
{
    static_cast<std::string*>(context)->append(bytes, static_cast<size_t>(length));
    return true;
}

// Takes the next n bytes of the input (fewer at its end).
std::string_view take(std::string_view& rest, size_t n)
{
    std::string_view piece = rest.substr(0, n);
    rest.remove_prefix(piece.size());
    return piece;
}

// Builds a document from the input: each byte an action, strings and
// numbers from the bytes after it. Returns every string written, in order.
std::vector<std::string> write_document(std::string_view rest, json_writer& w)
{
    std::vector<std::string> written;
    std::vector<bool> in_object; // the open containers, innermost last
    auto value_string = [&](std::string_view s) {
        w.string(s);
        written.push_back(as_read(s));
    };
    auto before_value = [&] {
        if (!in_object.empty() && in_object.back()) {
            std::string_view name = take(rest, rest.empty() ? 0 : static_cast<unsigned char>(rest[0]) % 8);
            w.key(name);
            written.push_back(as_read(name));
        }
    };
    w.begin_object();
    in_object.push_back(true);
    while (!rest.empty()) {
        unsigned char action = static_cast<unsigned char>(take(rest, 1)[0]);
        switch (action % 6) {
        case 0:
        case 1:
            if (in_object.size() < static_cast<size_t>(json_writer::max_depth)) {
                before_value();
                action % 6 == 0 ? w.begin_object() : w.begin_array();
                in_object.push_back(action % 6 == 0);
            }
            break;
        case 2:
            if (in_object.size() > 1) {
                in_object.back() ? w.end_object() : w.end_array();
                in_object.pop_back();
            }
            break;
        case 3:
            before_value();
            value_string(take(rest, action >> 3));
            break;
        case 4: {
            before_value();
            long n = 0;
            for (char c : take(rest, sizeof n))
                n = static_cast<long>(static_cast<unsigned long>(n) << 8 | static_cast<unsigned char>(c));
            w.number(n);
            break;
        }
        case 5:
            before_value();
            (action & 8) != 0 ? w.null() : w.boolean((action & 16) != 0);
            break;
        }
    }
    while (!in_object.empty()) {
        in_object.back() ? w.end_object() : w.end_array();
        in_object.pop_back();
    }
    return written;
}

struct decoded {
    std::string text;
    text_result result;
};

// Runs a decoder into a buffer of `room` bytes with guards on either side.
template <typename Decode>
decoded run(size_t room, Decode decode)
{
    constexpr size_t guard = 16;
    std::string buffer(room + 2 * guard, '\x5a');
    text_result r = decode(std::span<char>(buffer.data() + guard, room));
    check(r.length >= 0 && static_cast<size_t>(r.length) <= room);
    for (size_t i = 0; i < guard; ++i)
        check(buffer[i] == '\x5a' && buffer[guard + room + i] == '\x5a');
    return {buffer.substr(guard, static_cast<size_t>(r.length)), r};
}

// A decoding with room to spare and with `room` bytes: the first never
// truncated, well-formed UTF-8 when it succeeded (if `utf8`); the second
// fails alike and gives a prefix of the first, all of it unless truncated.
template <typename Decode>
decoded decode_twice(size_t input_size, size_t room, bool utf8, Decode decode)
{
    decoded whole = run(2 * input_size, decode);
    check(whole.result.status != text_status::truncated);
    check(!utf8 || whole.result.status != text_status::ok || valid_utf8(whole.text));
    decoded part = run(room, decode);
    check((part.result.status == text_status::invalid) == (whole.result.status == text_status::invalid));
    check(whole.text.starts_with(part.text));
    check(part.result.status != text_status::ok || part.text == whole.text);
    check(part.result.status != text_status::truncated || part.text.size() < whole.text.size());
    check(!utf8 || part.result.status == text_status::invalid || valid_utf8(part.text));
    return whole;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned mode = data[0] % 6, knob = data[1];
    std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);
    const size_t room = knob % 64;
    // The tool's UTF-8 check agrees with this one at every position.
    for (size_t i = 0; i < bytes.size(); ++i)
        check(static_cast<size_t>(utf8_length(bytes.substr(i))) == well_formed(bytes.substr(i)));

    constexpr charset sets[] = {charset::gsm7, charset::ucs2, charset::data8, charset::text};
    std::optional<charset> forced;
    if ((data[0] >> 3 & 4) != 0)
        forced = sets[data[0] >> 3 & 3];
    switch (mode) {
    case 0:
        decode_twice(bytes.size(), room, true, [&](std::span<char> out) {
            return decode_text(bytes, sets[knob >> 6], out);
        });
        break;
    case 1: {
        int dcs = (data[0] & 0x80) != 0 ? -1 : static_cast<int>(knob);
        decode_twice(bytes.size(), room, true, [&](std::span<char> out) {
            return decode_ussd(bytes, dcs, forced, out);
        });
        break;
    }
    case 2: {
        std::string line = ((knob & 0x80) != 0 ? "+CUSD: " : "") + std::string(bytes);
        decoded d = decode_twice(line.size(), room, false, [&](std::span<char> out) {
            return rewrite_ussd_line(line, forced, out);
        });
        check(d.result.status != text_status::invalid || d.text == line);
        break;
    }
    case 3: {
        size_t split = bytes.find('\n');
        std::string_view header = bytes.substr(0, split);
        std::string_view body = split == std::string_view::npos ? "" : bytes.substr(split + 1);
        decoded d = decode_twice(body.size(), room, false, [&](std::span<char> out) {
            return rewrite_message_body(header, body, forced, out);
        });
        check(d.result.status != text_status::invalid || d.text == body);
        break;
    }
    case 4: {
        decoded packed = run(4 * bytes.size() + 2, [&](std::span<char> out) { return pack_gsm7(bytes, out); });
        check(packed.result.status != text_status::truncated);
        if (packed.result.status != text_status::ok)
            break;
        for (char c : packed.text)
            check((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'));
        decoded back = run(2 * packed.text.size(), [&](std::span<char> out) {
            return decode_text(packed.text, charset::gsm7, out);
        });
        check(back.result.status == text_status::ok);
        check(back.text == bytes || (bytes.ends_with('\r') && back.text == std::string(bytes) + "\r"));
        break;
    }
    case 5: {
        std::string out;
        std::vector<char> buffer(room);
        json_writer w(buffer, append, &out);
        std::vector<std::string> written = write_document(bytes, w);
        check(w.flush());
        json_parser parser{out, {}};
        check(parser.value(0) && parser.in.empty());
        check(parser.strings == written);
        break;
    }
    }
    return 0;
}
