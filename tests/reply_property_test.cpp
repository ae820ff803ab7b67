// read_reply against many random byte streams from the simulated modem: the
// text it leaves must be the stream up to its first zero byte, its first gap
// of 0.1 s or more, or the buffer's capacity less one, whichever comes first.
#include "serial/port.h"
#include "sim_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Fixed, so that a failure names a stream that can be replayed.
constexpr unsigned seed = 61803;

// Gaps stay well clear of the 0.1 s that ends a reply, so that a slow
// moment on a busy machine cannot move a gap to the other side of it.
constexpr int short_gap_max_ms = 60;
constexpr int long_gap_min_ms = 180;
constexpr int long_gap_max_ms = 240;
// A long gap only follows this many bytes at most: the reader must have
// taken them (one read and one pause each) well before the gap is over.
constexpr size_t long_gap_reach = 128;

struct piece {
    int gap_ms; // silence before this piece; 0 for the first
    std::string bytes;
};

struct stream {
    std::vector<piece> pieces;

    // The rule: everything before the first long gap, cut at the first zero
    // byte and at capacity - 1 bytes.
    std::string expected(size_t capacity) const
    {
        std::string text;
        for (const piece& p : pieces) {
            if (p.gap_ms >= long_gap_min_ms)
                break;
            text += p.bytes;
        }
        text = text.substr(0, text.find('\0'));
        return text.substr(0, capacity - 1);
    }

    std::string describe() const
    {
        std::ostringstream out;
        for (const piece& p : pieces) {
            if (p.gap_ms > 0)
                out << " | " << p.gap_ms << " ms | ";
            out << p.bytes.size() << " bytes";
            if (size_t zero = p.bytes.find('\0'); zero != std::string::npos)
                out << " (zero at " << zero << ")";
        }
        return out.str();
    }
};

// Lengths cluster around the capacity, where the cut-off lies; content is
// any byte, with zero bytes now and then; up to three gaps, some long.
stream make_stream(std::mt19937& rng, size_t capacity)
{
    auto pick = [&](size_t low, size_t high) {
        return std::uniform_int_distribution<size_t>(low, high)(rng);
    };
    size_t length = pick(0, 1) ? capacity - 1 + pick(0, 6) - 3 : pick(0, 2 * capacity);
    std::string bytes(length, ' ');
    for (char& c : bytes)
        c = static_cast<char>(pick(1, 255));
    if (length > 0 && pick(0, 2) == 0)
        for (size_t zeros = pick(1, 2); zeros > 0; --zeros)
            bytes[pick(0, length - 1)] = '\0';

    std::vector<size_t> cuts;
    for (size_t n = pick(0, 3); n > 0 && length > 1; --n)
        cuts.push_back(pick(1, length - 1));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(length);

    stream s;
    size_t from = 0;
    for (size_t to : cuts) {
        int gap = 0;
        if (from > 0)
            gap = from <= long_gap_reach && pick(0, 3) == 0
                      ? static_cast<int>(pick(long_gap_min_ms, long_gap_max_ms))
                      : static_cast<int>(pick(0, short_gap_max_ms));
        s.pieces.push_back({gap, bytes.substr(from, to - from)});
        from = to;
    }
    return s;
}

struct outcome {
    int count;
    std::vector<char> buffer; // capacity bytes, then the guard
};

constexpr size_t guard_size = 16;
constexpr char guard_byte = 0x5a;

// Serves the stream from a simulated modem, its first piece waiting before
// reading starts (as after the pause that follows a command), and reads it
// with read_reply into a cleared buffer of `capacity` bytes followed by a
// guard that must stay untouched.
outcome serve_and_read(const stream& s, size_t capacity)
{
    sim_line line;
    int fd = open(line.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || set_opt(fd, 115200, 8, 'N', 1) != 0) {
        if (fd >= 0)
            close(fd);
        return {-2, {}};
    }
    port_fd = fd;
    line->inject(s.pieces[0].bytes);

    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    std::thread feeder([&] {
        std::unique_lock lock(mutex);
        for (size_t i = 1; i < s.pieces.size(); ++i) {
            if (wake.wait_for(lock, std::chrono::milliseconds(s.pieces[i].gap_ms),
                              [&] { return done; }))
                return;
            line->inject(s.pieces[i].bytes);
        }
    });

    outcome result;
    result.buffer.assign(capacity + guard_size, '\0');
    std::fill(result.buffer.begin() + static_cast<long>(capacity), result.buffer.end(), guard_byte);
    result.count = read_reply(std::span<char>(result.buffer.data(), capacity));
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    wake.notify_one();
    feeder.join();
    close(fd);
    port_fd = -1;
    return result;
}

void check_streams(size_t count, size_t min_capacity, size_t max_capacity)
{
    std::mt19937 rng(seed + static_cast<unsigned>(max_capacity));
    for (size_t i = 0; i < count; ++i) {
        size_t capacity = std::uniform_int_distribution<size_t>(min_capacity, max_capacity)(rng);
        stream s = make_stream(rng, capacity);
        std::string want = s.expected(capacity);
        outcome got = serve_and_read(s, capacity);
        ASSERT_NE(got.count, -2) << "no simulated modem: " << std::strerror(errno);

        SCOPED_TRACE(::testing::Message() << "seed " << seed << ", stream " << i << ", capacity "
                                          << capacity << ":" << s.describe());
        std::string text(got.buffer.data(), strnlen(got.buffer.data(), got.buffer.size()));
        EXPECT_EQ(text, want);
        EXPECT_EQ(got.count, static_cast<int>(want.size()) + 1);
        // Nothing past the terminator or past the capacity was written.
        EXPECT_TRUE(std::all_of(got.buffer.begin() + static_cast<long>(want.size()),
                                got.buffer.begin() + static_cast<long>(capacity),
                                [](char c) { return c == '\0'; }));
        EXPECT_TRUE(std::all_of(got.buffer.begin() + static_cast<long>(capacity),
                                got.buffer.end(), [](char c) { return c == guard_byte; }));
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST(ReplyProperty, SmallBuffersKeepThePrefixUpToZeroGapOrCapacity)
{
    check_streams(150, 8, 64);
}

TEST(ReplyProperty, FullSizeBufferKeepsThePrefixUpToZeroGapOrCapacity)
{
    check_streams(6, 5000, 5000);
}

} // namespace
