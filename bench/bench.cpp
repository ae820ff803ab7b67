// The benchmark: runs the built atquery as a process against the simulated
// modem, compares its time with the floor its fixed pauses set, and runs two
// peers against the same modem for context. It reports; it fails on a wrong
// result, never on a slow one.
//   usage: atquery_bench [RUNS]   (7 runs per case by default)
#include "sim/modem.h"
#include "tool_runner.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <termios.h>
#include <vector>

namespace {

// atquery's fixed pacing, and the time a line at 115200 bit/s takes for one
// 8N1 character (10 bits).
constexpr double byte_pause_ms = 0.1;
constexpr double line_end_pause_ms = 300;
constexpr double read_pause_ms = 0.05;
constexpr double quiet_ms = 100;
constexpr double line_byte_us = 10 * 1e6 / 115200;

struct bench_case {
    const char* name;
    std::vector<std::string> options; // atquery's options, before DEVICE
    std::string command;
    std::string answer;        // scripted; the modem echoes the command first
    double target;             // the highest ratio to the floor that meets it; 0 for none
    bool waits_for_quiet = true; // ends after 0.1 s of quiet, not on the result code
    bool peers = true;
};

// The pauses of one exchange: no run can be faster.
double floor_ms(const bench_case& c)
{
    size_t reply_bytes = c.command.size() + 1 + c.answer.size();
    return c.command.size() * byte_pause_ms + line_end_pause_ms +
           (reply_bytes - 1) * read_pause_ms + (c.waits_for_quiet ? quiet_ms : 0);
}

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

std::vector<bench_case> cases()
{
    std::string long_command = "AT+CMGS=\"";
    while (long_command.size() < 255)
        long_command += static_cast<char>('0' + long_command.size() % 10);
    long_command += '"';
    const std::string listing = "AT+CMGL=\"ALL\"";
    return {
        {"(a) \"AT\", immediate short reply", {}, "AT", "\r\nOK\r\n", 1.03},
        {"(b) 256-byte command", {}, long_command, "\r\nOK\r\n", 1.08},
        {"(c) 4000-byte reply", {}, listing, message_listing(4000 - listing.size() - 1), 0},
        {"(d) \"AT\" with -t 2", {"-t", "2"}, "AT", "\r\nOK\r\n", 1.02, false, false},
    };
}

// atquery and the peers, each with how it is run and what a correct run gives.
struct program {
    const char* label;
    tool_run (*invocation)(const bench_case& c, const std::string& device);
    bool (*correct)(const tool_result& r, const std::string& reply);
};

const program atquery = {
    "atquery",
    [](const bench_case& c, const std::string& device) {
        tool_run run{.args = c.options, .input = ""};
        run.args.insert(run.args.end(), {device, c.command});
        return run;
    },
    [](const tool_result& r, const std::string& reply) {
        return r.status == 0 && r.out == reply + "\n";
    }};

const program peers[] = {
    {"peer: busybox microcom -t 100",
     [](const bench_case& c, const std::string& device) {
         return tool_run{.args = {"microcom", "-t", "100", "-s", "115200", device},
                         .program = {"busybox"},
                         .input = c.command + "\r\n"};
     },
     [](const tool_result& r, const std::string& reply) { return r.out == reply; }},
    {"peer: chat '' COMMAND OK",
     [](const bench_case& c, const std::string& device) {
         return tool_run{.args = {"-t", "5", "", c.command, "OK"}, .program = {"chat"},
                         .stdio_on = device};
     },
     [](const tool_result& r, const std::string&) { return r.status == 0; }},
};

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

// Runs each program `runs` times on one case, taking turns so that changing
// load on the machine falls on all of them alike. A program stops at its
// first wrong result.
std::vector<outcome> run_case(const bench_case& c, const std::vector<const program*>& which,
                              int runs)
{
    std::vector<outcome> results(which.size());
    atsim::modem modem;
    modem.script(c.command, c.answer);
    if (!modem.open()) {
        std::perror("simulated modem");
        std::exit(1);
    }
    modem.start();
    const std::string reply = c.command + "\r" + c.answer;
    for (int i = 0; i < runs; ++i) {
        for (size_t p = 0; p < which.size(); ++p) {
            if (!results[p].failure.empty())
                continue;
            // Every program starts on a quiet line, whatever the last one left.
            tcflush(modem.terminal_fd(), TCIOFLUSH);
            tool_result r = run_tool(which[p]->invocation(c, modem.path()));
            if (!which[p]->correct(r, reply)) {
                results[p].failure = describe_failure(r);
                continue;
            }
            results[p].wall_ms.push_back(r.wall_ms);
            results[p].cpu_ms.push_back(r.cpu_ms);
            results[p].peak_rss_kib = std::max(results[p].peak_rss_kib, r.peak_rss_kib);
        }
    }
    modem.stop();
    return results;
}

// One row of the table; returns atquery's median wall time (0 if it failed)
// and sets `wrong` on a failure that is not a skip.
double print_row(const bench_case& c, const program& p, const outcome& o, bool& wrong)
{
    const bool is_atquery = &p == &atquery;
    std::printf("| %s | %s ", is_atquery ? c.name : "", p.label);
    if (!o.failure.empty()) {
        // A build without the case's options refuses them with a usage
        // error: the case does not apply to it.
        bool skipped = o.failure == "not found" ||
                       (is_atquery && !c.options.empty() && o.failure.starts_with("status 2,"));
        std::printf("| %s: %s ||||||\n", skipped ? "skipped" : "FAILED", o.failure.c_str());
        wrong = wrong || !skipped;
        return 0;
    }
    const double wall = median(o.wall_ms), ratio = wall / floor_ms(c);
    std::printf("| %.1f ", wall);
    if (is_atquery)
        std::printf("| %.1f | %.3f ", floor_ms(c), ratio);
    else
        std::printf("| | ");
    if (is_atquery && c.target > 0)
        std::printf("| %.2f %s ", c.target, ratio <= c.target ? "met" : "MISSED");
    else
        std::printf("| ");
    std::printf("| %.2f | %ld |\n", median(o.cpu_ms), o.peak_rss_kib);
    return is_atquery ? wall : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::printf("%d runs per case: medians of wall and CPU time, the largest peak RSS\n\n"
                "| case | program | wall ms | floor ms | ratio | target | CPU ms | peak RSS KiB |\n"
                "|---|---|---:|---:|---:|---|---:|---:|\n",
                runs);
    std::fflush(stdout);

    bool wrong = false;
    const std::vector<bench_case> all = cases();
    std::vector<double> atquery_wall;
    for (const bench_case& c : all) {
        std::vector<const program*> which = {&atquery};
        for (const program& peer : peers)
            if (c.peers)
                which.push_back(&peer);
        std::vector<outcome> results = run_case(c, which, runs);
        for (size_t p = 0; p < which.size(); ++p) {
            double wall = print_row(c, *which[p], results[p], wrong);
            if (p == 0)
                atquery_wall.push_back(wall);
        }
        std::fflush(stdout);
    }

    // Everything but the command's pacing, the 300 ms and the closing quiet
    // is charged to the reply, process start-up included.
    const bench_case& c = all[2];
    if (atquery_wall[2] > 0)
        std::printf("\n(c) %.1f us per reply byte; the line takes %.1f us a byte\n",
                    (atquery_wall[2] - c.command.size() * byte_pause_ms - line_end_pause_ms -
                     quiet_ms) * 1e3 / (c.command.size() + 1 + c.answer.size()),
                    line_byte_us);
    if (atquery_wall[0] > 0 && atquery_wall[3] > 0)
        std::printf("(d) -t 2 saves %.1f ms against (a)\n", atquery_wall[0] - atquery_wall[3]);
    return wrong ? 1 : 0;
}
