// Paced transfer: commands go out one byte per write with fixed pauses, and
// replies come in one byte per read until the line falls quiet or, with a
// deadline, until the caller has the whole reply.
#include "serial/port.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr useconds_t byte_pause_us = 100;
constexpr useconds_t line_end_pause_us = 300000;
constexpr useconds_t read_pause_us = 50;
constexpr char line_end[] = {'\r', '\n'};

// Modems fed from a serial console expect typed input: one byte per write,
// with a pause the modem's UART can keep up with. Stops at the first failed
// write, since the device has gone and the rest would only fail too.
int send_paced(const char* data, int length)
{
    for (int i = 0; i < length; ++i) {
        if (write(port_fd, data + i, 1) < 0)
            return -1;
        usleep(byte_pause_us);
    }
    return 0;
}

unsigned monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned>(now.tv_sec) * 1000U + static_cast<unsigned>(now.tv_nsec) / 1000000U;
}

// Bytes waiting in the input queue; -1 when the line cannot tell. A hung-up
// line (a USB modem unplugged) reads as empty at once, but fails here.
int queued()
{
    int count;
    return ioctl(port_fd, FIONREAD, &count) == 0 ? count : -1;
}

} // namespace

int send_line(const char* data, int length)
{
    return send_ended(data, length, line_end, sizeof line_end, nullptr);
}

int send_ended(const char* data, int length, const char* end, int end_length, unsigned* sent_ms)
{
    if (send_paced(data, length) != 0)
        return -1;
    if (write(port_fd, end, end_length) < 0)
        return -1;
    if (sent_ms != nullptr)
        *sent_ms = monotonic_ms();
    // The modem answers within this pause; the answer waits in the input
    // queue until read_reply takes it.
    usleep(line_end_pause_us);
    return tcdrain(port_fd) == 0 ? 0 : -1;
}

int send_raw(const char* data, int length)
{
    if (send_paced(data, length) != 0)
        return -1;
    return tcdrain(port_fd) == 0 ? 0 : -1;
}

int read_reply(std::span<char> buffer)
{
    const int capacity = static_cast<int>(buffer.size());
    int failed_errno = 0;
    int pos = 0;

    // The last position is kept for the terminating zero, so reading stops
    // there even when the modem never falls quiet.
    while (pos < capacity - 1) {
        ssize_t got = read(port_fd, &buffer[pos], 1);
        if (got < 0)
            failed_errno = errno;
        if (got != 1)
            buffer[pos] = '\0';
        // Every read but the first is followed by the pause, the last included.
        if (pos > 0)
            usleep(read_pause_us);
        if (buffer[pos] == '\0')
            break;
        ++pos;
    }
    if (capacity > 0)
        buffer[pos] = '\0';

    // Drop the rest of an over-long reply, bytes after a zero byte or a gap,
    // and any output not yet sent.
    tcflush(port_fd, TCIOFLUSH);
    if (failed_errno != 0) {
        errno = failed_errno;
        return -1;
    }
    return capacity > 0 ? pos + 1 : 0;
}

int read_until(unsigned deadline_ms, bool (*take)(void* context, char byte), void* context)
{
    int result = 0;
    // Bytes still to take once the deadline passed: those that had arrived
    // by then (the reading may lag behind, as during the 300 ms pause after
    // the command), but nothing later. -1 until the deadline passed.
    int in_time = -1;
    for (bool first = true;; first = false) {
        // Checked between reads: a read that waits returns within 0.1 s, so
        // the limit is kept to that.
        if (in_time < 0 && static_cast<int>(monotonic_ms() - deadline_ms) >= 0) {
            in_time = queued();
            if (in_time < 0)
                in_time = 0;
        }
        if (in_time == 0) {
            result = ETIMEDOUT;
            break;
        }
        if (in_time > 0)
            --in_time;
        char byte;
        ssize_t got = read(port_fd, &byte, 1);
        if (got < 0 || (got == 0 && queued() < 0)) {
            result = errno;
            break;
        }
        if (!first)
            usleep(read_pause_us);
        if (got == 1 && take(context, byte))
            break;
    }
    // As after read_reply: what comes after the end is not this reply's.
    tcflush(port_fd, TCIOFLUSH);
    if (result != 0) {
        errno = result;
        return -1;
    }
    return 0;
}

int read_port(char* buffer, int size)
{
    return static_cast<int>(read(port_fd, buffer, size));
}
