// The command-line options: one table for getopt_long and one small parser
// per kind of value, each refusing what the tool cannot honour.
#include "tool/options.h"

#include "serial/port.h"
#include "tool/find.h"
#include "tool/usb.h"

#include <cstdio>
#include <getopt.h>

const char usage_text[] =
    "usage: atquery [OPTIONS] DEVICE COMMAND...\n"
    "       atquery [OPTIONS] [--voice-setup] [--dial NUMBER] DEVICE\n"
    "       atquery [-t SECONDS] [-i] [-b BPS] --find [DEVICE...]\n"
    "Sends each COMMAND and CR LF to the modem on DEVICE (115200 8N1, RTS/CTS, raw;\n"
    "never waiting for carrier) and prints its reply, read until 0.1 s of quiet.\n"
    "DEVICE may be usb:VID:PID:IFACE, the port on that USB interface.\n"
    " -t, --timeout SECONDS  read each reply as it comes until its final result code,\n"
    "                        SECONDS from its first byte out; 20 ms between replies\n"
    " -i, --info             only information lines: no echo, result codes or\n"
    "                        unsolicited result codes\n"
    " -u, --until PREFIX     with -t: the last reply also needs a line starting so\n"
    "                        (-u +CUSD: for a USSD answer, which follows its OK)\n"
    " -b, --baud BPS         2400, 4800, 9600, 115200 or 460800\n"
    " -w, --wait SECONDS     wait for a port another run holds (default 10)\n"
    "     --no-lock          use the port without locking it\n"
    "     --voice-setup, --dial NUMBER  the voice call set-up; a call to NUMBER\n"
    "     --find             send AT to each DEVICE (default: USB and WWAN serial\n"
    "                        ports) and tell which answer (-t: 1 s by default)\n"
    " -h, --help, --version\n"
    "Exit status: 0 done, 1 an error result (-t), 2 usage, 3 no result in time,\n"
    "4 port busy, 255 failure; more in atquery(1).\n";

namespace {

enum long_only { no_lock_option = 256, dial_option, voice_setup_option, version_option, find_option };

constexpr option option_table[] = {
    {"timeout", required_argument, nullptr, 't'},
    {"info", no_argument, nullptr, 'i'},
    {"until", required_argument, nullptr, 'u'},
    {"baud", required_argument, nullptr, 'b'},
    {"wait", required_argument, nullptr, 'w'},
    {"no-lock", no_argument, nullptr, no_lock_option},
    {"dial", required_argument, nullptr, dial_option},
    {"voice-setup", no_argument, nullptr, voice_setup_option},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, version_option},
    {"find", no_argument, nullptr, find_option},
    {nullptr, 0, nullptr, 0},
};

// '+': options end at the first argument that is not one (DEVICE), so a
// COMMAND may start with '-'; ':': a missing value is told apart.
constexpr char short_options[] = "+:t:iu:b:w:h";

// Longer waits than this are surely a typing error; it also keeps the
// milliseconds within an int.
constexpr int max_seconds = 1000000;

// Digits with an optional decimal fraction ("90", "0.5"), in milliseconds,
// rounded up so that a tiny positive value stays positive.
bool parse_seconds(const char* text, int& ms)
{
    const char* p = text;
    if (*p < '0' || *p > '9')
        return false;
    long long whole = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        whole = whole * 10 + (*p - '0');
        if (whole > max_seconds)
            return false;
    }
    int fraction_ms = 0;
    if (*p == '.') {
        ++p;
        if (*p < '0' || *p > '9')
            return false;
        bool below_ms = false;
        for (int scale = 100; *p >= '0' && *p <= '9'; ++p, scale /= 10) {
            if (scale > 0)
                fraction_ms += (*p - '0') * scale;
            else
                below_ms = below_ms || *p != '0';
        }
        fraction_ms += below_ms ? 1 : 0;
    }
    if (*p != '\0')
        return false;
    ms = static_cast<int>(whole * 1000 + fraction_ms);
    return true;
}

// One of the rates the line settings know; anything else would silently
// become another speed.
bool parse_baud(const char* text, int& baud)
{
    int value = 0;
    const char* p = text;
    for (; *p >= '0' && *p <= '9' && value <= 1000000; ++p)
        value = value * 10 + (*p - '0');
    if (p == text || *p != '\0' || !speed_known(value))
        return false;
    baud = value;
    return true;
}

bool bad_value(const char* option, const char* value, const char* wanted)
{
    std::fprintf(stderr, "atquery: bad value for %s: '%s' (%s)\n", option, value, wanted);
    return false;
}

// Takes one option with its value into options; false after saying why not.
bool take_option(int code, const char* value, run_options& options)
{
    switch (code) {
    case 't':
        if (!parse_seconds(value, options.timeout_ms) || options.timeout_ms == 0)
            return bad_value("--timeout", value, "seconds, greater than 0");
        return true;
    case 'w':
        if (!parse_seconds(value, options.wait_ms))
            return bad_value("--wait", value, "seconds");
        return true;
    case 'b':
        if (!parse_baud(value, options.baud))
            return bad_value("--baud", value, "2400, 4800, 9600, 115200 or 460800");
        return true;
    case 'i':
        options.info_only = true;
        return true;
    case 'u':
        if (*value == '\0')
            return bad_value("--until", value, "the start of a line");
        options.until = value;
        return true;
    case no_lock_option:
        options.lock = false;
        return true;
    case dial_option:
        options.dial_number = value;
        return true;
    case voice_setup_option:
        options.voice_setup = true;
        return true;
    default:
        return false;
    }
}

// A usb: name that cannot be read is a usage error, not a port to look for.
bool good_usb_name(const char* device)
{
    usb_interface id;
    if (!is_usb_name(device) || parse_usb_name(device, id))
        return true;
    std::fprintf(stderr, "atquery: bad USB port name '%s' (usb:VID:PID:IFACE, in hex)\n", device);
    return false;
}

// --find [DEVICE...]: the probe honours -t, -i and -b alone.
parse_result take_find(int argc, char* argv[], bool other_options, run_options& options)
{
    if (other_options) {
        std::fputs("atquery: --find goes only with -t, -i and -b\n", stderr);
        return parse_result::usage_error;
    }
    options.devices = argv + optind;
    options.device_count = argc - optind;
    if (options.device_count > find_limit) {
        std::fprintf(stderr, "atquery: --find takes at most %d DEVICEs\n", find_limit);
        return parse_result::usage_error;
    }
    for (int i = 0; i < options.device_count; ++i)
        if (!good_usb_name(options.devices[i]))
            return parse_result::usage_error;
    options.find = true;
    return parse_result::run;
}

} // namespace

parse_result parse_options(int argc, char* argv[], run_options& options)
{
    opterr = 0; // our own messages, the same with every C library
    bool find = false;
    bool not_for_find = false; // an option --find does not honour was given
    for (;;) {
        int code = getopt_long(argc, argv, short_options, option_table, nullptr);
        if (code == -1)
            break;
        if (code == 'h')
            return parse_result::help;
        if (code == version_option)
            return parse_result::version;
        if (code == '?') {
            const char* given = argv[optind - 1];
            bool long_option = given[0] == '-' && given[1] == '-';
            int name = 0;
            while (given[name] != '\0' && given[name] != '=')
                ++name;
            // A known long option given a value it does not take.
            if (optopt != 0 && long_option && given[name] == '=')
                std::fprintf(stderr, "atquery: option '%.*s' takes no value\n", name, given);
            else if (optopt != 0 && !long_option)
                std::fprintf(stderr, "atquery: unknown option '-%c'\n", optopt);
            else
                std::fprintf(stderr, "atquery: unknown option '%s'\n", given);
            return parse_result::usage_error;
        }
        if (code == ':') {
            // Only the last argument can lack its value. musl leaves optind
            // past it for a short option, so argv[optind - 1] is no name there.
            std::fprintf(stderr, "atquery: option '%s' needs a value\n", argv[argc - 1]);
            return parse_result::usage_error;
        }
        if (code == find_option) {
            find = true;
            continue;
        }
        not_for_find = not_for_find || (code != 't' && code != 'i' && code != 'b');
        if (!take_option(code, optarg, options))
            return parse_result::usage_error;
    }
    if (find)
        return take_find(argc, argv, not_for_find, options);

    if (optind >= argc)
        return parse_result::usage_error;
    options.device = argv[optind];
    if (!good_usb_name(options.device))
        return parse_result::usage_error;
    options.commands = argv + optind + 1;
    options.command_count = argc - optind - 1;
    bool voice = options.voice_setup || options.dial_number != nullptr;
    if (voice && options.command_count > 0) {
        std::fputs("atquery: a COMMAND cannot go with --voice-setup or --dial\n", stderr);
        return parse_result::usage_error;
    }
    // The voice sequences read their replies their own way; taking these
    // silently and then not honouring them would mislead a script.
    if (voice && (options.timeout_ms > 0 || options.info_only)) {
        std::fputs("atquery: --timeout and --info do not go with --voice-setup or --dial\n", stderr);
        return parse_result::usage_error;
    }
    if (!voice && options.command_count == 0)
        return parse_result::usage_error;
    if (options.until != nullptr && options.timeout_ms == 0) {
        std::fputs("atquery: --until needs --timeout\n", stderr);
        return parse_result::usage_error;
    }
    options.mode = voice                    ? run_mode::voice
                   : options.timeout_ms > 0 ? run_mode::until_results
                                            : run_mode::until_quiet;
    return parse_result::run;
}
