// quillon-cli history [--json] [--last N] [--unit S] [--work-order W] [--since TIME]: the runs
// of both front ends, oldest first, from the history file in the user's application-data
// folder.
#include <iostream>
#include <memory>
#include <string>

#include "app/history.h"
#include "app/terminal_text.h"
#include "commands.h"

namespace {

struct Filter {
    std::string unit;       // empty: any
    std::string workOrder;  // empty: any
    std::string since;      // as recorded: 2025-03-01T09:30:00Z; empty: any
    bool Matches(const RunRecord& r) const {
        return (unit.empty() || r.unit == unit) &&
               (workOrder.empty() || r.workOrder == workOrder) &&
               (since.empty() || r.start >= since);
    }
};

// --since takes a UTC date (2025-03-01) or time (2025-03-01T09:30:00Z, or without the Z or
// the seconds), made into the recorded form so that the texts compare as the times do.
bool SinceTime(const std::string& text, std::string& out) {
    static const char kPattern[] = "dddd-dd-ddTdd:dd:dd";
    std::string t = text;
    if (!t.empty() && t.back() == 'Z')
        t.pop_back();
    if (t.size() == 10)
        t += "T00:00:00";
    else if (t.size() == 16)
        t += ":00";
    if (t.size() != sizeof kPattern - 1)
        return false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool digit = t[i] >= '0' && t[i] <= '9';
        if (kPattern[i] == 'd' ? !digit : t[i] != kPattern[i])
            return false;
    }
    out = t + "Z";
    return true;
}

int RunHistory(bool json, int last, const Filter& filter) {
    const auto file = DefaultHistoryFile();
    HistoryContents history = ReadHistory(file);
    std::erase_if(history.records, [&](const RunRecord& r) { return !filter.Matches(r); });
    for (const std::string& warning : history.warnings) {
        std::cerr << "warning: " << TerminalText(warning) << std::endl;
    }
    if (history.records.empty()) {
        if (!json)
            std::cerr << (history.exists ? "No runs recorded in " : "No runs recorded yet in ")
                      << TerminalText(file.string()) << (history.exists ? " match" : "")
                      << std::endl;
        return kExitOk;
    }
    std::size_t first = 0;
    if (last >= 0 && history.records.size() > static_cast<std::size_t>(last))
        first = history.records.size() - static_cast<std::size_t>(last);
    for (std::size_t i = first; i < history.records.size(); ++i) {
        if (json)
            std::cout << RecordToJson(history.records[i]) << '\n';
        else
            std::cout << HistoryText(history.records[i]);
    }
    std::cout.flush();
    return kExitOk;
}

void AddHistory(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand("history", "Show the recorded runs of both front ends");
    auto* json = cmd->add_flag("--json")->description("One JSON object per run, as recorded");
    auto* last =
        cmd->add_option("--last", "Only the last N runs")
            ->type_name("N")
            ->check(CLI::Validator(
                [](const std::string& n) {
                    return !n.empty() && n.find_first_not_of("0123456789") == std::string::npos
                               ? std::string()
                               : "N is a count of runs: 0 or more";
                },
                ""));
    auto filter = std::make_shared<Filter>();
    cmd->add_option("--unit", filter->unit, "Only the runs of this unit (its serial number)");
    cmd->add_option("--work-order", filter->workOrder, "Only the runs of this work order");
    auto* since = cmd->add_option("--since",
                                  "Only the runs started at or after this UTC time "
                                  "(2025-03-01 or 2025-03-01T09:30:00Z)")
                      ->check(CLI::Validator(
                          [](const std::string& text) {
                              std::string ignored;
                              return SinceTime(text, ignored)
                                         ? std::string()
                                         : "expected a UTC date or time, such as 2025-03-01 or "
                                           "2025-03-01T09:30:00Z";
                          },
                          "TIME"));
    cmd->callback([&exitCode, json, last, since, filter] {
        if (since->count() > 0)
            SinceTime(since->as<std::string>(), filter->since);
        exitCode = RunHistory(json->count() > 0, last->count() > 0 ? last->as<int>() : -1, *filter);
    });
}

const CommandRegistration kRegistration(40, AddHistory);

}  // namespace
