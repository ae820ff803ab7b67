// A simulated modem on the master side of a pseudo-terminal pair: answers AT
// commands like a typical 3GPP modem, sends chosen lines unasked and can
// misbehave on purpose. Used by atquery-sim and by the tests.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace atsim {

// Ways to misbehave, and unasked lines to send; the defaults give a
// well-behaved modem that sends nothing unasked.
struct faults {
    bool silent = false;          // take commands, answer nothing, echo nothing
    bool zero_byte = false;       // put a NUL byte in the middle of every answer
    bool endless = false;         // answer with a stream that never ends
    int delay_ms = 0;             // wait this long before answering (echo is at once)
    int pieces = 1;               // send each answer in this many pieces ...
    int gap_ms = 0;               // ... this far apart
    long hangup_after_bytes = -1; // close the line once this many bytes arrived
    int hangup_after_answer_ms = -1; // close the line this long after an answer
    long hold_after_bytes = -1;   // once this many bytes arrived, stop the terminal's
                                  // output as CTS low would, until release()
    int urc_every_ms = 0;         // send an unsolicited line (RING, or the urc_lines in turn)
                                  // this often (0: never), also between the pieces of an
                                  // answer, though never inside a line
    int ussd_delay_ms = 500;      // how long the network takes to answer AT+CUSD=1,"<code>"
    bool ussd_fail = false;       // the network fails it: +CME ERROR: 258 instead of +CUSD
    // How the answer's text comes: plain (DCS 15), packed GSM 7-bit hex (DCS
    // 15, a Huawei in its default mode), UCS-2 hex (DCS 72), or UCS-2 hex
    // under DCS 15 (a modem set to AT+CSCS="UCS2", gammu issue 358).
    enum class ussd_form { plain, gsm7, ucs2, ucs2_dcs15 };
    ussd_form ussd_encoding = ussd_form::plain;
    int ussd_status = 0;          // the answer's <m>: 0 to 2 carry the text, 3 to 5 none
    // Unsolicited lines, each sent framed as "\r\n<line>\r\n", in turn: every
    // urc_every_ms if that is set, otherwise one right after each final result code.
    std::vector<std::string> urc_lines;
    // Unsolicited lines sent in turn, one just before the echo of each command.
    std::vector<std::string> urc_before_echo;
};

// A short message the modem took in text mode.
struct message {
    bool sent = false;   // by AT+CMGS; false: stored by AT+CMGW
    std::string number;
    std::string text;    // as it came; a line break is the CR that ended a line

    bool operator==(const message&) const = default;
};

class modem {
public:
    explicit modem(faults f = {});
    ~modem();
    modem(const modem&) = delete;
    modem& operator=(const modem&) = delete;

    // Opens the pseudo-terminal pair. Returns false (errno set) on failure.
    bool open();
    // Path of the terminal side the tool opens, e.g. /dev/pts/3.
    const std::string& path() const { return slave_path_; }
    // The modem's own descriptor of that terminal, to look at its settings.
    int terminal_fd() const { return slave_fd_; }

    // Answers `command` (the text before CR) with `answer` as sent, instead of
    // the built-in answer. Echo still applies.
    void script(const std::string& command, const std::string& answer);
    // Called with each command line as it completes, before the answer.
    void on_command(std::function<void(const std::string&)> hook) { hook_ = std::move(hook); }
    // Writes bytes to the line now, as if the modem had sent them unasked.
    void inject(const std::string& bytes);

    // Serves until stop() is called or the line is hung up.
    void serve();
    // serve() on a thread of its own; stop() ends it.
    void start();
    void stop();
    // Makes serve() return soon without waiting for it: one write to a pipe,
    // so a signal handler may call it once open() succeeded.
    void interrupt();
    // Lets the terminal's output go on after faults::hold_after_bytes stopped
    // it; serve() does it soon. One write to a pipe, as interrupt().
    void release();

    // Everything the modem received so far.
    std::string received() const;
    // The messages sent or stored so far (not those dropped with ESC).
    std::vector<message> messages() const;
    // Whether the modem hung up the line.
    bool hung_up() const;

private:
    void record_waiting_input();
    struct pending {
        std::string bytes;
        bool hangup_after;
        bool more_follows; // more pieces of the same answer follow
        bool unsolicited;
    };

    // What an answer ends in, which decides how ATV0 and unsolicited lines
    // treat it.
    enum class ending {
        result, // a final result code: framed as ATV says
        prompt, // the prompt for a message's text: as it is, nothing unasked after it
        script, // a scripted answer: as it is
    };

    struct reply {
        std::string text;
        int late_ms = 0; // beyond faults::delay_ms
        ending ends = ending::result;
        std::string network_answer = {}; // an unsolicited line that faults::ussd_delay_ms
                                         // after the answer brings, unless cancelled
    };

    void take(char byte, long long now_us);
    void take_text(char byte, long long now_us);
    void answer(const std::string& line, long long now_us);
    void respond(reply r, long long now_us);
    reply builtin_answer(const std::string& line);
    std::string equipment_error(int code, std::string_view text) const;
    std::string message_listing(std::string_view status) const;
    std::string as_unsolicited(const std::string& line) const;
    std::string next_unsolicited(const std::vector<std::string>& lines, size_t& turn);
    void queue(long long due_us, std::string bytes, bool hangup_after = false,
               bool more_follows = false);
    bool flush_due(long long now_us);
    void hang_up();
    void wake(char request);

    faults faults_;
    int master_fd_ = -1;
    int slave_fd_ = -1;     // held so the master never sees a hang-up between runs
    int wake_pipe_[2] = {-1, -1};
    std::string slave_path_;
    std::map<std::string, std::string> scripts_;
    std::function<void(const std::string&)> hook_;
    std::string line_;
    bool echo_ = true;
    bool verbose_ = true;   // ATV1: verbose result codes; ATV0: numeric ones
    int cmee_ = 0;          // AT+CMEE: how errors are reported
    int cmgf_ = 0;          // AT+CMGF: 0 PDU mode, 1 text mode
    bool entering_ = false; // taking a message's text
    message entry_;         // the message being entered
    int sent_ = 0;          // messages sent, for their references
    int stored_ = 0;        // messages stored, for their indexes
    bool last_was_cr_ = false;
    std::multimap<long long, pending> out_;
    long long endless_from_us_ = -1;
    long long answered_by_us_ = 0; // when the last answer's last piece is due
    long long next_urc_us_ = -1;
    size_t urc_turn_ = 0;          // the next of faults::urc_lines
    size_t before_echo_turn_ = 0;  // the next of faults::urc_before_echo
    long long ussd_due_us_ = -1;   // when the network answers the USSD request (-1: none waits)
    std::string ussd_answer_;
    std::string held_;      // unsolicited lines waiting for a line end
    bool mid_line_ = false; // an answer stands split inside a line
    bool blocked_ = false;  // the terminal took not all that was due
    bool held_output_ = false; // faults::hold_after_bytes has stopped the terminal
    mutable std::mutex mutex_;
    std::string received_;
    std::vector<message> messages_;
    bool hung_up_ = false;
    std::thread thread_;
};

} // namespace atsim
