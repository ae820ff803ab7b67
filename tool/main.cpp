// atquery DEVICE COMMAND: sends one AT command to the modem on DEVICE, prints
// its reply and puts the line back as it was. Decides every exit status.
#include "serial/port.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr char usage_text[] =
    "usage: atquery DEVICE COMMAND\n"
    "Sends COMMAND and CR LF to the modem on DEVICE (115200 8N1, RTS/CTS, raw),\n"
    "prints its reply, read until the line is quiet for 0.1 s, and restores\n"
    "the line settings. Exit status: 0 reply printed, 255 failure, 2 usage.\n";

constexpr int reply_capacity = 5000;

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

// Prints the reply with its line feed and makes sure it left the process.
bool print_reply(const char* reply)
{
    return std::puts(reply) >= 0 && std::fflush(stdout) == 0;
}

// Sends the command, prints the reply; the line is still configured after it.
int exchange(const char* command)
{
    if (send_line(command, static_cast<int>(std::strlen(command))) != 0) {
        report_error("send_line error");
        return -1;
    }

    char reply_buffer[reply_capacity];
    std::memset(reply_buffer, 0, sizeof reply_buffer);
    int read_result = read_reply(reply_buffer);
    int read_errno = errno;

    bool printed = print_reply(reply_buffer);
    int print_errno = errno;

    if (read_result < 0) {
        errno = read_errno;
        report_error("read_reply error");
    }
    if (!printed) {
        errno = print_errno;
        report_error("puts error");
    }
    return read_result < 0 || !printed ? -1 : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (!open_standard_descriptors()) {
        report_error("/dev/null");
        return -1;
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
    std::signal(SIGPIPE, SIG_IGN);

    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        if (std::fputs(usage_text, stdout) >= 0 && std::fflush(stdout) == 0)
            return 0;
        report_error("puts error");
        return -1;
    }
    if (argc < 3) {
        std::fputs(usage_text, stderr);
        return 2;
    }

    port_fd = open(argv[1], O_RDWR);
    if (port_fd < 0) {
        report_error("open_port error");
        return -1;
    }
    if (set_opt(port_fd, 115200, 8, 'N', 1) < 0) {
        report_error("set_opt error");
        close(port_fd);
        return -1;
    }

    int status = exchange(argv[2]);
    restore_opt();
    close(port_fd);
    return status;
}
