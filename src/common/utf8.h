// UTF-8 as the JSON and terminal writers need it: names come from file systems and users, and
// may hold any bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), its code point in cp;
// 0 for a byte that starts none (a stray continuation byte, an overlong form, a surrogate, a
// code point beyond U+10FFFF, a sequence cut short).
inline std::size_t Utf8SequenceAt(std::string_view text, std::size_t at, char32_t& cp) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    std::size_t length = 0;
    unsigned low = 0x80;  // the range of the second byte, narrower after some leads
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned b = byte(at + i);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) {
            return 0;
        }
        value = (value << 6) | (b & 0x3F);
    }
    cp = value;
    return length;
}

inline bool IsUtf8(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = Utf8SequenceAt(text, at, cp);
        if (n == 0) {
            return false;
        }
        at += n;
    }
    return true;
}

// text with each byte that is not part of well-formed UTF-8 replaced by U+FFFD.
inline std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char32_t cp = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = Utf8SequenceAt(text, at, cp);
        out += n == 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(at, n);
        at += n == 0 ? 1 : n;
    }
    return out;
}
