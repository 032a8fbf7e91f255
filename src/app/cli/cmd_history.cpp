// quillon-cli history [--json] [--last N]: the runs of both front ends, oldest first, from
// the history file in the user's application-data folder.
#include <cstdio>
#include <iostream>
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
}

int RunHistory(bool json, int last) {
    const auto file = DefaultHistoryFile();
    const HistoryContents history = ReadHistory(file);
    for (const std::string& warning : history.warnings) {
        std::cerr << "warning: " << warning << std::endl;
    }
    if (history.records.empty()) {
        if (!json)
            std::cerr << "No runs recorded yet in " << file.string() << std::endl;
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
    cmd->callback([&exitCode, json, last] {
        exitCode = RunHistory(json->count() > 0, last->count() > 0 ? last->as<int>() : -1);
    });
}

const CommandRegistration kRegistration(40, AddHistory);

}  // namespace
