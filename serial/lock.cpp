// The port's lock: an exclusive flock(2) on the device, taken right after the
// open and held until the descriptor closes, so that runs sharing a modem take
// turns and a run that dies never leaves a stale lock behind.
#include "serial/port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr useconds_t retry_us = 20000;
// Inherited descriptors looked at for a caller's lock; flock(1) passes a low one.
constexpr int inherited_fd_limit = 256;

long long monotonic_ms()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// The lock is the caller's when an inherited descriptor is open on the same
// device and its open file description holds the lock, as with
// `flock DEVICE atquery DEVICE ...`: locking it again succeeds at once. That
// description is the caller's too, so it is never unlocked here.
bool lock_is_inherited(const struct stat& port)
{
    for (int fd = 0; fd < inherited_fd_limit; ++fd) {
        struct stat other;
        if (fd == port_fd || fstat(fd, &other) != 0)
            continue;
        if (S_ISCHR(other.st_mode) && S_ISCHR(port.st_mode) && other.st_rdev == port.st_rdev &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
    }
    return false;
}

// Reads digits in base 10 or 16 (lower case) from p; false when there are none.
bool read_number(const char*& p, unsigned base, unsigned long long& value)
{
    const char* start = p;
    for (value = 0;; ++p) {
        unsigned digit = *p >= '0' && *p <= '9'                ? *p - '0'
                         : base == 16 && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
                                                                : base;
        if (digit >= base)
            return p != start;
        value = value * base + digit;
    }
}

void skip_word(const char*& p)
{
    while (*p != '\0' && *p != ' ')
        ++p;
    while (*p == ' ')
        ++p;
}

// The holder's process id from one line of /proc/locks when it is a FLOCK on
// the file `port`, else 0. A holder's line reads
//   "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF"
// (the file system's major and minor in hex, the inode in decimal); a
// waiter's has "->" after the number.
long flock_holder(const char* p, const struct stat& port)
{
    // dev_t as glibc and uClibc encode it.
    unsigned long long dev = port.st_dev;
    unsigned long long major = ((dev >> 8) & 0xfff) | ((dev >> 32) & ~0xfffULL);
    unsigned long long minor = (dev & 0xff) | ((dev >> 12) & ~0xffULL);

    skip_word(p);
    if (std::strncmp(p, "FLOCK ", 6) != 0)
        return 0;
    skip_word(p);
    skip_word(p);
    skip_word(p);
    unsigned long long pid, file_major, file_minor, inode;
    if (!read_number(p, 10, pid) || *p++ != ' ' || !read_number(p, 16, file_major) ||
        *p++ != ':' || !read_number(p, 16, file_minor) || *p++ != ':' ||
        !read_number(p, 10, inode) || *p != ' ')
        return 0;
    if (file_major != major || file_minor != minor || inode != port.st_ino)
        return 0;
    return static_cast<long>(pid);
}

// Who holds the lock on `port`, from /proc/locks; 0 when it does not say.
long lock_holder(const struct stat& port)
{
    int fd = open("/proc/locks", O_RDONLY);
    if (fd < 0)
        return 0;
    char text[512];
    int used = 0;
    long pid = 0;
    for (;;) {
        ssize_t got = read(fd, text + used, sizeof text - 1 - used);
        if (got <= 0)
            break;
        used += static_cast<int>(got);
        int start = 0;
        for (int i = 0; i < used; ++i) {
            if (text[i] != '\n')
                continue;
            text[i] = '\0';
            if (pid == 0)
                pid = flock_holder(text + start, port);
            start = i + 1;
        }
        // A line longer than the buffer is not one of ours: dropped.
        used = start == 0 && used == sizeof text - 1 ? 0 : used - start;
        std::memmove(text, text + start, used);
    }
    close(fd);
    return pid;
}

int report_lock_error()
{
    report_error("lock_port error");
    return -1;
}

} // namespace

int lock_port(const char* device, int wait_ms)
{
    if (flock(port_fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    struct stat port;
    if (errno != EWOULDBLOCK || fstat(port_fd, &port) != 0)
        return report_lock_error();
    if (lock_is_inherited(port))
        return 0;

    // The deadline is on the clock, so slow wake-ups do not stretch the wait.
    const long long deadline = monotonic_ms() + wait_ms;
    for (long long left = wait_ms; left > 0; left = deadline - monotonic_ms()) {
        usleep(left < retry_us / 1000 ? static_cast<useconds_t>(left * 1000) : retry_us);
        if (flock(port_fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK)
            return report_lock_error();
    }

    long pid = lock_holder(port);
    if (pid > 0)
        std::fprintf(stderr, "atquery: %s is in use by process %ld\n", device, pid);
    else
        std::fprintf(stderr, "atquery: %s is in use\n", device);
    errno = EWOULDBLOCK;
    return -1;
}
