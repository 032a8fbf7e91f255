// Hexadecimal digit values by table: the loader and the image writer decode every
// character of a firmware file, so this is the hot path of a conversion.
#pragma once

#include <array>
#include <cstddef>

namespace hex_digits {

constexpr std::array<signed char, 256> MakeTable() {
    std::array<signed char, 256> table{};
    for (auto& v : table) {
        v = -1;
    }
    for (int c = '0'; c <= '9'; ++c) {
        table[static_cast<std::size_t>(c)] = static_cast<signed char>(c - '0');
    }
    for (int c = 0; c < 6; ++c) {
        table[static_cast<std::size_t>('A' + c)] = static_cast<signed char>(10 + c);
        table[static_cast<std::size_t>('a' + c)] = static_cast<signed char>(10 + c);
    }
    return table;
}

inline constexpr std::array<signed char, 256> kTable = MakeTable();

// 0..15, or -1 for a character that is not a hexadecimal digit.
inline int Value(char c) {
    return kTable[static_cast<unsigned char>(c)];
}

// Two characters already known to be hexadecimal digits.
inline unsigned Pair(const char* p) {
    return static_cast<unsigned>(Value(p[0]) * 16 + Value(p[1]));
}

}  // namespace hex_digits
