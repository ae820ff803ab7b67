// The benchmark: runs the built atquery as a process against the simulated
// modem and compares its time with a reference, either the floor its fixed
// pauses set or a minimal client's time plus the guard, and runs peers
// against the same modem for context. It reports; it fails on a wrong
// result, never on a slow one.
//   usage: atquery_bench [RUNS]   (7 runs per case by default)
#include "serial/pacing.h"
#include "sim/modem.h"
#include "tool_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <termios.h>
#include <vector>

namespace {

// The pacing in milliseconds, and what a line at 115200 bit/s delivers:
// one 8N1 character is 10 bits.
constexpr double byte_pause_ms = pacing::byte_pause_us / 1e3;
constexpr double line_end_pause_ms = pacing::line_end_pause_us / 1e3;
constexpr double read_pause_ms = pacing::read_pause_us / 1e3;
constexpr double quiet_ms = pacing::quiet_ms;
constexpr double guard_ms = pacing::guard_ms;
constexpr double line_bytes_per_s = 115200 / 10.0;

// A command and its scripted answer; the modem echoes the command and its
// CR before the answer.
struct exchange {
    std::string command;
    std::string answer;
};

struct bench_case;

// atquery, the reference client and the peers: how each is run, and what a
// correct run gives.
struct program {
    const char* label;
    tool_run (*invocation)(const bench_case& c, const std::string& device);
    bool (*correct)(const tool_result& r, const bench_case& c);
};

struct bench_case {
    const char* name;
    std::vector<std::string> options; // atquery's options, before DEVICE
    std::vector<exchange> exchanges;
    std::vector<const program*> others; // run beside atquery, taking turns with it
    // Its median plus the guard is the reference; none: the floor is.
    const program* reference = nullptr;
    double max_ratio = 0; // target: the highest ratio to the reference; 0 for none
    double max_ms = 0;    // target: the highest wall time; 0 for none
};

// With -t each reply ends at its final result code.
bool until_results(const bench_case& c)
{
    return std::find(c.options.begin(), c.options.end(), "-t") != c.options.end();
}

// The -t value of the case, or `otherwise`.
std::string timeout_of(const bench_case& c, const char* otherwise)
{
    auto t = std::find(c.options.begin(), c.options.end(), "-t");
    return t != c.options.end() && t + 1 != c.options.end() ? *(t + 1) : otherwise;
}

// The replies as they come on the line, each followed by `after`.
std::string replies(const bench_case& c, const std::string& after)
{
    std::string all;
    for (const exchange& e : c.exchanges)
        all += e.command + "\r" + e.answer + after;
    return all;
}

std::string commands_typed(const bench_case& c)
{
    std::string all;
    for (const exchange& e : c.exchanges)
        all += e.command + "\r\n";
    return all;
}

// The pauses of a run: no run can be faster. Without -t each exchange
// waits out the pauses after the command's bytes, after its line end and
// after each reply byte, and the closing quiet; with -t only the command's
// pacing and the guard after each reply are left.
double floor_ms(const bench_case& c)
{
    double ms = 0;
    for (const exchange& e : c.exchanges) {
        ms += e.command.size() * byte_pause_ms;
        if (until_results(c)) {
            ms += guard_ms;
            continue;
        }
        size_t reply_bytes = e.command.size() + 1 + e.answer.size();
        ms += line_end_pause_ms + (reply_bytes - 1) * read_pause_ms + quiet_ms;
    }
    return ms;
}

const program atquery = {
    "atquery",
    [](const bench_case& c, const std::string& device) {
        tool_run run{.args = c.options, .input = ""};
        run.args.push_back(device);
        for (const exchange& e : c.exchanges)
            run.args.push_back(e.command);
        return run;
    },
    [](const tool_result& r, const bench_case& c) {
        return r.status == 0 && r.out == replies(c, "\n");
    }};

const program minimal_client = {
    "minimal client",
    [](const bench_case& c, const std::string& device) {
        return tool_run{.args = {device, c.exchanges[0].command},
                        .program = {MINIMAL_CLIENT_COMMAND},
                        .input = ""};
    },
    [](const tool_result& r, const bench_case& c) {
        return r.status == 0 && r.out == replies(c, "");
    }};

const program microcom = {
    "peer: busybox microcom -t 100",
    [](const bench_case& c, const std::string& device) {
        return tool_run{.args = {"microcom", "-t", "100", "-s", "115200", device},
                        .program = {"busybox"},
                        .input = commands_typed(c)};
    },
    [](const tool_result& r, const bench_case& c) { return r.out == replies(c, ""); }};

const program chat = {
    "peer: chat -t T '' COMMAND OK",
    [](const bench_case& c, const std::string& device) {
        tool_run run{.args = {"-t", timeout_of(c, "5"), ""}, .program = {"chat"},
                     .stdio_on = device};
        for (const exchange& e : c.exchanges)
            run.args.insert(run.args.end(), {e.command, "OK"});
        return run;
    },
    [](const tool_result& r, const bench_case&) { return r.status == 0; }};

const program socat = {
    "peer: socat -t0.1 - DEVICE,raw,echo=0,b115200",
    [](const bench_case& c, const std::string& device) {
        // Its input ends right after the commands; it then copies the
        // device's bytes for its closing time-out (-t), which its inactivity
        // time-out (-T) cannot shorten.
        return tool_run{.args = {"-t0.1", "-", device + ",raw,echo=0,b115200"},
                        .program = {"socat"},
                        .input = commands_typed(c)};
    },
    [](const tool_result& r, const bench_case& c) { return r.out == replies(c, ""); }};

// A message listing of exactly `size` bytes with "OK" only at its end, so
// that a peer waiting for "OK" reads all of it.
std::string message_listing(size_t size)
{
    std::string text;
    while (text.size() < size - 6)
        text += "\r\n+CMGL: 1,\"REC READ\",\"+15550100\",,\"24/01/01,12:00:00+00\"\r\n"
                "Meet at the north gate, bring the spare antenna.";
    text.resize(size - 6);
    return text + "\r\nOK\r\n";
}

// A phonebook of about 70 KiB as AT+CPBR lists it, "OK" only at its end.
std::string phonebook_listing()
{
    std::string text;
    for (int i = 1; text.size() < 70 * 1024; ++i)
        text += "\r\n+CPBR: " + std::to_string(i) + ",\"+4915550" + std::to_string(100000 + i) +
                "\",145,\"Contact " + std::to_string(i) + "\"";
    return text + "\r\n\r\nOK\r\n";
}

std::vector<bench_case> cases()
{
    std::string long_command = "AT+CMGS=\"";
    while (long_command.size() < 255)
        long_command += static_cast<char>('0' + long_command.size() % 10);
    long_command += '"';
    const std::string listing = "AT+CMGL=\"ALL\"";
    const std::string ok = "\r\nOK\r\n";
    const std::vector<const program*> quiet_peers = {&microcom, &chat, &socat};
    return {
        {"(a) \"AT\", immediate short reply", {}, {{"AT", ok}}, quiet_peers, nullptr, 1.03},
        {"(b) 256-byte command", {}, {{long_command, ok}}, quiet_peers, nullptr, 1.08},
        {"(c) 4000-byte reply", {}, {{listing, message_listing(4000 - listing.size() - 1)}},
         quiet_peers},
        {"(d) \"AT\" with -t 2", {"-t", "2"}, {{"AT", ok}},
         {&minimal_client, &chat, &microcom, &socat}, &minimal_client, 1.5, 40},
        {"(e) five commands with -t 2", {"-t", "2"},
         {{"AT", ok},
          {"AT+CSQ", "\r\n+CSQ: 23,99\r\n" + ok},
          {"AT+CREG?", "\r\n+CREG: 0,1\r\n" + ok},
          {"AT+CPIN?", "\r\n+CPIN: READY\r\n" + ok},
          {"AT+COPS?", "\r\n+COPS: 0,0,\"atquery net\",7\r\n" + ok}},
         {&chat}, nullptr, 0, 250},
        {"(f) 70 KiB phonebook with -t 10", {"-t", "10"},
         {{"AT+CPBR=1,2000", phonebook_listing()}},
         {&minimal_client, &chat, &microcom, &socat}, nullptr, 0, 150},
    };
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct outcome {
    std::vector<double> wall_ms, cpu_ms;
    long peak_rss_kib = 0;
    std::string failure; // why a run gave a wrong result; empty if none did
};

std::string describe_failure(const tool_result& r)
{
    if (r.status == 127 && r.out.empty())
        return "not found";
    std::string first_error = r.err.substr(0, r.err.find('\n'));
    return "status " + std::to_string(r.status) + ", " + std::to_string(r.out.size()) +
           " bytes out" + (first_error.empty() ? "" : ": " + first_error);
}

// One case being measured: its modem, and what each program gave so far.
struct case_run {
    const bench_case* c;
    std::vector<const program*> which; // atquery first
    std::vector<outcome> results;
    std::unique_ptr<atsim::modem> modem;
};

// Runs every program of every case `runs` times, a round of all of them at
// a time, so that changing load on the machine falls on all cases and
// programs alike. A program stops at its first wrong result in a case.
std::vector<case_run> run_all(const std::vector<bench_case>& all, int runs)
{
    std::vector<case_run> measured;
    for (const bench_case& c : all) {
        case_run m{&c, {&atquery}, {}, std::make_unique<atsim::modem>()};
        m.which.insert(m.which.end(), c.others.begin(), c.others.end());
        m.results.resize(m.which.size());
        for (const exchange& e : c.exchanges)
            m.modem->script(e.command, e.answer);
        if (!m.modem->open()) {
            std::perror("simulated modem");
            std::exit(1);
        }
        m.modem->start();
        measured.push_back(std::move(m));
    }
    for (int i = 0; i < runs; ++i) {
        for (case_run& m : measured) {
            for (size_t p = 0; p < m.which.size(); ++p) {
                outcome& o = m.results[p];
                if (!o.failure.empty())
                    continue;
                // Every program starts on a quiet line, whatever the last one left.
                tcflush(m.modem->terminal_fd(), TCIOFLUSH);
                tool_result r = run_tool(m.which[p]->invocation(*m.c, m.modem->path()));
                if (!m.which[p]->correct(r, *m.c)) {
                    o.failure = describe_failure(r);
                    continue;
                }
                o.wall_ms.push_back(r.wall_ms);
                o.cpu_ms.push_back(r.cpu_ms);
                o.peak_rss_kib = std::max(o.peak_rss_kib, r.peak_rss_kib);
            }
        }
    }
    for (case_run& m : measured)
        m.modem->stop();
    return measured;
}

// The median wall time of a program in a case; 0 if it failed or did not run.
double median_wall(const case_run& m, const program& p)
{
    for (size_t i = 0; i < m.which.size(); ++i)
        if (m.which[i] == &p && m.results[i].failure.empty())
            return median(m.results[i].wall_ms);
    return 0;
}

// The case's reference time; 0 when its reference client failed.
double reference_ms(const case_run& m)
{
    if (m.c->reference == nullptr)
        return floor_ms(*m.c);
    double client = median_wall(m, *m.c->reference);
    return client > 0 ? client + guard_ms : 0;
}

// One row of the table; sets `wrong` on a failure that is not a skip.
void print_row(const case_run& m, size_t p, bool& wrong)
{
    const bench_case& c = *m.c;
    const program& prog = *m.which[p];
    const outcome& o = m.results[p];
    const bool is_atquery = &prog == &atquery;
    std::printf("| %s | %s ", is_atquery ? c.name : "", prog.label);
    if (!o.failure.empty()) {
        // A build without the case's options refuses them with a usage
        // error: the case does not apply to it.
        bool skipped = o.failure == "not found" ||
                       (is_atquery && !c.options.empty() && o.failure.starts_with("status 2,"));
        std::printf("| %s: %s ||||||\n", skipped ? "skipped" : "FAILED", o.failure.c_str());
        wrong = wrong || !skipped;
        return;
    }
    const double wall = median(o.wall_ms), reference = reference_ms(m);
    std::printf("| %.1f ", wall);
    if (is_atquery && reference > 0)
        std::printf("| %.1f | %.3f ", reference, wall / reference);
    else
        std::printf("| | ");
    if (is_atquery && (c.max_ratio > 0 || c.max_ms > 0)) {
        bool met = (c.max_ratio == 0 || (reference > 0 && wall / reference <= c.max_ratio)) &&
                   (c.max_ms == 0 || wall < c.max_ms);
        std::string target;
        if (c.max_ratio > 0)
            target += std::to_string(c.max_ratio).substr(0, 4);
        if (c.max_ratio > 0 && c.max_ms > 0)
            target += ", ";
        if (c.max_ms > 0)
            target += "< " + std::to_string(static_cast<int>(c.max_ms)) + " ms";
        std::printf("| %s %s ", target.c_str(), met ? "met" : "MISSED");
    } else {
        std::printf("| ");
    }
    std::printf("| %.2f | %ld |\n", median(o.cpu_ms), o.peak_rss_kib);
}

// The lines below the table, for the cases that have them.
void print_notes(const std::vector<case_run>& measured)
{
    const case_run& c = measured[2];
    const exchange& e = c.c->exchanges[0];
    if (double wall = median_wall(c, atquery); wall > 0)
        std::printf("\n(c) %.1f us per reply byte; the line takes %.1f us a byte\n",
                    (wall - e.command.size() * byte_pause_ms - line_end_pause_ms - quiet_ms) *
                        1e3 / (e.command.size() + 1 + e.answer.size()),
                    1e6 / line_bytes_per_s);

    const case_run& d = measured[3];
    if (double wall = median_wall(d, atquery), client = median_wall(d, minimal_client);
        wall > 0 && client > 0)
        std::printf("(d) atquery %.1f ms, the minimal client %.1f ms plus the %.0f ms guard: "
                    "%.1f ms more\n",
                    wall, client, guard_ms, wall - client - guard_ms);

    const case_run& f = measured[5];
    const double bytes = static_cast<double>(replies(*f.c, "").size());
    if (double wall = median_wall(f, atquery); wall > 0)
        std::printf("(f) %.0f reply bytes: %.0f bytes/s over the whole run, %.0f bytes/s "
                    "without its floor (%.1f ms); a line at 115200 bit/s delivers %.0f bytes/s\n",
                    bytes, bytes / wall * 1e3, bytes / (wall - floor_ms(*f.c)) * 1e3,
                    floor_ms(*f.c), line_bytes_per_s);
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::printf("%d runs per case, in rounds over all cases: medians of wall and CPU time, "
                "the largest peak RSS\n\n"
                "| case | program | wall ms | reference ms | ratio | target | CPU ms | peak RSS KiB |\n"
                "|---|---|---:|---:|---:|---|---:|---:|\n",
                runs);
    std::fflush(stdout);

    const std::vector<bench_case> all = cases();
    const std::vector<case_run> measured = run_all(all, runs);
    bool wrong = false;
    for (const case_run& m : measured)
        for (size_t p = 0; p < m.which.size(); ++p)
            print_row(m, p, wrong);
    print_notes(measured);
    return wrong ? 1 : 0;
}
