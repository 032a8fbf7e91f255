// Whether two port names of one command reach the same device, whatever their spelling: the
// same serial device through two links or a bind mount, the same server through two host
// names, address forms or schemes. UI-free; the command line refuses such a pair before any
// port is touched.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct SamePort {
    std::size_t first;   // index of the earlier name
    std::size_t second;  // index of the later one
};

// The first later name that reaches a device an earlier one does; none when all differ.
// Network names are looked up (every address of each, IPv4-mapped IPv6 as IPv4; 5 s in all),
// and two are the same when an address and the port agree. Local names are the same device
// when they lead to the same character device, else to the same file. A name that cannot be
// looked up or found is compared as it is spelt.
std::optional<SamePort> FindSamePort(const std::vector<std::string>& names);
