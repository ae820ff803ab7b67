// A streaming JSON writer (RFC 8259) without heap: values go into the
// caller's buffer, which goes to a sink whenever it is full and on flush.
// The writer places the commas and colons itself.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

class json_writer {
public:
    // Takes the next bytes of the output; false when they could not be
    // written (errno set). The reader's print callback has the same form.
    using sink = bool (*)(void* context, const char* bytes, int length);

    // buffer may be empty: every piece then goes to the sink at once.
    json_writer(std::span<char> buffer, sink out, void* context);

    // Objects and arrays nest up to max_depth; a deeper one makes the writer
    // fail: what came before it is flushed, nothing more is written.
    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // The name of the next member of an object; its value follows.
    void key(std::string_view name);
    // Strings from any bytes: ", \ and control characters escaped (\n, \r,
    // \t, else \u00XX), well-formed UTF-8 kept as it is, and every other
    // byte written as \u00XX, the Latin-1 character of its value: nothing
    // is lost, and a modem set to AT+CSCS="8859-1" reads right.
    void string(std::string_view bytes);
    // long, not long long: on a 32-bit router 64-bit division is a library call.
    void number(long value);
    void boolean(bool value);
    void null();

    // Gives the sink what the buffer holds. False once the sink failed (or
    // the nesting went too deep); the writer then writes nothing more.
    bool flush();
    bool failed() const { return failed_; }

    static constexpr int max_depth = 32;

private:
    void value_start();
    void put(std::string_view bytes);
    void open(char bracket);
    void close(char bracket);

    std::span<char> buffer_;
    int used_ = 0;
    sink sink_;
    void* context_;
    uint32_t has_members_ = 0; // bit d: the container at depth d holds something
    int depth_ = 0;
    bool after_key_ = false;
    bool failed_ = false;
};
