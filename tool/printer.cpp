// The reply's output forms: raw and information lines.
#include "tool/printer.h"

#include <cerrno>

void reply_printer::finish()
{
    if (actions_.finish != nullptr)
        actions_.finish(*this);
    else
        print();
}

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

const reply_printer::actions raw_printer::table = {take_byte, nullptr, end};

raw_printer::raw_printer(std::FILE* out) : reply_printer(table, out) {}

void raw_printer::take_byte(reply_printer& printer, char c, bool line_end)
{
    raw_printer& raw = static_cast<raw_printer&>(printer);
    raw.keep(&c, 1);
    if (line_end)
        raw.print();
}

void raw_printer::end(reply_printer& printer)
{
    raw_printer& raw = static_cast<raw_printer&>(printer);
    raw.print();
    raw.keep("\n", 1);
    raw.print();
}

const reply_printer::actions info_printer::table = {nullptr, take_line, nullptr};

info_printer::info_printer(std::FILE* out) : reply_printer(table, out) {}

void info_printer::take_line(reply_printer& printer, line_kind kind, std::string_view text, bool last)
{
    if (kind != line_kind::information && kind != line_kind::owned && kind != line_kind::until)
        return;
    info_printer& info = static_cast<info_printer&>(printer);
    // A CR in a line can only be the echo's, in a line that turned out not
    // to be the echo.
    for (char c : text)
        if (c != '\r')
            info.keep(&c, 1);
    if (last)
        info.keep("\n", 1);
    if (last || info.queue_full())
        info.print();
}

const reply_printer::actions silent_printer::table = {nullptr, nullptr, nullptr};
