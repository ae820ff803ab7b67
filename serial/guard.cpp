// Signals while the line is the tool's: SIGINT, SIGTERM, SIGHUP and SIGQUIT
// put the port's own settings back before the process dies of them.
#include "serial/port.h"

#include <csignal>

namespace {

constexpr int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Async-signal-safe calls only. The signal's default action is back by the
// time this runs, so the raise ends the process, at once or on return.
void restore_and_die(int sig)
{
    if (line_set) {
        tcsetattr(port_fd, TCSANOW, &saved_opt);
        // On a UART the close at exit would wait up to 30 s for output that
        // CTS holds back; nobody is left to want it.
        tcflush(port_fd, TCOFLUSH);
    }
    std::raise(sig);
}

} // namespace

void guard_line()
{
    guard_signals(restore_and_die);
}

void guard_signals(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESETHAND;
    // A signal the caller ignores (nohup, a background job of a script)
    // stays ignored; asked first, so it is never caught in between.
    for (int sig : guarded_signals) {
        struct sigaction before;
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}
