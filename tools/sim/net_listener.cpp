// The simulator's network front end. One connection at a time: the terminal is opened as a
// serial server opens its device, bytes are passed both ways, and when the simulator hangs up
// the terminal the connection is closed, which is how a client sees an unplugged device.
#include "net_listener.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;
constexpr std::uint8_t kServerOffset = 100;

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

const std::pair<std::uint32_t, speed_t> kSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};

// One client's Telnet session (RFC 2217) or raw stream, over the terminal descriptor tty.
class Session {
public:
    Session(int tty, bool rfc2217) : m_tty(tty), m_rfc2217(rfc2217) {
        if (m_rfc2217) {
            // What a COM-port server offers: binary both ways and the COM-PORT-OPTION.
            m_us[kBinary] = m_us[kSuppressGoAhead] = true;
            m_him[kBinary] = m_him[kSuppressGoAhead] = m_him[kComPort] = true;
            Command(WILL, kBinary);
            Command(DO, kBinary);
            Command(WILL, kSuppressGoAhead);
            Command(DO, kSuppressGoAhead);
            Command(DO, kComPort);
        }
    }

    void FromClient(const std::uint8_t* bytes, std::size_t count) {
        if (!m_rfc2217) {
            toTty.insert(toTty.end(), bytes, bytes + count);
            return;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = bytes[i];
            switch (m_state) {
                case State::Data:
                    if (b == IAC) {
                        m_state = State::Command;
                    } else {
                        toTty.push_back(b);
                    }
                    break;
                case State::Command:
                    m_state = State::Data;
                    if (b == IAC) {
                        toTty.push_back(IAC);
                    } else if (b == SB) {
                        m_sub.clear();
                        m_state = State::Sub;
                    } else if (b >= WILL && b <= DONT) {
                        m_verb = b;
                        m_state = State::Option;
                    }
                    break;
                case State::Option:
                    m_state = State::Data;
                    OnOption(b);
                    break;
                case State::Sub:
                    if (b == IAC) {
                        m_state = State::SubIac;
                    } else if (m_sub.size() < 512) {
                        m_sub.push_back(b);
                    }
                    break;
                case State::SubIac:
                    if (b == IAC) {
                        m_sub.push_back(IAC);
                        m_state = State::Sub;
                    } else {
                        m_state = State::Data;
                        if (b == SE) {
                            OnComPort();
                        }
                    }
                    break;
            }
        }
    }

    void FromTty(const std::uint8_t* bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            toClient.push_back(bytes[i]);
            if (m_rfc2217 && bytes[i] == IAC) {
                toClient.push_back(IAC);
            }
        }
    }

    std::vector<std::uint8_t> toTty;
    std::vector<std::uint8_t> toClient;

private:
    enum class State { Data, Command, Option, Sub, SubIac };

    void Command(std::uint8_t verb, std::uint8_t option) {
        toClient.insert(toClient.end(), {IAC, verb, option});
    }

    void OnOption(std::uint8_t option) {
        const bool ours = option == kBinary || option == kSuppressGoAhead;
        const bool theirs = ours || option == kComPort;
        switch (m_verb) {
            case DO:
                if (!ours) {
                    Command(WONT, option);
                } else if (!m_us[option]) {
                    m_us[option] = true;
                    Command(WILL, option);
                }
                break;
            case DONT:
                if (m_us[option]) {
                    m_us[option] = false;
                    Command(WONT, option);
                }
                break;
            case WILL:
                if (!theirs) {
                    Command(DONT, option);
                } else if (!m_him[option]) {
                    m_him[option] = true;
                    Command(DO, option);
                }
                break;
            case WONT:
                if (m_him[option]) {
                    m_him[option] = false;
                    Command(DONT, option);
                }
                break;
            default:
                break;
        }
    }

    void Answer(std::uint8_t command, const std::vector<std::uint8_t>& value) {
        toClient.insert(toClient.end(),
                        {IAC, SB, kComPort, static_cast<std::uint8_t>(command + kServerOffset)});
        for (std::uint8_t b : value) {
            toClient.push_back(b);
            if (b == IAC) {
                toClient.push_back(IAC);
            }
        }
        toClient.insert(toClient.end(), {IAC, SE});
    }

    // Applies a setting to the terminal and answers with what the terminal then holds: a
    // value the terminal cannot take is answered with the one it kept.
    void OnComPort() {
        if (m_sub.size() < 2 || m_sub[0] != kComPort) {
            return;
        }
        const std::uint8_t command = m_sub[1];
        const std::vector<std::uint8_t> value(m_sub.begin() + 2, m_sub.end());
        const std::uint8_t v = value.empty() ? 0 : value[0];
        termios t{};
        tcgetattr(m_tty, &t);
        switch (command) {
            case 0:  // signature
                if (value.empty()) {
                    Answer(command, {'q', 'u', 'i', 'l', 'l', 'o', 'n', '-', 's', 'i', 'm'});
                }
                return;
            case 1: {  // baud rate
                if (value.size() == 4) {
                    const std::uint32_t baud = (std::uint32_t{value[0]} << 24) |
                                               (std::uint32_t{value[1]} << 16) |
                                               (std::uint32_t{value[2]} << 8) | value[3];
                    for (const auto& [rate, speed] : kSpeeds) {
                        if (rate == baud) {
                            cfsetispeed(&t, speed);
                            cfsetospeed(&t, speed);
                        }
                    }
                    tcsetattr(m_tty, TCSANOW, &t);
                    tcgetattr(m_tty, &t);
                }
                std::uint32_t now = 0;
                for (const auto& [rate, speed] : kSpeeds) {
                    if (cfgetospeed(&t) == speed) {
                        now = rate;
                    }
                }
                Answer(command,
                       {static_cast<std::uint8_t>(now >> 24), static_cast<std::uint8_t>(now >> 16),
                        static_cast<std::uint8_t>(now >> 8), static_cast<std::uint8_t>(now)});
                return;
            }
            case 2: {  // data size
                static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
                if (v >= 5 && v <= 8) {
                    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[v - 5];
                    tcsetattr(m_tty, TCSANOW, &t);
                    tcgetattr(m_tty, &t);
                }
                const tcflag_t size = t.c_cflag & CSIZE;
                Answer(command, {static_cast<std::uint8_t>(size == CS5   ? 5
                                                           : size == CS6 ? 6
                                                           : size == CS7 ? 7
                                                                         : 8)});
                return;
            }
            case 3:  // parity: 1 none, 2 odd, 3 even
                if (v >= 1 && v <= 3) {
                    t.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
                    t.c_cflag |= v == 2 ? (PARENB | PARODD) : v == 3 ? PARENB : 0;
                    tcsetattr(m_tty, TCSANOW, &t);
                    tcgetattr(m_tty, &t);
                }
                Answer(command, {static_cast<std::uint8_t>((t.c_cflag & PARENB) == 0   ? 1
                                                           : (t.c_cflag & PARODD) != 0 ? 2
                                                                                       : 3)});
                return;
            case 4:  // stop bits: 1 or 2
                if (v == 1 || v == 2) {
                    t.c_cflag = v == 2 ? (t.c_cflag | CSTOPB) : (t.c_cflag & ~CSTOPB);
                    tcsetattr(m_tty, TCSANOW, &t);
                    tcgetattr(m_tty, &t);
                }
                Answer(command, {static_cast<std::uint8_t>((t.c_cflag & CSTOPB) != 0 ? 2 : 1)});
                return;
            case 5:  // flow control: 1 none, 2 XON/XOFF, 3 hardware; the rest is not a line
                if (v >= 1 && v <= 3) {
                    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
                    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
                    t.c_iflag |= v == 2 ? (IXON | IXOFF) : 0;
                    t.c_cflag |= v == 3 ? CRTSCTS : 0;
                    tcsetattr(m_tty, TCSANOW, &t);
                    tcgetattr(m_tty, &t);
                }
                if (v <= 3) {
                    Answer(command, {static_cast<std::uint8_t>((t.c_iflag & IXON) != 0      ? 2
                                                               : (t.c_cflag & CRTSCTS) != 0 ? 3
                                                                                            : 1)});
                } else {
                    Answer(command, {v});
                }
                return;
            case 12:  // purge: 1 towards the client, 2 towards the line, 3 both
                if ((v & 1) != 0) {
                    tcflush(m_tty, TCIFLUSH);
                    toClient.clear();  // nothing of it is data the client asked for yet
                }
                if ((v & 2) != 0) {
                    tcflush(m_tty, TCOFLUSH);
                    toTty.clear();
                }
                Answer(command, {v});
                return;
            default:
                if (command < kServerOffset) {
                    Answer(command, value);  // masks and notices: acknowledged, no effect
                }
                return;
        }
    }

    int m_tty;
    bool m_rfc2217;
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sub;
    bool m_us[256] = {};
    bool m_him[256] = {};
};

// Writes what the descriptor takes now; false when the other end is gone.
bool Flush(int fd, std::vector<std::uint8_t>& pending, bool socket) {
    while (!pending.empty()) {
        const ssize_t n = socket ? send(fd, pending.data(), pending.size(), MSG_NOSIGNAL)
                                 : write(fd, pending.data(), pending.size());
        if (n > 0) {
            pending.erase(pending.begin(), pending.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

}  // namespace

bool CSimNetListener::ParseSpec(const std::string& spec, bool& rfc2217, std::string& host,
                                std::uint16_t& port, std::string& error) {
    const std::size_t colon = spec.find(':');
    const std::string mode = spec.substr(0, colon);
    if (colon == std::string::npos || (mode != "rfc2217" && mode != "socket")) {
        error = "'" + spec + "': expected rfc2217:[HOST:]PORT or socket:[HOST:]PORT";
        return false;
    }
    std::string rest = spec.substr(colon + 1);
    std::string h = "127.0.0.1";
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find("]:");
        if (close == std::string::npos) {
            error = "'" + spec + "': an IPv6 address goes as [ADDRESS]:PORT";
            return false;
        }
        h = rest.substr(1, close - 1);
        rest = rest.substr(close + 2);
    } else if (const std::size_t last = rest.rfind(':'); last != std::string::npos) {
        h = rest.substr(0, last);
        rest = rest.substr(last + 1);
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long p = std::strtoul(rest.c_str(), &end, 10);
    if (rest.empty() || *end != '\0' || errno != 0 || p > 65535 || h.empty() || rest[0] == '-') {
        error = "'" + spec + "': PORT is a number from 0 (any free port) to 65535";
        return false;
    }
    rfc2217 = mode == "rfc2217";
    host = h;
    port = static_cast<std::uint16_t>(p);
    return true;
}

CSimNetListener::CSimNetListener(bool rfc2217, const std::string& host, std::uint16_t port,
                                 std::function<std::string()> terminal)
    : m_rfc2217(rfc2217), m_terminal(std::move(terminal)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        throw std::system_error(EINVAL, std::generic_category(),
                                "listen on " + host + ": " + gai_strerror(rc));
    }
    const addrinfo& ai = *list;
    m_listen = socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
    const int one = 1;
    if (m_listen < 0 || setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(m_listen, ai.ai_addr, ai.ai_addrlen) != 0 || listen(m_listen, 1) != 0) {
        const int e = errno;
        freeaddrinfo(list);
        if (m_listen >= 0) {
            close(m_listen);
        }
        errno = e;
        ThrowErrno("listen on " + host + ":" + service);
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&bound), &len);
    const std::uint16_t boundPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    freeaddrinfo(list);
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    m_url =
        std::string(rfc2217 ? "rfc2217://" : "socket://") + shown + ":" + std::to_string(boundPort);
    if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(m_listen);
        ThrowErrno("pipe");
    }
}

CSimNetListener::~CSimNetListener() {
    Stop();
    close(m_listen);
    close(m_wake[0]);
    close(m_wake[1]);
}

void CSimNetListener::Start() {
    m_thread = std::thread([this] { Run(); });
}

void CSimNetListener::Stop() {
    if (m_thread.joinable()) {
        const char c = 's';
        (void)!write(m_wake[1], &c, 1);
        m_thread.join();
    }
}

void CSimNetListener::Report(const std::string& text) {
    if (onReport) {
        onReport(text);
    }
}

void CSimNetListener::Run() {
    for (;;) {
        pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            return;
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        const int client = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
            Serve(client);
        }
    }
}

void CSimNetListener::Serve(int client) {
    const int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string path = m_terminal();
    const int tty = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (tty < 0) {
        Report("cannot open " + path + " for the network client: " + std::strerror(errno));
        close(client);
        return;
    }
    termios t{};
    if (tcgetattr(tty, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(tty, TCSANOW, &t);
    }
    Report("network client connected");
    Session session(tty, m_rfc2217);
    std::uint8_t buffer[4096];
    bool open = true;
    while (open) {
        pollfd fds[3] = {
            {m_wake[0], POLLIN, 0},
            {client, static_cast<short>(POLLIN | (session.toClient.empty() ? 0 : POLLOUT)), 0},
            {tty, static_cast<short>(POLLIN | (session.toTty.empty() ? 0 : POLLOUT)), 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            break;  // stopping; the wake byte stays for Run
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = recv(client, buffer, sizeof buffer, 0);
            if (n > 0) {
                session.FromClient(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                Report("network client disconnected");
                break;
            }
        }
        if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = read(tty, buffer, sizeof buffer);
            if (n > 0) {
                session.FromTty(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The device went away: so does the connection, as with a device server.
                Report("the terminal hung up: closing the network connection");
                open = false;
            }
        }
        if (!Flush(tty, session.toTty, false) || !Flush(client, session.toClient, true)) {
            break;
        }
    }
    // What the device said before it hung up still reaches the client, within reason.
    for (int i = 0; i < 100 && !session.toClient.empty(); ++i) {
        pollfd p{client, POLLOUT, 0};
        if (poll(&p, 1, 10) < 0 || !Flush(client, session.toClient, true)) {
            break;
        }
    }
    close(tty);
    close(client);
}
