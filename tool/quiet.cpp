// The quiet rule's exchange: a command sent, its reply read until the line
// falls quiet and printed raw (or its information lines alone). This is the
// two-argument form, the tool's base contract: its system calls and output
// are pinned by tests/syscall_test.cpp (SystemCalls.OneExchangeCallByCall)
// and tests/entry_test.cpp. Frozen: new behaviour goes to the -t exchange
// (reply.cpp), never here.
#include "tool/reply.h"

#include "serial/port.h"
#include "tool/output.h"
#include "tool/printer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// As many bytes as a reply read until the quiet may hold, with its end.
constexpr int reply_capacity = 5000;

} // namespace

int exchange_until_quiet(const run_options& options, int index)
{
    const char* command = options.commands[index];
    if (send_line(command, static_cast<int>(std::strlen(command))) != 0) {
        report_error(label::send);
        return -1;
    }

    char reply_buffer[reply_capacity];
    std::memset(reply_buffer, 0, sizeof reply_buffer);
    int read_result = read_reply(reply_buffer);
    int read_errno = errno;

    int print_errno = 0;
    if (options.info_only) {
        // Everything up to the quiet counts, lines after a final result code
        // (late unsolicited ones) included.
        reader_setup setup = setup_for(options, command);
        setup.to_quiet = true;
        info_printer printer(stdout);
        reply_reader reader(setup, printer);
        reader.feed(reply_buffer, static_cast<int>(std::strlen(reply_buffer)));
        reader.quiet();
        reader.finish();
        print_errno = reader.print_errno();
    } else if (!(std::puts(reply_buffer) >= 0 && flush_stdout())) {
        // The reply with its line feed, made sure to have left the process.
        print_errno = errno;
    }
    return report_reply_failures(read_result < 0, read_errno, print_errno) ? 0 : -1;
}
