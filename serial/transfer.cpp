// Paced transfer: commands go out one byte per write with fixed pauses.
// Without a time limit a reply comes in one byte per read until the line
// falls quiet; with one (-t) it is read as it arrives, every step bounded by
// the limit.
#include "serial/pacing.h"
#include "serial/port.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char line_end[] = {'\r', '\n'};
// While output is still queued for a modem that holds CTS low, how often
// the queue is looked at again.
constexpr useconds_t drain_poll_us = 1000;

// When send_within last wrote or read_until last read a byte (monotonic_ms).
unsigned last_io_ms;

// Modems fed from a serial console expect typed input: one byte per write,
// with a pause the modem's UART can keep up with. Stops at the first failed
// write, since the device has gone and the rest would only fail too.
int send_paced(const char* data, int length)
{
    for (int i = 0; i < length; ++i) {
        if (write(port_fd, data + i, 1) < 0)
            return -1;
        usleep(pacing::byte_pause_us);
    }
    return 0;
}

// Milliseconds left until deadline_ms; 0 once it has passed.
int left_ms(unsigned deadline_ms)
{
    int left = static_cast<int>(deadline_ms - monotonic_ms());
    return left > 0 ? left : 0;
}

int timed_out()
{
    errno = ETIMEDOUT;
    return -1;
}

// Writes length bytes on the non-blocking port, waiting for room (a modem
// holding CTS low gives none) until deadline_ms.
int write_within(const char* data, int length, unsigned deadline_ms)
{
    while (length > 0) {
        ssize_t written = write(port_fd, data, static_cast<size_t>(length));
        if (written > 0) {
            data += written;
            length -= static_cast<int>(written);
            last_io_ms = monotonic_ms();
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return -1;
        pollfd port = {port_fd, POLLOUT, 0};
        int left = left_ms(deadline_ms);
        if (left == 0 || (poll(&port, 1, left) < 0 && errno != EINTR))
            return left == 0 ? timed_out() : -1;
    }
    return 0;
}

// Waits until the driver holds no more of the output. Not tcdrain: it waits
// without a limit while CTS holds bytes back, and on some USB adapters (a
// usb-serial driver that asks the chip whether its own FIFO is empty) even
// once the driver's queue is.
int drain_within(unsigned deadline_ms)
{
    for (;;) {
        int queued;
        if (ioctl(port_fd, TIOCOUTQ, &queued) != 0)
            return -1;
        if (queued == 0)
            return 0;
        if (left_ms(deadline_ms) == 0)
            return timed_out();
        usleep(drain_poll_us);
    }
}

// Bytes waiting in the input queue; -1 when the line cannot tell.
int queued_input()
{
    int count;
    return ioctl(port_fd, FIONREAD, &count) == 0 ? count : -1;
}

} // namespace

unsigned monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned>(now.tv_sec) * 1000U + static_cast<unsigned>(now.tv_nsec) / 1000000U;
}

int send_line(const char* data, int length)
{
    if (send_paced(data, length) != 0)
        return -1;
    if (write(port_fd, line_end, sizeof line_end) < 0)
        return -1;
    // The modem answers within this pause; the answer waits in the input
    // queue until read_reply takes it.
    usleep(pacing::line_end_pause_us);
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
            usleep(pacing::read_pause_us);
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

int send_within(const char* data, int length, const char* end, int end_length, unsigned deadline_ms)
{
    for (int i = 0; i < length; ++i) {
        if (write_within(data + i, 1, deadline_ms) != 0)
            return -1;
        usleep(pacing::byte_pause_us);
    }
    if (write_within(end, end_length, deadline_ms) == 0 && drain_within(deadline_ms) == 0)
        return 0;
    // Whatever the modem did not take is nobody's now; a close would
    // otherwise wait for it.
    int failure = errno;
    tcflush(port_fd, TCOFLUSH);
    errno = failure;
    return -1;
}

int read_until(unsigned deadline_ms, bool (*take)(void* context, const char* bytes, int length),
               void* context)
{
    int result = 0;
    // Bytes still to take once the deadline passed: those that had arrived
    // by then, but nothing later. -1 until the deadline passed.
    int in_time = -1;
    for (;;) {
        int left = left_ms(deadline_ms);
        if (left == 0 && in_time < 0) {
            in_time = queued_input();
            if (in_time < 0)
                in_time = 0;
        }
        if (in_time == 0) {
            result = ETIMEDOUT;
            break;
        }
        pollfd port = {port_fd, POLLIN, 0};
        // Woken at least every 0.1 s, so that take hears of the quiet.
        constexpr int quiet_ms = pacing::quiet_ms;
        const int wait_ms = left < quiet_ms ? left : quiet_ms;
        int ready = poll(&port, 1, wait_ms);
        if (ready < 0 && errno != EINTR) {
            result = errno;
            break;
        }
        if (ready == 0) {
            // A whole 0.1 s without a byte is quiet; a shorter wait was the
            // limit's, and once it is up nothing more is coming in time.
            if (wait_ms == quiet_ms && take(context, nullptr, 0))
                break;
            if (left == 0) {
                result = ETIMEDOUT;
                break;
            }
        }
        if (ready <= 0)
            continue;
        char chunk[512];
        int wanted = in_time > 0 && in_time < static_cast<int>(sizeof chunk) ? in_time
                                                                             : static_cast<int>(sizeof chunk);
        ssize_t got = read(port_fd, chunk, static_cast<size_t>(wanted));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0) {
            // Nothing to read although the line said there was: hung up.
            result = got < 0 ? errno : EIO;
            break;
        }
        last_io_ms = monotonic_ms();
        if (in_time > 0)
            in_time -= static_cast<int>(got);
        if (take(context, chunk, static_cast<int>(got)))
            break;
    }
    // What comes after the end is not this reply's.
    tcflush(port_fd, TCIOFLUSH);
    if (result != 0) {
        errno = result;
        return -1;
    }
    return 0;
}

void keep_guard()
{
    // Both times are cut to whole milliseconds, so one more makes sure. A
    // run that moved no byte has nothing to wait for, however long the
    // clock has run.
    int wait_ms = static_cast<int>(last_io_ms + pacing::guard_ms + 1 - monotonic_ms());
    if (wait_ms > 0 && wait_ms <= static_cast<int>(pacing::guard_ms) + 1)
        usleep(static_cast<useconds_t>(wait_ms) * 1000);
}
