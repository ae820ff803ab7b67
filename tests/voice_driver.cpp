// voice_driver DEVICE NUMBER [LENGTH]: opens and configures DEVICE as the
// entry does and dials NUMBER (its first LENGTH bytes), so that the dial can
// be run under strace. Exit status 0 once dialled, 1 if the port failed, 3
// if the dial did.
#include "serial/port.h"
#include "tool/voice.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 3)
        return 2;
    // Unbuffered: every print becomes a write at the moment it is made, so
    // the trace shows where the printing happens.
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    port_fd = open(argv[1], O_RDWR | O_NONBLOCK);
    if (port_fd < 0 || set_opt(port_fd, 115200, 8, 'N', 1) < 0 || fcntl(port_fd, F_SETFL, 0) != 0)
        return 1;
    // sscanf, not atoi: <cstdlib> does not compile against uClibc-ng, and this
    // driver is built against it too.
    int length = static_cast<int>(std::strlen(argv[2]));
    if (argc > 3 && std::sscanf(argv[3], "%d", &length) != 1)
        return 2;
    int dialled = voice_dial(argv[2], length);
    restore_opt();
    close(port_fd);
    return dialled == 0 ? 0 : 3;
}
