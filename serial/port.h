// The serial link: the process-wide port state and the routines that set up
// the line and move bytes over it with fixed pacing.
#pragma once

#include <csignal>
#include <span>
#include <termios.h>

// Descriptor of the open serial device; -1 when there is none.
extern int port_fd;
// The port's settings as found by set_opt, put back by restore_opt.
extern termios saved_opt;
// The settings set_opt applies.
extern termios line_opt;
// Whether the port may hold line_opt: set by set_opt just before it applies
// them, cleared by restore_opt once saved_opt is back.
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

// As send_line, but the data is ended by the end_length bytes of end in one
// write (CR LF for a command, Ctrl-Z for a message text); sent_ms, unless
// null, gets the time at which that write returned, in milliseconds on the
// monotonic clock modulo 2^32 (times less than 24 days apart compare right).
int send_ended(const char* data, int length, const char* end, int end_length, unsigned* sent_ms);

// Reads one byte per read (each waits at most 0.1 s, 50 us after every read
// but the first), past any quiet, handing each byte to take(context, byte)
// until take returns true; then discards both queues. Bytes that had arrived
// by deadline_ms (as send_ended counts) are still taken after it. Returns 0
// when take ended the reply; -1 with errno ETIMEDOUT when the deadline passed
// and those bytes were taken first; -1 with errno set when a read failed or
// the line was hung up.
int read_until(unsigned deadline_ms, bool (*take)(void* context, char byte), void* context);

// Prints label, ": " and the text for errno on standard error (perror),
// leaving errno as it was for the caller's own report.
void report_error(const char* label);

// Flushes standard output; true when everything written to it so far has
// left the process. Checks the stream's error indicator as well as fflush's
// result: uClibc-ng's fflush drops the buffered bytes after a write that
// failed for good (ENOSPC, EPIPE) and then reports success. errno then
// still holds the failed write's error.
bool flush_stdout();

// One read of at most size bytes from port_fd; the platform's result.
int read_port(char* buffer, int size);
