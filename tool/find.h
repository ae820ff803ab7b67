// --find: which serial ports take AT commands, and who holds the others.
#pragma once

#include "tool/options.h"

// The most ports one --find probes. Past it, the DEVICEs given are a usage
// error; of the ports found in /dev, those past this many (in the order
// /dev lists them) are left out, and a line on standard error says how many.
constexpr int find_limit = 32;

// Probes the DEVICEs of options (all at once, within options.timeout_ms or
// 1 s) or, when none is given, every /dev/ttyUSB*, /dev/ttyACM* and
// /dev/wwan*at*, and prints a line for each (with -i, only the paths of
// those that answered OK). What a port's USB interface is comes from the
// sysfs tree at sysfs_root (the tool passes "/sys"). Returns 0 when a port
// answered OK, else 4 when one was busy, else 3; 255 when a port went away
// while it was probed (said on standard error) or the output could not be
// written.
int find_ports(const run_options& options, const char* sysfs_root);
