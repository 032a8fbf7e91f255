// Network port names, and RFC 2217 as it goes over the wire, against a server on 127.0.0.1
// that says what each case gives it.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "serial/net_port.h"
#include "serial/serial_port.h"
#include "serial_test_support.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

TEST(NetworkPortName, FormsAndWhatIsWrongWithThem) {
    struct Case {
        const char* name;
        const char* parsed;  // "rfc2217|HOST|PORT" or "socket|HOST|PORT"; else the error
    };
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
        {"socket://a b:1", "' ' cannot be part of a host name"},
        {"socket://host:0", "the port must be a number from 1 to 65535"},
        {"socket://host:65536", "the port must be a number from 1 to 65535"},
        {"socket://host:", "the port must be a number from 1 to 65535"},
        {"socket://host:+1", "the port must be a number from 1 to 65535"},
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
    }
    // Not meant as network ports (a malformed one still is: see FailedOpens).
    for (const char* name : {"/dev/ttyUSB0", "COM3", "rfc2217:/", "sockets://h:1", "socket:", ""}) {
        EXPECT_FALSE(IsNetworkPortName(name)) << name;
    }
}

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
// client has ended that many subnegotiations (IAC SE) in all; a reply "close" closes. It keeps
// what it heard until the client closed.
class CScriptedServer {
public:
    struct Step {
        int subnegotiations;
        std::string reply;
    };
    explicit CScriptedServer(std::vector<Step> script) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listen, 1);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
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
                send(c, step.reply.data(), step.reply.size(), MSG_NOSIGNAL);
            }
            while (open && script.back().reply != "close") {
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
    };
    const Case cases[] = {
        {"no COM-PORT-OPTION", {{0, {IAC, DONT, 44, IAC, DO, 0, IAC, WILL, 0}}}, EPROTONOSUPPORT},
        {"no binary mode", {{0, {IAC, DO, 44, IAC, DONT, 0, IAC, WONT, 0}}}, ENOTSUP},
        {"binary mode one way only", {{0, {IAC, DO, 44, IAC, DO, 0, IAC, WONT, 0}}}, ENOTSUP},
        {"another speed", {{0, kAgree}, {5, Answers('\x4B')}}, ENOTSUP},  // 19328, not 9600
        {"a setting left unanswered", {{0, kAgree}, {5, Answers('\x25').substr(0, 31)}}, ETIMEDOUT},
        {"gone before its answers", {{0, kAgree}, {5, "close"}}, ECONNRESET},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CScriptedServer server(c.script);
        CSerialPort port;
        EXPECT_EQ(ErrorOf([&] { port.Open(server.Url()); }), c.error);
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
#endif

}  // namespace
