// The exchanges of a run: the reply reader's set-up and printing, and the
// -t exchange, which owns its loop: it asks the serial link for the reply's
// bytes within the limit and feeds them to the reader until the reply ends.
// The quiet rule's exchange is quiet.cpp.
#include "tool/reply.h"

#include "serial/port.h"
#include "tool/output.h"
#include "tool/printer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr char line_end[] = {'\r', '\n'};
constexpr char ctrl_z = 0x1A; // ends a message text
constexpr char esc = 0x1B;    // abandons it

// As many bytes as one read of a reply takes: whatever has come, up to this.
constexpr int chunk_capacity = 512;

} // namespace

reader_setup setup_for(const run_options& options, const char* command)
{
    reader_setup setup;
    setup.command = command;
    setup.owners = options.commands;
    setup.owner_count = options.command_count;
    return setup;
}

namespace {

// A send that failed: a port that went away is named, other failures go
// under the send's label.
void report_send_failure(const run_options& options)
{
    if (port_gone(errno))
        report_gone(options.device, errno);
    else
        report_error(label::send);
}

// Feeds reader the reply as it arrives, and the quiet, until it is over,
// then drops what came after it. Returns 0, or the errno of the read that
// failed (ETIMEDOUT: the limit ran out first).
int read_into(reply_reader& reader, timed_read& reading)
{
    char chunk[chunk_capacity];
    int failure = 0;
    while (!reader.over()) {
        int got = read_some(reading, chunk);
        if (got < 0) {
            failure = errno;
            break;
        }
        if (got == 0)
            reader.quiet();
        else
            reader.feed(chunk, got);
    }
    discard_queues();
    return failure;
}

} // namespace

reply_end exchange_until_result(const run_options& options, int index, bool message_text)
{
    // The limit counts from the moment the first byte may go out: sending,
    // draining and reading all spend it.
    const unsigned deadline_ms = monotonic_ms() + static_cast<unsigned>(options.timeout_ms);
    const char* text = options.commands[index];
    int text_length = static_cast<int>(std::strlen(text));
    if ((message_text ? send_within(text, text_length, &ctrl_z, 1, deadline_ms)
                      : send_within(text, text_length, line_end, sizeof line_end, deadline_ms)) != 0) {
        report_send_failure(options);
        return errno == ETIMEDOUT ? reply_end::timed_out : reply_end::failed;
    }

    reader_setup setup = setup_for(options, text);
    setup.echo_end = message_text ? ctrl_z : '\0';
    if (index + 1 == options.command_count)
        setup.until = options.until;
    raw_printer raw(stdout);
    info_printer info(stdout);
    reply_reader reader(setup, options.info_only ? static_cast<reply_printer&>(info) : raw);
    timed_read reading(deadline_ms);
    int read_errno = read_into(reader, reading);
    reader.finish();

    // A port that went away ends the run with one line naming it.
    const bool gone = port_gone(read_errno);
    if (gone)
        report_gone(options.device, read_errno);
    if (report_reply_failures(read_errno != 0 && !gone, read_errno, reader.print_errno()) && !gone)
        return reader.end();
    return reader.print_errno() != 0 || read_errno != ETIMEDOUT ? reply_end::failed : reply_end::timed_out;
}

bool abandon_message(const run_options& options)
{
    if (send_within(&esc, 1, nullptr, 0, monotonic_ms() + static_cast<unsigned>(options.timeout_ms)) == 0)
        return true;
    report_send_failure(options);
    return false;
}
