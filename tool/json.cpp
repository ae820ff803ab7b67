// The JSON writer: separators from the nesting state, strings escaped a
// byte (or a UTF-8 sequence) at a time.
#include "tool/json.h"

#include "tool/decode.h"

#include <cstring>

json_writer::json_writer(std::span<char> buffer, sink out, void* context)
    : buffer_(buffer), sink_(out), context_(context)
{
}

void json_writer::put(std::string_view bytes)
{
    if (failed_ || bytes.empty())
        return;
    if (bytes.size() > buffer_.size() - static_cast<size_t>(used_) && !flush())
        return;
    if (bytes.size() > buffer_.size()) {
        failed_ = !sink_(context_, bytes.data(), static_cast<int>(bytes.size()));
        return;
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += static_cast<int>(bytes.size());
}

bool json_writer::flush()
{
    if (!failed_ && used_ > 0)
        failed_ = !sink_(context_, buffer_.data(), used_);
    used_ = 0;
    return !failed_;
}

// A comma before every member or element but the first of its container;
// none after a key.
void json_writer::value_start()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    uint32_t bit = depth_ > 0 ? 1u << (depth_ - 1) : 0;
    if ((has_members_ & bit) != 0)
        put(",");
    has_members_ |= bit;
}

void json_writer::open(char bracket)
{
    value_start();
    if (depth_ == max_depth) {
        flush(); // what came before goes out; nothing more does
        failed_ = true;
        return;
    }
    put(std::string_view(&bracket, 1));
    has_members_ &= ~(1u << depth_++);
}

void json_writer::close(char bracket)
{
    if (depth_ > 0)
        --depth_;
    put(std::string_view(&bracket, 1));
}

void json_writer::begin_object() { open('{'); }
void json_writer::end_object() { close('}'); }
void json_writer::begin_array() { open('['); }
void json_writer::end_array() { close(']'); }

void json_writer::key(std::string_view name)
{
    string(name);
    put(":");
    after_key_ = true;
}

void json_writer::string(std::string_view bytes)
{
    value_start();
    put("\"");
    size_t plain = 0; // bytes that go out as they are, not yet put
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        int n = c >= 0x20 && c != '"' && c != '\\'
                    ? utf8_length(std::string_view(bytes.data() + i, bytes.size() - i))
                    : 0;
        if (n > 0) {
            plain += static_cast<size_t>(n);
            i += static_cast<size_t>(n);
            continue;
        }
        put(std::string_view(bytes.data() + i - plain, plain));
        plain = 0;
        char escaped[6] = {'\\', static_cast<char>(c), 'u', '0', '0', '\0'};
        size_t length = 2;
        if (c == '\n' || c == '\r' || c == '\t') {
            escaped[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
        } else if (c != '"' && c != '\\') {
            constexpr char digits[] = "0123456789abcdef";
            escaped[1] = 'u';
            escaped[2] = '0';
            escaped[3] = '0';
            escaped[4] = digits[c >> 4];
            escaped[5] = digits[c & 0xf];
            length = 6;
        }
        put(std::string_view(escaped, length));
        ++i;
    }
    put(std::string_view(bytes.data() + bytes.size() - plain, plain));
    put("\"");
}

void json_writer::number(long value)
{
    char digits[24];
    int at = sizeof digits;
    unsigned long magnitude = value < 0 ? 0 - static_cast<unsigned long>(value)
                                        : static_cast<unsigned long>(value);
    do {
        digits[--at] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (value < 0)
        digits[--at] = '-';
    value_start();
    put(std::string_view(digits + at, sizeof digits - static_cast<size_t>(at)));
}

void json_writer::boolean(bool value)
{
    value_start();
    put(value ? "true" : "false");
}

void json_writer::null()
{
    value_start();
    put("null");
}
