// The serial link: the process-wide port state and the routines that set up
// the line and move bytes over it with fixed pacing. Nothing here prints:
// a routine that fails returns -1 (or which step failed) with errno set, and
// the tool reports it.
#pragma once

#include <csignal>
#include <span>
#include <termios.h>

// Descriptor of the open serial device; -1 when there is none.
extern int port_fd;
// The port's settings as found by set_opt, put back by restore_opt (and by
// the signal guard).
extern termios saved_opt;
// Whether the port may hold the tool's settings: set by set_opt just before
// it applies them, cleared by restore_opt once saved_opt is back, and by a
// routine below that finds the port gone: nothing is put back on a port
// that no longer exists.
extern volatile std::sig_atomic_t line_set;

// Whether error, from a failed call on port_fd, says the port is gone: hung
// up (EIO: a modem that reset, a USB adapter pulled, a pseudo-terminal whose
// other side closed) or its device removed (ENODEV, ENXIO).
bool port_gone(int error);

// For the routines below: clears line_set when errno says the port is gone.
// Returns -1, errno kept.
int port_failure();

// --- Line settings (line.cpp) ---

// Builds the tool's line settings from nothing: receiver on, modem lines
// ignored, RTS/CTS, raw, VMIN 0 / VTIME 1. speed is in bit/s (unknown rates
// give 9600), parity is 'N', 'O' or 'E' (anything else: none), stop is 1 or 2.
// Touches no descriptor.
termios make_line_opt(int speed, int bits, char parity, int stop);

// Whether speed (bit/s) is one of the rates make_line_opt knows.
bool speed_known(int speed);

// set_opt's failures: the port's settings could not be read, or the tool's
// could not be applied.
constexpr int opt_unreadable = -1;
constexpr int opt_refused = -2;

// Records fd's settings in saved_opt, applies make_line_opt(...) at once and
// discards pending input before and after. Returns 0, or opt_unreadable or
// opt_refused with errno set.
int set_opt(int fd, int speed, int bits, char parity, int stop);

// Applies saved_opt to port_fd at once; returns tcsetattr's result.
// Meaningful only after a successful set_opt.
int restore_opt();

// --- Sharing the port (lock.cpp) and signals (guard.cpp) ---

// Takes an exclusive flock on port_fd (held until it closes), waiting up to
// wait_ms in the kernel's queue (SIGALRM, which must not be blocked, and the
// real-time timer serve the wait and are put back), or finds it held
// exclusively by an inherited descriptor on the same device node (flock(1)),
// which it never locks or unlocks. Returns 0; -1 with errno EWOULDBLOCK when
// another process kept it (holder: that process's id, 0 if unknown); -1 with
// another errno on failure.
int lock_port(int wait_ms, unsigned long& holder);

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT (those not ignored) put saved_opt
// back on port_fd and discard output still queued while line_set, then end
// the process by the same signal. Call before set_opt.
void guard_line();

// What guard_line does with a handler of the caller's (--find guards many
// ports): handler runs once, on the first of those signals.
void guard_signals(void (*handler)(int));

// --- The quiet rule (paced.cpp): the two-argument form and the voice
// sequences, on a blocking port_fd. Frozen: its system calls are pinned. ---

// Sends length bytes of data, one write per byte with 100 us after each, then
// CR LF in one write, pauses 300 ms and drains. Returns 0, or -1 with errno
// set when a write or the drain failed (sending stops at the failed write).
// Writes and the drain wait, without a time limit, while the modem holds CTS low.
int send_line(const char* data, int length);

// As send_line without the line end and the 300 ms pause.
int send_raw(const char* data, int length);

// Reads a reply into buffer (cleared by the caller), one byte per read, until
// a zero byte arrives, a read brings nothing within 0.1 s, or only the
// terminating zero fits; then discards both queues. The text is always
// zero-terminated inside buffer. Returns the positions used including the
// terminator (1 for an empty reply), or -1 with errno set when a read failed;
// what was read before the failure stays in buffer.
int read_reply(std::span<char> buffer);

// --- Within a time limit (timed.cpp): -t, on a non-blocking port_fd ---

// Milliseconds on the monotonic clock modulo 2^32: times less than 24 days
// apart compare right as static_cast<int>(a - b).
unsigned monotonic_ms();

// Sends length bytes of data, one write per byte with 100 us after each, then
// the end_length bytes of end in one write, and waits for the output to
// drain, all by deadline_ms (as monotonic_ms counts). Returns 0, or -1 with
// errno set (ETIMEDOUT when the modem held the output back past the
// deadline); on failure the output still queued is discarded.
int send_within(const char* data, int length, const char* end, int end_length, unsigned deadline_ms);

// One reply read within a deadline: when it is up (as monotonic_ms counts),
// and what read_some keeps between calls.
struct timed_read {
    explicit timed_read(unsigned deadline) : deadline_ms(deadline) {}
    unsigned deadline_ms;
    int in_time = -1; // once the deadline passed: bytes that had come by then, still to read
};

// Waits for the reply's next bytes and reads as many as have come (at most
// buffer's size) in one read. Returns their count; 0 after a whole 0.1 s
// without a byte; -1 with errno ETIMEDOUT once the deadline passed and the
// bytes that had come by then are read, or with another errno when a read
// failed or the line was hung up (EIO).
int read_some(timed_read& reading, std::span<char> buffer);

// Discards both queues: what comes after a reply's end is not its. Not on a
// port found gone (line_set cleared).
void discard_queues();

// Sleeps until 20 ms have passed since send_within last wrote or read_some
// last read a byte: the pause modems need before the next command.
void keep_guard();
