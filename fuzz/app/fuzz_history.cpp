// One fuzz input: the bytes of a history file, as anyone may have edited it. Every record read
// must be written back as one line of UTF-8 JSON that reads back to the same record; its text
// view must be whole lines with no control character in them; none of its spreadsheet cells
// may start a formula. Aborts when an invariant does not hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/history.h"
#include "app/terminal_text.h"
#include "common/utf8.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

bool Same(const RunRecord& a, const RunRecord& b) {
    return a.start == b.start && a.end == b.end && a.frontEnd == b.frontEnd && a.port == b.port &&
           a.file == b.file && a.sha256 == b.sha256 && a.target == b.target &&
           a.imageVersion == b.imageVersion && a.chipReply == b.chipReply &&
           a.bytesSent == b.bytesSent && a.bytesTotal == b.bytesTotal && a.outcome == b.outcome &&
           a.ending == b.ending && a.detail == b.detail;
}

enum class Shown { Json, Message, Name };

// Well-formed UTF-8 without what the place it is shown in must not hold: C0 controls (a line
// break allowed in a message), DEL, C1 controls, the line separators; in a terminal text also
// the marks that reorder it.
bool Inert(std::string_view text, Shown where) {
    if (!IsUtf8(text)) {
        return false;
    }
    char32_t cp = 0;
    for (std::size_t at = 0; at < text.size();) {
        at += Utf8SequenceAt(text, at, cp);
        const bool layout = cp == 0x061C || cp == 0x200E || cp == 0x200F ||
                            (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
        if ((cp < 0x20 && !(where == Shown::Message && cp == '\n')) || (cp >= 0x7F && cp <= 0x9F) ||
            cp == 0x2028 || cp == 0x2029 || (layout && where != Shown::Json)) {
            return false;
        }
    }
    return true;
}

void CheckRecord(const RunRecord& r) {
    const std::string json = RecordToJson(r);
    if (!Inert(json, Shown::Json)) {
        Fail("a written line with a control character or a byte that is not UTF-8");
    }
    RunRecord back;
    if (!RecordFromJson(json, back) || !Same(back, r) || RecordToJson(back) != json) {
        Fail("a record that does not read back as it was written");
    }
    const std::string text = HistoryText(r);
    const auto lines = std::count(text.begin(), text.end(), '\n');
    if (text.empty() || text.back() != '\n' || lines != (r.detail.empty() ? 3 : 4) ||
        !Inert(text, Shown::Message)) {
        Fail("a text view that is not three or four clean lines");
    }
    for (const HistoryColumn& column : HistoryColumns()) {
        const std::string cell = SpreadsheetCell(column.text(r));
        if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string::npos) {
            Fail("a spreadsheet cell that starts a formula");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const HistoryContents history = ParseHistory(bytes, "history.jsonl");
    // One record or one warning per line that is not blank.
    std::size_t lines = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t end = std::min(bytes.find('\n', at), bytes.size());
        std::string_view line = bytes.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines += line.find_first_not_of(" \t") != std::string_view::npos;
        at = end + 1;
    }
    if (history.records.size() + history.warnings.size() != lines) {
        Fail("a line neither read nor reported");
    }
    for (const RunRecord& r : history.records) {
        CheckRecord(r);
    }
    // The raw bytes as a name: escaped in full, or kept in a message with its line breaks.
    if (!Inert(TerminalText(bytes), Shown::Name) ||
        !Inert(TerminalMessage(bytes, {std::string(bytes.substr(0, size / 2))}), Shown::Message)) {
        Fail("a terminal text with a control character left in it");
    }
    return 0;
}
