// Network port names, and RFC 2217 as it goes over the wire, against a server on 127.0.0.1
// that says what each case gives it.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "serial/net_port.h"
#include "serial/serial_port.h"
#include "serial_test_support.h"
#include "test_util.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pty_pair.h"
#endif

namespace {

TEST(NetworkPortName, FormsAndWhatIsWrongWithThem) {
    struct Case {
        const char* name;
        const char* parsed;  // "rfc2217|HOST|PORT" or "socket|HOST|PORT"; else the error
    };
    const char* const kBlanks = "blanks or control characters before or after the URL";
    const char* const kPort = "the port must be a number from 1 to 65535";
    const Case cases[] = {
        {"rfc2217://192.0.2.21:4001", "rfc2217|192.0.2.21|4001"},
        {"RFC2217://Host-1.example_x:1", "rfc2217|Host-1.example_x|1"},
        {"SoCkEt://[fe80::1]:65535", "socket|fe80::1|65535"},
        {"socket://[::ffff:192.0.2.1]:00080", "socket|::ffff:192.0.2.1|80"},
        {"serial://host:1", "a network port is rfc2217://HOST:PORT or socket://HOST:PORT"},
        {"rfc2217://[::1:4001", "the IPv6 address has no closing ]"},
        {"rfc2217://[1234]:1", "[1234] is not an IPv6 address"},
        {"rfc2217://[fe80::g]:1", "[fe80::g] is not an IPv6 address"},
        {"rfc2217://[::1]4001", "no port: add :PORT after the address"},
        {"rfc2217://host", "no port: add :PORT after the host"},
        {"RFC2217://", "no port: add :PORT after the host"},
        {"rfc2217://::1:4001", "an IPv6 address goes in brackets, as in [::1]:PORT"},
        {"socket://:4001", "no host before the port"},
        {"socket://user@host:1", "'@' cannot be part of a host name"},
        {"socket://host:0", kPort},
        {"socket://host:65536", kPort},
        {"socket://host:", kPort},
        {"socket://host:+1", kPort},
        // Blanks and control characters, wherever they are.
        {" socket://127.0.0.1:4000", kBlanks},
        {"socket://host:1\n", kBlanks},
        {"socket://a b:1", "a blank or control character (0x20) inside the URL"},
        {"socket://host\x7F:1", "a blank or control character (0x7F) inside the URL"},
    };
    for (const Case& c : cases) {
        NetPortAddress address;
        std::string error;
        std::string parsed;
        if (ParseNetworkPortName(c.name, address, error)) {
            parsed = std::string(address.rfc2217 ? "rfc2217|" : "socket|") + address.host + "|" +
                     std::to_string(address.port);
        } else {
            parsed = error;
            EXPECT_EQ(address.host, "") << c.name << ": filled although refused";
        }
        EXPECT_EQ(parsed, c.parsed) << c.name;
        EXPECT_TRUE(IsNetworkPortName(c.name)) << c.name;
    }
    // Names that look like a URL are network ports or nothing, however malformed.
    for (const char* name : {"sockets://h:1", "http://x", "rfc2217:/",
                             "SOCKET:", " \nsocket:", "x://y", "/tmp/a://b"}) {
        EXPECT_TRUE(IsNetworkPortName(name)) << name;
    }
    for (const char* name :
         {"/dev/ttyUSB0", "COM3", "\\\\.\\COM10", "", "/tmp/socket:x", "socket", " /dev/rfc2217"}) {
        EXPECT_FALSE(IsNetworkPortName(name)) << name;
    }
}

#ifndef _WIN32
// A name that looks like a URL is never opened as a local file, not even where one by that
// name leads to a terminal.
TEST(NetworkPortName, MalformedUrlIsNeverOpenedAsAFile) {
    ScratchDir dir;
    CPtyPair pty;
    const fs::path saved = fs::current_path();
    fs::current_path(dir.Path());
    for (const std::string name :
         {" socket://127.0.0.1:4000", "socket://localhost:1\n", "Socket:/x"}) {
        SCOPED_TRACE(name);
        const fs::path link = dir / name;
        fs::create_directories(link.parent_path());
        fs::create_symlink(pty.SlavePath(), link);
        CSerialPort port;
        std::string operation;
        try {
            port.Open(name);
        } catch (const CSerialException& e) {
            EXPECT_EQ(e.m_dwError, static_cast<std::uint32_t>(EINVAL));
            operation = e.m_operation;
        }
        EXPECT_EQ(operation, "port name");
        EXPECT_FALSE(port.IsOpen());
    }
    fs::current_path(saved);
}
#endif

#ifndef _WIN32
constexpr char IAC = '\xFF', SB = '\xFA', SE = '\xF0', WILL = '\xFB', WONT = '\xFC', DO = '\xFD',
               DONT = '\xFE';

std::string Sub(std::string body) {
    return std::string{IAC, SB, 44} + body + std::string{IAC, SE};
}

// The server's answers to the five line settings, its speed byte given.
std::string Answers(char speed) {
    return Sub(std::string{101, 0, 0, speed, '\x80'}) + Sub("\x66\x08") + Sub("\x67\x01") +
           Sub("\x68\x01") + Sub("\x69\x01");
}

const std::string kAgree = {IAC, DO, 44, IAC, DO, 0, IAC, WILL, 0};

// One connection on 127.0.0.1 that follows a script: before each reply it waits until the
// client has ended that many subnegotiations (IAC SE) in all; a reply "close" closes. A step
// with repeatMs sends its reply again and again, that many ms apart, never reading, until the
// client has gone. It keeps what it heard until the client closed.
class CScriptedServer {
public:
    struct Step {
        int subnegotiations;
        std::string reply;
        int repeatMs = -1;
    };
    explicit CScriptedServer(std::vector<Step> script, const char* scheme = "rfc2217") {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listen, 1);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_url = std::string(scheme) + "://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        m_thread = std::thread([this, script] {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) {
                return;  // the client never came
            }
            const int c = accept(m_listen, nullptr, nullptr);
            bool open = true;
            for (const Step& step : script) {
                while (open && Ends() < step.subnegotiations) {
                    open = Hear(c);
                }
                if (step.reply == "close") {
                    break;
                }
                while (send(c, step.reply.data(), step.reply.size(), MSG_NOSIGNAL) >= 0 &&
                       step.repeatMs >= 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(step.repeatMs));
                }
                open = open && step.repeatMs < 0;
            }
            while (open && script.back().reply != "close" && script.back().repeatMs < 0) {
                open = Hear(c);
            }
            close(c);
        });
    }
    ~CScriptedServer() {
        Join();
        close(m_listen);
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    const std::string& Url() const { return m_url; }
    std::string heard;

private:
    bool Hear(int c) {
        char b[256];
        const ssize_t n = recv(c, b, sizeof b, 0);
        heard.append(b, n > 0 ? static_cast<std::size_t>(n) : 0);
        return n > 0;
    }
    int Ends() const {
        int n = 0;
        for (std::size_t at = 0; (at = heard.find(std::string{IAC, SE}, at)) != heard.npos; ++at) {
            ++n;
        }
        return n;
    }

    int m_listen;
    std::string m_url;
    std::thread m_thread;
};

TEST(Rfc2217, ServersThatRefuseTheLine) {
    struct Case {
        const char* what;
        std::vector<CScriptedServer::Step> script;
        std::uint32_t error;
        const char* operation;
    };
    const Case cases[] = {
        {"no COM-PORT-OPTION",
         {{0, {IAC, DONT, 44, IAC, DO, 0, IAC, WILL, 0}}},
         EPROTONOSUPPORT,
         "RFC 2217 COM-PORT-OPTION"},
        {"no binary mode",
         {{0, {IAC, DO, 44, IAC, DONT, 0, IAC, WONT, 0}}},
         ENOTSUP,
         "Telnet binary mode"},
        {"binary mode one way only",
         {{0, {IAC, DO, 44, IAC, DO, 0, IAC, WONT, 0}}},
         ENOTSUP,
         "Telnet binary mode"},
        {"another speed",
         {{0, kAgree}, {5, Answers('\x4B')}},
         ENOTSUP,  // 19328, not 9600
         "RFC 2217 baud rate answer"},
        {"a setting left unanswered",
         {{0, kAgree}, {5, Answers('\x25').substr(0, 31)}},
         ETIMEDOUT,
         "RFC 2217 flow control answer"},
        {"gone before its answers",
         {{0, kAgree}, {5, "close"}},
         ECONNRESET,
         "RFC 2217 baud rate answer"},
        {"gone before the options", {{0, "close"}}, ECONNRESET, "Telnet option answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CScriptedServer server(c.script);
        CSerialPort port;
        const Raised r = RaisedBy([&] { port.Open(server.Url()); });
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.operation, c.operation);
    }
}

// The whole conversation of one open, two purges, a read and a write, byte for byte.
TEST(Rfc2217, OpenPurgeReadAndWriteOnTheWire) {
    // Options it does not want, a NOP, a signature request, a COM-PORT subnegotiation with no
    // command (ignored, never read past); SGA granted, then taken back.
    const std::string greeting = kAgree + std::string{IAC, DO, 1, IAC, WILL, 1, IAC, '\xF1'} +
                                 Sub("\x64") + Sub("") + std::string{IAC, DO, 3, IAC, DONT, 3};
    CScriptedServer server({{0, greeting},
                            {6, Answers('\x25')},
                            {7, Sub("\x70\x02")},
                            {8, "old" + Sub("\x70\x01") + "A" + std::string{IAC, IAC} + "B"}});
    CSerialPort port;
    port.Open(server.Url());
    // As the link purges: output, then input, each on its own call.
    port.Purge(CSerialPort::PURGE_TXCLEAR, In(5000));
    port.Purge(CSerialPort::PURGE_RXCLEAR, In(5000));
    EXPECT_EQ(ReadFor(port, 3),
              "A\xFF"
              "B");
    port.Write("\xFF\x01", 2, In(5000));
    port.Close();
    server.Join();
    const std::string offer = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44};
    const std::string replies = {IAC, WONT, 1, IAC, DONT, 1};
    const std::string line = Sub(std::string{1, 0, 0, '\x25', '\x80'}) + Sub("\x02\x08") +
                             Sub("\x03\x01") + Sub("\x04\x01") + Sub("\x05\x01");
    const std::string expected = offer + replies + Sub(std::string("\0Quillon", 8)) +
                                 std::string{IAC, WONT, 3} + line + Sub("\x0C\x02") +
                                 Sub("\x0C\x01") + std::string{IAC, IAC, 1};
    EXPECT_EQ(server.heard, expected);
}

// Device servers that misbehave on purpose. Each ends in a CSerialException naming what failed,
// by the deadline of the call (the open's 5 s, a step's 1 s) plus a margin: no crash, no wait
// without end, no memory without bound.
TEST(NetworkPort, HostileServersEndByTheDeadline) {
    const std::string flip = {IAC, DO, 0, IAC, DONT, 0};  // answered every time
    // Refused every time, and leaves binary mode alone: a flip of binary mode during the open
    // may as well end the open as a refused binary mode, which is true too.
    const std::string refused = {IAC, DO, 24, IAC, WILL, 24};
    const std::string storm = {IAC, WILL, 1, IAC, DO, 24, IAC, WILL, 31, IAC, DO, 39};
    const std::string xon(4096, '\x11');
    const std::vector<CScriptedServer::Step> opened = {{0, kAgree}, {5, Answers('\x25')}};
    auto then = [&](CScriptedServer::Step step) {
        std::vector<CScriptedServer::Step> script = opened;
        script.push_back(step);
        return script;
    };
    struct Case {
        const char* what;
        const char* scheme;
        std::vector<CScriptedServer::Step> script;
        bool opens;  // else the open itself fails
        std::uint32_t error;
        const char* operation;
        Clock::duration budget;
    };
    const char* const kRunaway = "negotiation did not end";
    const char* const kFlood = "receive buffer full (the device sends without pause)";
    const Case cases[] = {
        {"negotiation flood during the open, never reading",
         "rfc2217",
         {{0, kAgree}, {0, refused, 0}},
         false,
         EPROTONOSUPPORT,
         kRunaway,
         5s},
        {"negotiation flood after the open, never reading", "rfc2217", then({6, flip, 0}), true,
         EPROTONOSUPPORT, kRunaway, 1s},
        {"slow option storm that never settles",
         "rfc2217",
         {{0, storm, 250}},
         false,
         ETIMEDOUT,
         kRunaway,
         5s},
        {"slow option storm instead of the answers",
         "rfc2217",
         {{0, kAgree}, {5, storm, 250}},
         false,
         ETIMEDOUT,
         kRunaway,
         5s},
        {"purge never answered", "rfc2217", opened, true, ETIMEDOUT, "RFC 2217 purge answer", 1s},
        {"XON flood", "rfc2217", then({5, xon, 0}), true, ENOBUFS, kFlood, 1s},
        {"XON flood, raw", "socket", {{0, xon, 0}}, true, ENOBUFS, kFlood, 1s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CScriptedServer server(c.script, c.scheme);
        CSerialPort port;
        if (c.opens) {
            ASSERT_NO_THROW(port.Open(server.Url()));
        }
        const auto start = Clock::now();
        std::uint32_t error = 0;
        std::string operation;
        try {
            if (!c.opens) {
                port.Open(server.Url());
            }
            // One exchange of the link: both purges, a message, then the reply's polls.
            std::this_thread::sleep_for(100ms);
            const auto deadline = In(1000);
            port.Purge(CSerialPort::PURGE_TXCLEAR, deadline);
            port.Purge(CSerialPort::PURGE_RXCLEAR, deadline);
            port.Write(" fMast", 6, deadline);
            char buf[200];
            while (Clock::now() < deadline) {
                port.WaitReadable(deadline);
                port.Read(buf, sizeof buf);
            }
        } catch (const CSerialException& e) {
            error = e.m_dwError;
            operation = e.m_operation;
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(operation, c.operation);
        EXPECT_LT(Clock::now() - start, c.budget + 3s);
    }
}
#endif

}  // namespace
