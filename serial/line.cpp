// Line settings: the process-wide port state, putting the line into the
// tool's raw mode and putting the port's own settings back.
#include "serial/port.h"

#include <cerrno>
#include <cstring>

int port_fd = -1;
termios saved_opt;
volatile std::sig_atomic_t line_set = 0;

namespace {

// The settings set_opt applies.
termios line_opt;

struct speed_code {
    int bits_per_second;
    speed_t code;
};

constexpr speed_code speed_table[] = {
    {2400, B2400}, {4800, B4800}, {9600, B9600}, {115200, B115200}, {460800, B460800},
};

// The code for speed in bit/s; B0 when the table does not have it.
speed_t lookup_speed(int speed)
{
    for (const speed_code& row : speed_table)
        if (row.bits_per_second == speed)
            return row.code;
    return B0;
}

} // namespace

bool speed_known(int speed)
{
    return lookup_speed(speed) != B0;
}

termios make_line_opt(int speed, int bits, char parity, int stop)
{
    termios opt;
    // Everything not set below stays off: no input or output processing,
    // non-canonical input, no echo, no signal characters.
    std::memset(&opt, 0, sizeof opt);
    opt.c_cflag = CREAD | CLOCAL | CRTSCTS;

    if (bits == 7)
        opt.c_cflag |= CS7;
    else if (bits == 8)
        opt.c_cflag |= CS8;

    switch (parity) {
    case 'O':
        opt.c_cflag |= PARENB | PARODD;
        opt.c_iflag |= INPCK | ISTRIP;
        break;
    case 'E':
        opt.c_cflag |= PARENB;
        opt.c_cflag &= ~PARODD;
        opt.c_iflag |= INPCK | ISTRIP;
        break;
    case 'N':
        opt.c_cflag &= ~PARENB;
        break;
    default:
        break;
    }

    speed_t code = lookup_speed(speed);
    if (code == B0)
        code = B9600;
    cfsetispeed(&opt, code);
    cfsetospeed(&opt, code);

    if (stop == 1)
        opt.c_cflag &= ~CSTOPB;
    else if (stop == 2)
        opt.c_cflag |= CSTOPB;

    // A read returns as soon as one byte is there, or empty after 0.1 s of
    // silence: the reply ends on that time-out.
    opt.c_cc[VMIN] = 0;
    opt.c_cc[VTIME] = 1;
    return opt;
}

int set_opt(int fd, int speed, int bits, char parity, int stop)
{
    if (tcgetattr(fd, &saved_opt) != 0)
        return opt_unreadable;
    line_opt = make_line_opt(speed, bits, parity, stop);

    // Whatever arrived before the line was ours is not part of any reply;
    // flush again once the new settings hold, for bytes caught in between.
    tcflush(fd, TCIFLUSH);
    line_set = 1;
    if (tcsetattr(fd, TCSANOW, &line_opt) != 0) {
        line_set = 0;
        return opt_refused;
    }
    tcflush(fd, TCIFLUSH);
    return 0;
}

bool port_gone(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

int port_failure()
{
    if (port_gone(errno))
        line_set = 0;
    return -1;
}

int restore_opt()
{
    int result = tcsetattr(port_fd, TCSANOW, &saved_opt);
    line_set = 0;
    return result;
}
