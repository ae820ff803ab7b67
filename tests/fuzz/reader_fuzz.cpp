// libFuzzer target for the reply reader: arbitrary bytes, fed in pieces with
// quiet between some of them, under every kind of command the reader treats
// apart, must keep its promises: the raw output is the bytes the reply took
// less zero bytes, plus the tool's line feed; -i output never holds a CR;
// the reply ends in one of the known ways, and only once it is over.
#include "tool/printer.h"
#include "tool/reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The commands the reader tells apart: plain, message listing, message
// prompt, USSD (owner of +CUSD:), a chain of two, a vendor command, and a
// message text of two lines (ended by Ctrl-Z).
const char* const commands[] = {"AT",         "AT+CMGL=\"ALL\"", "AT+CMGS=\"1\"", "AT+CUSD=1,\"*1#\",15",
                                "at+creg?;+csq", "AT^SYSINFO",   "Hi\nthere",     "0"};

void check(bool holds)
{
    if (!holds)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: -i, --until, to the quiet, and the command; second: the
    // size of the pieces and whether quiet follows each.
    const unsigned flags = data[0];
    const size_t piece = (data[1] & 0x3f) + 1;
    const bool quiet_between = (data[1] & 0x40) != 0;
    const char* bytes = reinterpret_cast<const char*>(data + 2);
    const int length = static_cast<int>(size - 2);

    char* owners[] = {const_cast<char*>(commands[(flags >> 3) & 7])};
    reader_setup setup;
    setup.command = owners[0];
    setup.echo_end = setup.command[0] == 'H' ? '\x1a' : '\0';
    const bool info_only = (flags & 1) != 0;
    setup.until = (flags & 2) != 0 ? "+CUSD:" : nullptr;
    setup.to_quiet = (flags & 4) != 0;
    setup.owners = owners;
    setup.owner_count = 1;
    char* printed = nullptr;
    size_t printed_size = 0;
    FILE* file = open_memstream(&printed, &printed_size);
    raw_printer raw(file);
    info_printer info(file);

    reply_reader reader(setup, info_only ? static_cast<reply_printer&>(info) : raw);
    int taken = 0;
    for (int at = 0; at < length && !reader.over();) {
        int n = length - at < static_cast<int>(piece) ? length - at : static_cast<int>(piece);
        int took = reader.feed(bytes + at, n);
        check(took >= 0 && took <= n);
        check(took == n || reader.over());
        taken += took;
        at += n;
        if (quiet_between && !reader.over())
            reader.quiet();
    }
    bool over = reader.over();
    reader.finish();
    reply_end end = reader.end();
    check(end == reply_end::ok || end == reply_end::error || end == reply_end::prompt ||
          end == reply_end::timed_out);
    check(over == (end != reply_end::timed_out));
    check(!setup.to_quiet || end == reply_end::timed_out);
    std::fclose(file);
    const std::string out(printed, printed_size);
    std::free(printed);

    if (info_only) {
        check(out.find('\r') == std::string::npos);
    } else {
        std::string expected;
        for (int i = 0; i < taken; ++i)
            if (bytes[i] != '\0')
                expected += bytes[i];
        check(out == expected + "\n");
    }
    return 0;
}
