// The unsolicited result codes -i leaves out: lines a modem sends unasked,
// between or inside the replies to commands, each with where it is
// documented. Lines starting "^NAME:" (Huawei's vendor codes: ^RSSI:,
// ^BOOT:, ^MODE:, ^SRVST:, ^HWNAT:, ... as ModemManager's Huawei plugin
// registers them) count as unsolicited as well. A line whose name a command
// on the command line carries (+CREG: for AT+CREG?) is that command's
// answer and stays.
#pragma once

// One code after another, each ended by a zero byte, the list by an empty
// one. A code ending in ':' starts the line; any other is the whole line.
// \x01 before a code: the next line (the message text or PDU) belongs to it
// too; \x02: so it does when the code gives a length alone (PDU mode).
inline constexpr char unsolicited_codes[] =
    // ITU-T V.250, 5.7.1: result code 2, an incoming call.
    "RING\0"
    // 3GPP TS 27.007: +CRC (6.11), +CLIP (7.6), +CCWA (7.12), +CUSD (7.15),
    // +CAOC (7.16), +CSSN (7.17), +CLCC (7.18), +CMER (8.10), +CTZR (8.41),
    // +CREG (7.2), +CGEV (10.1.19), +CGREG (10.1.20), +CEREG (10.1.22),
    // +CSCON (10.1.30).
    "+CRING:\0" "+CLIP:\0" "+CCWA:\0" "+CUSD:\0" "+CCCM:\0" "+CSSI:\0" "+CSSU:\0" "+CLCC:\0"
    "+CIEV:\0" "+CTZV:\0" "+CTZE:\0" "+CREG:\0" "+CGEV:\0" "+CGREG:\0" "+CEREG:\0" "+C5GREG:\0"
    "+CSCON:\0"
    // 3GPP TS 27.005, 3.4.1 (+CNMI): new messages, cell broadcasts and
    // status reports. +CMT: and +CBM: carry the text (or PDU) on the next
    // line; +CDS: only in PDU mode, where it gives the PDU's length alone.
    "+CMTI:\0" "\x01+CMT:\0" "\x01+CBM:\0" "+CDSI:\0" "\x02+CDS:\0"
    // Sent at start-up by SIMCom and Quectel modules: SIM800 Series AT
    // Command Manual V1.09, "Summary of Unsolicited Result Codes" (+CPIN:,
    // +CFUN:, RDY, Call Ready, SMS Ready, the power-down warnings, +CMTE:,
    // +CSQN:, MO RING, MO CONNECTED); Quectel EC2x/EG9x AT Commands Manual
    // V2.0 (RDY, +QUSIM:, +QIND: SMS DONE / PB DONE); Quectel BG95 and
    // EG25-G (APP RDY).
    "+CPIN:\0" "+CFUN:\0" "RDY\0" "APP RDY\0" "+QUSIM:\0" "+QIND:\0" "Call Ready\0" "SMS Ready\0"
    "NORMAL POWER DOWN\0" "UNDER-VOLTAGE POWER DOWN\0" "UNDER-VOLTAGE WARNNING\0"
    "OVER-VOLTAGE POWER DOWN\0" "OVER-VOLTAGE WARNNING\0" "+CMTE:\0" "+CSQN:\0" "MO RING\0"
    "MO CONNECTED\0"
    // SIMCom SIM5320 and SIM7600 at start-up, as applications wait for them
    // (TinyGSM issue 189); no maker's manual found that lists them.
    "SMS DONE\0" "PB DONE\0";
