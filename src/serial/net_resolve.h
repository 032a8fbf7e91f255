// Name resolution for network ports (net_resolve.cpp): getaddrinfo cannot be given a time-out,
// so it runs on a few threads of its own and the caller waits only until its deadline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/net_socket.h"

namespace net {

// One address of a host as getaddrinfo gives it: what socket() and connect() take.
struct Address {
    int family = 0;
    int socktype = 0;
    int protocol = 0;
    std::vector<std::uint8_t> sockaddr;
};

// Every address of host by deadline (an IPv6 address is never looked up as a name); raises
// CSerialException ("name resolution") when there are none, or none in time. Starts Winsock.
std::vector<Address> LookUp(const std::string& host, std::uint16_t port, TimePoint deadline);

}  // namespace net
