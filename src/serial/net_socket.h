// The few TCP calls a network port needs, the same on POSIX and Winsock. Failures raise
// CSerialException with the system's code (errno / WSAGetLastError), so a network port fails
// the way a local one does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
using NetSocket = std::uintptr_t;  // SOCKET
#else
using NetSocket = int;
#endif

namespace net {

extern const NetSocket kNoSocket;

// Codes for conditions that have no system call of their own to report them.
std::uint32_t HangUpError();        // the other side closed the connection
std::uint32_t TimedOutError();      // no connection, or no answer, in time
std::uint32_t NotSupportedError();  // the server refused what the line needs
std::uint32_t BadAddressError();    // a malformed URL
std::uint32_t ProtocolError();      // the server does not speak the protocol

// Resolves host (a name, an IPv4 address or an IPv6 address) and connects to the first of its
// addresses that answers, all within timeoutMs. The socket is non-blocking, without Nagle's
// delay, and not inherited by child processes.
NetSocket Connect(const std::string& host, std::uint16_t port, unsigned timeoutMs);
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
// Waits at most timeoutMs (negative: for ever) until the socket is readable, or (when asked)
// writable.
Readiness Wait(NetSocket s, bool forWrite, int timeoutMs);

}  // namespace net
