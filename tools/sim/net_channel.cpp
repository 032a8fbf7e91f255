// The network front end: the Telnet session, and the TCP server that carries it. BSD sockets
// and Winsock differ only in names and error reporting; the differences stay in this file.
#include "net_channel.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <cstdlib>
#include <system_error>

namespace {

#ifdef _WIN32
using Socket = SOCKET;
using IoSize = int;
const Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;

int LastError() {
    return WSAGetLastError();
}
bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}
void CloseSocket(Socket s) {
    closesocket(s);
}
bool SetNonBlocking(Socket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using Socket = int;
using IoSize = std::size_t;
const Socket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;

int LastError() {
    return errno;
}
bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
void CloseSocket(Socket s) {
    close(s);
}
bool SetNonBlocking(Socket s) {
    return fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK) == 0;
}
#endif

[[noreturn]] void ThrowSocketError(const std::string& what, int error = LastError()) {
    throw std::system_error(error, std::system_category(), what);
}

class CNetChannel final : public CSimChannel {
public:
    CNetChannel(bool rfc2217, std::string host, std::uint16_t port)
        : m_rfc2217(rfc2217), m_host(std::move(host)), m_port(port), m_session(rfc2217) {}
    ~CNetChannel() override { Close(); }

    void Open() override {
#ifdef _WIN32
        static const int started = [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data);
        }();
        if (started != 0) {
            ThrowSocketError("WSAStartup", started);
        }
#endif
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* list = nullptr;
        const std::string service = std::to_string(m_port);
        if (const int rc = getaddrinfo(m_host.c_str(), service.c_str(), &hints, &list); rc != 0) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "listen on " + m_host + ": " + gai_strerror(rc));
        }
        m_listen = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
#ifndef _WIN32
        // On Windows this option would let another program take the port from under us.
        const int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
        const bool ok =
            m_listen != kNoSocket &&
            bind(m_listen, list->ai_addr, static_cast<socklen_t>(list->ai_addrlen)) == 0 &&
            listen(m_listen, 1) == 0 && SetNonBlocking(m_listen);
        const int error = LastError();
        freeaddrinfo(list);
        if (!ok) {
            Close();
            ThrowSocketError("listen on " + m_host + ":" + service, error);
        }
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&bound), &len);
        const std::uint16_t port =
            ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        const std::string shown =
            m_host.find(':') != std::string::npos ? "[" + m_host + "]" : m_host;
        m_url = std::string(m_rfc2217 ? "rfc2217://" : "socket://") + shown + ":" +
                std::to_string(port);
    }

    std::string Name() const override {
        return m_url;
    }

    Event Wait(std::optional<Clock::time_point> deadline) override {
        for (;;) {
            Flush();
            if (!m_session.toDevice.empty()) {
                return Event::Input;
            }
            const bool connected = m_client != kNoSocket;
            const Socket s = connected ? m_client : m_listen;
            const short events =
                static_cast<short>(POLLIN | (m_session.toClient.empty() ? 0 : POLLOUT));
            short revents = 0;
#ifdef _WIN32
            // WSAPoll cannot wait for the wake-up event as well: it waits in short steps.
            auto step = std::chrono::milliseconds(5);
            if (deadline) {
                step = std::clamp(
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()),
                    std::chrono::milliseconds(0), step);
            }
            WSAPOLLFD p{s, events, 0};
            const int rc = WSAPoll(&p, 1, static_cast<int>(step.count()));
            if (Sleep(0)) {
                return Event::Woken;
            }
            revents = rc > 0 ? p.revents : 0;
            if (revents == 0) {
                if (deadline && Clock::now() >= *deadline) {
                    return Event::Timeout;
                }
                continue;
            }
#else
            const Event event = Poll(s, events, deadline, &revents);
            if (event != Event::Input) {
                return event;
            }
#endif
            if (!connected) {
                Accept();
            } else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                Receive();
            }
            if (deadline && Clock::now() >= *deadline && m_session.toDevice.empty()) {
                return Event::Timeout;
            }
        }
    }

    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const std::size_t n = std::min(size, m_session.toDevice.size());
        std::copy_n(m_session.toDevice.begin(), n, buffer);
        m_session.toDevice.erase(m_session.toDevice.begin(),
                                 m_session.toDevice.begin() + static_cast<long>(n));
        return n;
    }

    std::size_t Write(const std::uint8_t* bytes, std::size_t size) override {
        if (m_client != kNoSocket) {
            m_session.FromDevice(bytes, size);
            Flush();
        }
        return size;  // without a client, nobody hears it, as on a line
    }

    void HangUp(bool) override {
        LetTheClientRead();
        Drop("hung up: closing the network connection");
    }

    // What the device said before it hung up still reaches the client, within reason.
    void LetTheClientRead() override {
        for (int i = 0; i < 100 && m_client != kNoSocket && !m_session.toClient.empty(); ++i) {
#ifdef _WIN32
            WSAPOLLFD p{m_client, POLLOUT, 0};
            WSAPoll(&p, 1, 10);
#else
            pollfd p{m_client, POLLOUT, 0};
            poll(&p, 1, 10);
#endif
            Flush();
        }
    }

    void Close() override {
        if (m_client != kNoSocket) {
            CloseSocket(m_client);
            m_client = kNoSocket;
        }
        if (m_listen != kNoSocket) {
            CloseSocket(m_listen);
            m_listen = kNoSocket;
        }
    }

    std::string Line() const override {
        return m_session.Line();
    }

private:
    void Notice(const std::string& text) {
        if (onNotice) {
            onNotice(text);
        }
    }

    void Accept() {
        const Socket client = accept(m_listen, nullptr, nullptr);
        if (client == kNoSocket) {
            return;
        }
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                   sizeof one);
        SetNonBlocking(client);
        m_client = client;
        m_session = CTelnetSession(m_rfc2217);
        Notice("network client connected");
    }

    void Receive() {
        char buffer[4096];
        const auto n = recv(m_client, buffer, sizeof buffer, 0);
        if (n > 0) {
            m_session.FromClient(reinterpret_cast<const std::uint8_t*>(buffer),
                                 static_cast<std::size_t>(n));
        } else if (n == 0 || !WouldBlock(LastError())) {
            Drop("network client disconnected");
        }
    }

    // Sends what the socket takes now; a connection that fails is dropped.
    void Flush() {
        auto& out = m_session.toClient;
        while (m_client != kNoSocket && !out.empty()) {
            const auto n = send(m_client, reinterpret_cast<const char*>(out.data()),
                                static_cast<IoSize>(out.size()), kSendFlags);
            if (n > 0) {
                out.erase(out.begin(), out.begin() + static_cast<long>(n));
            } else if (n == 0 || !WouldBlock(LastError())) {
                Drop("network client disconnected");
            } else {
                return;
            }
        }
    }

    void Drop(const std::string& why) {
        if (m_client != kNoSocket) {
            CloseSocket(m_client);
            m_client = kNoSocket;
            m_session = CTelnetSession(m_rfc2217);
            m_session.toClient.clear();
            Notice(why);
        }
    }

    bool m_rfc2217;
    std::string m_host;
    std::uint16_t m_port;
    std::string m_url;
    Socket m_listen = kNoSocket;
    Socket m_client = kNoSocket;
    CTelnetSession m_session;
};

}  // namespace

std::unique_ptr<CSimChannel> MakeNetChannel(bool rfc2217, const std::string& host,
                                            std::uint16_t port) {
    return std::make_unique<CNetChannel>(rfc2217, host, port);
}

bool ParseSimListen(const std::string& text, bool& rfc2217, std::string& host, std::uint16_t& port,
                    std::string& error) {
    const std::size_t colon = text.find(':');
    const std::string mode = text.substr(0, colon);
    if (colon == std::string::npos || (mode != "rfc2217" && mode != "socket")) {
        error = "'" + text + "': expected rfc2217:[HOST:]PORT or socket:[HOST:]PORT";
        return false;
    }
    std::string rest = text.substr(colon + 1);
    std::string h = "127.0.0.1";
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find("]:");
        if (close == std::string::npos) {
            error = "'" + text + "': an IPv6 address goes as [ADDRESS]:PORT";
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
        error = "'" + text + "': PORT is a number from 0 (any free port) to 65535";
        return false;
    }
    rfc2217 = mode == "rfc2217";
    host = h;
    port = static_cast<std::uint16_t>(p);
    return true;
}
