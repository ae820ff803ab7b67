// USB serial ports as sysfs shows them: the interface a terminal sits on,
// the interfaces known to take no AT commands, and usb:VID:PID:IFACE names,
// which pick a port by its interface however the kernel numbered it.
#pragma once

#include <span>

// A USB interface: the device's vendor and product ids and the interface's
// number, as sysfs gives them (idVendor, idProduct, bInterfaceNumber).
struct usb_interface {
    unsigned vendor = 0;
    unsigned product = 0;
    unsigned number = 0;
};

struct usb_port {
    usb_interface interface;
    char driver[24] = ""; // the interface's driver ("option", "cdc_acm"); "" when unknown
};

// A terminal's name under class/tty, as its /dev node is named ("ttyUSB2").
struct tty_name {
    char text[32];
};

// Whether text is meant as a usb: name (starts with "usb:").
bool is_usb_name(const char* text);

// Reads "usb:VID:PID:IFACE" (hex, either case: 1 to 4, 1 to 4 and 1 or 2
// digits) into id; false when text is no such name.
bool parse_usb_name(const char* text, usb_interface& id);

// What sysfs under root says of the terminal whose directory is root/dir
// ("class/tty/ttyUSB2", "dev/char/188:2"): true, with port filled, when the
// terminal sits on a USB interface.
bool read_usb_port(const char* root, const char* dir, usb_port& port);

// The terminals under root/class/tty that sit on interface id: the first
// names.size() of them in name order go into names. Returns how many there
// are in all, or -1 with errno set when root/class/tty cannot be read.
int find_usb_ports(const char* root, const usb_interface& id, std::span<tty_name> names);

// What the interface carries when a table of known modem layouts says it
// takes no AT commands ("diagnostics", "gps", "audio"); nullptr otherwise.
const char* no_at_kind(const usb_interface& id);

enum class usb_resolution { resolved, none, several };

// When device is a usb: name, finds the terminal now on that interface
// under root (the tool passes "/sys") and points device at its node, written
// into path ("/dev/ttyUSB2"). A plain path stays as it is, untouched and
// without a look at sysfs. For none (also when sysfs cannot be read) or
// several, the reason is printed on standard error ("atquery: usb:...: no
// such port", or the ports it names).
usb_resolution resolve_usb_device(const char* root, const char*& device, std::span<char> path);

// Orders port names as people count: ttyUSB2 before ttyUSB10; < 0, 0, > 0
// as strcmp.
int compare_port_names(const char* a, const char* b);

// Reads a short kernel text file (sysfs, /proc) into text, zero-terminated
// and without its line end; false when it cannot be read or is empty.
bool read_kernel_line(const char* path, std::span<char> text);
