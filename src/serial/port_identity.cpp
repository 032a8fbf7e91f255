// Port identities: what a name leads to, compared with what every earlier name leads to.
#include "serial/port_identity.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <set>
#include <tuple>

#include "serial/net_port.h"
#include "serial/net_socket.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

// What one name leads to: a set of keys, any of which shared with another name's set makes
// the two one device.
using Key = std::tuple<int, std::string, std::uint64_t, std::uint64_t>;
using Keys = std::set<Key>;
enum KeyKind { kSpelling, kEndpoint, kCharDevice, kFile };

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// The scheme aside: rfc2217:// and socket:// to one server are one device.
Keys NetworkKeys(const NetPortAddress& address, ILine::TimePoint deadline) {
    Keys keys = {{kSpelling, Lower(address.host), address.port, 0}};
    try {
        // Host names know no case; looked up in one, they are found alike everywhere.
        for (const net::Endpoint& e : net::Resolve(Lower(address.host), address.port, deadline)) {
            const std::size_t size = e.v6 ? 16 : 4;
            keys.emplace(kEndpoint, std::string(e.address.begin(), e.address.begin() + size),
                         e.port, 0);
        }
    } catch (const CSerialException&) {
        // Not found, or not in time: the open will say so. Until then the spelling counts.
    }
    return keys;
}

Keys LocalKeys(const std::string& name) {
    Keys keys;
#ifdef _WIN32
    // COM3, com3 and \\.\COM3 are one port; other names are compared without their case.
    std::string n = Lower(name);
    if (n.rfind("\\\\.\\", 0) == 0) {
        n = n.substr(4);
    }
    keys.emplace(kSpelling, n, 0, 0);
#else
    struct stat st {};
    if (stat(name.c_str(), &st) != 0) {
        std::error_code ec;
        keys.emplace(kSpelling, std::filesystem::absolute(name, ec).lexically_normal().string(), 0,
                     0);
    } else if (S_ISCHR(st.st_mode)) {
        keys.emplace(kCharDevice, std::string(), static_cast<std::uint64_t>(st.st_rdev), 0);
    } else {
        keys.emplace(kFile, std::string(), static_cast<std::uint64_t>(st.st_dev),
                     static_cast<std::uint64_t>(st.st_ino));
    }
#endif
    return keys;
}

bool Overlap(const Keys& a, const Keys& b) {
    return std::any_of(a.begin(), a.end(), [&](const Key& k) { return b.count(k) != 0; });
}

}  // namespace

std::optional<SamePort> FindSamePort(const std::vector<std::string>& names) {
    const auto deadline = RealClock().Now() + std::chrono::seconds(5);
    std::vector<Keys> seen;
    for (std::size_t i = 0; i < names.size(); ++i) {
        NetPortAddress address;
        std::string error;
        Keys keys;
        if (ParseNetworkPortName(names[i], address, error)) {
            keys = NetworkKeys(address, deadline);
        } else {
            keys = LocalKeys(names[i]);
        }
        for (std::size_t j = 0; j < seen.size(); ++j) {
            if (Overlap(seen[j], keys)) {
                return SamePort{j, i};
            }
        }
        seen.push_back(std::move(keys));
    }
    return std::nullopt;
}
