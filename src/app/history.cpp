#include "app/history.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

std::string IsoUtc(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

fs::path DefaultHistoryFile() {
    fs::path base;
#ifdef _WIN32
    if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != 0) {
        base = fs::path(local);
    } else if (const wchar_t* home = _wgetenv(L"USERPROFILE"); home != nullptr && *home != 0) {
        base = fs::path(home) / "AppData" / "Local";
    }
#else
    // A relative XDG_DATA_HOME is invalid and ignored, as the XDG rules say.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home != '/') {
            const passwd* pw = getpwuid(getuid());
            home = pw != nullptr ? pw->pw_dir : nullptr;
        }
        if (home != nullptr && *home == '/') {
            base = fs::path(home) / ".local" / "share";
        }
    }
#endif
    return base.empty() ? fs::path() : base / "quillon" / "history.jsonl";
}

namespace {

void AppendJsonString(std::string& out, const std::string& value) {
    out += '"';
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
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
                if (u < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

void Field(std::string& out, const char* key, const std::string& value, bool nullWhenEmpty) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
    if (nullWhenEmpty && value.empty()) {
        out += "null";
    } else {
        AppendJsonString(out, value);
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

std::string Hex2(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

}  // namespace

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
    out += '}';
    return out;
}

bool RecordFromJson(const std::string& line, RunRecord& record) {
    RunRecord r;
    bool hasStart = false;
    bool hasOutcome = false;
    Reader reader(line);
    const bool ok = reader.Object([&](const std::string& key, const Value& v) {
        if (key == "start")
            return (hasStart = v.kind == Value::String) && Take(v, r.start);
        if (key == "outcome")
            return (hasOutcome = v.kind == Value::String) && Take(v, r.outcome);
        if (key == "end")
            return Take(v, r.end);
        if (key == "front_end")
            return Take(v, r.frontEnd);
        if (key == "port")
            return Take(v, r.port);
        if (key == "file")
            return Take(v, r.file);
        if (key == "sha256")
            return Take(v, r.sha256);
        if (key == "target")
            return Take(v, r.target);
        if (key == "chip_reply")
            return Take(v, r.chipReply);
        if (key == "ending")
            return Take(v, r.ending);
        if (key == "detail")
            return Take(v, r.detail);
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
    record = std::move(r);
    return true;
}

bool AppendRunRecord(const fs::path& file, const RunRecord& record, std::string& error) {
    if (file.empty()) {
        error = "no folder for application data";
        return false;
    }
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
        error = file.parent_path().string() + ": " + ec.message();
        return false;
    }
    std::string line = RecordToJson(record) + '\n';
#ifdef _WIN32
    auto fail = [&error, &file](const char* what) {
        error = file.string() + ": " + what + " failed (" +
                std::system_category().message(static_cast<int>(GetLastError())) + ")";
        return false;
    };
    // Append-only access: every write lands at the end, whatever the file pointer says.
    HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail("open");
    // The lock covers a byte far beyond any real length: a token that serialises the writers
    // while readers are never refused.
    OVERLAPPED lockAt{};
    lockAt.Offset = 0;
    lockAt.OffsetHigh = 0x7FFFFFFF;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt)) {
        fail("lock");
        CloseHandle(h);
        return false;
    }
    bool ok = true;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        // A line cut short by a crash gets its own line end, so ours is never glued to it.
        char last = '\n';
        DWORD got = 0;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        if (ReadFile(h, &last, 1, &got, &at) && got == 1 && last != '\n')
            line.insert(line.begin(), '\n');
    }
    DWORD written = 0;
    if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size())
        ok = fail("write");
    else if (!FlushFileBuffers(h))
        ok = fail("flush");
    UnlockFileEx(h, 0, 1, 0, &lockAt);
    CloseHandle(h);
    return ok;
#else
    auto fail = [&error, &file](const char* what) {
        error = file.string() + ": " + what + " failed (" + std::strerror(errno) + ")";
        return false;
    };
    const int fd = ::open(file.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail("open");
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        fail("lock");
        ::close(fd);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        // A line cut short by a crash gets its own line end, so ours is never glued to it.
        char last = '\n';
        if (::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
            line.insert(line.begin(), '\n');
    }
    bool ok = true;
    std::size_t done = 0;
    while (ok && done < line.size()) {
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = fail("write");
    }
    if (ok && ::fsync(fd) != 0)
        ok = fail("flush");
    ::close(fd);  // releases the lock
    return ok;
#endif
}

HistoryContents ReadHistory(const fs::path& file) {
    HistoryContents contents;
    std::error_code ec;
    if (file.empty() || !fs::exists(file, ec))
        return contents;
    contents.exists = true;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        contents.warnings.push_back(file.string() + ": cannot be read");
        return contents;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        RunRecord record;
        if (RecordFromJson(line, record)) {
            contents.records.push_back(std::move(record));
        } else {
            contents.warnings.push_back(file.string() + ": line " + std::to_string(number) +
                                        " is damaged and was skipped");
        }
    }
    return contents;
}

const std::vector<HistoryColumn>& HistoryColumns() {
    // What was run, where and how it ended first; the long texts last.
    static const std::vector<HistoryColumn> columns = {
        {"Start (UTC)", [](const RunRecord& r) { return r.start; }, false},
        {"End (UTC)", [](const RunRecord& r) { return r.end; }, false},
        {"Front end", [](const RunRecord& r) { return r.frontEnd; }, false},
        {"Outcome", [](const RunRecord& r) { return r.outcome; }, false},
        {"Target", [](const RunRecord& r) { return r.target; }, false},
        {"Bytes sent", [](const RunRecord& r) { return std::to_string(r.bytesSent); }, true},
        {"Bytes total", [](const RunRecord& r) { return std::to_string(r.bytesTotal); }, true},
        {"Port", [](const RunRecord& r) { return r.port; }, false},
        {"File", [](const RunRecord& r) { return r.file; }, false},
        {"Image version",
         [](const RunRecord& r) {
             return r.imageVersion < 0 ? std::string() : Hex2(r.imageVersion);
         },
         false},
        {"Chip reply", [](const RunRecord& r) { return r.chipReply; }, false},
        {"SHA-256", [](const RunRecord& r) { return r.sha256; }, false},
        {"Ending", [](const RunRecord& r) { return r.ending; }, false},
        {"Detail", [](const RunRecord& r) { return r.detail; }, false},
    };
    return columns;
}

namespace {
void CsvField(std::string& out, const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        out += value;
        return;
    }
    out += '"';
    for (const char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
}
}  // namespace

std::string HistoryCsv(const std::vector<RunRecord>& records) {
    const auto& columns = HistoryColumns();
    std::string out;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (i > 0)
            out += ',';
        CsvField(out, columns[i].title);
    }
    out += "\r\n";
    for (const RunRecord& r : records) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i > 0)
                out += ',';
            CsvField(out, columns[i].text(r));
        }
        out += "\r\n";
    }
    return out;
}
