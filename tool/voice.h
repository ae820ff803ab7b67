// The voice-call sequences: a fixed modem set-up and a voice dial, on the
// quiet rule's transfer. Both use the port state of serial/port.h and expect
// a blocking port_fd with set_opt(port_fd, 115200, 8, 'N', 1) applied, as the
// entry does; they print on standard output and report no failure themselves.
#pragma once

// A sequence's failures: a send, or a read of a reply.
constexpr int voice_send_failed = -1;
constexpr int voice_read_failed = -2;

// Sends with send_line AT twice, then AT$NOSLEEP=1, AT+GDT=1, AT$AUPATH=0,1,
// AT$AUGAIN=1,7 and AT$AUGAIN=2,9 as written (the modem's own set), and after
// each prints the GB2312 label "fanhui xinxi:" (returned information:) and
// the reply's first 99 bytes, each on a line of its own; replies are not
// examined. Returns 0, or voice_send_failed or voice_read_failed (after
// printing what came) with errno set, sending nothing more.
int voice_setup();

// Sends "ATD", length bytes of number (none when length <= 0; number may then
// be null), ";" and CR LF with send_raw, one byte per write, waits 2 s, then
// prints and flushes the GB2312 label "zhengzai dadianhua gei:" (now calling:)
// and those bytes, with no line end; the modem's answer is left unread.
// Returns 0, or voice_send_failed with errno set and nothing printed.
int voice_dial(const char* number, int length);
