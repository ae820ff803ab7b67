// --find on pseudo-terminals, and usb: names against a tree laid out as
// sysfs lays out USB serial ports.
#include "free_terminal.h"
#include "sim_fixture.h"
#include "tool_runner.h"
#include "tool/find.h"
#include "tool/usb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The simulated modem holds its own terminal open, which --find rightly
// reports as busy; a free terminal relayed to it is a modem nobody holds.
class relayed_modem {
public:
    relayed_modem() : relay_([this] { serve(); }) {}
    ~relayed_modem()
    {
        stop_ = true;
        relay_.join();
    }
    const std::string& path() const { return front_.path; }
    atsim::modem& modem() { return line_.modem(); }

private:
    void serve()
    {
        const int modem_fd = line_->terminal_fd();
        char bytes[256];
        while (!stop_) {
            pollfd fds[2] = {{front_.master, POLLIN, 0}, {modem_fd, POLLIN, 0}};
            if (poll(fds, 2, 10) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                ssize_t n = read(front_.master, bytes, sizeof bytes);
                if (n > 0 && write(modem_fd, bytes, static_cast<size_t>(n)) != n)
                    return;
            } else if (fds[0].revents & POLLHUP) {
                // The run closed its side; poll would report it at once again.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (fds[1].revents & POLLIN) {
                ssize_t n = read(modem_fd, bytes, sizeof bytes);
                if (n > 0 && write(front_.master, bytes, static_cast<size_t>(n)) != n)
                    return;
            }
        }
    }

    sim_line line_;
    free_terminal front_;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

// Another process that has path open, with the port's lock or without.
class holder {
public:
    holder(const std::string& path, bool lock)
    {
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0 || (lock && flock(fd, LOCK_EX | LOCK_NB) != 0))
                _exit(1);
            [[maybe_unused]] ssize_t n = write(ready[1], "", 1);
            for (;;)
                pause();
        }
        close(ready[1]);
        char byte;
        EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the holder could not take " << path;
        close(ready[0]);
    }
    ~holder()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // How --find names it.
    std::string named() const
    {
        std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
        std::string name;
        std::getline(comm, name);
        return name + " (process " + std::to_string(pid_) + ")";
    }

private:
    pid_t pid_ = -1;
};

int pts_number(const std::string& path)
{
    return std::stoi(path.substr(path.rfind('/') + 1));
}

TEST(Find, ProbesEveryPortAtOnceAndTellsWhatEachIs)
{
    relayed_modem modem;
    free_terminal silent1, silent2, locked_port, open_port;
    termios before{};
    ASSERT_EQ(tcgetattr(silent1.master, &before), 0);
    holder locker(locked_port.path, true), opener(open_port.path, false);

    tool_result r = run_tool({.args = {"--find", open_port.path, silent2.path, modem.path(),
                                       locked_port.path, silent1.path}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The port that answered first, the others by their number.
    std::vector<std::pair<std::string, std::string>> others = {
        {silent1.path, "silent - - - - -"},
        {silent2.path, "silent - - - - -"},
        {locked_port.path, "busy - - - - " + locker.named()},
        {open_port.path, "busy - - - - " + opener.named()},
    };
    std::sort(others.begin(), others.end(),
              [](auto& a, auto& b) { return pts_number(a.first) < pts_number(b.first); });
    std::string expected = modem.path() + " at - - - - -\n";
    for (auto& [path, rest] : others)
        expected += path + " " + rest + "\n";
    EXPECT_EQ(r.out, expected);

    // One probe limit for all, not one after the other.
    EXPECT_GE(r.wall_ms, 1000);
    EXPECT_LT(r.wall_ms, 1600);
    std::printf("--find on five ports, two silent: %.0f ms\n", r.wall_ms);

    // AT CR LF once where a port was free; nothing where it was held.
    EXPECT_EQ(modem.modem().received(), "AT\r\n");
    EXPECT_EQ(silent1.received(), "AT\r\n");
    EXPECT_EQ(silent2.received(), "AT\r\n");
    EXPECT_EQ(locked_port.received(), "");
    EXPECT_EQ(open_port.received(), "");
    termios after{};
    ASSERT_EQ(tcgetattr(silent1.master, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(Find, StatusAndInfoOutputFollowWhatWasFound)
{
    relayed_modem modem;
    free_terminal silent, open_port;
    holder opener(open_port.path, false);
    std::vector<std::string> too_many(find_limit + 1, silent.path);
    too_many.insert(too_many.begin(), "--find");
    char file[] = "/tmp/atquery-find-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);

    struct {
        std::vector<std::string> args;
        int status;
        std::string out; // "" for a usage error's
        std::string err_start;
    } cases[] = {
        {{"-i", "--find", silent.path, modem.path()}, 0, modem.path() + "\n", ""},
        {{"-t", "0.2", "-i", "--find", silent.path}, 3, "", ""},
        {{"-t", "0.2", "--find", open_port.path, silent.path}, 4,
         silent.path + " silent - - - - -\n" + open_port.path + " busy - - - - " + opener.named() + "\n", ""},
        // Never written: a file is no port, whatever it is named.
        {{"--find", file}, 3, std::string(file) + " error - - - - not a character device\n", ""},
        {{"--find", "usb:ffff:ffff:ff"}, 3, "usb:ffff:ffff:ff error - - - - no such port\n", ""},
        {{"--find", "-w", "1", silent.path}, 2, "", "atquery: --find goes only with -t, -i and -b\n"},
        {{"--find", "usb:12345:1:1"}, 2, "",
         "atquery: bad USB port name 'usb:12345:1:1' (usb:VID:PID:IFACE, in hex)\n"},
        {too_many, 2, "",
         "atquery: --find takes at most 32 DEVICEs\n"},
    };
    for (auto& c : cases) {
        tool_result r = run_tool({.args = c.args});
        std::string given = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << given << r.err;
        if (c.status == 2) {
            EXPECT_EQ(r.err.rfind(c.err_start + "usage: atquery", 0), 0u) << given << r.err;
        } else {
            EXPECT_EQ(r.out, c.out) << given;
        }
    }
    struct stat after;
    EXPECT_EQ(stat(file, &after), 0);
    EXPECT_EQ(after.st_size, 0);
    unlink(file);
}

// A tree shaped as sysfs shapes USB serial ports, built in a temporary
// folder: relative symbolic links as the kernel makes them.
class SysfsTree : public ::testing::Test {
protected:
    SysfsTree()
    {
        // On tmpfs: ext4 gives a 64-bit process (qemu-mips running a 32-bit
        // one) directory offsets a 32-bit readdir cannot return.
        char name[] = "/dev/shm/atquery-sysfs-XXXXXX";
        root_ = mkdtemp(name);
        fs::create_directories(root_ / "class/tty");
        fs::create_directories(root_ / "dev/char");
    }
    ~SysfsTree() override { fs::remove_all(root_); }

    void write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    void link(const fs::path& at, const fs::path& target)
    {
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
    // USB device `device` (bus path "1-1") with vendor and product ids.
    fs::path usb_device(const std::string& device, const std::string& vendor,
                        const std::string& product)
    {
        fs::path dir = root_ / "devices/pci0000:00/0000:00:14.0/usb1" / device;
        write(dir / "idVendor", vendor);
        write(dir / "idProduct", product);
        return dir;
    }
    // Its interface `number` with a terminal: usb-serial puts a port device
    // between the two (ttyUSB), cdc-acm does not (ttyACM).
    fs::path port(const fs::path& device, int number, const std::string& driver, const std::string& tty)
    {
        fs::path dir = device / (device.filename().string() + ":1." + std::to_string(number));
        char text[16];
        std::snprintf(text, sizeof text, "%02x", number);
        write(dir / "bInterfaceNumber", text);
        fs::create_directories(root_ / "bus/usb/drivers" / driver);
        link(dir / "driver", root_ / "bus/usb/drivers" / driver);
        fs::path parent = driver == "cdc_acm" ? dir : dir / tty;
        fs::path class_dir = parent / "tty" / tty;
        fs::create_directories(class_dir);
        link(class_dir / "device", parent);
        link(root_ / "class/tty" / tty, class_dir);
        return class_dir;
    }

    fs::path root_;
};

TEST_F(SysfsTree, UsbNamesFindTheTerminalNowOnTheirInterface)
{
    fs::path quectel = usb_device("1-1", "2c7c", "0125");
    for (int i = 0; i < 4; ++i)
        port(quectel, i, "option", "ttyUSB" + std::to_string(i));
    port(usb_device("1-2", "2cb7", "01a0"), 2, "cdc_acm", "ttyACM0");
    // Two identical modems.
    port(usb_device("1-3", "1199", "9091"), 3, "qcserial", "ttyUSB10");
    port(usb_device("1-4", "1199", "9091"), 3, "qcserial", "ttyUSB4");
    // A platform UART and a virtual terminal: no USB interface above them.
    fs::path uart = root_ / "devices/platform/serial8250/tty/ttyS0";
    fs::create_directories(uart);
    link(uart / "device", root_ / "devices/platform/serial8250");
    link(root_ / "class/tty/ttyS0", uart);
    fs::create_directories(root_ / "devices/virtual/tty/tty0");
    link(root_ / "class/tty/tty0", root_ / "devices/virtual/tty/tty0");

    struct {
        const char* name;
        std::vector<std::string> found;
    } cases[] = {
        {"usb:2c7c:0125:02", {"ttyUSB2"}},
        {"usb:2C7C:125:2", {"ttyUSB2"}},
        {"usb:2cb7:01a0:02", {"ttyACM0"}},
        {"usb:2c7c:0125:05", {}},
        {"usb:1199:9091:03", {"ttyUSB4", "ttyUSB10"}},
    };
    for (auto& c : cases) {
        usb_interface id;
        ASSERT_TRUE(parse_usb_name(c.name, id)) << c.name;
        tty_name names[4];
        int count = find_usb_ports(root_.c_str(), id, names);
        std::vector<std::string> found;
        for (int i = 0; i < count && i < 4; ++i)
            found.push_back(names[i].text);
        EXPECT_EQ(found, c.found) << c.name;
    }

    usb_port port;
    ASSERT_TRUE(read_usb_port(root_.c_str(), "class/tty/ttyACM0", port));
    EXPECT_EQ(port.interface.vendor, 0x2cb7u);
    EXPECT_EQ(port.interface.product, 0x01a0u);
    EXPECT_EQ(port.interface.number, 2u);
    EXPECT_STREQ(port.driver, "cdc_acm");
    EXPECT_FALSE(read_usb_port(root_.c_str(), "class/tty/ttyS0", port));
    EXPECT_FALSE(read_usb_port(root_.c_str(), "class/tty/tty0", port));

    char path[48];
    const char* device = "usb:2c7c:0125:03";
    EXPECT_EQ(resolve_usb_device(root_.c_str(), device, path), usb_resolution::resolved);
    EXPECT_STREQ(device, "/dev/ttyUSB3");
    device = "usb:1199:9091:03";
    EXPECT_EQ(resolve_usb_device(root_.c_str(), device, path), usb_resolution::several);
    device = "usb:1199:9091:04";
    EXPECT_EQ(resolve_usb_device(root_.c_str(), device, path), usb_resolution::none);
    EXPECT_STREQ(device, "usb:1199:9091:04");

    for (const char* bad : {"usb:", "usb:2c7c:0125", "usb:2c7c:0125:02:", "usb:2c7c:0125:100",
                            "usb:12345:0125:02", "usb:2c7g:0125:02", "usb::0125:02"}) {
        usb_interface id;
        EXPECT_FALSE(parse_usb_name(bad, id)) << bad;
    }
}

TEST_F(SysfsTree, FindSkipsAnInterfaceTheTableMarksAndNeverWritesToIt)
{
    // The terminal's device number leads to Quectel's diagnostics interface.
    free_terminal diag;
    struct stat node;
    ASSERT_EQ(stat(diag.path.c_str(), &node), 0);
    fs::path tty = port(usb_device("1-1", "2c7c", "0125"), 0, "option", "ttyUSB0");
    link(root_ / "dev/char" / (std::to_string(major(node.st_rdev)) + ":" + std::to_string(minor(node.st_rdev))),
         tty);

    run_options options;
    char* devices[] = {diag.path.data()};
    options.find = true;
    options.devices = devices;
    options.device_count = 1;
    ::testing::internal::CaptureStdout();
    int status = find_ports(options, root_.c_str());
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 3);
    EXPECT_EQ(out, diag.path + " skipped 2c7c:0125 00 option usb:2c7c:0125:00 diagnostics\n");
    EXPECT_EQ(diag.received(), "");
}

TEST(UsbNames, ARunWithANameNoPortHasFailsBeforeAnyOpen)
{
    tool_result r = run_tool({.args = {"usb:ffff:ffff:ff", "AT"}});
    EXPECT_EQ(r.err, "atquery: usb:ffff:ffff:ff: no such port\n");
    EXPECT_EQ(r.status, 255);
    r = run_tool({.args = {"usb:ffff", "AT"}});
    EXPECT_EQ(r.err.rfind("atquery: bad USB port name 'usb:ffff' (usb:VID:PID:IFACE, in hex)\n", 0), 0u);
    EXPECT_EQ(r.status, 2);
}

} // namespace
