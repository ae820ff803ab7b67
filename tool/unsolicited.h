// The unsolicited result codes -i leaves out: lines a modem sends unasked,
// between or inside the replies to commands, each with where it is
// documented. Lines starting "^NAME:" (Huawei's vendor codes: ^RSSI:,
// ^BOOT:, ^MODE:, ^SRVST:, ^HWNAT:, ... as ModemManager's Huawei plugin
// registers them) count as unsolicited as well. A line whose name a command
// on the command line carries (+CREG: for AT+CREG?) is that command's
// answer and stays.
#pragma once

// Whether the next line belongs to the unsolicited code too.
enum class data_line : unsigned char {
    none,
    always,       // the message text or PDU
    after_length, // only when the code gives a length alone (PDU mode)
};

struct unsolicited_code {
    const char* text;
    bool prefix; // the line starts with text; otherwise it is text alone
    data_line data;
};

inline constexpr unsolicited_code unsolicited_codes[] = {
    // ITU-T V.250, 5.7.1: result code 2, an incoming call.
    {"RING", false, data_line::none},
    // 3GPP TS 27.007: +CRC (6.11), +CLIP (7.6), +CCWA (7.12), +CUSD (7.15),
    // +CAOC (7.16), +CSSN (7.17), +CLCC (7.18), +CMER (8.10), +CTZR (8.41),
    // +CREG (7.2), +CGEV (10.1.19), +CGREG (10.1.20), +CEREG (10.1.22),
    // +CSCON (10.1.30).
    {"+CRING:", true, data_line::none},
    {"+CLIP:", true, data_line::none},
    {"+CCWA:", true, data_line::none},
    {"+CUSD:", true, data_line::none},
    {"+CCCM:", true, data_line::none},
    {"+CSSI:", true, data_line::none},
    {"+CSSU:", true, data_line::none},
    {"+CLCC:", true, data_line::none},
    {"+CIEV:", true, data_line::none},
    {"+CTZV:", true, data_line::none},
    {"+CTZE:", true, data_line::none},
    {"+CREG:", true, data_line::none},
    {"+CGEV:", true, data_line::none},
    {"+CGREG:", true, data_line::none},
    {"+CEREG:", true, data_line::none},
    {"+C5GREG:", true, data_line::none},
    {"+CSCON:", true, data_line::none},
    // 3GPP TS 27.005, 3.4.1 (+CNMI): new messages, cell broadcasts and
    // status reports. +CMT: and +CBM: carry the text (or PDU) on the next
    // line; +CDS: only in PDU mode, where it gives the PDU's length alone.
    {"+CMTI:", true, data_line::none},
    {"+CMT:", true, data_line::always},
    {"+CBM:", true, data_line::always},
    {"+CDSI:", true, data_line::none},
    {"+CDS:", true, data_line::after_length},
    // Sent at start-up by SIMCom and Quectel modules: SIM800 Series AT
    // Command Manual V1.09, "Summary of Unsolicited Result Codes" (+CPIN:,
    // +CFUN:, RDY, Call Ready, SMS Ready, the power-down warnings, +CMTE:,
    // +CSQN:, MO RING, MO CONNECTED); Quectel EC2x/EG9x AT Commands Manual
    // V2.0 (RDY, +QUSIM:, +QIND: SMS DONE / PB DONE); Quectel BG95 and
    // EG25-G (APP RDY).
    {"+CPIN:", true, data_line::none},
    {"+CFUN:", true, data_line::none},
    {"RDY", false, data_line::none},
    {"APP RDY", false, data_line::none},
    {"+QUSIM:", true, data_line::none},
    {"+QIND:", true, data_line::none},
    {"Call Ready", false, data_line::none},
    {"SMS Ready", false, data_line::none},
    {"NORMAL POWER DOWN", false, data_line::none},
    {"UNDER-VOLTAGE POWER DOWN", false, data_line::none},
    {"UNDER-VOLTAGE WARNNING", false, data_line::none},
    {"OVER-VOLTAGE POWER DOWN", false, data_line::none},
    {"OVER-VOLTAGE WARNNING", false, data_line::none},
    {"+CMTE:", true, data_line::none},
    {"+CSQN:", true, data_line::none},
    {"MO RING", false, data_line::none},
    {"MO CONNECTED", false, data_line::none},
    // SIMCom SIM5320 and SIM7600 at start-up, as applications wait for them
    // (TinyGSM issue 189); no maker's manual found that lists them.
    {"SMS DONE", false, data_line::none},
    {"PB DONE", false, data_line::none},
};
