#include "app/history.h"

#include <ctime>
#include <system_error>

#include "app/history_file.h"
#include "app/terminal_text.h"
#include "common/hex.h"

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
    const fs::path base = ApplicationDataFolder();
    return base.empty() ? fs::path() : base / "quillon" / "history.jsonl";
}

bool AppendRunRecord(const fs::path& file, const RunRecord& record, std::string& error) {
    if (file.empty()) {
        error = "no folder for application data";
        return false;
    }
    std::error_code ec;
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path(), ec);
    }
    if (ec) {
        error = file.parent_path().string() + ": " + ec.message();
        return false;
    }
    return AppendLocked(file, RecordToJson(record) + '\n', error);
}

HistoryContents ReadHistory(const fs::path& file) {
    HistoryContents contents;
    if (file.empty())
        return contents;
    std::string bytes;
    std::string error;
    switch (ReadRegularFile(file, bytes, error)) {
        case ReadResult::Missing:
            return contents;
        case ReadResult::Failed:
            contents.exists = true;
            contents.warnings.push_back(error + "; not read");
            return contents;
        case ReadResult::Read:
            break;
    }
    contents = ParseHistory(bytes, file.string());
    contents.exists = true;
    return contents;
}

HistoryContents ParseHistory(std::string_view bytes, const std::string& name) {
    HistoryContents contents;
    int number = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = bytes.find('\n', at);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string line(bytes.substr(at, end - at));
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        RunRecord record;
        if (RecordFromJson(line, record)) {
            contents.records.push_back(std::move(record));
        } else {
            contents.warnings.push_back(name + ": line " + std::to_string(number) +
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
             return r.imageVersion < 0 ? std::string()
                                       : HexText(static_cast<unsigned>(r.imageVersion));
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

// A field of the text view: escaped, and the message texts' own line breaks made blanks.
std::string Shown(const std::string& text, bool oneLine = false) {
    if (!oneLine)
        return TerminalText(text);
    std::string line = text;
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return TerminalText(line);
}

std::string OrDash(const std::string& text) {
    return text.empty() ? std::string("-") : Shown(text);
}

std::string Padded(std::string text, std::size_t width) {
    if (text.size() < width)
        text.resize(width, ' ');
    return text;
}

}  // namespace

std::string HistoryText(const RunRecord& r) {
    std::string out = Shown(r.start) + "  " + Padded(OrDash(r.frontEnd), 7) + "  " +
                      Padded(Shown(r.outcome), 16) + "  " + Padded(OrDash(r.target), 6) + "  " +
                      std::to_string(r.bytesSent) + "/" + std::to_string(r.bytesTotal) +
                      " bytes  " + OrDash(r.port) + "  " + Shown(r.file) + "\n    sha256 " +
                      OrDash(r.sha256);
    if (r.imageVersion >= 0)
        out += ", image version " + HexText(static_cast<unsigned>(r.imageVersion));
    if (!r.chipReply.empty())
        out += ", chip replied " + Shown(r.chipReply);
    out += "\n    ended " + Shown(r.end) + ": " + Shown(r.ending, true) + "\n";
    if (!r.detail.empty())
        out += "    " + Shown(r.detail, true) + "\n";
    if (!r.trace.empty())
        out += "    wire trace " + Shown(r.trace) + "\n";
    return out;
}

std::string SpreadsheetCell(const std::string& text) {
    if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string::npos)
        return "'" + text;
    return text;
}

namespace {
void CsvField(std::string& out, const std::string& text) {
    const std::string value = SpreadsheetCell(text);
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
