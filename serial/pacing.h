// The line's fixed pacing: how commands go out and how a reply is read. One
// place, so that the benchmark's floor follows the tool when they change.
#pragma once

namespace pacing {

// After every byte of a command or message text: typed input, as a modem on
// a serial console expects it.
constexpr unsigned byte_pause_us = 100;
// After a command's line end, without -t: the modem answers within it.
constexpr unsigned line_end_pause_us = 300000;
// After every read of a reply but the first, without -t.
constexpr unsigned read_pause_us = 50;
// A reply read without -t ends after this much silence (VTIME 1).
constexpr unsigned quiet_ms = 100;
// Between the end of a reply and the next command, within a run and across
// runs with -t: modem makers ask for at least 20 ms (Telit's AT reference
// guides, "Command Issuing Timing").
constexpr unsigned guard_ms = 20;

} // namespace pacing
