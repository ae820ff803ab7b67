// The quiet rule: commands go out one byte per write with fixed pauses, and
// a reply comes in one byte per read until the line falls quiet for 0.1 s.
// This is the two-argument form and the voice sequences, the tool's base
// contract: scripts and modems rely on these system calls exactly as they
// are, and tests/syscall_test.cpp (SystemCalls.OneExchangeCallByCall) and
// tests/voice_test.cpp (VoiceDial, the dial's trace) pin them call by call.
// Frozen: new behaviour goes to the -t engine (timed.cpp), never here.
#include "serial/pacing.h"
#include "serial/port.h"

#include <cerrno>
#include <unistd.h>

namespace {

constexpr char line_end[] = {'\r', '\n'};

// Modems fed from a serial console expect typed input: one byte per write,
// with a pause the modem's UART can keep up with. Stops at the first failed
// write, since the device has gone and the rest would only fail too.
int send_paced(const char* data, int length)
{
    for (int i = 0; i < length; ++i) {
        if (write(port_fd, data + i, 1) < 0)
            return port_failure();
        usleep(pacing::byte_pause_us);
    }
    return 0;
}

} // namespace

int send_line(const char* data, int length)
{
    if (send_paced(data, length) != 0)
        return -1;
    if (write(port_fd, line_end, sizeof line_end) < 0)
        return port_failure();
    // The modem answers within this pause; the answer waits in the input
    // queue until read_reply takes it.
    usleep(pacing::line_end_pause_us);
    return tcdrain(port_fd) == 0 ? 0 : port_failure();
}

int send_raw(const char* data, int length)
{
    if (send_paced(data, length) != 0)
        return -1;
    return tcdrain(port_fd) == 0 ? 0 : port_failure();
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
    // and any output not yet sent. A hung-up line ends the reply with an
    // empty read, as the quiet does; there the flush fails (EIO).
    if (tcflush(port_fd, TCIOFLUSH) != 0 && failed_errno == 0)
        failed_errno = errno;
    if (failed_errno != 0) {
        errno = failed_errno;
        return port_failure();
    }
    return capacity > 0 ? pos + 1 : 0;
}
