// CSerialPort's contract, the same on every line it opens: a pseudo-terminal pair, and network
// ports (socket://, rfc2217://) through ser2net, on Linux; a null-modem COM pair under Wine
// (QUILLON_TEST_COM_A and QUILLON_TEST_COM_B, never a real device). Then failed opens and the
// exception's texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial_port.h"
#include "serial_test_support.h"
#include "test_util.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h defines these as macros of the same value; the class's own names are meant.
#undef PURGE_TXCLEAR
#undef PURGE_RXCLEAR
#else
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>

#include "pty_pair.h"
#include "ser2net_server.h"
#endif

namespace {

#ifdef _WIN32
constexpr std::uint32_t kNotOpen = ERROR_INVALID_HANDLE, kBusy = ERROR_ACCESS_DENIED,
                        kBadUrl = WSAEINVAL, kTimedOut = ERROR_TIMEOUT;
constexpr const char *kWriteOperation = "WriteFile", *kBusyOperation = "CreateFile";
#else
constexpr std::uint32_t kNotOpen = EBADF, kBusy = EBUSY, kBadUrl = EINVAL, kTimedOut = ETIMEDOUT;
constexpr const char *kWriteOperation = "write", *kBusyOperation = "flock";
#endif

// As the link opens a port: the line settings, then reads that never wait.
void OpenLikeTheLink(CSerialPort& port, const std::string& name) {
    port.Open(name);
    port.SetTimeouts(0xFFFFFFFF, 0, 0, 0, 0);
}

std::string EveryByteValue(std::size_t times) {
    std::string bytes;
    for (std::size_t i = 0; i < 256 * times; ++i) {
        bytes.push_back(static_cast<char>(i));
    }
    return bytes;
}

// The other end of the line the port under test is joined to, played by the test.
class CFarEnd {
public:
    virtual ~CFarEnd() = default;
    virtual std::string Name() const = 0;  // what the port under test opens
    virtual void Send(const std::string& bytes) = 0;
    // Waits until count bytes have come, or 10 s have passed without one.
    virtual std::string Receive(std::size_t count) = 0;
    // Whatever still comes, until the line has been quiet for half a second.
    virtual std::string Drain() = 0;
#ifndef _WIN32
    virtual void HangUp() = 0;
#endif
};

#ifdef _WIN32
std::string Env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        throw std::runtime_error(std::string(name) + " names no COM port of a null-modem pair");
    }
    return value;
}

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

class CNullModem : public CFarEnd {
public:
    CNullModem() { OpenLikeTheLink(m_b, Env("QUILLON_TEST_COM_B")); }
    std::string Name() const override { return Env("QUILLON_TEST_COM_A"); }
    void Send(const std::string& bytes) override {
        m_b.Write(bytes.data(), bytes.size(), In(10000));
    }
    std::string Receive(std::size_t count) override { return ReadFor(m_b, count); }
    std::string Drain() override {
        std::string out;
        char buf[4096];
        while (m_b.WaitReadable(In(500))) {
            out.append(buf, m_b.Read(buf, sizeof buf));
        }
        return out;
    }

private:
    CSerialPort m_b;
};
#else
class CPtyEnd : public CFarEnd {
public:
    std::string Name() const override { return m_pty.SlavePath(); }
    void Send(const std::string& bytes) override { m_pty.Write(bytes); }
    std::string Receive(std::size_t count) override {
        std::string out;
        while (out.size() < count) {
            const std::vector<std::uint8_t> got = m_pty.Read(count - out.size(), 10000);
            if (got.empty()) {
                break;
            }
            out.append(got.begin(), got.end());
        }
        return out;
    }
    void HangUp() override { m_pty.HangUp(); }
    std::string Drain() override {
        const std::vector<std::uint8_t> got = m_pty.ReadUntilQuiet(500, 60000);
        return std::string(got.begin(), got.end());
    }

protected:
    CPtyPair m_pty;
};

// ser2net in front of the terminal, as a device server is in front of a UART.
class CNetEnd : public CPtyEnd {
public:
    explicit CNetEnd(bool rfc2217) : m_server(m_pty.SlavePath(), rfc2217) {}
    std::string Name() const override { return m_server.Url(); }
    void HangUp() override { m_server.Kill(); }

private:
    CSer2net m_server;
};
#endif

struct Line {
    const char* name;
    std::function<std::unique_ptr<CFarEnd>()> make;
    std::size_t bigWrite;  // more than the line takes at once
};

#ifdef _WIN32
const Line kDevices[] = {{"NullModem", [] { return std::make_unique<CNullModem>(); }, 4096}};
#else
const Line kDevices[] = {{"Pty", [] { return std::make_unique<CPtyEnd>(); }, 64 * 1024}};
const Line kNetwork[] = {
    {"Socket", [] { return std::make_unique<CNetEnd>(false); }, 8 * 1024 * 1024},
    {"Rfc2217", [] { return std::make_unique<CNetEnd>(true); }, 8 * 1024 * 1024}};
#endif

std::string LineName(const testing::TestParamInfo<Line>& row) {
    return row.param.name;
}

class PortContract : public testing::TestWithParam<Line> {
protected:
    void SetUp() override {
        peer = GetParam().make();
        OpenLikeTheLink(port, peer->Name());
    }
    std::unique_ptr<CFarEnd> peer;
    CSerialPort port;
};
class DevicePort : public PortContract {};

// XON, XOFF and 0xFF (doubled on the wire of RFC 2217) among them; a write returns when the
// line has taken every byte. How long the big write takes depends on the machine's load (the
// far end and ser2net share its cores), so only a pause in its flow counts as a failure.
TEST_P(PortContract, EveryByteValuePassesBothWays) {
    const std::string big = EveryByteValue(GetParam().bigWrite / 256);
    std::string got;
    std::thread reader([&] { got = peer->Receive(big.size()); });
    EXPECT_NO_THROW(port.Write(big.data(), big.size(), In(300000)));
    reader.join();
    std::size_t same = 0;  // where a lost or doubled byte began, when one did
    while (same < got.size() && got[same] == big[same])
        ++same;
    EXPECT_TRUE(got == big) << got.size() << " of " << big.size() << " bytes, first difference at "
                            << same;
    EXPECT_EQ(peer->Drain().size(), 0u) << "more than was written";
    peer->Send(EveryByteValue(1));
    EXPECT_EQ(ReadFor(port, 256), EveryByteValue(1));
}

// A line that takes nothing more (the far end reads nothing) ends a write by its deadline.
TEST_P(PortContract, StuckWriteEndsAtItsDeadline) {
    const std::string flood(32 * 1024 * 1024, 'x');
    const auto start = Clock::now();
    const Raised r = RaisedBy([&] { port.Write(flood.data(), flood.size(), In(1000)); });
    EXPECT_EQ(r.error, kTimedOut);
    EXPECT_EQ(r.operation, kWriteOperation);
    EXPECT_LT(Clock::now() - start, 1s + 3s);
    port.Close();
    peer->Drain();  // a null-modem pair lives on into the next test
}

// A read returns at once with what has arrived, no more than asked, and keeps the rest. Nothing
// arrived is no error, whatever error the thread saw last. A wait ends when a byte arrives: the
// data phase waits for a reply this way instead of sleeping a poll period.
TEST_P(PortContract, ReadTakesWhatArrivedAndNeverWaits) {
    char buf[16];
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        errno = EIO;
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    }
    EXPECT_FALSE(port.WaitReadable(In(10)));
    EXPECT_LT(Clock::now() - start, 1s);
    std::thread sender([&] {
        std::this_thread::sleep_for(100ms);
        peer->Send("ABCDEFG");
    });
    EXPECT_TRUE(port.WaitReadable(In(10000)));
    EXPECT_LT(Clock::now() - start, 5s);
    sender.join();
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(port.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(buf, 3), "ABC");
    EXPECT_EQ(ReadFor(port, 4), "DEFG");
}

// Each purge on its own call: output first, which leaves what has arrived; then input.
TEST_P(PortContract, PurgeDropsOnlyTheInputAskedFor) {
    peer->Send("old");
    ASSERT_TRUE(port.WaitReadable(In(5000)));
    std::this_thread::sleep_for(50ms);
    port.Purge(CSerialPort::PURGE_TXCLEAR, In(5000));
    EXPECT_TRUE(port.WaitReadable(In(0)));
    port.Purge(CSerialPort::PURGE_RXCLEAR, In(5000));
    char buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    peer->Send("new");
    EXPECT_EQ(ReadFor(port, 3), "new");
}

#ifndef _WIN32
// Adapter pulled, server gone: a wait ends, reads and writes raise what the run calls a hang-up,
// and the port stays open until it is closed.
TEST_P(PortContract, HungUpLineRaisesAHangUp) {
    peer->HangUp();
    EXPECT_TRUE(port.WaitReadable(In(5000)));
    char buf[16] = {};
    const std::uint32_t read = ErrorOf([&] { port.Read(buf, sizeof buf); });
    EXPECT_TRUE(IsHangUpError(read)) << read;
    const std::uint32_t write = ErrorOf([&] { port.Write(buf, 1, In(5000)); });
    EXPECT_TRUE(IsHangUpError(write)) << write;
    EXPECT_TRUE(port.IsOpen());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

// A signal during a wait (a child process ending, say) neither ends it nor makes it wait anew.
TEST_P(PortContract, WaitOutlastsSignals) {
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: the wait sees EINTR
    sigaction(SIGUSR1, &quiet, &saved);
    const pthread_t waiter = pthread_self();
    std::thread signaller([&] {
        for (int i = 0; i < 20; ++i) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(10ms);
        }
        peer->Send("x");
    });
    EXPECT_TRUE(port.WaitReadable(In(10000)));
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_EQ(ReadFor(port, 1), "x");
}

INSTANTIATE_TEST_SUITE_P(Network, PortContract, testing::ValuesIn(kNetwork), LineName);
#endif

// One holder at a time; an open port closes its handle before it opens again.
TEST_P(DevicePort, IsOpenedExclusively) {
    CSerialPort second;
#ifdef _WIN32
    const bool exclusive = !RunningUnderWine();  // Wine opens a serial device twice
#else
    const bool exclusive = true;
#endif
    if (exclusive) {
        const Raised r = RaisedBy([&] { second.Open(peer->Name()); });
        EXPECT_EQ(r.error, kBusy);
        EXPECT_EQ(r.operation, kBusyOperation);
        EXPECT_FALSE(second.IsOpen());
    }
    port.Close();
    second.Open(peer->Name());
    second.Open(peer->Name());
    EXPECT_TRUE(second.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Device, PortContract, testing::ValuesIn(kDevices), LineName);
INSTANTIATE_TEST_SUITE_P(Device, DevicePort, testing::ValuesIn(kDevices), LineName);

TEST(SerialPort, ClosedPortRefusesEveryCall) {
    CSerialPort port;
    EXPECT_FALSE(port.IsOpen());
    std::uint8_t b = 0;
    const std::function<void()> calls[] = {
        [&] { port.Read(&b, 1); },
        [&] { port.Write(&b, 1, In(5000)); },
        [&] { port.Purge(CSerialPort::PURGE_RXCLEAR, In(5000)); },
        [&] { port.SetTimeouts(0xFFFFFFFF, 0, 0, 0, 0); },
        [&] { port.WaitReadable(In(0)); },
    };
    for (const auto& call : calls) {
        EXPECT_EQ(ErrorOf(call), kNotOpen);
    }
}

// What a failed open raises, and whether the port holds the device until the next Close.
TEST(SerialPort, FailedOpens) {
    ScratchDir dir;
    WriteFile(dir / "file", "x");
    struct Case {
        std::string name;
        std::uint32_t error;    // 0: any
        const char* operation;  // what failed
        bool open;
    };
    const Case cases[] = {
#ifdef _WIN32
        {"\\\\.\\QuillonNoSuchPort", ERROR_FILE_NOT_FOUND, "CreateFile", false},
        {(dir / "file").string(), 0, "GetCommState", true},  // opened, but no line settings
#else
        {"/nonexistent/ttyQ9", ENOENT, "open", false},
        {"", ENOENT, "open", false},
        {(dir / "file").string(), ENOTTY, "TIOCEXCL", false},  // no terminal: no exclusive mark
        {"socket://127.0.0.1:" + std::to_string(CSer2net::FreePort()), ECONNREFUSED, "connect",
         false},
        {"rfc2217://[::ffff:1.2.3.4.5]:1", 0, "name resolution", false},
#endif
        {"rfc2217://[::1:4001", kBadUrl, "port name", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CSerialPort port;
        const Raised r = RaisedBy([&] { port.Open(c.name); });
        EXPECT_NE(r.error, 0u);
        if (c.error != 0) {
            EXPECT_EQ(r.error, c.error);
        }
        EXPECT_EQ(r.operation, c.operation);
        EXPECT_FALSE(IsHangUpError(r.error));
        EXPECT_EQ(port.IsOpen(), c.open);
        port.Close();
        EXPECT_FALSE(port.IsOpen());
    }
    fs::remove(dir / "file");  // fails on Windows while a handle is still open
}

#ifdef _WIN32
constexpr std::uint32_t kCode = ERROR_FILE_NOT_FOUND, kOtherCode = ERROR_SHARING_VIOLATION;
// The system's text is the oracle here: Windows and Wine word it differently.
std::string SystemText(DWORD code) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(0x1300, nullptr, code, 0x0800, reinterpret_cast<LPSTR>(&message),
                                   0, nullptr);
    std::string text = n != 0 && message != nullptr ? std::string(message, n) : std::string();
    LocalFree(message);
    return text;
}
const std::string kText = SystemText(kCode);
void SetLastSystemError(std::uint32_t code) {
    SetLastError(code);
}
#else
constexpr std::uint32_t kCode = ENOENT, kOtherCode = EACCES;
const std::string kText = "No such file or directory";
void SetLastSystemError(std::uint32_t code) {
    errno = static_cast<int>(code);
}
#endif

// The text is the system's, cut to the buffer and never written past it.
TEST(SerialException, Texts) {
    const CSerialException e(kCode);
    EXPECT_EQ(e.what(), "serial port error " + std::to_string(kCode) + ": " + kText);
    const std::pair<std::size_t, std::string> cases[] = {
        {kText.size() + 1, kText}, {kText.size(), kText.substr(0, kText.size() - 1)}, {1, ""}};
    for (const auto& [capacity, text] : cases) {
        std::vector<char> buf(capacity + 4, 'X');
        unsigned help = 77;
        EXPECT_TRUE(e.GetErrorMessage(buf.data(), static_cast<unsigned>(capacity), &help));
        EXPECT_EQ(std::string(buf.data()), text);
        EXPECT_EQ(buf[capacity], 'X') << "written past " << capacity;
        EXPECT_EQ(help, 0u);
    }
    char buf[64] = "stale";
    EXPECT_FALSE(CSerialException(0xFFFFFFFFu).GetErrorMessage(buf, sizeof buf));
    EXPECT_STREQ(buf, "");
    EXPECT_STREQ(CSerialException(99999u).what(), "serial port error 99999: unknown error");
#ifndef _WIN32
    // A host name that does not resolve keeps the resolver's own words.
    const std::uint32_t noName = 0x20000000u | static_cast<std::uint32_t>(-EAI_NONAME);
    EXPECT_EQ(CSerialException(noName).what(),
              "serial port error " + std::to_string(noName) + ": " + gai_strerror(EAI_NONAME));
#endif
    EXPECT_THROW(e.GetErrorMessage(nullptr, 10), std::invalid_argument);
    EXPECT_THROW(e.GetErrorMessage(buf, 0), std::invalid_argument);
    SetLastSystemError(kOtherCode);
    EXPECT_EQ(ErrorOf([] { ThrowSerialException(0); }), kOtherCode);
}

}  // namespace
