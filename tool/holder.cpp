// Naming the process that holds a port, from /proc.
#include "tool/holder.h"

#include "tool/usb.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A process directory's name: decimal digits only.
bool read_pid(const char* text, unsigned long& pid)
{
    pid = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9'; ++p)
        pid = pid * 10 + static_cast<unsigned long>(*p - '0');
    return p != text && *p == '\0';
}

// Marks in pids the devices one of process pid's descriptors is open on.
void scan_descriptors(unsigned long pid, std::span<const dev_t> devices,
                      std::span<unsigned long> pids)
{
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%lu/fd", pid);
    DIR* fds = opendir(path);
    if (fds == nullptr)
        return;
    while (const dirent* entry = readdir(fds)) {
        int path_length = std::snprintf(path, sizeof path, "/proc/%lu/fd/%s", pid, entry->d_name);
        if (entry->d_name[0] == '.' || path_length >= static_cast<int>(sizeof path))
            continue;
        // Only what lies under /dev is looked at closer: a stat of anything
        // else (a file on a network mount that stopped answering) could hang.
        char target[16];
        ssize_t length = readlink(path, target, sizeof target);
        struct stat file;
        if (length < 5 || std::memcmp(target, "/dev/", 5) != 0 || stat(path, &file) != 0 ||
            !S_ISCHR(file.st_mode))
            continue;
        for (size_t i = 0; i < devices.size(); ++i)
            if (pids[i] == 0 && devices[i] == file.st_rdev)
                pids[i] = pid;
    }
    closedir(fds);
}

} // namespace

void describe_holder(unsigned long pid, std::span<char> text)
{
    char path[32];
    char name[32];
    std::snprintf(path, sizeof path, "/proc/%lu/comm", pid);
    if (!read_kernel_line(path, name)) {
        std::snprintf(text.data(), text.size(), "process %lu", pid);
        return;
    }
    // A process names itself: nothing of it may reach a terminal as a control.
    for (char* c = name; *c != '\0'; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || static_cast<unsigned char>(*c) >= 0x7f)
            *c = '?';
    std::snprintf(text.data(), text.size(), "%s (process %lu)", name, pid);
}

void find_openers(std::span<const dev_t> devices, std::span<unsigned long> pids)
{
    for (unsigned long& pid : pids)
        pid = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return;
    const unsigned long self = static_cast<unsigned long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        unsigned long pid;
        if (read_pid(entry->d_name, pid) && pid != self)
            scan_descriptors(pid, devices, pids);
    }
    closedir(proc);
}
