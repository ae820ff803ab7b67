// The least a program can do to get a modem's OK: the benchmark's reference
// for atquery -t. Raw mode at 115200 bit/s, the command and CR LF in one
// write, blocking reads until the reply ends in OK, the settings put back;
// no pacing, lock, guard or time limit. Prints the reply as it came.
//   usage: minimal_client DEVICE COMMAND
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// The final result code, at the start of a line and ending it.
constexpr char ok_line[] = "\r\nOK\r\n";

// Reads until the reply ends in ok_line; false on a failed read or hang-up.
bool read_to_ok(int fd, std::string& reply)
{
    while (!reply.ends_with(ok_line)) {
        char chunk[4096];
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        reply.append(chunk, static_cast<size_t>(got));
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fputs("usage: minimal_client DEVICE COMMAND\n", stderr);
        return 2;
    }
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    termios saved;
    if (fd < 0 || tcgetattr(fd, &saved) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios raw = saved;
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        std::perror("tcsetattr");
        close(fd);
        return 1;
    }

    const std::string line = std::string(argv[2]) + "\r\n";
    std::string reply;
    bool done = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                read_to_ok(fd, reply);
    if (!done)
        std::perror("exchange");
    tcsetattr(fd, TCSANOW, &saved);
    close(fd);
    return done && std::fwrite(reply.data(), 1, reply.size(), stdout) == reply.size() ? 0 : 1;
}
