// TCP for network ports. BSD sockets and Winsock differ only in names and error reporting;
// the differences stay in this file.
// The project's headers first: windows.h defines PURGE_TXCLEAR and PURGE_RXCLEAR as macros,
// which are CSerialPort's own names.
#include "serial/net_socket.h"
#include "serial/serial_port.h"
#include "serial/serial_system.h"

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

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace net {

namespace {

using Clock = std::chrono::steady_clock;

#ifdef _WIN32
using SysSocket = SOCKET;
constexpr std::uint32_t kInProgress = WSAEWOULDBLOCK;
constexpr std::uint32_t kInterrupted = WSAEINTR;

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(WSAGetLastError());
}

// Winsock counts its users; the port never hands its last one back, so it stays started for
// the life of the process, which is what every thread using it needs.
void StartWinsock() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        ThrowSerialException(static_cast<std::uint32_t>(started));
    }
}
#else
using SysSocket = int;
constexpr std::uint32_t kInProgress = EINPROGRESS;
constexpr std::uint32_t kInterrupted = EINTR;

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

void StartWinsock() {}
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

[[noreturn]] void ThrowLast() {
    const std::uint32_t err = LastError();
    ThrowSerialException(err != 0 ? err : ProtocolError());
}

#ifndef _WIN32
// getaddrinfo's codes are not errno values: they travel in a range of their own, so that the
// exception still names the system's reason ("Name or service not known").
constexpr std::uint32_t kResolverBase = 0x20000000;
#endif

std::uint32_t ResolverError(int rc, std::uint32_t systemError) {
#ifdef _WIN32
    (void)systemError;
    return static_cast<std::uint32_t>(rc);
#else
    if (rc == EAI_SYSTEM) {
        return systemError != 0 ? systemError : ProtocolError();
    }
    return kResolverBase | static_cast<std::uint32_t>(-rc);
#endif
}

// Name resolution cannot be given a time-out, so it runs on a thread of its own; when the
// deadline passes first, the caller gives up and the thread frees the answer when it comes.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int rc = 0;
    std::uint32_t systemError = 0;
    addrinfo* result = nullptr;
};

struct AddrInfoFree {
    void operator()(addrinfo* a) const { freeaddrinfo(a); }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

AddrList Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline) {
    auto lookup = std::make_shared<Lookup>();
    const std::string service = std::to_string(port);
    std::thread([lookup, host, service] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* result = nullptr;
        const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
        const std::uint32_t systemError = LastError();
        std::lock_guard<std::mutex> lock(lookup->mutex);
        if (lookup->abandoned) {
            if (result != nullptr) {
                freeaddrinfo(result);
            }
            return;
        }
        lookup->rc = rc;
        lookup->systemError = systemError;
        lookup->result = result;
        lookup->finished = true;
        lookup->done.notify_one();
    }).detach();

    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        ThrowSerialException(TimedOutError());
    }
    if (lookup->rc != 0) {
        ThrowSerialException(ResolverError(lookup->rc, lookup->systemError));
    }
    if (lookup->result == nullptr) {
        ThrowSerialException(ResolverError(EAI_NONAME, 0));
    }
    return AddrList(lookup->result);
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

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// One address: a connected socket, or kNoSocket with the reason in error.
NetSocket ConnectOne(const addrinfo& ai, Clock::time_point deadline, std::uint32_t& error) {
#ifdef _WIN32
    const SysSocket s = WSASocketW(ai.ai_family, ai.ai_socktype, ai.ai_protocol, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        error = LastError();
        return kNoSocket;
    }
#else
    const SysSocket s = socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol);
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

    if (connect(s, ai.ai_addr, static_cast<int>(ai.ai_addrlen)) != 0) {
        const std::uint32_t err = LastError();
        if (err != kInProgress && !WouldBlock(err)) {
            error = err;
            Close(handle);
            return kNoSocket;
        }
#ifdef _WIN32
        // select, not WSAPoll: older WSAPoll never reports a refused connection.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        const int ms = MsLeft(deadline);
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        const int rc = select(0, nullptr, &writable, &failed, &tv);
#else
        pollfd p{s, POLLOUT, 0};
        int rc;
        while ((rc = poll(&p, 1, MsLeft(deadline))) < 0 && errno == EINTR) {
        }
#endif
        if (rc < 0) {
            error = LastError();
            Close(handle);
            return kNoSocket;
        }
        if (rc == 0) {
            error = TimedOutError();
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
std::uint32_t BadAddressError() {
    return WSAEINVAL;
}
std::uint32_t ProtocolError() {
    return WSAEPROTONOSUPPORT;
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
std::uint32_t BadAddressError() {
    return EINVAL;
}
std::uint32_t ProtocolError() {
    return EPROTONOSUPPORT;
}
#endif

NetSocket Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs) {
    StartWinsock();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const AddrList list = Resolve(host, port, deadline);
    std::uint32_t error = TimedOutError();
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (Clock::now() >= deadline) {
            error = TimedOutError();
            break;
        }
        const NetSocket s = ConnectOne(*ai, deadline, error);
        if (s != kNoSocket) {
            return s;
        }
    }
    ThrowSerialException(error);
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
            ThrowSerialException(err);
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
            ThrowSerialException(err);
        }
    }
}

Readiness Wait(NetSocket s, bool forWrite, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int ms = timeoutMs < 0 ? -1 : MsLeft(deadline);
#ifdef _WIN32
        fd_set readable, writable, failed;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(Sys(s), &readable);
        FD_SET(Sys(s), &failed);
        if (forWrite) {
            FD_SET(Sys(s), &writable);
        }
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        const int rc =
            select(0, &readable, forWrite ? &writable : nullptr, &failed, ms < 0 ? nullptr : &tv);
        if (rc >= 0) {
            Readiness r;
            r.readable = FD_ISSET(Sys(s), &readable) || FD_ISSET(Sys(s), &failed);
            r.writable = forWrite && FD_ISSET(Sys(s), &writable);
            return r;
        }
#else
        pollfd p{Sys(s), static_cast<short>(POLLIN | (forWrite ? POLLOUT : 0)), 0};
        const int rc = poll(&p, 1, ms);
        if (rc >= 0) {
            Readiness r;
            r.readable = (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
            r.writable = (p.revents & POLLOUT) != 0;
            return r;
        }
#endif
        if (LastError() != kInterrupted) {
            ThrowLast();
        }
    }
}

}  // namespace net

#ifndef _WIN32
bool NetResolverErrorText(std::uint32_t code, std::string& text) {
    if ((code & 0xFFFF0000u) != net::kResolverBase) {
        return false;
    }
    text = gai_strerror(-static_cast<int>(code & 0xFFFFu));
    return true;
}
#endif
