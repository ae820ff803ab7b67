// The exchanges of a run: sending a command, reading its reply through the
// reply reader, and reporting what failed.
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

constexpr char line_end[] = {'\r', '\n'};
constexpr char ctrl_z = 0x1A; // ends a message text
constexpr char esc = 0x1B;    // abandons it

reader_setup setup_for(const run_options& options, const char* command)
{
    reader_setup setup;
    setup.command = command;
    setup.owners = options.commands;
    setup.owner_count = options.command_count;
    return setup;
}

// read_until's view of the reader: bytes, or 0.1 s of quiet.
bool take(void* context, const char* bytes, int length)
{
    reply_reader& reader = *static_cast<reply_reader*>(context);
    if (length == 0)
        reader.quiet();
    else
        reader.feed(bytes, length);
    return reader.over();
}

// Reports a failed send; true when it did not fail.
bool sent(int send_result)
{
    if (send_result == 0)
        return true;
    report_error("send_line error");
    return false;
}

// Reports a failed read, then failed printing; true when neither happened.
bool report_failures(int read_result, int read_errno, int print_errno)
{
    if (read_result < 0) {
        errno = read_errno;
        report_error("read_reply error");
    }
    if (print_errno != 0) {
        errno = print_errno;
        report_error("puts error");
    }
    return read_result >= 0 && print_errno == 0;
}

} // namespace

int exchange_until_quiet(const run_options& options, int index)
{
    const char* command = options.commands[index];
    if (!sent(send_line(command, static_cast<int>(std::strlen(command)))))
        return -1;

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
    return report_failures(read_result, read_errno, print_errno) ? 0 : -1;
}

reply_end exchange_until_result(const run_options& options, int index, bool message_text)
{
    // The limit counts from the moment the first byte may go out: sending,
    // draining and reading all spend it.
    const unsigned deadline_ms = monotonic_ms() + static_cast<unsigned>(options.timeout_ms);
    const char* text = options.commands[index];
    int text_length = static_cast<int>(std::strlen(text));
    if (!sent(message_text ? send_within(text, text_length, &ctrl_z, 1, deadline_ms)
                           : send_within(text, text_length, line_end, sizeof line_end, deadline_ms)))
        return errno == ETIMEDOUT ? reply_end::timed_out : reply_end::failed;

    reader_setup setup = setup_for(options, text);
    setup.echo_end = message_text ? ctrl_z : '\0';
    if (index + 1 == options.command_count)
        setup.until = options.until;
    raw_printer raw(stdout);
    info_printer info(stdout);
    reply_reader reader(setup, options.info_only ? static_cast<reply_printer&>(info) : raw);
    int read_result = read_until(deadline_ms, take, &reader);
    int read_errno = errno;
    reader.finish();

    if (report_failures(read_result, read_errno, reader.print_errno()))
        return reader.end();
    return reader.print_errno() != 0 || read_errno != ETIMEDOUT ? reply_end::failed : reply_end::timed_out;
}

void abandon_message(int timeout_ms)
{
    if (send_within(&esc, 1, nullptr, 0, monotonic_ms() + static_cast<unsigned>(timeout_ms)) != 0)
        report_error("send_line error");
}
