// atquery-sim: serves the simulated modem on a pseudo-terminal until SIGINT,
// SIGTERM or SIGHUP, or until it hangs the line up on purpose; SIGUSR1 lets
// held output go on. Prints the terminal's path first and optionally keeps a
// symbolic link to it.
#include "sim/modem.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char usage_text[] =
    "usage: atquery-sim [--link PATH] [OPTIONS]\n"
    "Simulates a 3GPP modem on a pseudo-terminal: prints the terminal's path as\n"
    "the first line, then answers AT commands on it (echo on, verbose result\n"
    "codes; ATE0/ATE1 and ATV0/ATV1 last until it stops) until SIGINT, SIGTERM\n"
    "or SIGHUP.\n"
    "  --link PATH                 keep PATH as a symbolic link to the terminal\n"
    "                              (an existing link is replaced, any other file\n"
    "                              is refused); removed on exit\n"
    "  --silent                    take commands, answer and echo nothing\n"
    "  --zero-byte                 put a zero byte in the middle of every answer\n"
    "  --endless                   answer with a stream that never ends\n"
    "  --delay MS                  answer MS milliseconds late (echo is at once)\n"
    "  --pieces N                  send each answer in N pieces ...\n"
    "  --gap MS                    ... MS milliseconds apart\n"
    "  --hangup-after-bytes N      hang the line up once N bytes arrived\n"
    "  --hangup-after-answer MS    hang the line up MS milliseconds after an answer\n"
    "  --urc-every MS              send an unsolicited RING every MS milliseconds,\n"
    "                              also between the lines of an answer\n"
    "  --urc LINE                  send LINE unasked instead of RING (repeat it for\n"
    "                              several lines, sent in turn); without --urc-every\n"
    "                              one right after each final result code\n"
    "  --urc-before-echo LINE      send LINE unasked just before the echo of each\n"
    "                              command (repeat it for several, sent in turn)\n"
    "  --ussd-delay MS             the network answers USSD requests after MS\n"
    "                              milliseconds (default 500)\n"
    "  --ussd-fail                 the network fails USSD requests: +CME ERROR\n"
    "                              after the OK instead of +CUSD\n"
    "  --ussd-encoding FORM        the USSD answer's text: plain (the default),\n"
    "                              gsm7 (packed hex, DCS 15), ucs2 (hex, DCS 72)\n"
    "                              or ucs2-dcs15 (UCS-2 hex under DCS 15)\n"
    "  --ussd-status M             the USSD answer's status, 0 to 5 (default 0);\n"
    "                              3 to 5 carry no text\n"
    "  --hold-after-bytes N        once N bytes arrived, hold the terminal's output\n"
    "                              as CTS low would (writes to it block) until\n"
    "                              SIGUSR1\n"
    "  -h, --help                  print this help\n"
    "After a hang-up the terminal is gone: the simulator removes its link and\n"
    "exits. Exit status: 0 stopped by a signal or after a hang-up, 1 failure,\n"
    "2 usage.\n";

constexpr int max_ms = 24 * 60 * 60 * 1000;
constexpr int max_pieces = 100000;

enum option_id { link_id = 256, silent_id, zero_byte_id, endless_id, delay_id, pieces_id,
                 gap_id, hangup_bytes_id, hangup_answer_id, urc_every_id,
                 hold_bytes_id, urc_id, urc_before_echo_id, ussd_delay_id, ussd_fail_id,
                 ussd_encoding_id, ussd_status_id };

constexpr option long_options[] = {
    {"link", required_argument, nullptr, link_id},
    {"silent", no_argument, nullptr, silent_id},
    {"zero-byte", no_argument, nullptr, zero_byte_id},
    {"endless", no_argument, nullptr, endless_id},
    {"delay", required_argument, nullptr, delay_id},
    {"pieces", required_argument, nullptr, pieces_id},
    {"gap", required_argument, nullptr, gap_id},
    {"hangup-after-bytes", required_argument, nullptr, hangup_bytes_id},
    {"hangup-after-answer", required_argument, nullptr, hangup_answer_id},
    {"urc-every", required_argument, nullptr, urc_every_id},
    {"hold-after-bytes", required_argument, nullptr, hold_bytes_id},
    {"urc", required_argument, nullptr, urc_id},
    {"urc-before-echo", required_argument, nullptr, urc_before_echo_id},
    {"ussd-delay", required_argument, nullptr, ussd_delay_id},
    {"ussd-fail", no_argument, nullptr, ussd_fail_id},
    {"ussd-encoding", required_argument, nullptr, ussd_encoding_id},
    {"ussd-status", required_argument, nullptr, ussd_status_id},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct settings {
    atsim::faults faults;
    std::string link;
};

// The modem a signal stops, and whether one did.
std::atomic<atsim::modem*> signalled_modem{nullptr};
static_assert(std::atomic<atsim::modem*>::is_always_lock_free, "read in a signal handler");
volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal)
{
    int saved_errno = errno;
    stop_signal = signal;
    if (atsim::modem* modem = signalled_modem.load())
        modem->interrupt();
    errno = saved_errno;
}

// Parses a whole decimal argument within [low, high]; prints why not.
template <typename T>
bool parse_number(const char* option, const char* text, T low, T high, T& value)
{
    const char* end = text + std::strlen(text);
    auto [stop, error] = std::from_chars(text, end, value);
    if (error == std::errc() && stop == end && *text != '\0' && value >= low && value <= high)
        return true;
    std::fprintf(stderr, "atquery-sim: --%s wants a whole number from %lld to %lld, not '%s'\n",
                 option, static_cast<long long>(low), static_cast<long long>(high), text);
    return false;
}

// Adds an unsolicited line to `lines`: one line of text, not empty.
bool add_line(const char* option, const char* text, std::vector<std::string>& lines)
{
    if (*text == '\0' || std::strpbrk(text, "\r\n") != nullptr) {
        std::fprintf(stderr, "atquery-sim: --%s wants one line of text, not '%s'\n", option, text);
        return false;
    }
    lines.emplace_back(text);
    return true;
}

// The forms --ussd-encoding names.
bool parse_ussd_form(const char* text, atsim::faults::ussd_form& form)
{
    using enum atsim::faults::ussd_form;
    constexpr std::pair<const char*, atsim::faults::ussd_form> forms[] = {
        {"plain", plain}, {"gsm7", gsm7}, {"ucs2", ucs2}, {"ucs2-dcs15", ucs2_dcs15}};
    for (const auto& [name, value] : forms) {
        if (std::strcmp(text, name) == 0) {
            form = value;
            return true;
        }
    }
    std::fprintf(stderr, "atquery-sim: --ussd-encoding wants plain, gsm7, ucs2 or ucs2-dcs15, "
                         "not '%s'\n", text);
    return false;
}

constexpr int run = -1;

// Fills `s` from the command line. Returns `run`, or the status to exit with.
int parse_arguments(int argc, char** argv, settings& s)
{
    int id;
    while ((id = getopt_long(argc, argv, "h", long_options, nullptr)) != -1) {
        bool good = true;
        atsim::faults& f = s.faults;
        switch (id) {
        case 'h':
            std::fputs(usage_text, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        case link_id:
            s.link = optarg;
            good = !s.link.empty();
            if (!good)
                std::fputs("atquery-sim: --link wants a path\n", stderr);
            break;
        case silent_id: f.silent = true; break;
        case zero_byte_id: f.zero_byte = true; break;
        case endless_id: f.endless = true; break;
        case delay_id: good = parse_number("delay", optarg, 0, max_ms, f.delay_ms); break;
        case pieces_id: good = parse_number("pieces", optarg, 1, max_pieces, f.pieces); break;
        case gap_id: good = parse_number("gap", optarg, 0, max_ms, f.gap_ms); break;
        case hangup_bytes_id:
            good = parse_number("hangup-after-bytes", optarg, 1L, 1000000000L,
                                f.hangup_after_bytes);
            break;
        case hangup_answer_id:
            good = parse_number("hangup-after-answer", optarg, 0, max_ms,
                                f.hangup_after_answer_ms);
            break;
        case urc_every_id:
            good = parse_number("urc-every", optarg, 1, max_ms, f.urc_every_ms);
            break;
        case hold_bytes_id:
            good = parse_number("hold-after-bytes", optarg, 1L, 1000000000L, f.hold_after_bytes);
            break;
        case urc_id: good = add_line("urc", optarg, f.urc_lines); break;
        case urc_before_echo_id:
            good = add_line("urc-before-echo", optarg, f.urc_before_echo);
            break;
        case ussd_delay_id:
            good = parse_number("ussd-delay", optarg, 0, max_ms, f.ussd_delay_ms);
            break;
        case ussd_fail_id: f.ussd_fail = true; break;
        case ussd_encoding_id: good = parse_ussd_form(optarg, f.ussd_encoding); break;
        case ussd_status_id:
            good = parse_number("ussd-status", optarg, 0, 5, f.ussd_status);
            break;
        default: good = false; break;
        }
        if (!good)
            return 2;
    }
    if (optind < argc) {
        std::fprintf(stderr, "atquery-sim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return run;
}

// Makes `link` a symbolic link to `target`, replacing a link but nothing else.
bool make_link(const std::string& link, const std::string& target)
{
    struct stat st;
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "atquery-sim: %s exists and is not a symbolic link; "
                                 "not replacing it\n", link.c_str());
            return false;
        }
        if (unlink(link.c_str()) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "atquery-sim: cannot replace %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return false;
        }
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "atquery-sim: cannot create %s: %s\n", link.c_str(),
                     std::strerror(errno));
        return false;
    }
    return true;
}

// Removes `link` if it still leads to `target`: another simulator may have
// taken the name over since.
void remove_link(const std::string& link, const std::string& target)
{
    char points_to[4096];
    ssize_t n = readlink(link.c_str(), points_to, sizeof points_to);
    if (n >= 0 && target.compare(0, std::string::npos, points_to, static_cast<size_t>(n)) == 0)
        unlink(link.c_str());
}

void on_release_signal(int)
{
    int saved_errno = errno;
    if (atsim::modem* modem = signalled_modem.load())
        modem->release();
    errno = saved_errno;
}

void catch_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    action.sa_handler = on_release_signal;
    sigaction(SIGUSR1, &action, nullptr);
    // The path goes to a pipe that its reader may close early: a failed
    // write is reported, not fatal.
    std::signal(SIGPIPE, SIG_IGN);
}

// Serves until stopped; returns the exit status.
int serve(atsim::modem& modem, const std::string& link)
{
    if (!link.empty() && !make_link(link, modem.path()))
        return 1;
    int status = 0;
    if (std::printf("%s\n", modem.path().c_str()) < 0 || std::fflush(stdout) != 0) {
        std::perror("atquery-sim: cannot print the terminal's path");
        status = 1;
    } else {
        modem.serve();
        if (modem.hung_up()) {
            std::fprintf(stderr, "atquery-sim: hung up the line as asked; exiting\n");
        } else if (stop_signal == 0) {
            std::perror("atquery-sim: serving the terminal failed");
            status = 1;
        }
    }
    if (!link.empty())
        remove_link(link, modem.path());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    settings s;
    if (int status = parse_arguments(argc, argv, s); status != run) {
        if (status == 2)
            std::fputs("usage: atquery-sim [--link PATH] [OPTIONS]; see --help\n", stderr);
        return status;
    }

    atsim::modem modem(s.faults);
    if (!modem.open()) {
        std::perror("atquery-sim: cannot open a pseudo-terminal");
        return 1;
    }
    // Handlers go in once the wake pipe exists; a signal from here on stops
    // serve() even if it arrives before serve() began.
    signalled_modem.store(&modem);
    catch_signals();
    return serve(modem, s.link);
}
