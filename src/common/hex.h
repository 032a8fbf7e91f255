// Numbers as the messages and the history write them: "0x05", "0x4000".
#pragma once

#include <cstdio>
#include <string>

inline std::string HexText(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}
