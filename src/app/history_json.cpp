// The history's records as JSON: one flat object per line, written and read strictly.
// Strings are written as UTF-8 only: a text that is not (a file or port name in another
// encoding) is written with U+FFFD for each stray byte, and its bytes follow in hex in a
// field of its own, KEY_hex, so that strict readers take the line and nothing is lost.
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

#include "app/history.h"
#include "common/utf8.h"

namespace {

// Every control (C0, DEL, C1) and the line separators are escaped as well: a line shown on a
// terminal runs nothing, and JavaScript's readers take it too.
void AppendJsonString(std::string& out, const std::string& text) {
    const std::string value = ValidUtf8(text);
    out += '"';
    char32_t cp = 0;
    for (std::size_t at = 0; at < value.size();) {
        const std::size_t n = Utf8SequenceAt(value, at, cp);
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
                    out += escaped;
                } else {
                    out.append(value, at, n);
                }
        }
        at += n;
    }
    out += '"';
}

void Field(std::string& out, const char* key, const std::string& value, bool nullWhenEmpty) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
    if (nullWhenEmpty && value.empty()) {
        out += "null";
        return;
    }
    AppendJsonString(out, value);
    if (!IsUtf8(value)) {
        out += ",\"";
        out += key;
        out += "_hex\":\"";
        static const char kDigits[] = "0123456789abcdef";
        for (const char c : value) {
            out += kDigits[static_cast<unsigned char>(c) >> 4];
            out += kDigits[static_cast<unsigned char>(c) & 0xF];
        }
        out += '"';
    }
}

void Field(std::string& out, const char* key, long long value, bool nullWhenNegative) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
    out += nullWhenNegative && value < 0 ? std::string("null") : std::to_string(value);
}

// A JSON value of the kinds a record holds.
struct Value {
    enum Kind { String, Number, Null, Other } kind = Null;
    std::string text;
    long long number = 0;
};

// A strict reader for one flat JSON object on one line.
class Reader {
public:
    explicit Reader(const std::string& s) : m_s(s) {}

    template <typename OnPair>
    bool Object(OnPair onPair) {
        Skip();
        if (!Eat('{'))
            return false;
        Skip();
        if (!Eat('}')) {
            do {
                std::string key;
                Value value;
                Skip();
                if (!String(key))
                    return false;
                Skip();
                if (!Eat(':'))
                    return false;
                Skip();
                if (!ParseValue(value) || !onPair(key, value))
                    return false;
                Skip();
            } while (Eat(','));
            if (!Eat('}'))
                return false;
        }
        Skip();
        return m_i == m_s.size();
    }

private:
    bool Eat(char c) {
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    void Skip() {
        while (m_i < m_s.size() &&
               (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\r' || m_s[m_i] == '\n'))
            ++m_i;
    }
    bool Literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (m_s.compare(m_i, n, word) != 0)
            return false;
        m_i += n;
        return true;
    }
    bool ParseValue(Value& v) {
        if (m_i >= m_s.size())
            return false;
        const char c = m_s[m_i];
        if (c == '"') {
            v.kind = Value::String;
            return String(v.text);
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = Value::Number;
            return Number(v.number);
        }
        if (Literal("null")) {
            v.kind = Value::Null;
            return true;
        }
        v.kind = Value::Other;
        return Literal("true") || Literal("false");
    }
    bool Number(long long& out) {
        const bool negative = Eat('-');
        const std::size_t first = m_i;
        unsigned long long value = 0;
        while (m_i < m_s.size() && m_s[m_i] >= '0' && m_s[m_i] <= '9') {
            const unsigned digit = static_cast<unsigned>(m_s[m_i] - '0');
            if (value > (std::numeric_limits<unsigned long long>::max() - digit) / 10)
                return false;
            value = value * 10 + digit;
            ++m_i;
        }
        if (m_i == first ||
            value > static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
            return false;
        // Leading zeros, fractions and exponents are not ours.
        if ((m_i - first > 1 && m_s[first] == '0') ||
            (m_i < m_s.size() && (m_s[m_i] == '.' || m_s[m_i] == 'e' || m_s[m_i] == 'E')))
            return false;
        out = negative ? -static_cast<long long>(value) : static_cast<long long>(value);
        return true;
    }
    bool Hex4(unsigned& out) {
        if (m_s.size() - m_i < 4)
            return false;
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const char h = m_s[m_i++];
            out <<= 4;
            if (h >= '0' && h <= '9')
                out |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                out |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                out |= static_cast<unsigned>(h - 'A' + 10);
            else
                return false;
        }
        return true;
    }
    static void Utf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool String(std::string& out) {
        if (!Eat('"'))
            return false;
        out.clear();
        while (m_i < m_s.size()) {
            const char c = m_s[m_i++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_i >= m_s.size())
                return false;
            switch (m_s[m_i++]) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = 0;
                    if (!Hex4(cp))
                        return false;
                    if (cp >= 0xD800 && cp < 0xDC00) {
                        unsigned low = 0;
                        if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low >= 0xE000)
                            return false;
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp < 0xE000) {
                        return false;
                    }
                    Utf8(out, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    const std::string& m_s;
    std::size_t m_i = 0;
};

bool Take(const Value& v, std::string& out) {
    if (v.kind == Value::Null) {
        out.clear();
        return true;
    }
    if (v.kind != Value::String)
        return false;
    out = v.text;
    return true;
}

bool Take(const Value& v, std::uint64_t& out) {
    if (v.kind != Value::Number || v.number < 0)
        return false;
    out = static_cast<std::uint64_t>(v.number);
    return true;
}

}  // namespace

std::string JsonString(const std::string& value) {
    std::string out;
    AppendJsonString(out, value);
    return out;
}

std::string RecordToJson(const RunRecord& r) {
    std::string out = "{";
    Field(out, "start", r.start, false);
    Field(out, "end", r.end, false);
    Field(out, "front_end", r.frontEnd, false);
    Field(out, "port", r.port, false);
    Field(out, "file", r.file, false);
    Field(out, "sha256", r.sha256, true);
    Field(out, "target", r.target, false);
    Field(out, "image_version", r.imageVersion, true);
    Field(out, "chip_reply", r.chipReply, true);
    Field(out, "bytes_sent", static_cast<long long>(r.bytesSent), false);
    Field(out, "bytes_total", static_cast<long long>(r.bytesTotal), false);
    Field(out, "outcome", r.outcome, false);
    Field(out, "ending", r.ending, false);
    Field(out, "detail", r.detail, true);
    if (!r.trace.empty()) {  // only runs that wrote one name it
        Field(out, "trace", r.trace, false);
    }
    out += '}';
    return out;
}

namespace {

// The record's texts by their keys.
std::string* TextField(RunRecord& r, std::string_view key) {
    static const std::pair<const char*, std::string RunRecord::*> kFields[] = {
        {"start", &RunRecord::start},        {"end", &RunRecord::end},
        {"front_end", &RunRecord::frontEnd}, {"port", &RunRecord::port},
        {"file", &RunRecord::file},          {"sha256", &RunRecord::sha256},
        {"target", &RunRecord::target},      {"chip_reply", &RunRecord::chipReply},
        {"outcome", &RunRecord::outcome},    {"ending", &RunRecord::ending},
        {"detail", &RunRecord::detail},      {"trace", &RunRecord::trace},
    };
    for (const auto& [name, member] : kFields) {
        if (key == name)
            return &(r.*member);
    }
    return nullptr;
}

bool FromHex(const std::string& hex, std::string& bytes) {
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        for (const char h : {hex[i], hex[i + 1]}) {
            value <<= 4;
            if (h >= '0' && h <= '9')
                value |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                value |= static_cast<unsigned>(h - 'a' + 10);
            else
                return false;
        }
        bytes += static_cast<char>(value);
    }
    return true;
}

}  // namespace

bool RecordFromJson(const std::string& line, RunRecord& record) {
    RunRecord r;
    bool hasStart = false;
    bool hasOutcome = false;
    std::map<std::string, std::string> hex;  // a text's original bytes, by key
    Reader reader(line);
    const bool ok = reader.Object([&](const std::string& key, const Value& v) {
        if (key == "start")
            hasStart = v.kind == Value::String;
        if (key == "outcome")
            hasOutcome = v.kind == Value::String;
        if (std::string* text = TextField(r, key))
            return Take(v, *text);
        const std::string base = key.ends_with("_hex") ? key.substr(0, key.size() - 4) : "";
        if (!base.empty() && TextField(r, base) != nullptr)
            return v.kind == Value::String && FromHex(v.text, hex[base]);
        if (key == "bytes_sent")
            return Take(v, r.bytesSent);
        if (key == "bytes_total")
            return Take(v, r.bytesTotal);
        if (key == "image_version") {
            if (v.kind == Value::Null) {
                r.imageVersion = -1;
                return true;
            }
            if (v.kind != Value::Number || v.number < 0 || v.number > 255)
                return false;
            r.imageVersion = static_cast<int>(v.number);
            return true;
        }
        return true;  // a field of a later version
    });
    if (!ok || !hasStart || !hasOutcome)
        return false;
    // The bytes stand for the text they were written with; any other pair is not ours.
    for (const auto& [key, bytes] : hex) {
        std::string& text = *TextField(r, key);
        if (IsUtf8(bytes) || ValidUtf8(bytes) != text)
            return false;
        text = bytes;
    }
    record = std::move(r);
    return true;
}
