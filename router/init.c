// The emulated router's init: runs atquery on the modem's port (the guest's
// second UART, or port=PATH from the kernel's command line, such as an
// emulated USB serial adapter's /dev/ttyUSB0) once per line of /scenarios,
// records what it printed, how it ended, the CPU time it took and the line
// settings the driver held before, during and after the run, reports all of
// it on the console for scripts/router-vm, and powers the machine off.
//
// /scenarios holds one run per line: KIND, a tab, the run's own options (words
// separated by single spaces, none when empty), a tab, the DEVICE the run
// names (empty: the port), a tab, the AT command. The kinds are the rows of
// scenario_kinds below; a run gets its kind's options, then its own, then
// DEVICE COMMAND (a find run neither).
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define TOOL "/bin/atquery"
// The modem's port (port=PATH), and a second port to wait for before each
// run (wait_port=PATH): USB adapters show up some time after boot, and again
// after each unplug.
static const char *port = "/dev/ttyS1";
static const char *wait_port = NULL;
#define PORT_WAIT_MS 20000
// Longest a run may take before the tool is killed (run_limit_ms=N on the
// kernel's command line, which the kernel hands to us as environment), and
// how long a killed tool may then take to go.
#define RUN_LIMIT_MS 20000
#define MAX_RUN_OPTIONS 16
#define REAP_LIMIT_MS 5000
static long long run_limit_ms = RUN_LIMIT_MS;

struct scenario_kind {
    const char *name;
    const char *options[3]; // put before DEVICE COMMAND; NULL-terminated
    bool hold_lock;         // another process holds the port's lock during the run
    bool kill_when_sending; // SIGTERM as the first command byte goes out
    bool find;              // atquery --find: no DEVICE, no COMMAND
    bool unplug;            // the host removes the port during the run: when
                            // it hangs up is recorded, and it is gone after
};

static const struct scenario_kind scenario_kinds[] = {
    {"run", {NULL}, false, false, false, false},
    {"busy", {"-w", "0", NULL}, true, false, false, false},
    {"kill", {NULL}, false, true, false, false},
    {"find", {"--find", NULL}, false, false, true, false},
    {"unplug", {NULL}, false, false, false, true},
};

// Distinctive settings the port holds before each run, so that a restore
// that is not exact shows: 9600 bit/s, 7 data bits, odd parity, 2 stop bits,
// a canonical line discipline with echo and XON/XOFF. CLOCAL is off, as in the
// driver's own default, so that an open that waits for carrier (DCD) shows.
static struct termios port_settings_before(void)
{
    struct termios t;
    memset(&t, 0, sizeof t);
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | HUPCL;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG;
    t.c_cc[VINTR] = 3;
    t.c_cc[VEOF] = 4;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

// ---- reporting: one line per fact, "@@ KEY VALUE", all bytes of data in hex

static void frame(const char *format, ...)
{
    char line[16384];
    int length = snprintf(line, sizeof line, "@@ ");
    va_list args;
    va_start(args, format);
    length += vsnprintf(line + length, sizeof line - (size_t)length - 1, format, args);
    va_end(args);
    if (length > (int)sizeof line - 2)
        length = (int)sizeof line - 2;
    line[length++] = '\n';
    // One write per line, so kernel messages cannot land inside it.
    for (int done = 0; done < length;) {
        ssize_t n = write(STDOUT_FILENO, line + done, (size_t)(length - done));
        if (n < 0 && errno != EINTR)
            return;
        if (n > 0)
            done += (int)n;
    }
}

static void hex(char *out, const char *data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        *out++ = digits[(unsigned char)data[i] >> 4];
        *out++ = digits[(unsigned char)data[i] & 15];
    }
    *out = '\0';
}

static void frame_bytes(const char *key, const char *data, size_t length)
{
    char text[2 * 6000 + 1];
    if (length > 6000)
        length = 6000;
    hex(text, data, length);
    frame("%s %s", key, text);
}

static unsigned speed_bits(speed_t code)
{
    static const struct { speed_t code; unsigned bits; } speeds[] = {
        {B0, 0}, {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600},
        {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800},
    };
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; ++i)
        if (speeds[i].code == code)
            return speeds[i].bits;
    return 1; // a code this table lacks: shows as "1"
}

// KEY, then the settings readably, then the raw words (which the host
// compares for before and after).
static void frame_settings(const char *key, const struct termios *t)
{
    static const unsigned sizes[] = {5, 6, 7, 8};
    char parity = !(t->c_cflag & PARENB) ? 'N' : (t->c_cflag & PARODD) ? 'O' : 'E';
    bool raw = !(t->c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) && !(t->c_oflag & OPOST) &&
               !(t->c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP));
    char cc[2 * NCCS + 1];
    hex(cc, (const char *)t->c_cc, NCCS);
    frame("%s speed=%u/%u size=%u parity=%c stop=%d crtscts=%d clocal=%d raw=%d vmin=%u vtime=%u"
          " | iflag=%#o oflag=%#o cflag=%#o lflag=%#o cc=%s",
          key, speed_bits(cfgetispeed(t)), speed_bits(cfgetospeed(t)),
          sizes[(t->c_cflag & CSIZE) / CS6], parity, t->c_cflag & CSTOPB ? 2 : 1,
          !!(t->c_cflag & CRTSCTS), !!(t->c_cflag & CLOCAL), raw, t->c_cc[VMIN],
          t->c_cc[VTIME], t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag, cc);
}

// The driver's settings of the port, read through a descriptor of our own that
// neither waits for carrier nor makes the port our controlling terminal.
static void frame_port_settings(const char *key)
{
    int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // musl's tcgetattr fills only the kernel's part of c_cc (23 of NCCS = 32
    // on MIPS); glibc's clears the rest. Cleared here, so that only what the
    // driver holds is compared.
    struct termios t;
    memset(&t, 0, sizeof t);
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        frame("%s unreadable %s", key, strerror(errno));
    else
        frame_settings(key, &t);
    if (fd >= 0)
        close(fd);
}

static bool set_port_settings(const struct termios *t)
{
    int fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    bool done = fd >= 0 && tcsetattr(fd, TCSANOW, t) == 0;
    if (fd >= 0)
        close(fd);
    return done;
}

// ---- one run of the tool

static long long now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct run {
    const struct scenario_kind *kind;
    char *options[MAX_RUN_OPTIONS + 1]; // the run's own, NULL-terminated
    pid_t pid;
    bool exited;
    int status;
    int out[2], err[2];       // pipes of the tool's standard output and error
    char output[6000], errors[2000];
    size_t output_length, errors_length;
    struct rusage usage;      // the tool's, as wait4 gives it
    int hangup_fd;            // unplug: our own descriptor of the port, or -1
    long long hangup_ms;      // when it hung up; -1: not seen
};

static void start_tool(struct run *r, const char *device, const char *command)
{
    const char *argv[1 + 3 + MAX_RUN_OPTIONS + 3];
    int argc = 0;
    argv[argc++] = TOOL;
    for (const char *const *option = r->kind->options; *option; ++option)
        argv[argc++] = *option;
    for (char *const *option = r->options; *option; ++option)
        argv[argc++] = *option;
    if (!r->kind->find) {
        argv[argc++] = device;
        argv[argc++] = command;
    }
    argv[argc] = NULL;

    r->pid = fork();
    if (r->pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        dup2(r->out[1], STDOUT_FILENO);
        dup2(r->err[1], STDERR_FILENO);
        // The tool stops after its exec and then at every system call until
        // its first write to the port: the moment the line is the tool's.
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        execv(TOOL, (char *const *)argv);
        _exit(127);
    }
}

static bool is_port(pid_t pid, long long fd)
{
    char path[64], target[64];
    snprintf(path, sizeof path, "/proc/%d/fd/%lld", pid, fd);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    return strcmp(target, port) == 0;
}

// A stop of the traced tool: at exec, at a system call, or for a signal.
static void handle_stop(struct run *r, int status)
{
    int signal_number = WSTOPSIG(status);
    int deliver = 0;
    if (signal_number == (SIGTRAP | 0x80)) {
        struct __ptrace_syscall_info info;
        if (ptrace(PTRACE_GET_SYSCALL_INFO, r->pid, (void *)sizeof info, &info) > 0 &&
            info.op == PTRACE_SYSCALL_INFO_ENTRY && info.entry.nr == SYS_write &&
            is_port(r->pid, (long long)info.entry.args[0])) {
            frame_port_settings("during");
            if (r->kind->kill_when_sending)
                kill(r->pid, SIGTERM);
            ptrace(PTRACE_DETACH, r->pid, NULL, NULL);
            return;
        }
    } else if (signal_number == SIGTRAP) {
        // The stop after exec: from here on, stop at system calls too.
        ptrace(PTRACE_SETOPTIONS, r->pid, NULL,
               (void *)(PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL));
    } else {
        deliver = signal_number;
    }
    ptrace(PTRACE_SYSCALL, r->pid, NULL, (void *)(long)deliver);
}

static void drain(int fd, char *buffer, size_t capacity, size_t *length)
{
    ssize_t n;
    while ((n = read(fd, buffer + *length, capacity - *length)) > 0)
        *length += (size_t)n;
    if (*length == capacity) { // more than a reply can be: drop the rest
        char discard[256];
        while (read(fd, discard, sizeof discard) > 0) {
        }
    }
}

static void collect_children(struct run *r)
{
    int status;
    pid_t pid;
    struct rusage usage;
    while ((pid = wait4(-1, &status, WNOHANG | __WALL, &usage)) > 0) {
        if (pid != r->pid)
            continue;
        if (WIFSTOPPED(status))
            handle_stop(r, status);
        else if (WIFEXITED(status) || WIFSIGNALED(status)) {
            r->exited = true;
            r->status = status;
            r->usage = usage;
        }
    }
}

// Where a tool over its time limit is stuck: the system call it is in, from
// /proc/PID/syscall ("NUMBER ARG1 ARG2 ..."), with the name of a few.
static void frame_blocked_call(pid_t pid)
{
    static const struct { long number; const char *name; } calls[] = {
        {SYS_open, "open"}, {SYS_openat, "openat"}, {SYS_read, "read"}, {SYS_write, "write"},
        {SYS_ioctl, "ioctl"}, {SYS_close, "close"}, {SYS_flock, "flock"},
        {SYS_poll, "poll"}, {SYS_ppoll, "ppoll"}, {SYS_nanosleep, "nanosleep"},
    };
    char path[64], text[256] = "";
    snprintf(path, sizeof path, "/proc/%d/syscall", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        close(fd);
    text[n > 0 ? n : 0] = '\0';
    text[strcspn(text, "\n")] = '\0';
    long number = -1;
    sscanf(text, "%ld", &number);
    const char *name = "?";
    for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i)
        if (calls[i].number == number)
            name = calls[i].name;
    frame("blocked %s %s", name, text);
}

static void arm(int timer, long long ms)
{
    struct itimerspec when = {.it_value = {.tv_sec = ms / 1000, .tv_nsec = ms % 1000 * 1000000}};
    timerfd_settime(timer, 0, &when, NULL);
}

// Waits for the tool's end, its output and the time limit at once: SIGCHLD
// comes through signalfd, the limit through a timerfd, output through pipes.
static void wait_for_tool(struct run *r, int signals, long long started)
{
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    arm(timer, run_limit_ms);
    bool killed = false;
    for (;;) {
        collect_children(r);
        if (r->exited)
            break;
        struct pollfd fds[] = {
            {.fd = signals, .events = POLLIN},
            {.fd = timer, .events = POLLIN},
            {.fd = r->out[0], .events = POLLIN},
            {.fd = r->err[0], .events = POLLIN},
            {.fd = r->hangup_fd, .events = 0}, // POLLHUP, once the port is gone
        };
        if (poll(fds, 5, -1) < 0 && errno != EINTR)
            break;
        if (fds[4].revents & (POLLHUP | POLLERR)) {
            r->hangup_ms = now_ms() - started;
            close(r->hangup_fd);
            r->hangup_fd = -1;
        }
        if (fds[0].revents) {
            struct signalfd_siginfo info;
            while (read(signals, &info, sizeof info) == sizeof info) {
            }
        }
        if (fds[2].revents)
            drain(r->out[0], r->output, sizeof r->output, &r->output_length);
        if (fds[3].revents)
            drain(r->err[0], r->errors, sizeof r->errors, &r->errors_length);
        if (fds[1].revents) {
            if (killed) {
                frame("status unreaped");
                break;
            }
            frame("timeout %lld", run_limit_ms);
            frame_blocked_call(r->pid);
            kill(r->pid, SIGKILL);
            killed = true;
            uint64_t expirations;
            (void)!read(timer, &expirations, sizeof expirations);
            arm(timer, REAP_LIMIT_MS);
        }
    }
    close(timer);
}

// Splits the run's options at single spaces into r->options; false when
// there are more than it holds.
static bool split_options(struct run *r, char *options)
{
    int count = 0;
    for (char *word = strtok(options, " "); word; word = strtok(NULL, " ")) {
        if (count == MAX_RUN_OPTIONS)
            return false;
        r->options[count++] = word;
    }
    r->options[count] = NULL;
    return true;
}

// Waits until the port at path opens: false after PORT_WAIT_MS. A USB
// adapter's node can show up before its port opens (ENXIO, ENODEV), and
// QEMU's xHCI may reset a busy adapter, which then comes back.
static bool wait_for_port(const char *path)
{
    for (long long deadline = now_ms() + PORT_WAIT_MS;;) {
        int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (now_ms() > deadline)
            return false;
        struct timespec pause = {.tv_nsec = 20000000};
        nanosleep(&pause, NULL);
    }
}

// One run of the tool, reported in frames from "begin" (index, kind, the
// command in hex and, for a run with options of its own, those in hex, words
// separated by spaces) to "end".
static void run_scenario(int index, const struct scenario_kind *kind, char *options,
                         const char *device, const char *command, int signals)
{
    static struct run r;
    memset(&r, 0, sizeof r);
    r.kind = kind;
    r.hangup_fd = -1;
    r.hangup_ms = -1;
    char command_hex[2 * 1024 + 1], options_hex[2 * 1024 + 1];
    hex(command_hex, command, strnlen(command, 1024));
    hex(options_hex, options, strnlen(options, 1024));
    frame("begin %d %s %s%s%s", index, kind->name, command_hex, *options ? " " : "", options_hex);
    if (!split_options(&r, options)) {
        frame("note more than %d options", MAX_RUN_OPTIONS);
        frame("end %d", index);
        return;
    }

    if (!wait_for_port(port) || (wait_port && !wait_for_port(wait_port)))
        frame("note %s or %s did not open: %s", port, wait_port ? wait_port : port, strerror(errno));
    struct termios before = port_settings_before();
    if (!set_port_settings(&before))
        frame("note cannot set the settings before the run: %s", strerror(errno));
    frame_port_settings("before");

    int lock_fd = -1;
    if (kind->hold_lock) {
        lock_fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (lock_fd < 0 || flock(lock_fd, LOCK_EX | LOCK_NB) != 0)
            frame("note cannot lock the port: %s", strerror(errno));
    }

    if (pipe2(r.out, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(r.err, O_CLOEXEC | O_NONBLOCK) != 0) {
        frame("note pipe: %s", strerror(errno));
        return;
    }
    if (kind->unplug)
        r.hangup_fd = open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // The host times an unplug from this line.
    frame("started %d", index);
    long long started = now_ms();
    start_tool(&r, *device ? device : port, command);
    close(r.out[1]);
    close(r.err[1]);
    wait_for_tool(&r, signals, started);
    long long elapsed = now_ms() - started;
    // Before the output, which may take the console a while: the host times
    // the end of an unplugged run from this line.
    frame("exited %d", index);
    if (r.hangup_fd >= 0)
        close(r.hangup_fd);
    drain(r.out[0], r.output, sizeof r.output, &r.output_length);
    drain(r.err[0], r.errors, sizeof r.errors, &r.errors_length);
    close(r.out[0]);
    close(r.err[0]);
    if (lock_fd >= 0)
        close(lock_fd);

    frame_bytes("stdout", r.output, r.output_length);
    frame_bytes("stderr", r.errors, r.errors_length);
    if (r.exited && WIFEXITED(r.status))
        frame("status exit %d", WEXITSTATUS(r.status));
    else if (r.exited)
        frame("status signal %d", WTERMSIG(r.status));
    frame("elapsed %lld", elapsed);
    frame("cpu %lld", (long long)(r.usage.ru_utime.tv_sec + r.usage.ru_stime.tv_sec) * 1000 +
                          (r.usage.ru_utime.tv_usec + r.usage.ru_stime.tv_usec) / 1000);
    if (r.hangup_ms >= 0)
        frame("hangup %lld", r.hangup_ms);
    frame_port_settings("after");
    frame("end %d", index);
}

static const struct scenario_kind *find_kind(const char *name)
{
    for (size_t i = 0; i < sizeof scenario_kinds / sizeof scenario_kinds[0]; ++i)
        if (strcmp(scenario_kinds[i].name, name) == 0)
            return &scenario_kinds[i];
    return NULL;
}

static void run_scenarios(int signals)
{
    FILE *list = fopen("/scenarios", "re");
    if (!list) {
        frame("note /scenarios: %s", strerror(errno));
        return;
    }
    char line[1100];
    for (int index = 0; fgets(line, sizeof line, list); ++index) {
        line[strcspn(line, "\n")] = '\0';
        char *options = strchr(line, '\t');
        char *device = options ? strchr(options + 1, '\t') : NULL;
        char *command = device ? strchr(device + 1, '\t') : NULL;
        const struct scenario_kind *kind = NULL;
        if (command) {
            *options++ = '\0';
            *device++ = '\0';
            *command++ = '\0';
            kind = find_kind(line);
        }
        if (kind)
            run_scenario(index, kind, options, device, command, signals);
        else
            frame("note bad scenario line %d", index);
    }
    fclose(list);
}

int main(void)
{
    const char *limit = getenv("run_limit_ms");
    if (limit && atoll(limit) > 0)
        run_limit_ms = atoll(limit);
    if (getenv("port"))
        port = getenv("port");
    wait_port = getenv("wait_port");

    if (mount("devtmpfs", "/dev", "devtmpfs", 0, NULL) != 0)
        frame("note mount /dev: %s", strerror(errno));
    if (mount("proc", "/proc", "proc", 0, NULL) != 0)
        frame("note mount /proc: %s", strerror(errno));
    // usb: names and --find read the ports' USB interfaces here.
    if (mount("sysfs", "/sys", "sysfs", 0, NULL) != 0)
        frame("note mount /sys: %s", strerror(errno));

    // SIGCHLD is taken from a signalfd only; blocked, it cannot interrupt us.
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    sigprocmask(SIG_BLOCK, &child, NULL);
    int signals = signalfd(-1, &child, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0)
        frame("note signalfd: %s", strerror(errno));
    else
        run_scenarios(signals);

    frame("done");
    sync();
    reboot(RB_POWER_OFF);
    // Only if the power-off failed: the init must not return.
    for (;;)
        pause();
}
