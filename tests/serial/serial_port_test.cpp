#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_pair.h"
#include "ser2net_server.h"
#include "serial/serial_port.h"

namespace {

std::uint32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CSerialException& e) {
        return e.m_dwError;
    }
    return 0;
}

std::vector<std::uint8_t> ReadFromPort(CSerialPort& port, std::size_t count) {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::uint8_t buf[300];
        port.WaitReadable(100);
        const std::uint32_t n = port.Read(buf, sizeof buf);
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

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
        [&] { port.SetTimeouts(0xFFFFFFFF, 0, 0, 0, 0); },
        [&] { port.WaitReadable(0); },
    };
    for (const auto& op : ops) {
        EXPECT_EQ(ErrorOf(op), static_cast<std::uint32_t>(EBADF));
    }
}

TEST(SerialPort, OpenFailuresLeaveThePortClosed) {
    const std::string regular = ::testing::TempDir() + "/not_a_tty";
    std::ofstream(regular) << "x";
    struct Case {
        std::string name;
        std::uint32_t error;
    };
    const std::vector<Case> cases = {
        {"", ENOENT},
        {"/nonexistent/ttyQ9", ENOENT},
        {regular, ENOTTY},  // not a terminal: the exclusive mark cannot be set
    };
    for (const Case& c : cases) {
        CSerialPort port;
        EXPECT_EQ(ErrorOf([&] { port.Open(c.name); }), c.error) << c.name;
        EXPECT_FALSE(port.IsOpen()) << c.name;
    }
    std::filesystem::remove(regular);
}

TEST(SerialPort, OpenSetsRaw9600EightNoneOneWithoutFlowControl) {
    CPtyPair pty;
    // Start from a line that has everything wrong.
    termios dirty{};
    ASSERT_EQ(tcgetattr(pty.KeptSlave(), &dirty), 0);
    dirty.c_cflag |= PARENB | PARODD | CSTOPB | CRTSCTS;
    dirty.c_cflag = (dirty.c_cflag & ~CSIZE) | CS7;
    dirty.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
    dirty.c_lflag |= ICANON | ECHO | ISIG;
    dirty.c_oflag |= OPOST;
    dirty.c_cc[VMIN] = 1;
    dirty.c_cc[VTIME] = 5;
    cfsetispeed(&dirty, B4800);
    cfsetospeed(&dirty, B4800);
    ASSERT_EQ(tcsetattr(pty.KeptSlave(), TCSANOW, &dirty), 0);

    CSerialPort port;
    port.Open(pty.SlavePath());
    ASSERT_TRUE(port.IsOpen());
    termios t{};
    ASSERT_EQ(tcgetattr(pty.KeptSlave(), &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | INPCK | IGNBRK | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST(SerialPort, EveryByteValuePassesUnchangedBothWays) {
    CPtyPair pty;
    CSerialPort port;
    port.Open(pty.SlavePath());
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(port.Write(all.data(), 256), 256u);
    EXPECT_EQ(pty.Read(256, 5000), all);

    pty.Write(all);
    EXPECT_EQ(ReadFromPort(port, 256), all);
}

TEST(SerialPort, WriteReturnsOnlyWhenEveryByteIsTaken) {
    // More than a terminal buffers at once: the write has to wait for the reader.
    CPtyPair pty;
    CSerialPort port;
    port.Open(pty.SlavePath());
    std::vector<std::uint8_t> big(64 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::vector<std::uint8_t> got;
    std::thread reader([&] { got = pty.Read(big.size(), 10000); });
    EXPECT_EQ(port.Write(big.data(), static_cast<std::uint32_t>(big.size())), big.size());
    reader.join();
    EXPECT_EQ(got, big);
}

TEST(SerialPort, OpenIsExclusive) {
    CPtyPair pty;
    CSerialPort first;
    first.Open(pty.SlavePath());

    CSerialPort second;
    EXPECT_EQ(ErrorOf([&] { second.Open(pty.SlavePath()); }), static_cast<std::uint32_t>(EBUSY));
    EXPECT_FALSE(second.IsOpen());

    // Another process is refused too.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSerialPort other;
        std::uint32_t err = 0;
        try {
            other.Open(pty.SlavePath());
        } catch (const CSerialException& e) {
            err = e.m_dwError;
        }
        _exit(err == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    // Once released, the port opens again, and opening an open port twice in a row works.
    first.Close();
    second.Open(pty.SlavePath());
    second.Open(pty.SlavePath());
    EXPECT_TRUE(second.IsOpen());
}

TEST(SerialPort, ReadWithNothingWaitingReturnsZeroAtOnce) {
    CPtyPair pty;
    CSerialPort port;
    port.Open(pty.SlavePath());
    std::uint8_t buf[200];
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    }
    // A read that waited (VTIME, a blocking descriptor) would take 100 ms or for ever.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(port.WaitReadable(10));
}

// A read takes no more than asked and keeps the rest; a purge drops what arrived before it.
TEST(SerialPort, ReadKeepsTheRestAndPurgeDiscardsOldInput) {
    CPtyPair pty;
    CSerialPort port;
    port.Open(pty.SlavePath());
    pty.Write(std::string("ABCDEFG"));
    ASSERT_TRUE(port.WaitReadable(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint8_t buf[16] = {};
    ASSERT_EQ(port.Read(buf, 3), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "ABC");
    const auto rest = ReadFromPort(port, 4);
    EXPECT_EQ(std::string(rest.begin(), rest.end()), "DEFG");

    pty.Write(std::string("old"));
    ASSERT_TRUE(port.WaitReadable(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.Purge(CSerialPort::PURGE_TXCLEAR);
    port.Purge(CSerialPort::PURGE_RXCLEAR);
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
    pty.Write(std::string("new"));
    const auto got = ReadFromPort(port, 3);
    EXPECT_EQ(std::string(got.begin(), got.end()), "new");
}

TEST(SerialPort, HungUpLineRaisesOnReadAndWrite) {
    CPtyPair pty;
    CSerialPort port;
    port.Open(pty.SlavePath());
    pty.HangUp();
    EXPECT_TRUE(port.WaitReadable(1000));  // a hang-up is worth a read: it reports it
    std::uint8_t buf[200];
    EXPECT_EQ(ErrorOf([&] { port.Read(buf, sizeof buf); }), static_cast<std::uint32_t>(EIO));
    EXPECT_NE(ErrorOf([&] { port.Write(buf, 1); }), 0u);
    EXPECT_TRUE(port.IsOpen());  // a failed call closes nothing by itself
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}

TEST(SerialException, ErrorMessageComesFromTheSystemAndIsCut) {
    const std::string full = std::strerror(ENOENT);
    struct Case {
        unsigned capacity;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {256, full},
        {static_cast<unsigned>(full.size() + 1), full},
        {static_cast<unsigned>(full.size()), full.substr(0, full.size() - 1)},
        {5, full.substr(0, 4)},
        {1, ""},
    };
    const CSerialException e(ENOENT);
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
    for (std::uint32_t code : {99999u, 0x80000000u, 0xFFFFFFFFu}) {
        char buf[64] = "stale";
        EXPECT_FALSE(CSerialException(code).GetErrorMessage(buf, sizeof buf)) << code;
        EXPECT_STREQ(buf, "") << code;
    }
    const CSerialException e(EIO);
    char buf[4];
    EXPECT_THROW(e.GetErrorMessage(nullptr, 10), std::invalid_argument);
    EXPECT_THROW(e.GetErrorMessage(buf, 0), std::invalid_argument);
    errno = EACCES;
    try {
        ThrowSerialException(0);
    } catch (const CSerialException& ex) {
        EXPECT_EQ(ex.m_dwError, static_cast<std::uint32_t>(EACCES));
        EXPECT_NE(std::string(ex.what()).find(std::strerror(EACCES)), std::string::npos);
    }
}

// A network port through the simulator's serial server, raw and RFC 2217, to a terminal the
// test plays the device on: the same answers as a local line.
TEST(NetworkPort, BehavesLikeALocalLine) {
    std::vector<std::uint8_t> all(256);
    for (int v = 0; v < 256; ++v) {
        all[v] = static_cast<std::uint8_t>(v);
    }
    for (const bool rfc2217 : {false, true}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217" : "socket");
        CPtyPair pty;
        CSer2net server(pty.SlavePath(), rfc2217);
        CSerialPort port;
        port.Open(server.Url());
        ASSERT_TRUE(port.IsOpen());
        std::uint8_t buf[16] = {};
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
        EXPECT_FALSE(port.WaitReadable(20));

        // More than a socket takes at once, every byte value in it (0xFF travels doubled).
        std::vector<std::uint8_t> big;
        for (int i = 0; i < 2048; ++i) {
            big.insert(big.end(), all.begin(), all.end());
        }
        std::vector<std::uint8_t> got;
        std::thread device([&] { got = pty.Read(big.size(), 20000); });
        EXPECT_EQ(port.Write(big.data(), static_cast<std::uint32_t>(big.size())), big.size());
        device.join();
        EXPECT_TRUE(got == big);
        pty.Write(all);
        EXPECT_EQ(ReadFromPort(port, all.size()), all);

        pty.Write(std::string("ABCDEFG"));
        ASSERT_TRUE(port.WaitReadable(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(port.Read(buf, 3), 3u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "ABC");
        const auto rest = ReadFromPort(port, 4);
        EXPECT_EQ(std::string(rest.begin(), rest.end()), "DEFG");
        pty.Write(std::string("old"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        port.Purge(CSerialPort::PURGE_TXCLEAR);
        port.Purge(CSerialPort::PURGE_RXCLEAR);
        EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
        pty.Write(std::string("new"));
        const auto fresh = ReadFromPort(port, 3);
        EXPECT_EQ(std::string(fresh.begin(), fresh.end()), "new");

        pty.HangUp();  // the server closes the connection, as a device server does
        EXPECT_TRUE(port.WaitReadable(5000));
        EXPECT_EQ(ErrorOf([&] { port.Read(buf, sizeof buf); }),
                  static_cast<std::uint32_t>(ECONNRESET));
        EXPECT_TRUE(port.IsOpen());
        port.Close();
        EXPECT_FALSE(port.IsOpen());
    }
}

// One connection on 127.0.0.1 whose server says what the test gives it: first greeting, then,
// once the client has sent its five line settings, answer.
class CCannedServer {
public:
    CCannedServer(std::vector<std::uint8_t> greeting, std::vector<std::uint8_t> answer) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listen, 1);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this, greeting, answer] {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) {
                return;  // the client never came
            }
            const int c = accept(m_listen, nullptr, nullptr);
            send(c, greeting.data(), greeting.size(), MSG_NOSIGNAL);
            std::string heard;
            char b[256];
            ssize_t n;
            while (heard.find("\xFF\xF0") == std::string::npos ||
                   std::count(heard.begin(), heard.end(), '\xF0') < 5) {
                if ((n = recv(c, b, sizeof b, 0)) <= 0) {
                    break;
                }
                heard.append(b, static_cast<std::size_t>(n));
            }
            send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
            while (recv(c, b, sizeof b, 0) > 0) {
            }
            close(c);
        });
    }
    ~CCannedServer() {
        m_thread.join();
        close(m_listen);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(m_port); }

private:
    int m_listen;
    int m_port = 0;
    std::thread m_thread;
};

TEST(NetworkPort, MalformedNamesAndServersThatRefuseTheLine) {
    for (const char* name :
         {"rfc2217://", "rfc2217://host", "socket://:4001", "socket://host:0",
          "socket://host:65536", "socket://host:4001/", "rfc2217://::1:4001", "rfc2217://[::1]4001",
          "rfc2217://[::1:4001", "socket://a b:1", "socket://[host]:1"}) {
        SCOPED_TRACE(name);
        CSerialPort port;
        EXPECT_EQ(ErrorOf([&] { port.Open(name); }), static_cast<std::uint32_t>(EINVAL));
        EXPECT_FALSE(port.IsOpen());
    }
    constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253,
                           DONT = 254;
    const std::vector<std::uint8_t> agree = {IAC, DO, 44, IAC, DO, 0, IAC, WILL, 0};
    auto answers = [&](std::uint8_t baudHigh) {
        return std::vector<std::uint8_t>{IAC, SB,  44,  101, 0,   0,   baudHigh, 0x80, IAC, SE,
                                         IAC, SB,  44,  102, 8,   IAC, SE,       IAC,  SB,  44,
                                         103, 1,   IAC, SE,  IAC, SB,  44,       104,  1,   IAC,
                                         SE,  IAC, SB,  44,  105, 1,   IAC,      SE};
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> greeting;
        std::vector<std::uint8_t> answer;
        std::uint32_t error;
    };
    const std::vector<Case> cases = {
        {"no COM-PORT-OPTION", {IAC, DONT, 44, IAC, DO, 0, IAC, WILL, 0}, {}, EPROTONOSUPPORT},
        {"no binary mode", {IAC, DO, 44, IAC, DONT, 0, IAC, WONT, 0}, {}, ENOTSUP},
        {"another speed", agree, answers(0x4B), ENOTSUP},  // 0x4B80: 19328, not 9600
        {"every setting confirmed", agree, answers(0x25), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CCannedServer server(c.greeting, c.answer);
        CSerialPort port;
        EXPECT_EQ(ErrorOf([&] { port.Open(server.Url()); }), c.error);
        EXPECT_EQ(port.IsOpen(), c.error == 0);
    }
}

}  // namespace
