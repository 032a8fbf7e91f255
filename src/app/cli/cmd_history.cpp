// quillon-cli history [--json] [--last N]: the runs of both front ends, oldest first, from
// the history file in the user's application-data folder.
#include <iostream>
#include <string>

#include "app/history.h"
#include "app/terminal_text.h"
#include "commands.h"

namespace {

int RunHistory(bool json, int last) {
    const auto file = DefaultHistoryFile();
    const HistoryContents history = ReadHistory(file);
    for (const std::string& warning : history.warnings) {
        std::cerr << "warning: " << TerminalText(warning) << std::endl;
    }
    if (history.records.empty()) {
        if (!json)
            std::cerr << "No runs recorded yet in " << TerminalText(file.string()) << std::endl;
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
    cmd->callback([&exitCode, json, last] {
        exitCode = RunHistory(json->count() > 0, last->count() > 0 ? last->as<int>() : -1);
    });
}

const CommandRegistration kRegistration(40, AddHistory);

}  // namespace
