// The tool's line settings, built without a terminal: character size and
// parity are checked here because a pseudo-terminal will not store them.
#include "serial/port.h"

#include <gtest/gtest.h>

namespace {

constexpr tcflag_t always = CREAD | CLOCAL | CRTSCTS;

TEST(LineSettings, SpeedsOutsideTheTableFallBackTo9600)
{
    const std::pair<int, speed_t> cases[] = {
        {2400, B2400},  {4800, B4800}, {9600, B9600},     {115200, B115200}, {460800, B460800},
        {19200, B9600}, {57600, B9600}, {230400, B9600}, {0, B9600},         {-1, B9600},
    };
    for (auto [speed, code] : cases) {
        termios opt = make_line_opt(speed, 8, 'N', 1);
        EXPECT_EQ(cfgetispeed(&opt), code) << speed;
        EXPECT_EQ(cfgetospeed(&opt), code) << speed;
    }
}

TEST(LineSettings, OnlySevenAndEightSetACharacterSize)
{
    for (int bits : {5, 6, 7, 8, 9, 0}) {
        termios opt = make_line_opt(115200, bits, 'N', 1);
        tcflag_t size = bits == 7 ? CS7 : bits == 8 ? CS8 : CS5;
        EXPECT_EQ(opt.c_cflag & CSIZE, size) << bits;
        EXPECT_EQ(opt.c_cflag & always, always) << bits;
    }
}

TEST(LineSettings, ParityIsUpperCaseOnlyAndChecksInputWhenOn)
{
    struct row {
        char parity;
        tcflag_t cflag;
        tcflag_t iflag;
    };
    const row rows[] = {
        {'O', PARENB | PARODD, INPCK | ISTRIP}, {'E', PARENB, INPCK | ISTRIP}, {'N', 0, 0},
        {'o', 0, 0}, {'e', 0, 0}, {'n', 0, 0}, {'S', 0, 0}, {'\0', 0, 0},
    };
    for (const row& r : rows) {
        termios opt = make_line_opt(115200, 8, r.parity, 1);
        EXPECT_EQ(opt.c_cflag & (PARENB | PARODD), r.cflag) << r.parity;
        EXPECT_EQ(opt.c_iflag, r.iflag) << r.parity;
    }
}

TEST(LineSettings, TwoStopBitsOnlyWhenAskedForTwo)
{
    for (int stop : {0, 1, 2, 3}) {
        termios opt = make_line_opt(115200, 8, 'N', stop);
        EXPECT_EQ(opt.c_cflag & CSTOPB, stop == 2 ? CSTOPB : 0u) << stop;
    }
}

TEST(LineSettings, EverythingElseIsOffAndReadsWaitATenthOfASecond)
{
    termios opt = make_line_opt(460800, 7, 'E', 2);
    EXPECT_EQ(opt.c_cflag & ~CBAUD, always | CS7 | PARENB | CSTOPB);
    EXPECT_EQ(opt.c_oflag, 0u);
    EXPECT_EQ(opt.c_lflag, 0u);
    EXPECT_EQ(opt.c_line, 0);
    for (size_t i = 0; i < NCCS; ++i)
        EXPECT_EQ(opt.c_cc[i], i == VTIME ? 1 : 0) << i;
}

} // namespace
