// The voice-call sequences: a fixed modem set-up and a voice dial. Both use
// the port state of serial/port.h and expect port_fd open with
// set_opt(port_fd, 115200, 8, 'N', 1) applied, as the entry does.
#pragma once

// Sends the seven set-up commands in order and prints each reply (at most 99
// bytes) on the line after the GB2312 label "fanhui xinxi:" (returned information:).
void voice_setup();

// Sends "ATD", length bytes of number (none when length <= 0; number may then
// be null), ";" and CR LF, waits 2 s, then prints and flushes the GB2312 label
// "zhengzai dadianhua gei:" (now calling:) and those bytes, with no line end.
void voice_dial(const char* number, int length);
