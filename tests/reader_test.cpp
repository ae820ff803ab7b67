// The reply reader on byte strings: replies captured from real modems, fed
// in pieces with the quiet where it fell, and what -i, --until and the end
// make of them. No terminal and no clock.
#include "tool/printer.h"
#include "tool/reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct fed {
    std::string out;
    reply_end end;
    bool over;
    size_t taken; // bytes the reply took, up to its end
};

// What a printer printed, through a stream in memory.
struct collected {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~collected()
    {
        std::fclose(file);
        std::free(data);
    }
    std::string text()
    {
        std::fflush(file);
        return std::string(data, size);
    }
};

// Feeds the pieces in turn; an empty piece is 0.1 s of quiet. Stops where the
// reply ends, then finishes it.
fed feed(const char* command, const std::vector<std::string>& pieces, bool info_only,
         const char* until = nullptr, std::vector<const char*> owners = {})
{
    fed result{};
    if (owners.empty())
        owners.push_back(command);
    reader_setup setup;
    setup.command = command;
    setup.until = until;
    setup.owners = const_cast<char* const*>(owners.data());
    setup.owner_count = static_cast<int>(owners.size());
    collected out;
    raw_printer raw(out.file);
    info_printer info(out.file);
    reply_reader reader(setup, info_only ? static_cast<reply_printer&>(info) : raw);
    for (const std::string& piece : pieces) {
        if (reader.over())
            break;
        if (piece.empty())
            reader.quiet();
        else
            result.taken += static_cast<size_t>(reader.feed(piece.data(), static_cast<int>(piece.size())));
    }
    result.over = reader.over();
    reader.finish();
    result.end = reader.end();
    result.out = out.text();
    return result;
}

struct capture {
    const char* what;
    const char* command;
    std::vector<std::string> pieces;
    const char* until;
    std::string info; // what -i prints
    reply_end end;
};

TEST(Reader, RepliesCapturedFromRealModems)
{
    const capture captures[] = {
        // Huawei E1752: ^SRVST: before the echo (gammu issue 126, gammu-smsd
        // debug log; the leading CR LF that gammu drops restored).
        {"unsolicited line before the echo", "AT+CPIN?",
         {"\r\n^SRVST:0\r\nAT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"}, nullptr, "+CPIN: READY\n",
         reply_end::ok},
        // Huawei 12d1:1506: ^HWNAT: before the echo (gammu issue 708).
        {"vendor line before the echo", "AT+CPMS=\"SM\",\"SM\"",
         {"\r\n^HWNAT:06\r\nAT+CPMS=\"SM\",\"SM\"\r\r\n+CPMS: 0,15,0,15,0,15\r\n\r\nOK\r\n"}, nullptr,
         "+CPMS: 0,15,0,15,0,15\n", reply_end::ok},
        // Sony Ericsson Z710i: +CUSD: before OK, a bare LF inside its text
        // (gammu issue 150, frame of 134 bytes).
        {"USSD answer before OK", "AT+CUSD=1,\"#102#\",15",
         {"AT+CUSD=1,\"#102#\",15\r\r\n+CUSD: 0,\" Vash balans 968.98 r.\nDlya vas - nedelya besplatnogo "
          "SMS-obsh'eniya s drugom! Podkl.: *320#\"\r\n\r\nOK\r\n"},
         "+CUSD:",
         "+CUSD: 0,\" Vash balans 968.98 r.\nDlya vas - nedelya besplatnogo SMS-obsh'eniya s drugom! "
         "Podkl.: *320#\"\n",
         reply_end::ok},
        // Huawei E150: OK at once, then ^RSSI: and the balance later (gammu
        // issue 294, framing restored from a terminal paste).
        {"USSD answer after OK", "AT+CUSD=1,\"AA184C3602\", 15",
         {"AT+CUSD=1,\"AA184C3602\", 15\r\r\nOK\r\n", "", "\r\n^RSSI:21\r\n", "",
          "\r\n+CUSD: 0,\"04110430043B0430043D04410020003500320035002E0032003500200440002E\",72\r\n",
          "\r\n^RSSI:21\r\n"},
         "+CUSD:", "+CUSD: 0,\"04110430043B0430043D04410020003500320035002E0032003500200440002E\",72\n",
         reply_end::ok},
        // Cinterion MC55i: OK, then the network's refusal (gammu issue 689).
        {"USSD failure after OK", "AT+CUSD=1,\"002A003900390023\",15",
         {"AT+CUSD=1,\"002A003900390023\",15\r\r\nOK\r\n", "", "\r\n+CME ERROR: 132\r\n"}, "+CUSD:", "",
         reply_end::error},
        // HTC (Qualcomm) RIL log in ATV0 with echo off: information text
        // ends in CR LF, the result code is the digit and CR.
        {"numeric success", "AT+CREG?", {"+CREG: 1,1\r\n0\r", ""}, nullptr, "+CREG: 1,1\n", reply_end::ok},
        // Huawei E171: ^RSSI: first in the reply to AT+CMGR (python-gsmmodem
        // issue 47, framing restored).
        {"unsolicited line inside a reply", "AT+CMGR=6",
         {"\r\n^RSSI:3\r\n\r\n+CMGR: \"REC UNREAD\",\"1320\",,\"17/06/13,19:00:58+28\"\r\n\r\nOK\r\n", ""},
         nullptr, "+CMGR: \"REC UNREAD\",\"1320\",,\"17/06/13,19:00:58+28\"\n", reply_end::ok},
        // Siemens MC35i: a telemetry message whose body ends in a line OK,
        // followed at once by the modem's own (pygsm issue 3; the header is
        // made up, the body is the issue's).
        {"message body reading as OK", "AT+CMGL=\"ALL\"",
         {"AT+CMGL=\"ALL\"\r\r\n+CMGL: 1,\"REC READ\",\"+491720000000\",,\"10/06/12,10:00:00+08\"\r\n"
          "INSYS GSM 4.X:\nBLOCK:\n\n100:\nAx=+01234\n\nOK\r\n\r\nOK\r\n",
          ""},
         nullptr,
         "+CMGL: 1,\"REC READ\",\"+491720000000\",,\"10/06/12,10:00:00+08\"\nINSYS GSM 4.X:\nBLOCK:\n"
         "100:\nAx=+01234\nOK\n",
         reply_end::ok},
        // SIM900 text-mode +CMT: with its message on the next line
        // (GSM-GPRS-GPS-Shield issue 30), arriving during AT+CSQ.
        {"new message and its text", "AT+CSQ",
         {"AT+CSQ\r\r\n+CMT: \"+79XXXXXXXXX\",\"1\",\"15/09/23,01:34:03+24\"\r\nTest\r\n"
          "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"},
         nullptr, "+CSQ: 23,99\n", reply_end::ok},
        // The same +CMT: with a text that reads as a result code, and one
        // of 640 hex digits (a UCS-2 message): text, never a code or output.
        {"new message reading OK", "AT+CSQ",
         {"AT+CSQ\r\r\n+CMT: \"+79XXXXXXXXX\",\"1\",\"15/09/23,01:34:03+24\"\r\nOK\r\n"
          "\r\n+CMT: \"+79XXXXXXXXX\",\"1\",\"15/09/23,01:34:03+24\"\r\n" + std::string(640, 'A') +
          "\r\n\r\n+CSQ: 23,99\r\n\r\nOK\r\n"},
         nullptr, "+CSQ: 23,99\n", reply_end::ok},
        // A USSD menu after OK whose text holds bare LFs, as the Z710i above
        // sends them: the answer ends where its quotes do.
        {"USSD menu of several lines after OK", "AT+CUSD=1,\"*100#\",15",
         {"AT+CUSD=1,\"*100#\",15\r\r\nOK\r\n", "", "\r\n+CUSD: 1,\"Menu\n1. Balance\n2. Data\",15\r\n"},
         "+CUSD:", "+CUSD: 1,\"Menu\n1. Balance\n2. Data\",15\n", reply_end::ok},
        // Quectel EG25 after boot: the start-up lines come in the reply to
        // the first command (Lup Yuen Lee, "4G LTE Modem").
        {"start-up lines", "AT+CSQ",
         {"AT+CSQ\r\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\n+QUSIM: 1\r\n\r\n+QIND: SMS DONE\r\n"
          "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"},
         nullptr, "+CSQ: 23,99\n", reply_end::ok},
    };
    for (const capture& c : captures) {
        fed info = feed(c.command, c.pieces, true, c.until);
        EXPECT_EQ(info.out, c.info) << c.what;
        EXPECT_EQ(info.end, c.end) << c.what;
        EXPECT_TRUE(info.over) << c.what;
        // Raw, the same reply ends at the same point and is printed whole.
        fed raw = feed(c.command, c.pieces, false, c.until);
        std::string all;
        for (const std::string& piece : c.pieces)
            all += piece;
        EXPECT_EQ(raw.end, c.end) << c.what;
        EXPECT_EQ(raw.out, all.substr(0, raw.taken) + "\n") << c.what;
    }
}

TEST(Reader, NumericCodesEndAtTheirCrAndOnlyThere)
{
    const struct {
        const char* pieces;
        bool quiet;
        reply_end end;
        size_t taken;
        const char* info;
    } cases[] = {
        {"AT\r0\r", true, reply_end::ok, 5, ""},
        {"AT\r4\rAT", false, reply_end::error, 5, ""},      // the byte after CR tells
        {"AT\r2\r3\r", true, reply_end::error, 7, ""},     // 2, RING, ends nothing
        {"AT\r\r\n1\r\n", true, reply_end::timed_out, 8, "1\n"}, // verbose information
        {"AT\r5\r", true, reply_end::timed_out, 5, "5\n"},  // no code of ours
    };
    for (const auto& c : cases) {
        std::vector<std::string> pieces = {c.pieces};
        if (c.quiet)
            pieces.push_back("");
        fed raw = feed("AT", pieces, false);
        EXPECT_EQ(raw.end, c.end) << c.pieces;
        EXPECT_EQ(raw.taken, c.taken) << c.pieces;
        EXPECT_EQ(feed("AT", pieces, true).out, c.info) << c.pieces;
    }
    // While --until waits past OK, 4 (ERROR) ends the reply as its verbose
    // form does; 3 (NO CARRIER) does not.
    fed error = feed("AT", {"AT\r0\r", "", "4\r", ""}, false, "+CUSD:");
    EXPECT_TRUE(error.over);
    EXPECT_EQ(error.end, reply_end::error);
    fed no_carrier = feed("AT", {"AT\r0\r", "", "3\r", ""}, false, "+CUSD:");
    EXPECT_FALSE(no_carrier.over);
}

TEST(Reader, OnlyUnknownAndOwnedLinesAreInformation)
{
    const std::string reply = "\r\n+CREG: 0,1\r\n\r\n+CSQ: 23,99\r\n\r\n+CGREG: 1\r\n\r\n^BOOT:1,0,0\r\n"
                              "\r\n^SYSINFO:2,3\r\n\r\n+FOO: 1\r\n\r\nOK\r\n";
    // Names compared in any case, each command of a chain owning its own.
    EXPECT_EQ(feed("at+creg?;+csq", {reply}, true, nullptr, {"at+creg?;+csq", "AT^SYSINFO"}).out,
              "+CREG: 0,1\n+CSQ: 23,99\n^SYSINFO:2,3\n+FOO: 1\n");
    EXPECT_EQ(feed("AT+CSQ", {reply}, true).out, "+CSQ: 23,99\n+FOO: 1\n");

    // The --until line is printed even when it is unsolicited; the wait
    // for it runs into the limit when it never comes.
    fed waiting = feed("AT+CSQ", {reply}, true, "+CGREG:");
    EXPECT_EQ(waiting.out, "+CSQ: 23,99\n+CGREG: 1\n+FOO: 1\n");
    EXPECT_EQ(waiting.end, reply_end::ok);
    fed missing = feed("AT+CSQ", {reply, ""}, true, "+CUSD:");
    EXPECT_FALSE(missing.over);
    EXPECT_EQ(missing.end, reply_end::timed_out);
}

TEST(Reader, LongLinesAreShownOrLeftOutWhole)
{
    const std::string digits(700, '1');
    const std::string long_command = "AT+CMGS=" + std::string(600, '7');
    const struct {
        const char* what;
        std::string command;
        std::string reply;
        const char* until;
        std::string info;
        reply_end end;
    } cases[] = {
        {"information", "AT", "AT\r\r\n" + digits + "\r\nOK\r\n", nullptr, digits + "\n", reply_end::ok},
        {"vendor code", "AT", "AT\r\r\n^BOOT:" + digits + "\r\nOK\r\n", nullptr, "", reply_end::ok},
        {"vendor code owned", "AT^BOOT", "^BOOT:" + digits + "\r\nOK\r\n", nullptr, "^BOOT:" + digits + "\n",
         reply_end::ok},
        {"--until line after OK", "AT+CUSD=1", "OK\r\n\r\n+CUSD: 0,\"" + digits + "\",72\r\n", "+CUSD:",
         "+CUSD: 0,\"" + digits + "\",72\n", reply_end::ok},
        {"echo", long_command, long_command + "\r\r\nERROR\r\n", nullptr, "", reply_end::error},
        {"echo cut short", long_command, long_command.substr(0, 550) + "\r\nOK\r\n", nullptr,
         long_command.substr(0, 550) + "\n", reply_end::ok},
        // A data line that reads as the echo of a long command so far.
        {"message text", long_command, "+CMT: \"+1\",,\"24/01/01,00:00:00+00\"\r\n" + long_command.substr(0, 550) +
         "\r\n" + long_command + "\r\r\nOK\r\n", nullptr, "", reply_end::ok},
    };
    for (const auto& c : cases) {
        // In small pieces, so that the long line's pieces go on while it comes.
        std::vector<std::string> pieces;
        for (size_t at = 0; at < c.reply.size(); at += 100)
            pieces.push_back(c.reply.substr(at, 100));
        fed info = feed(c.command.c_str(), pieces, true, c.until);
        EXPECT_EQ(info.out, c.info) << c.what;
        EXPECT_EQ(info.end, c.end) << c.what;
        fed raw = feed(c.command.c_str(), pieces, false, c.until);
        EXPECT_EQ(raw.out, c.reply.substr(0, raw.taken) + "\n") << c.what;
        EXPECT_EQ(raw.end, c.end) << c.what;
    }
}

TEST(Reader, FailedPrintEndsTheReplyWithItsErrno)
{
    for (bool info_only : {false, true}) {
        FILE* full = std::fopen("/dev/full", "w");
        ASSERT_NE(full, nullptr);
        raw_printer raw(full);
        info_printer info(full);
        reader_setup setup;
        setup.command = "AT+CSQ";
        reply_reader reader(setup, info_only ? static_cast<reply_printer&>(info) : raw);
        const std::string reply = "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n";
        // Taken up to the line end that had a line printed, no further:
        // raw, the echo's LF; -i, the CR of the information line.
        EXPECT_EQ(reader.feed(reply.data(), static_cast<int>(reply.size())), info_only ? 21 : 9) << info_only;
        EXPECT_TRUE(reader.over());
        EXPECT_EQ(reader.print_errno(), ENOSPC);
        reader.finish();
        std::fclose(full);
    }
}

} // namespace
