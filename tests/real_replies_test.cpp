// Replies modelled on captures from real modems (each case names its
// source), end to end through the tool and the simulated modem: USSD answers
// after OK, unsolicited lines before the echo, numeric result codes, and a
// listed message whose text ends in a line OK.
#include "sim_run.h"

#include <gtest/gtest.h>

namespace {

TEST(RealReplies, UssdUnsolicitedLinesAndNumericCodesEndToEnd)
{
    const struct {
        const char* what;
        atsim::faults faults;
        args options;
        args commands;
        std::string out;
        int status;
    } cases[] = {
        // The balance comes 0.3 s after OK, as Huawei E620 and E150 sticks
        // send it (gammu issue 294); ^RSSI: and +CREG: come unasked around it.
        {"USSD answer after OK",
         {.ussd_delay_ms = 300, .urc_lines = {"^RSSI:21", "+CREG: 1"}},
         {"-t", "5", "-i", "-u", "+CUSD:"},
         {"AT+CUSD=1,\"*100#\",15"},
         "+CUSD: 0,\"Balance for *100#: 12.34 EUR, valid until 31.12.2030\",15\n",
         0},
        // The network refuses after OK (gammu issues 326 and 689).
        {"USSD refused after OK", {.ussd_delay_ms = 300, .ussd_fail = true},
         {"-t", "5", "-i", "-u", "+CUSD:"}, {"AT+CMEE=1", "AT+CUSD=1,\"*100#\",15"}, "", 1},
        // A Huawei E1752 sends ^SRVST: before the echo (gammu issue 126).
        {"unsolicited line before the echo, without -t",
         {.urc_before_echo = {"^SRVST:0"}}, {"-i"}, {"AT+CPIN?"}, "+CPIN: READY\n", 0},
        // ATV0: numeric codes end each reply; the error stops the run.
        {"numeric result codes", {}, {"-t", "5", "-i"}, {"ATV0", "AT+CSQ", "AT+NOPE", "AT"},
         "+CSQ: 23,99\n", 1},
    };
    for (const auto& c : cases) {
        sim_line line({.faults = c.faults});
        long long start = now_ms();
        tool_result r = run_on(line, c.options, c.commands);
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.err;
        // Each ends at its end, not at the limit.
        EXPECT_LT(now_ms() - start, 3000) << c.what;
    }
}

TEST(RealReplies, ListedMessageEndingInOkIsReadWholeAndShownAsText)
{
    // The simulated modem lists a Siemens MC35i telemetry message whose text
    // ends in a line OK, followed at once by its own OK (pygsm issue 3).
    sim_line line;
    tool_result r = run_on(line, {"-t", "5", "-i"}, {"AT+CMGF=1", "AT+CMGL=\"ALL\""});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Ax=+01234\nOK\n"), std::string::npos) << r.out;
}

} // namespace
