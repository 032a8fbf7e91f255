// Network port names: rfc2217://HOST:PORT (Telnet with the COM-PORT-OPTION: the server sets its
// line to 9600 8N1 without flow control) and socket://HOST:PORT (raw TCP: the server's line
// settings are its own). CSerialPort opens names of these forms as network ports, so the link
// and the transfer see the same line as on a local port.
#pragma once

#include <cstdint>
#include <string>

struct NetPortAddress {
    bool rfc2217 = false;  // false: socket://
    std::string host;      // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

// True when the name looks like a URL, whether or not it is well formed: it contains "://", or
// it begins with "rfc2217:" or "socket:" in any case, blanks before it allowed. Such a name is a
// network port or nothing: it is never opened as a local file.
bool IsNetworkPortName(const std::string& name);

// Checks the form SCHEME://HOST:PORT exactly (HOST a name, an IPv4 address or [an IPv6
// address]; PORT 1 to 65535; no blanks, control characters or anything else around or inside
// it). On a fault, error says what is wrong.
bool ParseNetworkPortName(const std::string& name, NetPortAddress& address, std::string& error);
