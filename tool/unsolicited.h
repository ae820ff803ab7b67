// The unsolicited result codes -i leaves out: lines a modem sends unasked,
// between or inside the replies to commands, each with where it is
// documented. Lines starting "^NAME:" (Huawei's vendor codes: ^RSSI:,
// ^BOOT:, ^MODE:, ^SRVST:, ^HWNAT:, ... as ModemManager's Huawei plugin
// registers them) count as unsolicited as well. A line whose name a command
// on the command line carries (+CREG: for AT+CREG?) is that command's
// answer and stays.
#pragma once

#include <string_view>

// What the line after an unsolicited code is.
enum class next_line : char {
    own,     // a line of its own
    message, // the message text or PDU: it belongs to the code
    pdu,     // the PDU, when the code gives its length alone (PDU mode)
};

struct unsolicited_code {
    std::string_view text; // ending in ':': starts the line; otherwise the whole line
    next_line next = next_line::own;
};

inline constexpr unsolicited_code unsolicited_codes[] = {
    // ITU-T V.250, 5.7.1: result code 2, an incoming call.
    {"RING"},
    // 3GPP TS 27.007: +CRC (6.11), +CLIP (7.6), +CCWA (7.12), +CUSD (7.15),
    // +CAOC (7.16), +CSSN (7.17), +CLCC (7.18), +CMER (8.10), +CTZR (8.41),
    // +CREG (7.2), +CGEV (10.1.19), +CGREG (10.1.20), +CEREG (10.1.22),
    // +CSCON (10.1.30).
    {"+CRING:"}, {"+CLIP:"}, {"+CCWA:"}, {"+CUSD:"}, {"+CCCM:"}, {"+CSSI:"}, {"+CSSU:"}, {"+CLCC:"},
    {"+CIEV:"}, {"+CTZV:"}, {"+CTZE:"}, {"+CREG:"}, {"+CGEV:"}, {"+CGREG:"}, {"+CEREG:"},
    {"+C5GREG:"}, {"+CSCON:"},
    // 3GPP TS 27.005, 3.4.1 (+CNMI): new messages, cell broadcasts and
    // status reports. +CMT: and +CBM: carry the text (or PDU) on the next
    // line; +CDS: only in PDU mode, where it gives the PDU's length alone.
    {"+CMTI:"}, {"+CMT:", next_line::message}, {"+CBM:", next_line::message}, {"+CDSI:"},
    {"+CDS:", next_line::pdu},
    // Sent at start-up by SIMCom and Quectel modules: SIM800 Series AT
    // Command Manual V1.09, "Summary of Unsolicited Result Codes" (+CPIN:,
    // +CFUN:, RDY, Call Ready, SMS Ready, the power-down warnings, +CMTE:,
    // +CSQN:, MO RING, MO CONNECTED); Quectel EC2x/EG9x AT Commands Manual
    // V2.0 (RDY, +QUSIM:, +QIND: SMS DONE / PB DONE); Quectel BG95 and
    // EG25-G (APP RDY).
    {"+CPIN:"}, {"+CFUN:"}, {"RDY"}, {"APP RDY"}, {"+QUSIM:"}, {"+QIND:"}, {"Call Ready"},
    {"SMS Ready"}, {"NORMAL POWER DOWN"}, {"UNDER-VOLTAGE POWER DOWN"}, {"UNDER-VOLTAGE WARNNING"},
    {"OVER-VOLTAGE POWER DOWN"}, {"OVER-VOLTAGE WARNNING"}, {"+CMTE:"}, {"+CSQN:"}, {"MO RING"},
    {"MO CONNECTED"},
    // SIMCom SIM5320 and SIM7600 at start-up, as applications wait for them
    // (TinyGSM issue 189); no maker's manual found that lists them.
    {"SMS DONE"}, {"PB DONE"},
};
