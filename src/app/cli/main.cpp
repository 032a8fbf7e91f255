#include <algorithm>
#include <utility>
#include <vector>

#include "commands.h"
#include "common/build_info.h"

namespace {
std::vector<std::pair<int, CommandAdder>>& Registry() {
    static std::vector<std::pair<int, CommandAdder>> commands;
    return commands;
}
}  // namespace

CommandRegistration::CommandRegistration(int order, CommandAdder adder) {
    Registry().emplace_back(order, adder);
}

int main(int argc, char** argv) {
    CLI::App app{"Quillon: writes firmware into a solar inverter's controller over a serial line"};
    app.set_version_flag("--version", QuillonVersionLine("quillon-cli"));
    app.require_subcommand(1);
    int exitCode = kExitOk;
    auto& commands = Registry();
    std::sort(commands.begin(), commands.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [order, add] : commands) {
        add(app, exitCode);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);  // --help, --version
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return exitCode;
}
