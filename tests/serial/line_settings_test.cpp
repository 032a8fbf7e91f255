// Each platform's line settings as the driver keeps them after an open: 9600 8N1, raw, without
// flow control, whatever the line had before.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "serial/serial_port.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <termios.h>

#include "pty_pair.h"
#include "serial/serial_system.h"
#endif

namespace {

#ifdef _WIN32
// The DCB as the driver keeps it, through a handle of our own after the port is closed: a port
// opened with everything wrong is left at 9600 8N1 without flow control.
TEST(LineSettings, DcbIs9600EightNoneOneWithoutFlowControl) {
    const char* env = std::getenv("QUILLON_TEST_COM_A");
    ASSERT_TRUE(env != nullptr && *env != '\0') << "QUILLON_TEST_COM_A names no COM port";
    const std::string name = env;
    DCB dcb{};
    auto withDcb = [&](bool set) {
        const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(set ? SetCommState(h, &dcb) : GetCommState(h, &dcb));
        CloseHandle(h);
    };
    withDcb(false);
    dcb.BaudRate = CBR_4800;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = 1;
    withDcb(true);
    CSerialPort().Open(name);
    withDcb(false);
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_9600));
    EXPECT_EQ((std::vector<int>{dcb.ByteSize, dcb.Parity, dcb.StopBits}),
              (std::vector<int>{8, NOPARITY, ONESTOPBIT}));
    EXPECT_EQ(dcb.fOutxCtsFlow + dcb.fOutX + dcb.fInX, 0);
}
#else
// Open reads the line back and refuses one that did not take every setting (ENOTSUP), so an
// open that succeeds on a line with everything wrong shows them all set.
TEST(LineSettings, TermiosIsRaw9600EightNoneOneWithoutFlowControl) {
    CPtyPair pty;
    termios dirty{};
    ASSERT_EQ(tcgetattr(pty.KeptSlave(), &dirty), 0);
    dirty.c_cflag = (dirty.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    dirty.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
    dirty.c_lflag |= ICANON | ECHO | ISIG;
    dirty.c_oflag |= OPOST;
    dirty.c_cc[VMIN] = 1;
    dirty.c_cc[VTIME] = 5;
    cfsetispeed(&dirty, B4800);
    cfsetospeed(&dirty, B4800);
    ASSERT_EQ(tcsetattr(pty.KeptSlave(), TCSANOW, &dirty), 0);
    EXPECT_NO_THROW(CSerialPort().Open(pty.SlavePath()));

    // The read-back check behind that open: any one setting a driver left wrong is refused.
    termios good{};
    ASSERT_EQ(tcgetattr(pty.KeptSlave(), &good), 0);
    EXPECT_TRUE(SerialLineIsRaw9600(good));
    struct Fault {
        tcflag_t termios::*field;
        tcflag_t set, clear;
    };
    const Fault faults[] = {{&termios::c_cflag, CS7, CSIZE}, {&termios::c_cflag, PARENB, 0},
                            {&termios::c_cflag, CSTOPB, 0},  {&termios::c_cflag, CRTSCTS, 0},
                            {&termios::c_cflag, 0, CLOCAL},  {&termios::c_cflag, 0, CREAD},
                            {&termios::c_iflag, IXON, 0},    {&termios::c_iflag, IXOFF, 0},
                            {&termios::c_iflag, IXANY, 0},   {&termios::c_iflag, ICRNL, 0},
                            {&termios::c_iflag, INLCR, 0},   {&termios::c_iflag, IGNCR, 0},
                            {&termios::c_iflag, ISTRIP, 0},  {&termios::c_iflag, INPCK, 0},
                            {&termios::c_oflag, OPOST, 0},   {&termios::c_lflag, ICANON, 0},
                            {&termios::c_lflag, ECHO, 0},    {&termios::c_lflag, ISIG, 0},
                            {&termios::c_lflag, IEXTEN, 0}};
    const auto refused = [&good](const std::function<void(termios&)>& change) {
        termios t = good;
        change(t);
        return !SerialLineIsRaw9600(t);
    };
    for (const Fault& f : faults) {
        EXPECT_TRUE(refused([&f](termios& t) { t.*f.field = (t.*f.field & ~f.clear) | f.set; }))
            << f.set << "/" << f.clear;
    }
    EXPECT_TRUE(refused([](termios& t) { cfsetispeed(&t, B4800); }));
    EXPECT_TRUE(refused([](termios& t) { cfsetospeed(&t, B4800); }));
    EXPECT_TRUE(refused([](termios& t) { t.c_cc[VMIN] = 1; }));
    EXPECT_TRUE(refused([](termios& t) { t.c_cc[VTIME] = 1; }));
}
#endif

}  // namespace
