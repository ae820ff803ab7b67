// The port's lock: an exclusive flock(2) on the device, taken right after the
// open and held until the descriptor closes, so that runs sharing a modem take
// turns and a run that dies never leaves a stale lock behind.
#include "serial/port.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// Inherited descriptors looked at for a caller's lock; flock(1) passes a low one.
constexpr int inherited_fd_limit = 256;
// Once the wait is over the alarm comes again this often, in case it came
// just before flock went to sleep and so interrupted nothing.
constexpr suseconds_t alarm_repeat_us = 10000;

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

// One line of /proc/locks, or of /proc/self/fdinfo/N, which lists the locks
// that descriptor's open file description holds. A held flock reads
//   "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF"
// ("lock:\t1: ..." in fdinfo; the file system's major and minor in hex, the
// inode in decimal); a waiter's has "->" after the number, and fdinfo lists
// no waiters. Returns 'W' (exclusive) or 'R' (shared) when the line is a
// FLOCK held on the file `port`, else 0; pid gets the holder's process id,
// which the kernel gives as 0 when it cannot tell it. Only the low 32 bits of
// the numbers count, which is all a 32-bit router's kernel has.
char flock_on(const char* p, const struct stat& port, unsigned long& pid)
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
    char mode = *p;
    skip_word(p);
    unsigned long file_major, file_minor, inode;
    if (read_field(p, 10, ' ', pid) && read_field(p, 16, ':', file_major) &&
        read_field(p, 16, ':', file_minor) && read_field(p, 10, ' ', inode) &&
        file_major == major && file_minor == minor &&
        inode == static_cast<unsigned long>(port.st_ino))
        return mode;
    return 0;
}

// The first flock on `port` that the file at path lists, as flock_on tells
// it; 0 when there is none or the file cannot be read.
char find_flock(const char* path, const struct stat& port, unsigned long& pid)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    char chunk[256];
    char line[128]; // a longer line is cut, and then matches nothing
    unsigned length = 0;
    char mode = 0;
    ssize_t got;
    while (mode == 0 && (got = read(fd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < got && mode == 0; ++i) {
            if (chunk[i] != '\n') {
                if (length < sizeof line - 1)
                    line[length++] = chunk[i];
                continue;
            }
            line[length] = '\0';
            length = 0;
            mode = flock_on(line, port, pid);
        }
    }
    close(fd);
    return mode;
}

// The lock is the caller's when an inherited descriptor's open file
// description holds it exclusively, as with `flock DEVICE atquery DEVICE ...`.
// It belongs to the device node, not just the device number: a second node
// of the device would be another lock. Read from fdinfo, never by trying the
// lock: a caller's description that holds none must not end up holding ours.
// Our own description holds nothing yet.
bool lock_is_inherited(const struct stat& port)
{
    char path[] = "/proc/self/fdinfo/255";
    for (int fd = 0; fd < inherited_fd_limit; ++fd) {
        char* end = path + sizeof "/proc/self/fdinfo/" - 1;
        if (fd >= 100)
            *end++ = static_cast<char>('0' + fd / 100);
        if (fd >= 10)
            *end++ = static_cast<char>('0' + fd / 10 % 10);
        *end++ = static_cast<char>('0' + fd % 10);
        *end = '\0';
        unsigned long pid;
        if (find_flock(path, port, pid) == 'W')
            return true;
    }
    return false;
}

void interrupt(int) {}

// Waits in the kernel's queue, which wakes the first waiter when the holder
// lets go: runs already waiting go before runs that start later (a run that
// retried now and then lost to them), but for one that tries in the instant
// before the woken waiter runs. An alarm after wait_ms interrupts the flock;
// another signal that does is not the end of the wait. The alarm's action
// and the timer are put back as they were. Returns flock's result, with
// errno EINTR when the time ran out.
int wait_for_lock(int wait_ms)
{
    struct sigaction on_alarm = {}, action_before;
    on_alarm.sa_handler = interrupt; // without SA_RESTART, so that flock returns
    const itimerval limit = {{0, alarm_repeat_us}, {wait_ms / 1000, wait_ms % 1000 * 1000}};
    itimerval timer_before;
    sigaction(SIGALRM, &on_alarm, &action_before);
    const unsigned start = monotonic_ms();
    setitimer(ITIMER_REAL, &limit, &timer_before);
    int result;
    while ((result = flock(port_fd, LOCK_EX)) != 0 && errno == EINTR &&
           monotonic_ms() - start < static_cast<unsigned>(wait_ms)) {
    }
    int error = errno;
    // An alarm still due arrives here, while it is still handled.
    setitimer(ITIMER_REAL, &timer_before, nullptr);
    sigaction(SIGALRM, &action_before, nullptr);
    errno = error;
    return result;
}

} // namespace

int lock_port(int wait_ms, unsigned long& holder)
{
    if (flock(port_fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    struct stat port;
    if (errno != EWOULDBLOCK || fstat(port_fd, &port) != 0)
        return -1;
    if (lock_is_inherited(port))
        return 0;
    if (wait_ms > 0) {
        if (wait_for_lock(wait_ms) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }

    unsigned long pid = 0;
    holder = find_flock("/proc/locks", port, pid) != 0 ? pid : 0;
    errno = EWOULDBLOCK;
    return -1;
}
