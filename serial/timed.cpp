// Transfer within a time limit (-t): commands go out one byte per write as
// with the quiet rule, but every write and the drain wait only until the
// limit, and a reply is read as it arrives, as many bytes per read as have
// come. This is where new transfer behaviour goes; the quiet rule (paced.cpp)
// stays as it is.
#include "serial/pacing.h"
#include "serial/port.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

// While output is still queued for a modem that holds CTS low, how often
// the queue is looked at again.
constexpr useconds_t drain_poll_us = 1000;

// When send_within last wrote or read_some last read a byte (monotonic_ms).
unsigned last_io_ms;

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
            return port_failure();
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
            return port_failure();
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
    if (!port_gone(failure))
        tcflush(port_fd, TCOFLUSH);
    errno = failure;
    return -1;
}

int read_some(timed_read& reading, std::span<char> buffer)
{
    for (;;) {
        int left = left_ms(reading.deadline_ms);
        // Bytes that had arrived by the deadline are still the reply's;
        // nothing that comes later is.
        if (left == 0 && reading.in_time < 0) {
            reading.in_time = queued_input();
            if (reading.in_time < 0)
                reading.in_time = 0;
        }
        if (reading.in_time == 0)
            return timed_out();
        pollfd port = {port_fd, POLLIN, 0};
        // Woken at least every 0.1 s, so that the caller hears of the quiet.
        constexpr int quiet_ms = pacing::quiet_ms;
        const int wait_ms = left < quiet_ms ? left : quiet_ms;
        int ready = poll(&port, 1, wait_ms);
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready == 0) {
            // A whole 0.1 s without a byte is quiet; a shorter wait was the
            // limit's, and once it is up nothing more is coming in time.
            if (wait_ms == quiet_ms)
                return 0;
            if (left == 0)
                return timed_out();
        }
        if (ready <= 0)
            continue;
        const int size = static_cast<int>(buffer.size());
        int wanted = reading.in_time > 0 && reading.in_time < size ? reading.in_time : size;
        ssize_t got = read(port_fd, buffer.data(), static_cast<size_t>(wanted));
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0) {
            // Nothing to read although the line said there was: hung up.
            if (got == 0)
                errno = EIO;
            return port_failure();
        }
        last_io_ms = monotonic_ms();
        if (reading.in_time > 0)
            reading.in_time -= static_cast<int>(got);
        return static_cast<int>(got);
    }
}

void discard_queues()
{
    if (line_set)
        tcflush(port_fd, TCIOFLUSH);
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
