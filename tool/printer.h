// The reply reader's last stage: one printer per output form, told the
// reply's bytes as they came, its lines with their kinds, and its end. A new
// form (JSON, decoded text) is one more printer; the reader does not change.
#pragma once

#include "tool/reader.h"

#include <cstdio>
#include <string_view>

// What every form shares: a queue of output printed a piece at a time, each
// piece made sure to have left the process, and the first failure kept. A
// form is a class built on this one that hands it a table of what it does
// with the reply; an action it leaves out does nothing (finish: prints the
// queue). Not C++ virtual functions: the tool is built without RTTI and its
// tests with it, and a class with virtual functions then has no type
// information that UBSan's vptr check in the sanitized tests can find.
class reply_printer {
public:
    struct actions {
        // A byte of the reply as it came (zero bytes left out); line_end: an
        // LF that ends a line (one inside the echo of a text of several
        // lines does not).
        void (*byte)(reply_printer& printer, char c, bool line_end);
        // A line, with its kind and without its line end; a long line comes
        // in pieces as they arrive, last false for all but its last. The
        // echo's text is the command.
        void (*line)(reply_printer& printer, line_kind kind, std::string_view text, bool last);
        // No more will come: prints what is left.
        void (*finish)(reply_printer& printer);
    };

    void byte(char c, bool line_end)
    {
        if (actions_.byte != nullptr)
            actions_.byte(*this, c, line_end);
    }
    void line(line_kind kind, std::string_view text, bool last)
    {
        if (actions_.line != nullptr)
            actions_.line(*this, kind, text, last);
    }
    void finish();

    // errno of the first print that failed, 0 while none did.
    int print_errno() const { return print_errno_; }

protected:
    reply_printer(const actions& form, std::FILE* out) : actions_(form), out_(out) {}

    static constexpr int queue_capacity = 512;

    // Queues bytes; a full queue is printed first.
    void keep(const char* bytes, int length);
    // Prints the queue (nothing once a print failed) and empties it.
    void print();
    bool queue_full() const { return queued_ == queue_capacity; }

private:
    const actions& actions_;
    std::FILE* out_;
    char queue_[queue_capacity];
    int queued_ = 0;
    int print_errno_ = 0;
};

// The reply raw, as it came, a line at a time (each LF that ends a line
// prints what came up to it), then the tool's line feed.
class raw_printer : public reply_printer {
public:
    explicit raw_printer(std::FILE* out);

private:
    static void take_byte(reply_printer& printer, char c, bool line_end);
    static void end(reply_printer& printer);
    static const actions table;
};

// The information lines alone (-i): no echo, empty line, result code,
// prompt or unsolicited code, but the --until line always; without CR, each
// ended by one line feed, a long one printed a piece at a time as it comes.
class info_printer : public reply_printer {
public:
    explicit info_printer(std::FILE* out);

private:
    static void take_line(reply_printer& printer, line_kind kind, std::string_view text, bool last);
    static const actions table;
};

// Prints nothing: for a probe that needs only to know how the reply ended.
class silent_printer : public reply_printer {
public:
    silent_printer() : reply_printer(table, nullptr) {}

private:
    static const actions table;
};
