#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <csignal>
#include <utility>
#include <vector>

#include "commands.h"
#include "common/build_info.h"
#include "common/stop_request.h"

namespace {
std::vector<std::pair<int, CommandAdder>>& Registry() {
    static std::vector<std::pair<int, CommandAdder>> commands;
    return commands;
}
}  // namespace

CommandRegistration::CommandRegistration(int order, CommandAdder adder) {
    Registry().emplace_back(order, adder);
}

namespace {
// A signal asks the run to stop; it ends through its normal ending (port closed, working
// folder removed) and the process then reports 128 + the signal.
extern "C" void OnStopSignal(int signal) {
    RequestStop(signal);
}

void CatchStopSignals() {
#ifdef _WIN32
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#else
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
#endif
}
}  // namespace

int main(int argc, char** argv) {
    CatchStopSignals();
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);  // the summaries' middle dots and ellipses
#endif
    CLI::App app{"Quillon: writes firmware into a solar inverter's controller over a serial line"};
    // Read as a sentence would: "--port NAME (required)"; every command takes this formatter.
    app.get_formatter()->label("REQUIRED", "(required)");
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
    if (const int signal = StopRequested(); signal != 0) {
        return 128 + signal;
    }
    return exitCode;
}
