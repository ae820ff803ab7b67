// --find: the candidate ports are probed all at once. Each is taken as a run
// takes its port (non-blocking open, the lock without waiting, the line
// settings), sent AT CR LF once, and given one shared time limit for a final
// result code; then its settings go back and it is closed. A port that
// another process has open, or whose lock another run holds, and a USB
// interface the table marks as taking no AT commands, are never written to.
//
// Output: one line per candidate, those that answered OK first, then in
// name order (ttyUSB2 before ttyUSB10); seven fields, one space apart:
//   PATH STATE VID:PID IFACE DRIVER USB-NAME DETAIL
//   /dev/ttyUSB2 at 2c7c:0125 02 option usb:2c7c:0125:02 -
//   /dev/ttyUSB0 skipped 2c7c:0125 00 option usb:2c7c:0125:00 diagnostics
//   /dev/ttyUSB3 busy 2c7c:0125 03 option usb:2c7c:0125:03 ModemManager (process 812)
//   /dev/ttyS1 error - - - - Permission denied
// STATE: at (a final OK came), silent (no final result code in time), busy,
// skipped, error. The USB fields say what sysfs says of the interface the
// port sits on, in hex as sysfs writes it; USB-NAME serves as DEVICE in any
// run; each is "-" for a port not on USB, DRIVER also when it is unknown.
// DETAIL, the rest of the line, is "-" or, for busy, the holder where /proc
// shows it; for skipped, what the interface carries (diagnostics, gps,
// audio); for error, why: the failed call's error text, or "an error result
// to AT" for a port that answered ERROR (or another error code): such a port
// is not counted as taking AT commands. A port that goes away while it is
// probed (a modem that resets, a stick pulled) gets no line: standard error
// says so, and nothing is put back on it.
#include "tool/find.h"

#include "serial/pacing.h"
#include "serial/port.h"
#include "tool/holder.h"
#include "tool/output.h"
#include "tool/printer.h"
#include "tool/reader.h"
#include "tool/usb.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int default_limit_ms = 1000;
constexpr char probe[] = "AT\r\n";
constexpr int probe_length = sizeof probe - 1;

enum class port_state { probing, at, silent, busy, skipped, error, gone };
constexpr const char* state_names[] = {"probing", "at", "silent", "busy", "skipped", "error", "gone"};

// Plain data, all zero when fresh but for fd (set_fresh), so that the
// array needs no constructor and a copy is a copy of bytes.
struct candidate {
    const char* path;      // as given, or found_path
    char found_path[40];   // a port found in /dev or through a usb: name
    dev_t device;
    port_state state;
    const char* detail;    // skipped: what the interface carries; error: why
    int error;             // error without a detail: the errno
    unsigned long holder;  // busy: the process seen holding it, or 0
    bool on_usb;
    usb_port usb;
    int fd;
    int sent;              // bytes of the probe written
    termios saved;
};

// A device number's major and minor, as glibc, uClibc and musl encode
// dev_t (their own macros may be calls into the library).
unsigned device_major(dev_t device)
{
    auto value = static_cast<unsigned long long>(device);
    return static_cast<unsigned>(((value >> 8) & 0xfff) | ((value >> 32) & ~0xfffULL));
}

unsigned device_minor(dev_t device)
{
    auto value = static_cast<unsigned long long>(device);
    return static_cast<unsigned>((value & 0xff) | ((value >> 12) & ~0xffULL));
}

candidate candidates[find_limit];
int candidate_count = 0;
// Each port's reply reader while it is probed; apart, so that the
// candidates stay small to copy.
std::optional<reply_reader> readers[find_limit];
// What they print: nothing; only how each reply ended counts.
silent_printer no_output;
// Whether candidates[i] may hold our settings, for the signal handler.
volatile std::sig_atomic_t line_taken[find_limit];

// As the single-port guard does, for every port being probed; async-signal-
// safe calls only, and the output still queued is dropped.
void restore_all_and_die(int sig)
{
    for (int i = 0; i < candidate_count; ++i)
        if (line_taken[i]) {
            tcsetattr(candidates[i].fd, TCSANOW, &candidates[i].saved);
            tcflush(candidates[i].fd, TCOFLUSH);
        }
    std::raise(sig);
}

void fail(candidate& c, int error, const char* detail = nullptr)
{
    c.state = port_state::error;
    c.error = error;
    c.detail = detail;
}

// A port that hung up or was removed while it was probed: said at once,
// and never touched again but to close it.
void lose(int index, int error)
{
    candidate& c = candidates[index];
    c.state = port_state::gone;
    line_taken[index] = 0;
    report_gone(c.path, error);
}

void set_fresh(candidate& c, const char* path)
{
    c = candidate{};
    c.path = path;
    c.fd = -1;
}

candidate* add_candidate(const char* path)
{
    if (candidate_count == find_limit)
        return nullptr;
    candidate& c = candidates[candidate_count++];
    set_fresh(c, path);
    return &c;
}

// /dev names of the ports looked at when no DEVICE is given: ttyUSB<n>
// (usb-serial), ttyACM<n> (cdc-acm) and wwan<n>at<n> (a WWAN AT port).
bool probed_by_default(const char* name)
{
    auto digits = [](const char*& p) {
        const char* start = p;
        while (*p >= '0' && *p <= '9')
            ++p;
        return p != start;
    };
    const char* p = name;
    if (std::strncmp(name, "ttyUSB", 6) == 0 || std::strncmp(name, "ttyACM", 6) == 0) {
        p += 6;
        return digits(p) && *p == '\0';
    }
    if (std::strncmp(name, "wwan", 4) != 0)
        return false;
    p += 4;
    if (!digits(p) || std::strncmp(p, "at", 2) != 0)
        return false;
    p += 2;
    return digits(p) && *p == '\0';
}

// The default ports, as many as fit (print_all puts them in name order);
// says how many more there were.
void add_default_ports()
{
    DIR* dev = opendir("/dev");
    if (dev == nullptr)
        return;
    int left_out = 0;
    while (const dirent* entry = readdir(dev)) {
        if (!probed_by_default(entry->d_name))
            continue;
        candidate* c = add_candidate(nullptr);
        if (c == nullptr) {
            ++left_out;
            continue;
        }
        c->path = c->found_path;
        // A name too long for found_path is no port of ours: its slot is freed.
        if (std::snprintf(c->found_path, sizeof c->found_path, "/dev/%s", entry->d_name) >=
            static_cast<int>(sizeof c->found_path))
            --candidate_count;
    }
    closedir(dev);
    if (left_out > 0)
        std::fprintf(stderr, "atquery: %d more ports not probed (%d at most)\n", left_out, find_limit);
}

// The DEVICEs given; a usb: name stands for every port now on its interface.
void add_named_ports(const run_options& options, const char* sysfs_root)
{
    for (int i = 0; i < options.device_count; ++i) {
        const char* name = options.devices[i];
        usb_interface id;
        if (!parse_usb_name(name, id)) {
            add_candidate(name);
            continue;
        }
        tty_name found[find_limit];
        int count = find_usb_ports(sysfs_root, id, found);
        candidate* none = count <= 0 ? add_candidate(name) : nullptr;
        if (none != nullptr)
            fail(*none, errno, count == 0 ? "no such port" : nullptr);
        for (int k = 0; k < count && k < find_limit; ++k)
            if (candidate* c = add_candidate(nullptr)) {
                std::snprintf(c->found_path, sizeof c->found_path, "/dev/%s", found[k].text);
                c->path = c->found_path;
            }
    }
}

// What can be told without opening the port: whether it is a terminal
// device at all, what sysfs says of it, and whether the table skips it.
void describe(candidate& c, const char* sysfs_root)
{
    struct stat node;
    if (stat(c.path, &node) != 0) {
        fail(c, errno);
        return;
    }
    if (!S_ISCHR(node.st_mode)) {
        fail(c, 0, "not a character device");
        return;
    }
    c.device = node.st_rdev;
    char dir[32];
    std::snprintf(dir, sizeof dir, "dev/char/%u:%u", device_major(node.st_rdev),
                  device_minor(node.st_rdev));
    c.on_usb = read_usb_port(sysfs_root, dir, c.usb);
    c.detail = c.on_usb ? no_at_kind(c.usb.interface) : nullptr;
    if (c.detail != nullptr)
        c.state = port_state::skipped;
}

// Drops a port named twice (or by two paths), which would be its own holder.
void drop_duplicates()
{
    int kept = 0;
    for (int i = 0; i < candidate_count; ++i) {
        bool seen = false;
        for (int k = 0; k < kept && !seen; ++k)
            seen = candidates[i].device != 0 && candidates[k].device == candidates[i].device;
        if (seen)
            continue;
        if (kept != i) {
            candidates[kept] = candidates[i];
            if (candidates[kept].path == candidates[i].found_path)
                candidates[kept].path = candidates[kept].found_path;
        }
        ++kept;
    }
    candidate_count = kept;
}

// One pass over /proc for every port still to be probed.
void mark_held_ports()
{
    dev_t devices[find_limit];
    unsigned long pids[find_limit];
    int indexes[find_limit];
    int count = 0;
    for (int i = 0; i < candidate_count; ++i)
        if (candidates[i].state == port_state::probing) {
            devices[count] = candidates[i].device;
            indexes[count++] = i;
        }
    if (count == 0)
        return;
    find_openers(std::span<const dev_t>(devices, count), std::span<unsigned long>(pids, count));
    for (int k = 0; k < count; ++k)
        if (pids[k] != 0) {
            candidates[indexes[k]].state = port_state::busy;
            candidates[indexes[k]].holder = pids[k];
        }
}

// Takes the port as a run does, with its own saved settings. Without
// O_NOCTTY a run with no controlling terminal (a service) would take the
// first port probed as its own, and get its hang-ups as signals.
void take(int index, int baud)
{
    candidate& c = candidates[index];
    c.fd = open(c.path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (c.fd < 0) {
        // A port another program opened exclusively (TIOCEXCL).
        if (errno == EBUSY)
            c.state = port_state::busy;
        else
            fail(c, errno);
        return;
    }
    if (flock(c.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            c.state = port_state::busy;
        else
            fail(c, errno);
        return;
    }
    if (tcgetattr(c.fd, &c.saved) != 0) {
        fail(c, errno);
        return;
    }
    const termios line = make_line_opt(baud, 8, 'N', 1);
    tcflush(c.fd, TCIFLUSH);
    line_taken[index] = 1;
    if (tcsetattr(c.fd, TCSANOW, &line) != 0) {
        line_taken[index] = 0;
        fail(c, errno);
        return;
    }
    tcflush(c.fd, TCIFLUSH);
    reader_setup setup;
    setup.command = "AT";
    readers[index].emplace(setup, no_output);
}

// Writes the probe up to byte `upto`, as far as the port takes it now (a
// modem holding CTS low takes nothing; the rest goes when poll says so).
void send_probe(int index, int upto)
{
    candidate& c = candidates[index];
    while (c.sent < upto) {
        ssize_t written = write(c.fd, probe + c.sent, static_cast<size_t>(upto - c.sent));
        if (written < 0) {
            if (port_gone(errno))
                lose(index, errno);
            else if (errno != EAGAIN && errno != EINTR)
                fail(c, errno);
            return;
        }
        c.sent += static_cast<int>(written);
    }
}

// Feeds what arrived to the port's reader. Returns true when a byte came.
bool take_reply(int index)
{
    candidate& c = candidates[index];
    reply_reader& reader = *readers[index];
    char bytes[256];
    ssize_t got = read(c.fd, bytes, sizeof bytes);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return false;
    if (got == 0 || port_gone(errno)) {
        // Nothing to read although poll said there was: hung up.
        lose(index, got == 0 ? EIO : errno);
        return false;
    }
    if (got < 0) {
        fail(c, errno);
        return false;
    }
    reader.feed(bytes, static_cast<int>(got));
    if (reader.over()) {
        if (reader.end() == reply_end::ok)
            c.state = port_state::at;
        else
            fail(c, 0, "an error result to AT");
    }
    return true;
}

// Sends the probe to every port taken, typed as a run types a command, and
// reads the replies in one poll loop until each port has its answer or the
// limit is up. Returns whether any byte came, and when the last one did.
bool probe_all(int limit_ms, unsigned& last_byte_ms)
{
    bool any_byte = false;
    const unsigned deadline = monotonic_ms() + static_cast<unsigned>(limit_ms);
    // "A", "T", then CR LF in one write, a pause after each byte.
    constexpr int steps[] = {1, 2, probe_length};
    for (int upto : steps) {
        if (upto > 1)
            usleep(pacing::byte_pause_us);
        for (int i = 0; i < candidate_count; ++i)
            if (candidates[i].state == port_state::probing)
                send_probe(i, upto);
    }
    for (;;) {
        pollfd fds[find_limit];
        int indexes[find_limit];
        int count = 0;
        for (int i = 0; i < candidate_count; ++i)
            if (candidates[i].state == port_state::probing) {
                short events = candidates[i].sent < probe_length ? POLLIN | POLLOUT : POLLIN;
                fds[count] = {candidates[i].fd, events, 0};
                indexes[count++] = i;
            }
        int left_ms = static_cast<int>(deadline - monotonic_ms());
        if (count == 0 || left_ms <= 0)
            break;
        if (poll(fds, static_cast<nfds_t>(count), left_ms) < 0 && errno != EINTR)
            break;
        for (int k = 0; k < count; ++k) {
            candidate& c = candidates[indexes[k]];
            if (fds[k].revents & POLLOUT)
                send_probe(indexes[k], probe_length);
            if (c.state == port_state::probing && (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) &&
                take_reply(indexes[k])) {
                any_byte = true;
                last_byte_ms = monotonic_ms();
            }
        }
    }
    for (int i = 0; i < candidate_count; ++i)
        if (candidates[i].state == port_state::probing)
            candidates[i].state = port_state::silent;
    return any_byte;
}

// Puts every port taken back as it was found and closes it: the output
// still queued (a probe CTS held back) and the input are dropped first.
void release_all()
{
    for (int i = 0; i < candidate_count; ++i) {
        candidate& c = candidates[i];
        if (line_taken[i]) {
            tcflush(c.fd, TCIOFLUSH);
            tcsetattr(c.fd, TCSANOW, &c.saved);
            line_taken[i] = 0;
        }
        if (c.fd >= 0)
            close(c.fd);
        c.fd = -1;
        readers[i].reset();
    }
}

void print_line(const candidate& c)
{
    std::printf("%s %s ", c.path, state_names[static_cast<int>(c.state)]);
    if (c.on_usb) {
        const usb_interface& id = c.usb.interface;
        std::printf("%04x:%04x %02x %s usb:%04x:%04x:%02x ", id.vendor, id.product, id.number,
                    c.usb.driver[0] != '\0' ? c.usb.driver : "-", id.vendor, id.product, id.number);
    } else {
        std::fputs("- - - - ", stdout);
    }
    char holder[64];
    const char* detail = c.detail;
    if (c.state == port_state::busy && c.holder != 0) {
        describe_holder(c.holder, holder);
        detail = holder;
    } else if (c.state == port_state::error && detail == nullptr) {
        detail = std::strerror(c.error);
    }
    std::printf("%s\n", detail != nullptr ? detail : "-");
}

// Prints the at ports first, then the others, each group in name order.
bool print_all(bool paths_only)
{
    int order[find_limit];
    for (int i = 0; i < candidate_count; ++i) {
        int at = i;
        auto before = [](const candidate& a, const candidate& b) {
            bool a_at = a.state == port_state::at, b_at = b.state == port_state::at;
            return a_at != b_at ? a_at : compare_port_names(a.path, b.path) < 0;
        };
        while (at > 0 && before(candidates[i], candidates[order[at - 1]])) {
            order[at] = order[at - 1];
            --at;
        }
        order[at] = i;
    }
    for (int k = 0; k < candidate_count; ++k) {
        const candidate& c = candidates[order[k]];
        if (c.state == port_state::gone)
            continue;
        if (!paths_only)
            print_line(c);
        else if (c.state == port_state::at)
            std::printf("%s\n", c.path);
    }
    return flush_stdout();
}

} // namespace

int find_ports(const run_options& options, const char* sysfs_root)
{
    candidate_count = 0;
    if (options.device_count > 0)
        add_named_ports(options, sysfs_root);
    else
        add_default_ports();
    if (candidate_count == 0) {
        std::fputs("atquery: no serial ports found (/dev/ttyUSB*, /dev/ttyACM*, /dev/wwan*at*)\n", stderr);
        return 3;
    }
    for (int i = 0; i < candidate_count; ++i)
        if (candidates[i].state == port_state::probing)
            describe(candidates[i], sysfs_root);
    drop_duplicates();
    mark_held_ports();

    guard_signals(restore_all_and_die);
    for (int i = 0; i < candidate_count; ++i)
        if (candidates[i].state == port_state::probing)
            take(i, options.baud);
    unsigned last_byte_ms = 0;
    if (probe_all(options.timeout_ms > 0 ? options.timeout_ms : default_limit_ms, last_byte_ms)) {
        // The ports stay ours until the pause modems need after a reply has
        // passed, so that the next run's command cannot follow sooner.
        int wait_ms = static_cast<int>(last_byte_ms + pacing::guard_ms - monotonic_ms());
        if (wait_ms > 0)
            usleep(static_cast<useconds_t>(wait_ms) * 1000);
    }
    release_all();

    if (!print_all(options.info_only)) {
        report_error(label::print);
        return 255;
    }
    bool any_at = false, any_busy = false, any_gone = false;
    for (int i = 0; i < candidate_count; ++i) {
        any_at = any_at || candidates[i].state == port_state::at;
        any_busy = any_busy || candidates[i].state == port_state::busy;
        any_gone = any_gone || candidates[i].state == port_state::gone;
    }
    return any_gone ? 255 : any_at ? 0 : any_busy ? 4 : 3;
}
