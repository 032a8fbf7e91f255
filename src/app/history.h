// The run history: one JSON object per line in the user's application-data folder, appended
// by every run of either front end and read back by both. Appends take an exclusive lock and
// write the whole line at once, so parallel runs never interleave; a damaged line (a crash
// while it was written, an edit by hand) is skipped with a warning and never hides the rest.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

struct RunRecord {
    std::string start;  // UTC, ISO 8601: 2025-03-01T09:30:00Z
    std::string end;
    std::string frontEnd;  // "desktop" or "cli"
    std::string port;
    std::string file;       // the firmware file as given
    std::string sha256;     // of the image sent (converted and padded); empty when none was read
    std::string target;     // "Master" or "Slave"
    int imageVersion = -1;  // the Master image's version byte; -1 when none was read
    std::string chipReply;  // the chip's answer to the all-flash request; empty when none
    std::uint64_t bytesSent = 0;
    std::uint64_t bytesTotal = 0;
    std::string outcome;  // "success", "transfer-failed", "handshake-failed", "file-refused",
                          // "port-not-opened", "stopped"
    std::string ending;   // the final message, as shown
    std::string detail;   // what else was known about the ending
    std::string trace;    // the run's wire trace file; empty when none was written
};

// UTC, ISO 8601, to the second.
std::string IsoUtc(std::chrono::system_clock::time_point when);

// $XDG_DATA_HOME/quillon/history.jsonl, else ~/.local/share/quillon/history.jsonl;
// %LOCALAPPDATA%\quillon\history.jsonl on Windows. Empty when there is no such folder.
std::filesystem::path DefaultHistoryFile();

// A JSON string: quoted, with quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& value);
std::string RecordToJson(const RunRecord& record);  // one line, without the line break
// False for anything but one of our objects (bad syntax, wrong types, no start or outcome).
bool RecordFromJson(const std::string& line, RunRecord& record);

// Creates the folder when needed and appends the record as one line under an exclusive lock,
// then flushes it to the disk. False, with the reason in error, when it could not.
bool AppendRunRecord(const std::filesystem::path& file, const RunRecord& record,
                     std::string& error);

struct HistoryContents {
    bool exists = false;
    std::vector<RunRecord> records;     // in the order they were written
    std::vector<std::string> warnings;  // one per damaged line, and a file that cannot be read
};
// Reads only a regular file: a link is not followed, and a FIFO or a device is refused at once
// (with a warning) instead of being waited on.
HistoryContents ReadHistory(const std::filesystem::path& file);
// The records of a history file's bytes; name is the file in the warnings.
HistoryContents ParseHistory(std::string_view bytes, const std::string& name);

// One record as `quillon-cli history` prints it: three or four lines, each with its line end.
// Whatever the record holds, it cannot start a line of its own or reach the terminal as a
// control character.
std::string HistoryText(const RunRecord& record);

// The columns every view of the history shows, in order.
struct HistoryColumn {
    const char* title;
    std::string (*text)(const RunRecord&);
    bool numeric;  // sorts by value, not by text
};
const std::vector<HistoryColumn>& HistoryColumns();

// A cell for a spreadsheet: one that a spreadsheet would take for a formula (it begins with
// =, +, -, @, a tab or a carriage return) gets a leading single quote, so that a file named
// =HYPERLINK(...) stays text.
std::string SpreadsheetCell(const std::string& text);
// The records as CSV (RFC 4180: a header line, CR LF, fields quoted where needed), every
// field a SpreadsheetCell.
std::string HistoryCsv(const std::vector<RunRecord>& records);
