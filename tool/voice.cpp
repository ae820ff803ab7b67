// The voice-call sequences: the set-up table, the labels, and the two
// routines that send them and print what the modem answers.
#include "tool/voice.h"

#include "serial/port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The attention command twice, then commands of the modem's own command set
// (sleep, audio path, gains) that go out exactly as written.
constexpr const char* voice_setup_commands[] = {
    "AT", "AT", "AT$NOSLEEP=1", "AT+GDT=1", "AT$AUPATH=0,1", "AT$AUGAIN=1,7", "AT$AUGAIN=2,9",
};

// GB2312 for "fanhui xinxi:", "returned information:".
constexpr char reply_label[] = "\xB7\xB5\xBB\xD8\xD0\xC5\xCF\xA2:";
// GB2312 for "zhengzai dadianhua gei:", "now calling:".
constexpr char dial_label[] = "\xD5\xFD\xD4\xDA\xB4\xF2\xB5\xE7\xBB\xB0\xB8\xF8:";

constexpr int reply_capacity = 100;
constexpr useconds_t dial_pause_us = 2000000;

} // namespace

int voice_setup()
{
    char reply_buffer[reply_capacity];
    for (const char* command : voice_setup_commands) {
        if (send_line(command, static_cast<int>(std::strlen(command))) != 0)
            return voice_send_failed;
        // Cleared every time, so a short reply never shows the tail of a
        // longer one before it.
        std::memset(reply_buffer, 0, sizeof reply_buffer);
        int read_result = read_reply(reply_buffer);
        int read_errno = errno;
        std::puts(reply_label);
        std::puts(reply_buffer);
        if (read_result < 0) {
            errno = read_errno;
            return voice_read_failed;
        }
    }
    return 0;
}

int voice_dial(const char* number, int length)
{
    if (send_raw("ATD", 3) != 0 || send_raw(number, length) != 0 || send_raw(";", 1) != 0 ||
        send_raw("\r\n", 2) != 0)
        return voice_send_failed;
    // The modem needs time to set up the call before it is announced.
    usleep(dial_pause_us);

    std::fputs(dial_label, stdout);
    for (int i = 0; i < length; ++i)
        std::putchar(static_cast<unsigned char>(number[i]));
    // The line has no end, so a terminal or pipe would otherwise show nothing
    // until the caller's next line feed or exit, however long the call lasts.
    std::fflush(stdout);
    return 0;
}
