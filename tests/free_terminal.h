// A pseudo-terminal for a test that plays the modem itself, on the master
// side, which the runs it starts do not inherit.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

// A pseudo-terminal whose other side only this process holds (the master);
// nobody has its terminal side open until a run opens it.
struct free_terminal {
    free_terminal()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
        else
            path = ptsname(master);
    }
    ~free_terminal() { hang_up(); }
    free_terminal(const free_terminal&) = delete;
    free_terminal& operator=(const free_terminal&) = delete;

    // What the run wrote to the terminal so far.
    std::string received() const
    {
        std::string bytes;
        char chunk[256];
        pollfd fd = {master, POLLIN, 0};
        while (poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN)) {
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            bytes.append(chunk, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Closes the master side: the terminal side is hung up, as a USB serial
    // port is when its adapter is removed, and its node goes away.
    void hang_up()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }

    int master = -1;
    std::string path;
};
