// TCP for network ports. BSD sockets and Winsock differ only in names and error reporting;
// the differences stay in this file.
// The project's headers first: windows.h defines PURGE_TXCLEAR and PURGE_RXCLEAR as macros,
// which are ILine's own names.
#include "serial/net_socket.h"
#include "serial/net_resolve.h"
#include "serial/port_line.h"
#include "serial/serial_system.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <chrono>
#include <cstring>

namespace net {

namespace {

#ifdef _WIN32
using SysSocket = SOCKET;
constexpr std::uint32_t kInProgress = WSAEWOULDBLOCK;
constexpr std::uint32_t kInterrupted = WSAEINTR;

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(WSAGetLastError());
}

#else
using SysSocket = int;
constexpr std::uint32_t kInProgress = EINPROGRESS;
constexpr std::uint32_t kInterrupted = EINTR;

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}
#endif

bool WouldBlock(std::uint32_t err) {
#ifdef _WIN32
    return err == WSAEWOULDBLOCK;
#else
    return err == EAGAIN || err == EWOULDBLOCK;
#endif
}

SysSocket Sys(NetSocket s) {
    return static_cast<SysSocket>(s);
}

[[noreturn]] void ThrowLast(const char* operation) {
    const std::uint32_t err = LastError();
    ThrowSerialException(err != 0 ? err : ProtocolError(), operation);
}

bool SetNonBlocking(SysSocket s) {
#ifdef _WIN32
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
#else
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
#endif
}

// Waits for the socket by deadline; the poll() or select() result (0: the deadline passed).
int WaitFor(SysSocket s, bool forRead, bool forWrite, TimePoint deadline, Readiness& r) {
    for (;;) {
        const int ms = MsUntil(deadline);
#ifdef _WIN32
        // select, not WSAPoll: older WSAPoll never reports a refused connection.
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &readable);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        const int rc =
            select(0, forRead ? &readable : nullptr, forWrite ? &writable : nullptr, &failed, &tv);
        if (rc >= 0) {
            r.readable = rc > 0 && ((forRead && FD_ISSET(s, &readable)) || FD_ISSET(s, &failed));
            r.writable = rc > 0 && forWrite && FD_ISSET(s, &writable);
            return rc;
        }
#else
        pollfd p{s, static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0)), 0};
        const int rc = poll(&p, 1, ms);
        if (rc >= 0) {
            r.readable = (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
            r.writable = (p.revents & POLLOUT) != 0;
            return rc;
        }
#endif
        if (LastError() != kInterrupted) {
            return -1;
        }
    }
}

// One address: a connected socket, or kNoSocket with the reason in error.
NetSocket ConnectOne(const Address& ai, TimePoint deadline, std::uint32_t& error) {
#ifdef _WIN32
    const SysSocket s = WSASocketW(ai.family, ai.socktype, ai.protocol, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = LastError();
        return kNoSocket;
    }
#else
    const SysSocket s = socket(ai.family, ai.socktype | SOCK_CLOEXEC, ai.protocol);
    if (s < 0) {
        error = LastError();
        return kNoSocket;
    }
#endif
    const NetSocket handle = static_cast<NetSocket>(s);
    if (!SetNonBlocking(s)) {
        error = LastError();
        Close(handle);
        return kNoSocket;
    }
    // Each protocol message is one small write, answered before the next: Nagle's delay
    // would hold every one of them back for an acknowledgement.
    const int one = 1;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);

    if (connect(s, reinterpret_cast<const sockaddr*>(ai.sockaddr.data()),
                static_cast<int>(ai.sockaddr.size())) != 0) {
        const std::uint32_t err = LastError();
        if (err != kInProgress && !WouldBlock(err)) {
            error = err;
            Close(handle);
            return kNoSocket;
        }
        Readiness r;
        const int rc = WaitFor(s, false, true, deadline, r);
        if (rc <= 0) {
            error = rc < 0 ? LastError() : TimedOutError();
            Close(handle);
            return kNoSocket;
        }
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0) {
            soError = static_cast<int>(LastError());
        }
        if (soError != 0) {
            error = static_cast<std::uint32_t>(soError);
            Close(handle);
            return kNoSocket;
        }
    }
    return handle;
}

}  // namespace

#ifdef _WIN32
const NetSocket kNoSocket = static_cast<NetSocket>(INVALID_SOCKET);
std::uint32_t HangUpError() {
    return WSAECONNRESET;
}
std::uint32_t TimedOutError() {
    return WSAETIMEDOUT;
}
std::uint32_t NotSupportedError() {
    return WSAEOPNOTSUPP;
}
std::uint32_t ProtocolError() {
    return WSAEPROTONOSUPPORT;
}
std::uint32_t NoBufferError() {
    return WSAENOBUFS;
}
#else
const NetSocket kNoSocket = -1;
std::uint32_t HangUpError() {
    return ECONNRESET;
}
std::uint32_t TimedOutError() {
    return ETIMEDOUT;
}
std::uint32_t NotSupportedError() {
    return ENOTSUP;
}
std::uint32_t ProtocolError() {
    return EPROTONOSUPPORT;
}
std::uint32_t NoBufferError() {
    return ENOBUFS;
}
#endif

NetSocket Connect(const std::string& host, std::uint16_t port, TimePoint deadline) {
    std::uint32_t error = TimedOutError();
    for (const Address& ai : LookUp(host, port, deadline)) {
        if (MsUntil(deadline) == 0) {
            error = TimedOutError();
            break;
        }
        const NetSocket s = ConnectOne(ai, deadline, error);
        if (s != kNoSocket) {
            return s;
        }
    }
    ThrowSerialException(error, "connect");
}

void Close(NetSocket s) noexcept {
    if (s == kNoSocket) {
        return;
    }
#ifdef _WIN32
    closesocket(Sys(s));
#else
    ::close(Sys(s));
#endif
}

long Receive(NetSocket s, void* buffer, std::size_t count) {
    for (;;) {
#ifdef _WIN32
        const int n = recv(Sys(s), static_cast<char*>(buffer), static_cast<int>(count), 0);
#else
        const ssize_t n = recv(Sys(s), buffer, count, MSG_DONTWAIT);
#endif
        if (n > 0) {
            return static_cast<long>(n);
        }
        if (n == 0) {
            return count == 0 ? 0 : -1;
        }
        const std::uint32_t err = LastError();
        if (WouldBlock(err)) {
            return 0;
        }
        if (err != kInterrupted) {
            ThrowSerialException(err, "recv");
        }
    }
}

std::size_t SendSome(NetSocket s, const void* buffer, std::size_t count) {
    for (;;) {
#ifdef _WIN32
        const int n = send(Sys(s), static_cast<const char*>(buffer), static_cast<int>(count), 0);
#else
        // No SIGPIPE for a connection the other side closed: that is reported as an error.
        const ssize_t n = send(Sys(s), buffer, count, MSG_DONTWAIT | MSG_NOSIGNAL);
#endif
        if (n >= 0) {
            return static_cast<std::size_t>(n);
        }
        const std::uint32_t err = LastError();
        if (WouldBlock(err)) {
            return 0;
        }
        if (err != kInterrupted) {
            ThrowSerialException(err, "send");
        }
    }
}

Readiness Wait(NetSocket s, bool forRead, bool forWrite, TimePoint deadline) {
    Readiness r;
    if (WaitFor(Sys(s), forRead, forWrite, deadline, r) < 0) {
#ifdef _WIN32
        ThrowLast("select");
#else
        ThrowLast("poll");
#endif
    }
    return r;
}

}  // namespace net
