#include "syscall_trace.h"

#include <cstdlib>
#include <fstream>
#include <regex>
#include <unistd.h>
#include <utility>

namespace {

// "1234 name(args) = result", the shape strace -f prints a finished call in.
const std::regex call_line(R"(^(\d+)\s+(\w+)\((.*)\)\s+=\s+(-?\d+).*$)");

// The terminal requests as strace names them, and the calls they are.
constexpr std::pair<const char*, const char*> ioctl_calls[] = {
    {"TCGETS", "tcgetattr"},          {"TCSETS", "tcsetattr"},
    {"TCFLSH, TCIFLUSH", "flush input"}, {"TCFLSH, TCIOFLUSH", "flush both"},
    {"TCSBRK, 1", "drain"},           {"TIOCOUTQ", "output queue"},
};

std::string classify(const std::string& name, const std::string& args, const std::string& result,
                     const std::string& fd)
{
    const std::string on_fd = fd + ", ";
    if (name == "ioctl" && args.rfind(on_fd, 0) == 0) {
        for (const auto& [request, call] : ioctl_calls)
            if (args.find(request) != std::string::npos)
                return call;
        return "ioctl " + args;
    }
    if (name == "flock" && args.rfind(on_fd, 0) == 0)
        return args.substr(on_fd.size()) == "LOCK_EX|LOCK_NB" ? "lock" : "flock " + args;
    if (name == "write" && args.rfind(on_fd, 0) == 0) {
        std::string rest = args.substr(on_fd.size());
        return "write " + rest.substr(0, rest.rfind(", "));
    }
    // glibc and uClibc-ng print with write, musl with writev. Before its
    // first print to a buffered standard output musl also asks
    // ioctl(1, TIOCGWINSZ), to learn whether that is a terminal: a call of
    // the library's that prints nothing, left out with every other call that
    // is not on the device.
    if ((name == "write" || name == "writev") && args.rfind("1, ", 0) == 0)
        return "stdout";
    if (name == "read" && args.rfind(on_fd, 0) == 0)
        return "read " + args.substr(args.rfind(", ") + 2) + " = " + result;
    if (name == "close" && args == fd)
        return "close";
    if ((name == "fcntl" || name == "fcntl64") && args.rfind(on_fd + "F_SETFL, ", 0) == 0)
        return args.find("O_NONBLOCK") == std::string::npos ? "blocking" : "fcntl " + args;
    // qemu-user waits in ppoll whatever the program called.
    if ((name == "poll" || name == "ppoll") && args.rfind("[{fd=" + fd + ",", 0) == 0)
        return "poll";
    if (name.find("nanosleep") != std::string::npos) {
        std::smatch m;
        static const std::regex nsec(R"(tv_sec=(\d+), tv_nsec=(\d+))");
        if (std::regex_search(args, m, nsec))
            return "sleep " + std::to_string(std::stoll(m[1]) * 1000000000LL + std::stoll(m[2]));
    }
    return "";
}

} // namespace

traced_run trace_on_device(tool_run run, const std::string& device)
{
    char path[] = "/tmp/atquery-trace-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    // LeakSanitizer cannot work in a traced process: a build with sanitizers
    // leaves the leak check to the runs that are not traced.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asan_options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    asan_options += "detect_leaks=0";
    run.prefix = {"strace", "-E", "ASAN_OPTIONS=" + asan_options, "-f", "-qq", "-s", "64",
                  "-o", path, "-e",
                  "trace=openat,open,flock,read,write,writev,ioctl,close,nanosleep,clock_nanosleep,"
                  "clock_nanosleep_time64,fcntl,fcntl64,poll,ppoll"};
    traced_run traced{run_tool(run), {}};

    std::ifstream trace(path);
    std::string line, pid, port;
    const std::string quoted = "\"" + device + "\"";
    while (std::getline(trace, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, call_line))
            continue;
        const std::string name = m[2], args = m[3], result = m[4];
        if ((name == "openat" || name == "open") && args.find(quoted) != std::string::npos &&
            std::stoi(result) >= 0) {
            pid = m[1];
            port = result;
            traced.calls = {"open " + args.substr(args.rfind(", ") + 2)};
            continue;
        }
        if (port.empty() || m[1] != pid)
            continue;
        std::string call = classify(name, args, result, port);
        if (!call.empty())
            traced.calls.push_back(call);
    }
    unlink(path);

    // Some C libraries read the settings back around applying them; those
    // reads are the library's, not the caller's. How many writes one print
    // takes is the library's affair too: musl's first print on an output
    // that is no terminal goes out as two (what it took for line-buffered,
    // then the rest once it knows), so writes in a row are one "stdout".
    std::vector<std::string> calls;
    for (size_t i = 0; i < traced.calls.size(); ++i) {
        const std::string& call = traced.calls[i];
        bool beside_set = (i > 0 && traced.calls[i - 1] == "tcsetattr") ||
                          (i + 1 < traced.calls.size() && traced.calls[i + 1] == "tcsetattr");
        bool more_output = call == "stdout" && !calls.empty() && calls.back() == "stdout";
        if (!(call == "tcgetattr" && beside_set) && !more_output)
            calls.push_back(call);
    }
    traced.calls = calls;
    return traced;
}
