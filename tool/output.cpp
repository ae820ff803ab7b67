// The tool's own output helpers.
#include "tool/output.h"

#include <cerrno>
#include <cstdio>

void report_error(const char* label)
{
    int saved_errno = errno;
    std::perror(label);
    errno = saved_errno;
}

bool flush_stdout()
{
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}
