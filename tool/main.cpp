// atquery [OPTIONS] DEVICE COMMAND...: sends AT commands to the modem on
// DEVICE, prints their replies and puts the line back as it was. Decides
// every exit status.
#include "serial/port.h"
#include "tool/find.h"
#include "tool/output.h"
#include "tool/options.h"
#include "tool/reply.h"
#include "tool/usb.h"
#include "tool/voice.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The exit statuses main decides itself; the runs give 0, 1 and 3.
constexpr int usage_status = 2;
constexpr int busy_status = 4;
constexpr int failure_status = 255;

// With 0, 1 or 2 closed, the device would be opened in its place and our
// messages or the reply would be written into the modem.
bool open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd != fd) {
            if (null_fd >= 0)
                close(null_fd);
            return false;
        }
    }
    return true;
}

// Each reply read until the line falls quiet; stops at the first command
// that fails.
int run_until_quiet(const run_options& options)
{
    for (int i = 0; i < options.command_count; ++i)
        if (exchange_until_quiet(options, i) != 0)
            return failure_status;
    return 0;
}

// Each reply read as it arrives until its final result code (-t). A
// command waits for the guard after the reply before it; the command after
// a message prompt is the message text and goes out at once. Stops at the
// first command that does not succeed: 1 for an error result (or a prompt
// no text follows), 3 for no final result code in time, failure_status for
// a failure (a port that went away among them).
int run_until_results(const run_options& options)
{
    bool message_text = false;
    for (int i = 0; i < options.command_count; ++i) {
        if (i > 0 && !message_text)
            keep_guard();
        reply_end end = exchange_until_result(options, i, message_text);
        message_text = end == reply_end::prompt;
        if (message_text && i + 1 == options.command_count)
            return abandon_message(options) ? 1 : failure_status;
        if (end == reply_end::error)
            return 1;
        if (end == reply_end::timed_out)
            return 3;
        if (end == reply_end::failed)
            return failure_status;
    }
    return 0;
}

// The voice call sequences on the configured line: set-up, then dial;
// a failed send or read ends the run as it ends the other modes.
int run_voice(const run_options& options)
{
    int result = 0;
    if (options.voice_setup)
        result = voice_setup();
    if (result == 0 && options.dial_number != nullptr)
        result = voice_dial(options.dial_number, static_cast<int>(std::strlen(options.dial_number)));
    if (result != 0)
        report_error(result == voice_read_failed ? label::read : label::send);
    if (!flush_stdout()) {
        report_error(label::print);
        return failure_status;
    }
    return result == 0 ? 0 : failure_status;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!open_standard_descriptors()) {
        report_error(label::null_device);
        return failure_status;
    }
#ifdef PR_SET_TIMERSLACK
    // The kernel may end a normal thread's sleep late by its timer slack, by
    // default 50 us: as much again as the 50 us pause after each reply byte,
    // and more than a line at 115200 bit/s leaves per byte. The pauses keep
    // their length; they just end when asked. 1 ns is the least it accepts.
    prctl(PR_SET_TIMERSLACK, 1UL);
#endif
    // A reader that went away must not kill us before the line is restored:
    // the failed write is reported instead.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);

    run_options options;
    switch (parse_options(argc, argv, options)) {
    case parse_result::help:
        if (std::fputs(usage_text, stdout) >= 0 && flush_stdout())
            return 0;
        report_error(label::print);
        return failure_status;
    case parse_result::version:
        if (std::fputs("atquery " ATQUERY_VERSION "\n", stdout) >= 0 && flush_stdout())
            return 0;
        report_error(label::print);
        return failure_status;
    case parse_result::usage_error:
        std::fputs(usage_text, stderr);
        return usage_status;
    case parse_result::run:
        break;
    }
    if (options.find)
        return find_ports(options, "/sys");
    // usb:VID:PID:IFACE: the port now on that interface.
    char usb_path[48];
    switch (resolve_usb_device("/sys", options.device, usb_path)) {
    case usb_resolution::resolved:
        break;
    case usb_resolution::none:
        return failure_status;
    case usb_resolution::several:
        return usage_status;
    }

    // Non-blocking, so that a modem holding DCD low cannot hold the open on
    // a port whose settings lack CLOCAL; set_opt sets it.
    port_fd = open(options.device, O_RDWR | O_NONBLOCK);
    if (port_fd < 0) {
        report_error(label::open_port);
        return failure_status;
    }
    // Before the settings are recorded, so that they are the port's own and
    // never those of another run still using it.
    unsigned long holder;
    if (options.lock && lock_port(options.wait_ms, holder) != 0) {
        bool busy = errno == EWOULDBLOCK;
        if (busy)
            report_busy(options.device, holder);
        else
            report_error(label::lock_port);
        close(port_fd);
        return busy ? busy_status : failure_status;
    }
    guard_line();
    if (int step = set_opt(port_fd, options.baud, 8, 'N', 1); step != 0) {
        // The step that failed, then the set-up as a whole.
        report_error(step == opt_unreadable ? label::settings_unreadable : label::settings_refused);
        report_error(label::set_opt);
        close(port_fd);
        return failure_status;
    }

    // The quiet rule and the voice sequences wait in blocking reads and
    // writes; -t waits in poll, within its limit.
    if (options.mode != run_mode::until_results && fcntl(port_fd, F_SETFL, 0) != 0) {
        report_error(label::set_opt);
        restore_opt();
        close(port_fd);
        return failure_status;
    }
    int status = 0;
    switch (options.mode) {
    case run_mode::until_quiet:
        status = run_until_quiet(options);
        break;
    case run_mode::until_results:
        status = run_until_results(options);
        // The port stays ours until the guard has passed, so that the next
        // run's command cannot follow this run's last byte sooner.
        if (line_set)
            keep_guard();
        break;
    case run_mode::voice:
        status = run_voice(options);
        break;
    }
    // A port found gone (hung up, removed) has nothing to put back.
    if (line_set)
        restore_opt();
    close(port_fd);
    return status;
}
