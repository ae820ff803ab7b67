// The benchmark: runs the real atquery as a process against the simulated
// modem, compares its time with the floor set by its fixed pauses, and runs
// two peers against the same modem for context. It reports; it never fails
// on a slow result, only on a wrong one.
#include "sim/modem.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

// The fixed pacing of atquery, and the time one 8N1 character (10 bits)
// takes on the line at 115200 bit/s.
constexpr double byte_pause_ms = 0.1;
constexpr double line_end_pause_ms = 300;
constexpr double read_pause_ms = 0.05;
constexpr double quiet_ms = 100;
constexpr double line_byte_us = 10 * 1e6 / 115200;

double now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string load_average()
{
    char text[64] = "?";
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%63s", text) != 1)
            std::strcpy(text, "?");
        std::fclose(f);
    }
    return text;
}

// What the pauses really take: median of many usleep calls, with the
// thread's timer slack as given (0 keeps the default).
double pause_cost_us(useconds_t us, unsigned long slack_ns)
{
    double result = 0;
    std::thread([&] {
        if (slack_ns != 0)
            prctl(PR_SET_TIMERSLACK, slack_ns);
        std::vector<double> taken;
        for (int i = 0; i < 1000; ++i) {
            double start = now_ms();
            usleep(us);
            taken.push_back((now_ms() - start) * 1e3);
        }
        result = median(taken);
    }).join();
    return result;
}

// What the closing quiet takes: a read with VMIN 0 and VTIME 1 on a line
// that stays silent, median of a few.
double quiet_cost_ms()
{
    atsim::modem modem;
    if (!modem.open())
        return 0;
    termios opt{};
    tcgetattr(modem.terminal_fd(), &opt);
    opt.c_cc[VMIN] = 0;
    opt.c_cc[VTIME] = 1;
    tcsetattr(modem.terminal_fd(), TCSANOW, &opt);
    std::vector<double> taken;
    for (int i = 0; i < 9; ++i) {
        char byte;
        double start = now_ms();
        [[maybe_unused]] ssize_t n = read(modem.terminal_fd(), &byte, 1);
        taken.push_back(now_ms() - start);
    }
    return median(taken);
}

struct program_run {
    double wall_ms = 0;
    double cpu_ms = 0;
    long peak_rss_kib = 0;
    int status = -1;
    std::string out;
};

// Where a program's standard input and output go: to pipes (the device is
// named on its command line), or to the device itself.
enum class stdio { pipes, device };

// Runs argv to completion and measures it from fork to reaping: wall time on
// the monotonic clock, user plus system CPU time and peak resident memory as
// wait4 reports them for the child.
program_run run_program(std::vector<std::string> argv, stdio how, const std::string& input,
                        const std::string& device)
{
    std::vector<char*> args;
    for (std::string& word : argv)
        args.push_back(word.data());
    args.push_back(nullptr);

    program_run result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
        return result;
    // Small enough to sit in the pipe before the program starts.
    [[maybe_unused]] ssize_t written = write(in[1], input.data(), input.size());
    close(in[1]);

    double start = now_ms();
    pid_t child = fork();
    if (child == 0) {
        if (how == stdio::device) {
            int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            dup2(fd, 0);
            dup2(fd, 1);
        } else {
            dup2(in[0], 0);
            dup2(out[1], 1);
        }
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    pid_t reaped = wait4(child, &status, 0, &usage);
    result.wall_ms = now_ms() - start;
    close(in[0]);
    close(out[1]);

    if (reaped == child && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    result.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    result.peak_rss_kib = usage.ru_maxrss;
    // The reply is far smaller than the pipe's capacity, so it waits there.
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0)
        result.out.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    return result;
}

bool write_all(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0 && errno != EINTR)
            return false;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, static_cast<char*>(data) + done, size - done);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return true;
}

template <class T> void put(std::string& message, T value)
{
    message.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put(std::string& message, const std::string& text)
{
    put(message, static_cast<uint32_t>(text.size()));
    message += text;
}

template <class T> bool get(int fd, T& value)
{
    return read_all(fd, &value, sizeof value);
}

bool get(int fd, std::string& text)
{
    uint32_t size = 0;
    if (!get(fd, size))
        return false;
    text.resize(size);
    return read_all(fd, text.data(), size);
}

// Starts the measured programs from a helper process forked first thing,
// before the benchmark allocates much or starts the modem's thread: wait4
// counts in a child's peak RSS the pages it copied from its parent when
// forked, and this keeps that share down to the helper's few pages.
class spawner {
public:
    bool start()
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return false;
        pid_ = fork();
        if (pid_ < 0)
            return false;
        if (pid_ == 0) {
            close(ends[0]);
            serve(ends[1]);
            _exit(0);
        }
        close(ends[1]);
        socket_ = ends[0];
        return true;
    }

    ~spawner()
    {
        if (socket_ >= 0)
            close(socket_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }

    program_run run(const std::vector<std::string>& argv, stdio how, const std::string& input,
                    const std::string& device)
    {
        std::string request;
        put(request, static_cast<int>(how));
        put(request, static_cast<uint32_t>(argv.size()));
        for (const std::string& word : argv)
            put(request, word);
        put(request, input);
        put(request, device);
        program_run r;
        if (!write_all(socket_, request) || !get(socket_, r.wall_ms) || !get(socket_, r.cpu_ms) ||
            !get(socket_, r.peak_rss_kib) || !get(socket_, r.status) || !get(socket_, r.out))
            r.status = -1;
        return r;
    }

private:
    static void serve(int fd)
    {
        for (;;) {
            int how = 0;
            uint32_t words = 0;
            std::string input, device;
            if (!get(fd, how) || !get(fd, words))
                return;
            std::vector<std::string> argv(words);
            for (std::string& word : argv)
                if (!get(fd, word))
                    return;
            if (!get(fd, input) || !get(fd, device))
                return;
            program_run r = run_program(argv, static_cast<stdio>(how), input, device);
            std::string reply;
            put(reply, r.wall_ms);
            put(reply, r.cpu_ms);
            put(reply, r.peak_rss_kib);
            put(reply, r.status);
            put(reply, r.out);
            if (!write_all(fd, reply))
                return;
        }
    }

    int socket_ = -1;
    pid_t pid_ = -1;
};

struct bench_case {
    const char* name;
    std::string command;
    std::string answer; // scripted answer; the modem echoes the command first
};

// A message listing of exactly `size` bytes with "OK" only at its end, so
// that a peer waiting for "OK" reads all of it.
std::string message_listing(size_t size)
{
    std::string text;
    for (int i = 1;; ++i) {
        std::string entry = "\r\n+CMGL: " + std::to_string(i) +
                            ",\"REC READ\",\"+15550100\",,\"24/01/01,12:00:00+00\"\r\n"
                            "Meet at the north gate, bring the spare antenna.";
        if (text.size() + entry.size() + 6 > size)
            break;
        text += entry;
    }
    text.append(size - text.size() - 6, '.');
    return text + "\r\nOK\r\n";
}

std::vector<bench_case> cases()
{
    std::string long_command = "AT+CMGS=\"";
    while (long_command.size() < 255)
        long_command += static_cast<char>('0' + long_command.size() % 10);
    long_command += '"';

    const std::string listing_command = "AT+CMGL=\"ALL\"";
    const size_t reply_size = 4000;
    return {
        {"(a) \"AT\", immediate short reply", "AT", "\r\nOK\r\n"},
        {"(b) 256-byte command", long_command, "\r\nOK\r\n"},
        {"(c) 4000-byte reply", listing_command,
         message_listing(reply_size - listing_command.size() - 1)},
    };
}

struct program {
    const char* label;
    const char* binary; // looked up on PATH; null for atquery itself
    const char* does;
    stdio how;
    std::vector<std::string> (*argv)(const std::string& atquery, const bench_case& c,
                                     const std::string& device);
    std::string (*input)(const bench_case& c);
    bool (*ok)(const program_run& run, const std::string& reply);
};

std::vector<std::string> atquery_argv(const std::string& atquery, const bench_case& c,
                                      const std::string& device)
{
    return {atquery, device, c.command};
}

std::vector<std::string> microcom_argv(const std::string&, const bench_case&,
                                       const std::string& device)
{
    return {"busybox", "microcom", "-t", "100", "-s", "115200", device};
}

std::vector<std::string> chat_argv(const std::string&, const bench_case& c, const std::string&)
{
    return {"chat", "-t", "5", "", c.command, "OK"};
}

std::string no_input(const bench_case&)
{
    return "";
}

std::string command_line(const bench_case& c)
{
    return c.command + "\r\n";
}

bool atquery_ok(const program_run& run, const std::string& reply)
{
    return run.status == 0 && run.out == reply + "\n";
}

bool microcom_ok(const program_run& run, const std::string& reply)
{
    return run.out == reply;
}

bool chat_ok(const program_run& run, const std::string&)
{
    return run.status == 0;
}

const program programs[] = {
    {"atquery", nullptr,
     "one byte per write 100 us apart, 300 ms wait, one byte per read with 50 us pauses, ends "
     "after 0.1 s quiet",
     stdio::pipes, atquery_argv, no_input, atquery_ok},
    {"peer: busybox microcom -t 100", "busybox",
     "one byte per write without pauses, no 300 ms wait, reads blocks, ends after 0.1 s quiet",
     stdio::pipes, microcom_argv, command_line, microcom_ok},
    {"peer: chat '' COMMAND OK", "chat",
     "one byte per write 10 ms apart, no 300 ms wait, reads byte by byte, ends when OK arrives, "
     "prints nothing",
     stdio::device, chat_argv, no_input, chat_ok},
};

bool on_path(const char* name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos)
            to = dirs.size();
        std::string candidate = dirs.substr(from, to - from) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        from = to + 1;
    }
    return false;
}

struct summary {
    double wall_ms, cpu_ms;
    long peak_rss_kib;
};

// Runs every available program `runs` times on one case, taking turns so
// that changing load on the machine falls on all of them alike.
bool run_case(spawner& programs_from, const bench_case& c, const std::string& atquery, int runs,
              const std::vector<const program*>& available, std::vector<summary>& results)
{
    atsim::modem modem;
    modem.script(c.command, c.answer);
    if (!modem.open()) {
        std::perror("simulated modem");
        return false;
    }
    modem.start();
    const std::string reply = c.command + "\r" + c.answer;

    std::vector<std::vector<double>> walls(available.size()), cpus(available.size());
    std::vector<long> peaks(available.size(), 0);
    bool good = true;
    for (int i = 0; i < runs && good; ++i) {
        for (size_t p = 0; p < available.size(); ++p) {
            const program& prog = *available[p];
            // Every program starts on a quiet line, whatever the last one left.
            tcflush(modem.terminal_fd(), TCIOFLUSH);
            program_run r = programs_from.run(prog.argv(atquery, c, modem.path()), prog.how,
                                        prog.input(c), modem.path());
            if (!prog.ok(r, reply)) {
                std::fprintf(stderr, "%s on %s: wrong result (status %d, %zu bytes out)\n",
                             prog.label, c.name, r.status, r.out.size());
                good = false;
                break;
            }
            walls[p].push_back(r.wall_ms);
            cpus[p].push_back(r.cpu_ms);
            peaks[p] = std::max(peaks[p], r.peak_rss_kib);
        }
    }
    modem.stop();
    results.clear();
    for (size_t p = 0; good && p < available.size(); ++p)
        results.push_back({median(walls[p]), median(cpus[p]), peaks[p]});
    return good;
}

double floor_ms(const bench_case& c)
{
    size_t reply_bytes = c.command.size() + 1 + c.answer.size();
    return c.command.size() * byte_pause_ms + line_end_pause_ms +
           (reply_bytes - 1) * read_pause_ms + quiet_ms;
}

// The whole run minus the command's pacing, the 300 ms and the closing quiet,
// spread over the reply's bytes: process start-up and every other cost is
// charged to the reply.
double us_per_reply_byte(const bench_case& c, double wall_ms)
{
    size_t reply_bytes = c.command.size() + 1 + c.answer.size();
    double rest = wall_ms - c.command.size() * byte_pause_ms - line_end_pause_ms - quiet_ms;
    return rest * 1e3 / reply_bytes;
}

} // namespace

int main(int argc, char* argv[])
{
    spawner programs_from;
    if (!programs_from.start()) {
        std::perror("atquery_bench: fork");
        return 1;
    }
    if (argc < 2) {
        std::fputs("usage: atquery_bench ATQUERY [RUNS]\n", stderr);
        return 2;
    }
    const std::string atquery = argv[1];
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

    if (access(atquery.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "atquery_bench: %s is not an executable\n", atquery.c_str());
        return 2;
    }
    std::vector<const program*> available;
    for (const program& p : programs) {
        if (p.binary == nullptr || on_path(p.binary))
            available.push_back(&p);
        else
            std::printf("(%s skipped: %s not found)\n", p.label, p.binary);
    }

    struct stat info{};
    stat(atquery.c_str(), &info);
    std::printf("atquery benchmark: %d runs per case, medians of wall and CPU time, the "
                "largest peak RSS; %ld CPUs; load average %s at the start",
                runs, sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str());
    std::fflush(stdout);

    std::printf("\n\nWhat the pauses take here (median of 1000 usleep calls):\n");
    for (useconds_t us : {100u, 50u})
        std::printf("  usleep(%u): %.1f us with the default timer slack, %.1f us with 1 ns\n", us,
                    pause_cost_us(us, 0), pause_cost_us(us, 1));
    std::printf("  a read that waits out VTIME 1 (0.1 s): %.1f ms\n", quiet_cost_ms());
    // wait4 counts in a child's peak the pages it copied from this process
    // when forked; a program that does nothing shows what that amounts to.
    std::printf("  peak RSS of `true` measured the same way as the programs below: %ld KiB\n",
                programs_from.run({"true"}, stdio::pipes, "", "").peak_rss_kib);

    std::printf("\n| case | program | wall ms | floor ms | ratio | CPU ms | peak RSS KiB |\n"
                "|---|---|---:|---:|---:|---:|---:|\n");
    std::vector<bench_case> all = cases();
    std::vector<std::vector<summary>> results(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        if (!run_case(programs_from, all[i], atquery, runs, available, results[i]))
            return 1;
        for (size_t p = 0; p < available.size(); ++p) {
            const summary& s = results[i][p];
            char floor_text[32] = "", ratio_text[32] = "";
            if (p == 0) {
                std::snprintf(floor_text, sizeof floor_text, "%.1f", floor_ms(all[i]));
                std::snprintf(ratio_text, sizeof ratio_text, "%.3f", s.wall_ms / floor_ms(all[i]));
            }
            std::printf("| %s | %s | %.1f | %s | %s | %.2f | %ld |\n", p == 0 ? all[i].name : "",
                        available[p]->label, s.wall_ms, floor_text, ratio_text, s.cpu_ms,
                        s.peak_rss_kib);
        }
        std::fflush(stdout);
    }

    std::printf("\nPrograms:\n");
    for (const program* p : available)
        std::printf("  %s: %s\n", p->label, p->does);

    const double ratio_a = results[0][0].wall_ms / floor_ms(all[0]);
    const double ratio_b = results[1][0].wall_ms / floor_ms(all[1]);
    const double per_byte = us_per_reply_byte(all[2], results[2][0].wall_ms);
    const double cpu_a = results[0][0].cpu_ms;
    auto mark = [](bool met) { return met ? "met" : "MISSED"; };
    std::printf("\natquery (%lld bytes) against its targets:\n"
                "  (a) %.3f x floor, target 1.03: %s\n"
                "  (b) %.3f x floor, target 1.08: %s\n"
                "  (c) %.1f us per reply byte (everything but the command's pacing, the 300 ms "
                "and the closing quiet), line: %.1f us: %s\n"
                "  CPU time of one \"AT\" exchange %.2f ms, target under 15 ms: %s\n",
                static_cast<long long>(info.st_size), ratio_a, mark(ratio_a <= 1.03), ratio_b,
                mark(ratio_b <= 1.08), per_byte, line_byte_us, mark(per_byte <= line_byte_us),
                cpu_a, mark(cpu_a < 15));
    std::printf("Load average at the end: %s\n", load_average().c_str());
    return 0;
}
