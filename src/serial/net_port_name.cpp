// Network port names: rfc2217://HOST:PORT and socket://HOST:PORT, checked before anything
// connects, with a reason for the user when a name is malformed.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "serial/net_port.h"

namespace {

const char kRfc2217Scheme[] = "rfc2217://";
const char kSocketScheme[] = "socket://";

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (s.size() < n) {
        return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool HostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Blanks, control characters and every byte outside ASCII: none is part of a URL.
bool OutsideUrl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x20 || u >= 0x7F;
}

}  // namespace

bool IsNetworkPortName(const std::string& name) {
    const auto start = std::find_if_not(name.begin(), name.end(), OutsideUrl);
    const std::string rest(start, name.end());
    return name.find("://") != std::string::npos || StartsWithNoCase(rest, "rfc2217:") ||
           StartsWithNoCase(rest, "socket:");
}

bool ParseNetworkPortName(const std::string& name, NetPortAddress& address, std::string& error) {
    NetPortAddress a;
    std::string rest;
    if (!name.empty() && (OutsideUrl(name.front()) || OutsideUrl(name.back()))) {
        error = "blanks or control characters before or after the URL";
        return false;
    }
    if (const auto bad = std::find_if(name.begin(), name.end(), OutsideUrl); bad != name.end()) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(*bad));
        error = std::string("a blank or control character (") + code + ") inside the URL";
        return false;
    }
    if (StartsWithNoCase(name, kRfc2217Scheme)) {
        a.rfc2217 = true;
        rest = name.substr(std::strlen(kRfc2217Scheme));
    } else if (StartsWithNoCase(name, kSocketScheme)) {
        rest = name.substr(std::strlen(kSocketScheme));
    } else {
        error = "a network port is rfc2217://HOST:PORT or socket://HOST:PORT";
        return false;
    }
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "the IPv6 address has no closing ]";
            return false;
        }
        a.host = rest.substr(1, close - 1);
        const bool v6 = !a.host.empty() && std::all_of(a.host.begin(), a.host.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        });
        if (!v6 || a.host.find(':') == std::string::npos) {
            error = "[" + a.host + "] is not an IPv6 address";
            return false;
        }
        if (close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = "no port: add :PORT after the address";
            return false;
        }
        portText = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.rfind(':');
        if (colon == std::string::npos) {
            error = "no port: add :PORT after the host";
            return false;
        }
        a.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
        if (a.host.find(':') != std::string::npos) {
            error = "an IPv6 address goes in brackets, as in [::1]:PORT";
            return false;
        }
        if (a.host.empty()) {
            error = "no host before the port";
            return false;
        }
        const auto bad = std::find_if_not(a.host.begin(), a.host.end(), HostNameChar);
        if (bad != a.host.end()) {
            error = std::string("'") + *bad + "' cannot be part of a host name";
            return false;
        }
    }
    unsigned long port = 0;
    const bool digits = !portText.empty() && portText.size() <= 5 &&
                        std::all_of(portText.begin(), portText.end(), [](char c) {
                            return std::isdigit(static_cast<unsigned char>(c)) != 0;
                        });
    if (digits) {
        port = std::stoul(portText);
    }
    if (!digits || port == 0 || port > 65535) {
        error = "the port must be a number from 1 to 65535";
        return false;
    }
    a.port = static_cast<std::uint16_t>(port);
    address = a;
    return true;
}
