// One simulated modem for one test: configured, opened and serving on
// construction, stopped on destruction (its terminal closes with it).
#pragma once

#include "sim/modem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct sim_setup {
    atsim::faults faults;
    // Answers that replace the built-in ones: {command, answer as sent}.
    std::vector<std::pair<std::string, std::string>> scripts;
    // Called on the modem's thread with each command line, before the answer.
    std::function<void(const std::string&)> on_command;
};

class sim_line {
public:
    explicit sim_line(sim_setup setup = {}) : modem_(setup.faults)
    {
        for (auto& [command, answer] : setup.scripts)
            modem_.script(command, answer);
        if (setup.on_command)
            modem_.on_command(std::move(setup.on_command));
        if (!modem_.open()) {
            ADD_FAILURE() << "no simulated modem: " << std::strerror(errno);
            return;
        }
        modem_.start();
    }
    ~sim_line() { modem_.stop(); }
    sim_line(const sim_line&) = delete;
    sim_line& operator=(const sim_line&) = delete;

    // Stops serving now, so that received() is final; the terminal stays open.
    void stop() { modem_.stop(); }

    const std::string& path() const { return modem_.path(); }
    atsim::modem& modem() { return modem_; }
    atsim::modem* operator->() { return &modem_; }

private:
    atsim::modem modem_;
};
