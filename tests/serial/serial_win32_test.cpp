// CSerialPort over the Win32 communications functions. The port tests need a null-modem pair:
// two COM names whose lines are joined (under Wine, two linked pseudo-terminals), given in
// QUILLON_TEST_COM_A and QUILLON_TEST_COM_B. Never a real device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h defines these as macros with the same values; the class's own names are meant.
#undef PURGE_TXCLEAR
#undef PURGE_RXCLEAR

namespace {

std::uint32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CSerialException& e) {
        return e.m_dwError;
    }
    return 0;
}

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Opens like the link does: line settings, then reads that never wait.
void OpenLikeTheLink(CSerialPort& port, const std::string& name) {
    port.Open(name);
    port.SetTimeouts(MAXDWORD, 0, 0, 0, 0);
}

std::string ReadFor(CSerialPort& port, std::size_t count) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        char buf[300];
        port.WaitReadable(100);
        const std::uint32_t n = port.Read(buf, sizeof buf);
        out.append(buf, n);
    }
    return out;
}

class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        m_a = EnvOrEmpty("QUILLON_TEST_COM_A");
        m_b = EnvOrEmpty("QUILLON_TEST_COM_B");
        if (m_a.empty() || m_b.empty()) {
            GTEST_SKIP() << "QUILLON_TEST_COM_A and QUILLON_TEST_COM_B name no null-modem pair";
        }
    }
    std::string m_a;
    std::string m_b;
};

TEST(SerialPort, NewPortIsClosedAndRefusesEveryOperation) {
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    port.Close();
    port.Close();
    std::uint8_t b = 0;
    const std::vector<std::function<void()>> ops = {
        [&] { port.Read(&b, 1); },
        [&] { port.Write(&b, 1); },
        [&] { port.Purge(CSerialPort::PURGE_RXCLEAR); },
        [&] { port.SetTimeouts(MAXDWORD, 0, 0, 0, 0); },
        [&] { port.WaitReadable(0); },
    };
    for (const auto& op : ops) {
        EXPECT_EQ(ErrorOf(op), static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));
    }
}

TEST(SerialPort, OpenOfAMissingDeviceRaisesAndStaysClosed) {
    const std::vector<std::string> names = {"", "\\\\.\\QuillonNoSuchPort"};
    for (const std::string& name : names) {
        CSerialPort port;
        EXPECT_NE(ErrorOf([&] { port.Open(name); }), 0u) << name;
        EXPECT_FALSE(port.IsOpen()) << name;
    }
    CSerialPort port;
    EXPECT_EQ(ErrorOf([&] { port.Open("\\\\.\\QuillonNoSuchPort"); }),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
}

// A device that opens but has no line settings: the handle stays open (IsOpen) until the next
// Close, and it was opened exclusively meanwhile.
TEST(SerialPort, SettingsFailureLeavesTheHandleOpenUntilClose) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / "quillon-not-a-port.txt";
    std::ofstream(file) << "x";
    CSerialPort port;
    EXPECT_NE(ErrorOf([&] { port.Open(file.string()); }), 0u);
    EXPECT_TRUE(port.IsOpen());
    std::error_code ec;
    std::filesystem::remove(file, ec);
    EXPECT_TRUE(ec) << "the file was not held open";
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(std::filesystem::remove(file));
}

// Wine lets a serial device be opened twice whatever the share mode; Windows does not.
bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// An open port closes its old handle first, so the same name opens twice in a row (an
// exclusive open of a handle still held would fail on Windows).
TEST_F(NullModem, OpeningAnOpenPortAgainWorks) {
    CSerialPort port;
    port.Open(m_a);
    port.Open(m_a);
    EXPECT_TRUE(port.IsOpen());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(NullModem, OpenIsExclusive) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine does not enforce exclusive opens of serial devices";
    }
    CSerialPort first;
    first.Open(m_a);
    CSerialPort second;
    EXPECT_EQ(ErrorOf([&] { second.Open(m_a); }), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(second.IsOpen());
    first.Close();
    second.Open(m_a);
    EXPECT_TRUE(second.IsOpen());
}

// XON/XOFF must be off: 0x11 and 0x13 are reply bytes of the protocol.
TEST_F(NullModem, EveryByteValuePassesUnchangedBothWays) {
    CSerialPort a;
    CSerialPort b;
    OpenLikeTheLink(a, m_a);
    OpenLikeTheLink(b, m_b);
    std::string all;
    for (int i = 0; i < 256; ++i) {
        all.push_back(static_cast<char>(i));
    }
    EXPECT_EQ(a.Write(all.data(), static_cast<std::uint32_t>(all.size())), all.size());
    EXPECT_EQ(ReadFor(b, all.size()), all);
    EXPECT_EQ(b.Write(all.data(), static_cast<std::uint32_t>(all.size())), all.size());
    EXPECT_EQ(ReadFor(a, all.size()), all);
}

TEST_F(NullModem, ReadWithNothingWaitingReturnsZeroAtOnce) {
    CSerialPort a;
    OpenLikeTheLink(a, m_a);
    a.Purge(CSerialPort::PURGE_RXCLEAR);
    std::uint8_t buf[200];
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(a.Read(buf, sizeof buf), 0u);
    }
    // A read that waits for data would never return here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(a.WaitReadable(10));
}

// A read takes no more than asked and keeps the rest; a purge drops what arrived before it.
TEST_F(NullModem, ReadKeepsTheRestAndPurgeDiscardsOldInput) {
    CSerialPort a;
    CSerialPort b;
    OpenLikeTheLink(a, m_a);
    OpenLikeTheLink(b, m_b);
    b.Write("ABCDEFG", 7);
    ASSERT_TRUE(a.WaitReadable(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    char buf[16] = {};
    ASSERT_EQ(a.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "ABC");
    EXPECT_EQ(ReadFor(a, 4), "DEFG");

    b.Write("old", 3);
    ASSERT_TRUE(a.WaitReadable(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    a.Purge(CSerialPort::PURGE_TXCLEAR);
    a.Purge(CSerialPort::PURGE_RXCLEAR);
    EXPECT_EQ(a.Read(buf, sizeof buf), 0u);
    b.Write("new", 3);
    EXPECT_EQ(ReadFor(a, 3), "new");
}

// The data phase waits with WaitReadable instead of sleeping a poll period: a reply that
// arrives during the wait ends it.
TEST_F(NullModem, WaitReadableEndsWhenBytesArrive) {
    CSerialPort a;
    CSerialPort b;
    OpenLikeTheLink(a, m_a);
    OpenLikeTheLink(b, m_b);
    a.Purge(CSerialPort::PURGE_RXCLEAR);
    std::thread writer([&b] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        b.Write("\x11", 1);
    });
    const auto start = std::chrono::steady_clock::now();
    const bool readable = a.WaitReadable(10000);
    const auto waited = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_TRUE(readable);
    EXPECT_LT(waited, std::chrono::seconds(5));
    char c = 0;
    EXPECT_EQ(a.Read(&c, 1), 1u);
    EXPECT_EQ(c, '\x11');
}

std::string SystemText(DWORD code) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(0x1300, nullptr, code, 0x0800, reinterpret_cast<LPSTR>(&message),
                                   0, nullptr);
    std::string text = n != 0 && message != nullptr ? std::string(message, n) : std::string();
    LocalFree(message);
    return text;
}

TEST(SerialException, ErrorMessageComesFromTheSystemAndIsCut) {
    const std::string full = SystemText(ERROR_FILE_NOT_FOUND);
    ASSERT_GT(full.size(), 5u) << "the system has no text for ERROR_FILE_NOT_FOUND";
    struct Case {
        unsigned capacity;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {512, full},
        {static_cast<unsigned>(full.size() + 1), full},
        {static_cast<unsigned>(full.size()), full.substr(0, full.size() - 1)},
        {5, full.substr(0, 4)},
        {1, ""},
    };
    const CSerialException e(ERROR_FILE_NOT_FOUND);
    for (const Case& c : cases) {
        std::vector<char> buf(c.capacity + 4, 'X');
        unsigned help = 77;
        EXPECT_TRUE(e.GetErrorMessage(buf.data(), c.capacity, &help)) << c.capacity;
        EXPECT_EQ(std::string(buf.data()), c.expected) << c.capacity;
        EXPECT_EQ(buf[c.capacity], 'X') << "wrote past the capacity " << c.capacity;
        EXPECT_EQ(help, 0u);
    }
}

TEST(SerialException, UnknownCodeBadBufferAndLastError) {
    for (std::uint32_t code : {99999u, 0x2000ABCDu, 0xFFFFFFFFu}) {
        char buf[64] = "stale";
        EXPECT_FALSE(CSerialException(code).GetErrorMessage(buf, sizeof buf)) << code;
        EXPECT_STREQ(buf, "") << code;
    }
    const CSerialException e(ERROR_ACCESS_DENIED);
    char buf[4];
    EXPECT_THROW(e.GetErrorMessage(nullptr, 10), std::invalid_argument);
    EXPECT_THROW(e.GetErrorMessage(buf, 0), std::invalid_argument);
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ErrorOf([] { ThrowSerialException(0); }),
              static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
}

}  // namespace
