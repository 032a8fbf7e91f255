#include "app/history.h"

#include <ctime>
#include <fstream>
#include <system_error>

#include "app/history_file.h"
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
             return r.imageVersion < 0 ? std::string()
                                       : HexText(static_cast<unsigned>(r.imageVersion));
         },
         false},
        {"Chip reply", [](const RunRecord& r) { return r.chipReply; }, false},
        {"SHA-256", [](const RunRecord& r) { return r.sha256; }, false},
        {"Ending", [](const RunRecord& r) { return r.ending; }, false},
        {"Detail", [](const RunRecord& r) { return r.detail; }, false},
        {"Unit", [](const RunRecord& r) { return r.unit; }, false},
        {"Operator", [](const RunRecord& r) { return r.operatorName; }, false},
        {"Station", [](const RunRecord& r) { return r.station; }, false},
        {"Work order", [](const RunRecord& r) { return r.workOrder; }, false},
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
