#include "app/terminal_text.h"

#include <cstdio>

#include "common/utf8.h"

namespace {

// Characters that are not controls to Unicode's C0/C1 ranges but still break the line or
// reorder what follows on it.
bool IsLayoutControl(char32_t cp) {
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string TerminalText(std::string_view text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    char escaped[16];
    char32_t cp = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = Utf8SequenceAt(text, at, cp);
        if (n == 0 || (n == 1 && (cp < 0x20 || cp == 0x7F))) {
            const auto byte = static_cast<unsigned char>(text[at]);
            if (byte == '\n' && keepNewlines) {
                out += '\n';
            } else if (byte == '\n') {
                out += "\\n";
            } else if (byte == '\r') {
                out += "\\r";
            } else if (byte == '\t') {
                out += "\\t";
            } else {
                std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                out += escaped;
            }
            ++at;
            continue;
        }
        if ((cp >= 0x80 && cp <= 0x9F) || IsLayoutControl(cp)) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
            out += escaped;
        } else {
            out += text.substr(at, n);
        }
        at += n;
    }
    return out;
}

std::string TerminalMessage(std::string_view text, const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        // The next name in the text; the longest where two begin at the same place.
        std::size_t next = text.size();
        std::size_t length = 0;
        for (const std::string& name : names) {
            const std::size_t found = name.empty() ? std::string_view::npos : text.find(name, at);
            if (found < next || (found == next && found != text.size() && name.size() > length)) {
                next = found;
                length = name.size();
            }
        }
        out += TerminalText(text.substr(at, next - at), true);
        out += TerminalText(text.substr(next, length));
        at = next + length;
    }
    return out;
}
