// The reply's output forms: raw and information lines.
#include "tool/printer.h"

#include <cerrno>

void reply_printer::keep(const char* bytes, int length)
{
    for (int i = 0; i < length; ++i) {
        if (queue_full())
            print();
        queue_[queued_++] = bytes[i];
    }
}

void reply_printer::print()
{
    // The error indicator counts as well as fflush's result: uClibc-ng's
    // fflush drops the buffered bytes after a write that failed for good
    // (ENOSPC, EPIPE) and then reports success.
    if (queued_ > 0 && print_errno_ == 0 &&
        !(std::fwrite(queue_, 1, static_cast<size_t>(queued_), out_) == static_cast<size_t>(queued_) &&
          std::fflush(out_) == 0 && !std::ferror(out_)))
        print_errno_ = errno != 0 ? errno : EIO;
    queued_ = 0;
}

void raw_printer::byte(char c, bool line_end)
{
    keep(&c, 1);
    if (line_end)
        print();
}

void raw_printer::finish()
{
    print();
    keep("\n", 1);
    print();
}

void info_printer::line(line_kind kind, std::string_view text, bool last)
{
    if (kind != line_kind::information && kind != line_kind::owned && kind != line_kind::until)
        return;
    // A CR in a line can only be the echo's, in a line that turned out not
    // to be the echo.
    for (char c : text)
        if (c != '\r')
            keep(&c, 1);
    if (last)
        keep("\n", 1);
    if (last || queue_full())
        print();
}
