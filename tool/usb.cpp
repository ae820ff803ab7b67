// USB serial ports in sysfs, the table of interfaces that take no AT
// commands, and usb:VID:PID:IFACE names.
#include "tool/usb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr char usb_prefix[] = "usb:";
constexpr int usb_prefix_length = sizeof usb_prefix - 1;

// An interface whose port carries something else than an AT command
// interpreter, so that a probe written there would reach a diagnostics
// protocol, a GPS receiver or an audio stream. From the port-type hints
// ModemManager ships in plugins/<maker>/77-mm-<maker>-port-types.rules
// (github.com/linux-mobile-broadband/ModemManager): the ports it marks
// ID_MM_PORT_TYPE_QCDM, _GPS or _AUDIO. Huawei's rules mark ports by
// interface class and protocol instead, since AT^SETPORT moves them between
// interface numbers, so none of theirs is here.
struct no_at_interface {
    unsigned short vendor;
    unsigned short product;
    unsigned char number;
    const char* kind;
};

constexpr char diagnostics[] = "diagnostics"; // Qualcomm DIAG/QCDM, binary
constexpr char gps[] = "gps";                 // NMEA sentences
constexpr char audio[] = "audio";             // PCM voice samples

constexpr no_at_interface no_at_table[] = {
    // Quectel EC25/EG25, BG96, RM500: 77-mm-quectel-port-types.rules
    {0x2c7c, 0x0125, 0x00, diagnostics},
    {0x2c7c, 0x0125, 0x01, gps},
    {0x2c7c, 0x0296, 0x00, diagnostics},
    {0x2c7c, 0x0296, 0x01, gps},
    {0x2c7c, 0x0800, 0x00, diagnostics},
    {0x2c7c, 0x0800, 0x01, gps},
    // Sierra Wireless MC74xx, EM7565: 77-mm-sierra.rules
    {0x1199, 0x9071, 0x00, diagnostics},
    {0x1199, 0x9071, 0x02, gps},
    {0x1199, 0x9091, 0x00, diagnostics},
    {0x1199, 0x9091, 0x02, gps},
    // Telit UC864-G, LE910C1: 77-mm-telit-port-types.rules
    {0x1bc7, 0x1004, 0x02, gps},
    {0x1bc7, 0x1201, 0x03, gps},
    // SIMCom SIM7000/SIM7100/SIM7600: 77-mm-simtech-port-types.rules
    {0x1e0e, 0x9001, 0x00, diagnostics},
    {0x1e0e, 0x9001, 0x01, gps},
    {0x1e0e, 0x9001, 0x04, audio},
    // Dell DW5821e: 77-mm-dell-port-types.rules
    {0x413c, 0x81d7, 0x04, gps},
    {0x413c, 0x81d7, 0x05, diagnostics},
    // Fibocom FM150: 77-mm-fibocom-port-types.rules
    {0x2cb7, 0x0104, 0x00, diagnostics},
};

// Where the interface's directory lies from a terminal's directory: its
// device link for cdc-acm (ttyACM), the link's parent for usb-serial
// (ttyUSB: the link names the usb-serial port, a child of the interface).
constexpr const char* interface_dirs[] = {"device/", "device/../"};

unsigned hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return static_cast<unsigned>((c | 0x20) - 'a' + 10);
    return 16;
}

// A hex number of 1 to max_digits digits at p, followed by `end`.
bool read_hex(const char*& p, int max_digits, char end, unsigned& value)
{
    value = 0;
    int digits = 0;
    for (; hex_digit(*p) < 16; ++p, ++digits) {
        if (digits == max_digits)
            return false;
        value = value * 16 + hex_digit(*p);
    }
    return digits > 0 && *p++ == end;
}

// Reads the sysfs attribute at path as a hex number of up to max_digits.
bool read_hex_file(const char* path, int max_digits, unsigned& value)
{
    char text[16];
    const char* p = text;
    return read_kernel_line(path, text) && read_hex(p, max_digits, '\0', value);
}

} // namespace

bool read_kernel_line(const char* path, std::span<char> text)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return false;
    ssize_t got = read(fd, text.data(), text.size() - 1);
    close(fd);
    if (got <= 0)
        return false;
    text[static_cast<size_t>(got)] = '\0';
    if (char* end = std::strchr(text.data(), '\n'))
        *end = '\0';
    return text[0] != '\0';
}

bool is_usb_name(const char* text)
{
    return std::strncmp(text, usb_prefix, usb_prefix_length) == 0;
}

bool parse_usb_name(const char* text, usb_interface& id)
{
    const char* p = text + usb_prefix_length;
    return is_usb_name(text) && read_hex(p, 4, ':', id.vendor) && read_hex(p, 4, ':', id.product) &&
           read_hex(p, 2, '\0', id.number);
}

bool read_usb_port(const char* root, const char* dir, usb_port& port)
{
    char path[160];
    for (const char* up : interface_dirs) {
        // A path that does not fit is a file that is not there.
        auto file = [&](const char* name) {
            return std::snprintf(path, sizeof path, "%s/%s/%s%s", root, dir, up, name) <
                   static_cast<int>(sizeof path);
        };
        usb_interface& id = port.interface;
        if (!file("bInterfaceNumber") || !read_hex_file(path, 2, id.number))
            continue;
        if (!file("../idVendor") || !read_hex_file(path, 4, id.vendor) || !file("../idProduct") ||
            !read_hex_file(path, 4, id.product) || !file("driver"))
            return false;
        // The driver link ends in the driver's name: .../bus/usb/drivers/option.
        char target[128];
        ssize_t length = readlink(path, target, sizeof target - 1);
        port.driver[0] = '\0';
        if (length > 0) {
            target[length] = '\0';
            const char* name = std::strrchr(target, '/');
            std::snprintf(port.driver, sizeof port.driver, "%.*s", static_cast<int>(sizeof port.driver - 1),
                          name != nullptr ? name + 1 : target);
        }
        return true;
    }
    return false;
}

int find_usb_ports(const char* root, const usb_interface& id, std::span<tty_name> names)
{
    char path[128];
    std::snprintf(path, sizeof path, "%s/class/tty", root);
    DIR* ttys = opendir(path);
    if (ttys == nullptr)
        return -1;
    int count = 0;
    // readdir tells its end from a failure by errno alone.
    for (errno = 0; const dirent* entry = readdir(ttys); errno = 0) {
        usb_port port;
        const size_t length = std::strlen(entry->d_name);
        int dir_length = std::snprintf(path, sizeof path, "class/tty/%s", entry->d_name);
        if (entry->d_name[0] == '.' || length >= sizeof names[0].text ||
            dir_length >= static_cast<int>(sizeof path) || !read_usb_port(root, path, port) ||
            port.interface.vendor != id.vendor ||
            port.interface.product != id.product || port.interface.number != id.number)
            continue;
        // Kept in name order, so that the message naming several is stable.
        const int capacity = static_cast<int>(names.size());
        int kept = count < capacity ? count : capacity;
        int at = kept;
        while (at > 0 && compare_port_names(entry->d_name, names[at - 1].text) < 0)
            --at;
        if (at < capacity) {
            for (int i = kept < capacity ? kept : capacity - 1; i > at; --i)
                names[i] = names[i - 1];
            std::memcpy(names[at].text, entry->d_name, length + 1);
        }
        ++count;
    }
    int error = errno;
    closedir(ttys);
    errno = error;
    return error == 0 ? count : -1;
}

const char* no_at_kind(const usb_interface& id)
{
    for (const no_at_interface& row : no_at_table)
        if (row.vendor == id.vendor && row.product == id.product && row.number == id.number)
            return row.kind;
    return nullptr;
}

usb_resolution resolve_usb_device(const char* root, const char*& device, std::span<char> path)
{
    usb_interface id;
    if (!parse_usb_name(device, id))
        return usb_resolution::resolved;
    tty_name names[4];
    int count = find_usb_ports(root, id, names);
    if (count < 0) {
        std::fprintf(stderr, "atquery: %s: %s/class/tty: %s\n", device, root, std::strerror(errno));
        return usb_resolution::none;
    }
    if (count == 0) {
        std::fprintf(stderr, "atquery: %s: no such port\n", device);
        return usb_resolution::none;
    }
    if (count > 1) {
        std::fprintf(stderr, "atquery: %s names %d ports:", device, count);
        for (int i = 0; i < count && i < static_cast<int>(sizeof names / sizeof names[0]); ++i)
            std::fprintf(stderr, " /dev/%s", names[i].text);
        std::fputs(count > static_cast<int>(sizeof names / sizeof names[0]) ? " ...\n" : "\n", stderr);
        return usb_resolution::several;
    }
    std::snprintf(path.data(), path.size(), "/dev/%s", names[0].text);
    device = path.data();
    return usb_resolution::resolved;
}

int compare_port_names(const char* a, const char* b)
{
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (*a != '\0' && *a == *b && !digit(*a)) {
        ++a;
        ++b;
    }
    if (digit(*a) && digit(*b)) {
        // Numbers compare by their length first, then digit by digit.
        const char *end_a = a, *end_b = b;
        while (digit(*end_a))
            ++end_a;
        while (digit(*end_b))
            ++end_b;
        if (end_a - a != end_b - b)
            return end_a - a < end_b - b ? -1 : 1;
        int order = std::memcmp(a, b, static_cast<size_t>(end_a - a));
        return order != 0 ? order : compare_port_names(end_a, end_b);
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}
