// The few TCP calls a network port needs, the same on POSIX and Winsock. Failures raise
// CSerialException with the system's code (errno / WSAGetLastError) and the call that failed,
// so a network port fails the way a local one does. Every wait ends by its deadline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/line.h"

#ifdef _WIN32
using NetSocket = std::uintptr_t;  // SOCKET
#else
using NetSocket = int;
#endif

namespace net {

using TimePoint = ILine::TimePoint;

extern const NetSocket kNoSocket;

// Codes for conditions that have no system call of their own to report them.
std::uint32_t HangUpError();        // the other side closed the connection
std::uint32_t TimedOutError();      // no connection, or no answer, in time
std::uint32_t NotSupportedError();  // the server refused what the line needs
std::uint32_t ProtocolError();      // the server does not speak the protocol
std::uint32_t NoBufferError();      // the server sends more than the line keeps

// One address a host name stands for, IPv4-mapped IPv6 addresses as the IPv4 address.
struct Endpoint {
    bool v6 = false;
    std::array<std::uint8_t, 16> address{};  // IPv4: the first four bytes
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// Every address of host (a name, an IPv4 address, or an IPv6 address, which is never looked
// up as a name), looked up by deadline; raises ("name resolution") when there are none.
std::vector<Endpoint> Resolve(const std::string& host, std::uint16_t port, TimePoint deadline);

// Resolves host and connects to the first of its addresses that answers, all by deadline. The
// socket is non-blocking, without Nagle's delay, and not inherited by child processes.
NetSocket Connect(const std::string& host, std::uint16_t port, TimePoint deadline);
void Close(NetSocket s) noexcept;

// What has arrived, without waiting: the byte count, 0 when nothing is waiting, -1 when the
// other side has closed the connection.
long Receive(NetSocket s, void* buffer, std::size_t count);
// What the socket takes now, without waiting (0 when its buffer is full).
std::size_t SendSome(NetSocket s, const void* buffer, std::size_t count);

struct Readiness {
    bool readable = false;  // data, a closed connection or an error: the next Receive tells
    bool writable = false;
};
// Waits until the socket is readable (when asked), writable (when asked) or deadline has
// passed, whichever comes first.
Readiness Wait(NetSocket s, bool forRead, bool forWrite, TimePoint deadline);

}  // namespace net
