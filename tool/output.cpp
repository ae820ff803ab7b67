// The tool's own output helpers.
#include "tool/output.h"

#include "tool/holder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

void report_error(const char* label)
{
    int saved_errno = errno;
    std::perror(label);
    errno = saved_errno;
}

bool report_reply_failures(bool read_failed, int read_errno, int print_errno)
{
    if (read_failed) {
        errno = read_errno;
        report_error(label::read);
    }
    if (print_errno != 0) {
        errno = print_errno;
        report_error(label::print);
    }
    return !read_failed && print_errno == 0;
}

void report_busy(const char* device, unsigned long holder)
{
    if (holder == 0) {
        std::fprintf(stderr, "atquery: %s is in use\n", device);
        return;
    }
    char name[64];
    describe_holder(holder, name);
    std::fprintf(stderr, "atquery: %s is in use by %s\n", device, name);
}

void report_gone(const char* device, int error)
{
    std::fprintf(stderr, "atquery: %s: %s\n", device,
                 error == EIO ? "the port went away" : std::strerror(error));
}

bool flush_stdout()
{
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}
