// Name resolution. The lookups run on a small pool of threads that never end, so that a lookup
// its caller gave up on finishes there unobserved, and no thread is started per lookup: under
// Wine, a run of short-lived detached threads once crashed in the mingw-w64 thread start (a
// thread began with a null argument).
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
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#endif

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace net {

namespace {

#ifdef _WIN32
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
        ThrowSerialException(static_cast<std::uint32_t>(started), "WSAStartup");
    }
}
#else
std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

void StartWinsock() {}

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

struct Request {
    std::string host;
    std::uint16_t port = 0;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int rc = 0;
    std::uint32_t systemError = 0;
    std::vector<Address> result;
};

void Resolve(Request& r) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    // A host with a colon is an IPv6 address (it came in brackets): never a name to ask a name
    // server about.
    hints.ai_flags = AI_NUMERICSERV | (r.host.find(':') != std::string::npos ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(r.host.c_str(), std::to_string(r.port).c_str(), &hints, &list);
    const std::uint32_t systemError = LastError();
    std::vector<Address> result;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(ai->ai_addr);
        result.push_back({ai->ai_family, ai->ai_socktype, ai->ai_protocol,
                          std::vector<std::uint8_t>(bytes, bytes + ai->ai_addrlen)});
    }
    if (list != nullptr) {
        freeaddrinfo(list);
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    r.rc = rc;
    r.systemError = systemError;
    r.result = std::move(result);
    r.finished = true;
    r.done.notify_one();
}

// A new thread only when none is idle, up to kMaxThreads (lookups stuck at a slow name server
// hold theirs); beyond that a lookup waits its turn, until its caller's deadline.
class CResolverPool {
public:
    void Submit(std::shared_ptr<Request> request) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(request));
        if (m_idle == 0 && m_threads < kMaxThreads) {
            ++m_threads;
            std::thread([this] { Serve(); }).detach();
        }
        m_work.notify_one();
    }

private:
    static constexpr int kMaxThreads = 8;

    [[noreturn]] void Serve() {
        for (;;) {
            std::shared_ptr<Request> request;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                ++m_idle;
                m_work.wait(lock, [this] { return !m_queue.empty(); });
                --m_idle;
                request = std::move(m_queue.front());
                m_queue.pop_front();
            }
            Resolve(*request);
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;
    std::deque<std::shared_ptr<Request>> m_queue;
    int m_idle = 0;
    int m_threads = 0;
};

CResolverPool& Pool() {
    static auto* pool = new CResolverPool;  // never destroyed: its threads outlive main
    return *pool;
}

}  // namespace

std::vector<Address> LookUp(const std::string& host, std::uint16_t port, TimePoint deadline) {
    StartWinsock();
    auto request = std::make_shared<Request>();
    request->host = host;
    request->port = port;
    Pool().Submit(request);
    std::unique_lock<std::mutex> lock(request->mutex);
    if (!request->done.wait_until(lock, deadline, [&] { return request->finished; })) {
        ThrowSerialException(TimedOutError(), "name resolution");
    }
    if (request->rc != 0) {
        ThrowSerialException(ResolverError(request->rc, request->systemError), "name resolution");
    }
    if (request->result.empty()) {
        ThrowSerialException(ResolverError(EAI_NONAME, 0), "name resolution");
    }
    return std::move(request->result);
}

std::vector<Endpoint> Resolve(const std::string& host, std::uint16_t port, TimePoint deadline) {
    std::vector<Endpoint> out;
    for (const Address& a : LookUp(host, port, deadline)) {
        Endpoint e;
        e.port = port;
        if (a.family == AF_INET && a.sockaddr.size() >= sizeof(sockaddr_in)) {
            sockaddr_in in{};
            std::memcpy(&in, a.sockaddr.data(), sizeof in);
            std::memcpy(e.address.data(), &in.sin_addr, 4);
        } else if (a.family == AF_INET6 && a.sockaddr.size() >= sizeof(sockaddr_in6)) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, a.sockaddr.data(), sizeof in6);
            const auto* b = reinterpret_cast<const std::uint8_t*>(&in6.sin6_addr);
            static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
            if (std::memcmp(b, kMapped, sizeof kMapped) == 0) {
                std::memcpy(e.address.data(), b + 12, 4);
            } else {
                e.v6 = true;
                std::memcpy(e.address.data(), b, 16);
            }
        } else {
            continue;
        }
        out.push_back(e);
    }
    return out;
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
