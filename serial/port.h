// The serial link: the process-wide port state and the routines that set up
// the line and move bytes over it with fixed pacing.
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
// it applies them, cleared by restore_opt once saved_opt is back.
extern volatile std::sig_atomic_t line_set;

// Builds the tool's line settings from nothing: receiver on, modem lines
// ignored, RTS/CTS, raw, VMIN 0 / VTIME 1. speed is in bit/s (unknown rates
// give 9600), parity is 'N', 'O' or 'E' (anything else: none), stop is 1 or 2.
// Touches no descriptor.
termios make_line_opt(int speed, int bits, char parity, int stop);

// Whether speed (bit/s) is one of the rates make_line_opt knows.
bool speed_known(int speed);

// Records fd's settings in saved_opt, applies make_line_opt(...) at once and
// discards pending input before and after. Returns 0, or -1 after printing
// "SetupSerial 1" (settings unreadable) or "com set error" (not applied).
int set_opt(int fd, int speed, int bits, char parity, int stop);

// Applies saved_opt to port_fd at once; returns tcsetattr's result.
// Meaningful only after a successful set_opt.
int restore_opt();

// Takes an exclusive flock on port_fd (opened on device), waiting for up to
// wait_ms behind the runs already waiting; held until the descriptor closes.
// Also returns 0 when an inherited descriptor on the same device node holds
// the lock exclusively (flock(1) passes its own on); inherited descriptors
// are only looked at, never locked or unlocked. SIGALRM (which must not be
// blocked) and the real-time timer serve the wait and are put back after it.
// Returns 0, or -1 with errno EWOULDBLOCK after printing "atquery: DEVICE is
// in use [by process PID]", or -1 with another errno after printing
// "lock_port error".
int lock_port(const char* device, int wait_ms);

// Makes SIGINT, SIGTERM, SIGHUP and SIGQUIT (those not ignored) put saved_opt
// back on port_fd and discard output still queued while line_set, then end
// the process by the same signal. Call before set_opt.
void guard_line();

// Sends length bytes of data, one write per byte with 100 us after each, then
// CR LF in one write, pauses 300 ms and drains (on a blocking port_fd). Returns 0, or -1 with errno
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

// Milliseconds on the monotonic clock modulo 2^32: times less than 24 days
// apart compare right as static_cast<int>(a - b).
unsigned monotonic_ms();

// For -t, on a non-blocking port_fd: sends length bytes of data, one write
// per byte with 100 us after each, then the end_length bytes of end in one
// write, and waits for the output to drain, all by deadline_ms (as
// monotonic_ms counts). Returns 0, or -1 with errno set (ETIMEDOUT when the
// modem held the output back past the deadline); on failure the output
// still queued is discarded.
int send_within(const char* data, int length, const char* end, int end_length, unsigned deadline_ms);

// For -t, on a non-blocking port_fd: reads the reply as it arrives, as many
// bytes per read as have come, handing them to take(context, bytes, length)
// until take returns true; after every 0.1 s without a byte, take is called
// with length 0. Bytes that had arrived by deadline_ms are still taken after
// it. Then discards both queues. Returns 0 when take ended the reply; -1
// with errno ETIMEDOUT when the deadline passed first; -1 with errno set
// when a read failed or the line was hung up.
int read_until(unsigned deadline_ms, bool (*take)(void* context, const char* bytes, int length),
               void* context);

// Sleeps until 20 ms have passed since send_within last wrote or read_until
// last read a byte: the pause modems need before the next command.
void keep_guard();
