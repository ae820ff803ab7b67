// The port's lock: an exclusive flock(2) on the device, taken right after the
// open and held until the descriptor closes, so that runs sharing a modem take
// turns and a run that dies never leaves a stale lock behind.
#include "serial/port.h"
#include "tool/output.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr useconds_t retry_us = 20000;
// Inherited descriptors looked at for a caller's lock; flock(1) passes a low one.
constexpr int inherited_fd_limit = 256;

// The lock is the caller's when an inherited descriptor is open on the same
// device node and its open file description holds the lock, as with
// `flock DEVICE atquery DEVICE ...`: locking it again succeeds at once. The
// node, not just the device number, since the lock belongs to the node; a
// second node of the device would be another lock. That description is the
// caller's too, so it is never unlocked here.
bool lock_is_inherited(const struct stat& port)
{
    for (int fd = 0; fd < inherited_fd_limit; ++fd) {
        struct stat other;
        if (fd != port_fd && fstat(fd, &other) == 0 && other.st_rdev == port.st_rdev &&
            other.st_ino == port.st_ino && other.st_dev == port.st_dev &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
    }
    return false;
}

// Reads a number in base 10 or 16 (lower case) at p and the character `end`
// after it; false when either is missing.
bool read_field(const char*& p, unsigned base, char end, unsigned long& value)
{
    const char* start = p;
    for (value = 0;; ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0') <= 9     ? *p - '0'
                         : static_cast<unsigned>(*p - 'a') <= 5 ? *p - 'a' + 10
                                                                : base;
        if (digit >= base)
            break;
        value = value * base + digit;
    }
    return p != start && *p++ == end;
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
// waiter's has "->" after the number. Only the low 32 bits of the numbers
// count, which is all a 32-bit router's kernel has.
long flock_holder(const char* p, const struct stat& port)
{
    // dev_t as glibc and uClibc encode it, for majors below 4096.
    unsigned long dev = static_cast<unsigned long>(port.st_dev);
    unsigned long major = (dev >> 8) & 0xfff;
    unsigned long minor = (dev & 0xff) | ((dev >> 12) & 0xfff00);

    skip_word(p);
    // No other kind of lock starts so (POSIX, OFDLCK, LEASE, DELEG, "->").
    if (p[0] != 'F' || p[1] != 'L')
        return 0;
    skip_word(p);
    skip_word(p);
    skip_word(p);
    unsigned long pid, file_major, file_minor, inode;
    if (read_field(p, 10, ' ', pid) && read_field(p, 16, ':', file_major) &&
        read_field(p, 16, ':', file_minor) && read_field(p, 10, ' ', inode) &&
        file_major == major && file_minor == minor &&
        inode == static_cast<unsigned long>(port.st_ino))
        return static_cast<long>(pid);
    return 0;
}

// Who holds the lock on `port`, from /proc/locks; 0 when it does not say.
long lock_holder(const struct stat& port)
{
    int fd = open("/proc/locks", O_RDONLY);
    if (fd < 0)
        return 0;
    char chunk[256];
    char line[128]; // a longer line is cut, and then matches nothing
    unsigned length = 0;
    long pid = 0;
    ssize_t got;
    while (pid == 0 && (got = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got && pid == 0; ++i) {
            if (chunk[i] != '\n') {
                if (length < sizeof line - 1)
                    line[length++] = chunk[i];
                continue;
            }
            line[length] = '\0';
            length = 0;
            pid = flock_holder(line, port);
        }
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

    // Timed on the clock, so that slow wake-ups do not stretch the wait.
    const unsigned start = monotonic_ms();
    while (monotonic_ms() - start < static_cast<unsigned>(wait_ms)) {
        usleep(retry_us);
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
