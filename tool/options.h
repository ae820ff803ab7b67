// The command line: [OPTIONS] DEVICE COMMAND... (or --find [DEVICE...]) read
// into one record.
#pragma once

// What a run does once the line is set up.
enum class run_mode {
    until_quiet,   // each reply read until the line falls quiet
    until_results, // -t: each reply read until its final result code
    voice,         // --voice-setup, --dial
};

struct run_options {
    run_mode mode = run_mode::until_quiet;
    const char* device = nullptr;
    char* const* commands = nullptr; // the arguments after DEVICE
    int command_count = 0;
    int baud = 115200;               // -b: one of the rates the line settings know
    int timeout_ms = 0;              // -t: wait this long for a final result code; 0: quiet rule
    bool info_only = false;          // -i: information lines only
    const char* until = nullptr;     // -u: the last reply also needs a line starting so
    int wait_ms = 10000;             // -w: how long to wait for the port's lock
    bool lock = true;                // --no-lock: do not lock the port
    const char* dial_number = nullptr; // --dial NUMBER
    bool voice_setup = false;        // --voice-setup
    bool find = false;               // --find: which ports take AT commands
    char* const* devices = nullptr;  // --find: the DEVICEs given, if any
    int device_count = 0;
};

enum class parse_result { run, help, version, usage_error };

// The usage text, for standard output (help) or standard error (usage errors).
extern const char usage_text[];

// Reads argv into options. On usage_error a line saying what was wrong may
// have been printed on standard error; the caller adds the usage text.
parse_result parse_options(int argc, char* argv[], run_options& options);
