// quillon-cli history [--json] [--last N] [--unit S] [--work-order W] [--since TIME]: the runs
// of both front ends, oldest first, from the history file in the user's application-data
// folder.
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "app/history.h"
#include "commands.h"

namespace {

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::string OrDash(const std::string& text) {
    return text.empty() ? std::string("-") : text;
}

void PrintText(const RunRecord& r) {
    std::printf("%s  %-7s  %-16s  %-6s  %llu/%llu bytes  %s  %s\n", r.start.c_str(),
                OrDash(r.frontEnd).c_str(), r.outcome.c_str(), OrDash(r.target).c_str(),
                static_cast<unsigned long long>(r.bytesSent),
                static_cast<unsigned long long>(r.bytesTotal), OrDash(r.port).c_str(),
                r.file.c_str());
    std::string image = "sha256 " + OrDash(r.sha256);
    if (r.imageVersion >= 0) {
        char version[16];
        std::snprintf(version, sizeof version, "0x%02X", r.imageVersion);
        image += std::string(", image version ") + version;
    }
    if (!r.chipReply.empty())
        image += ", chip replied " + r.chipReply;
    std::printf("    %s\n    ended %s: %s\n", image.c_str(), r.end.c_str(),
                OneLine(r.ending).c_str());
    if (!r.detail.empty())
        std::printf("    %s\n", OneLine(r.detail).c_str());
    if (!r.trace.empty())
        std::printf("    wire trace %s\n", r.trace.c_str());
    if (!r.unit.empty() || !r.operatorName.empty() || !r.workOrder.empty())
        std::printf("    unit %s, operator %s, work order %s, station %s\n", OrDash(r.unit).c_str(),
                    OrDash(r.operatorName).c_str(), OrDash(r.workOrder).c_str(),
                    OrDash(r.station).c_str());
}

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
        std::cerr << "warning: " << warning << std::endl;
    }
    if (history.records.empty()) {
        if (!json)
            std::cerr << (history.exists ? "No runs recorded in " : "No runs recorded yet in ")
                      << file.string() << (history.exists ? " match" : "") << std::endl;
        return kExitOk;
    }
    std::size_t first = 0;
    if (last >= 0 && history.records.size() > static_cast<std::size_t>(last))
        first = history.records.size() - static_cast<std::size_t>(last);
    for (std::size_t i = first; i < history.records.size(); ++i) {
        if (json)
            std::cout << RecordToJson(history.records[i]) << '\n';
        else
            PrintText(history.records[i]);
    }
    std::cout.flush();
    return kExitOk;
}

void AddHistory(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand("history", "Show the recorded runs of both front ends");
    auto* json = cmd->add_flag("--json")->description("One JSON object per run, as recorded");
    auto* last = cmd->add_option("--last", "Only the last N runs")->check(CLI::NonNegativeNumber);
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
