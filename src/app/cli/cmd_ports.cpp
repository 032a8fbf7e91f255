// quillon-cli ports: the port list as the GUI shows it, one entry a line: the text, a tab,
// the name the GUI would open and save for it; then the network ports saved in the window,
// marked as such. Only reads what the system publishes about its devices; no device is opened.
#include <cstdio>
#include <memory>

#include "app/terminal_text.h"
#include "commands.h"
#include "ports/port_list.h"
#include "saved_ports.h"
#ifndef _WIN32
#include "ports_watch.h"
#endif

namespace {

int RunPorts() {
    const std::unique_ptr<IPortSource> source = CreateSystemPortSource();
    CPortList list(*source);
    list.m_bShowNoneEntry = false;  // as in the main window
    list.FillPortList(0);
    for (const CPortEntry& entry : list.GetEntries()) {
        // A link in the virtual ports folder may be named anything.
        std::printf("%s\t%s\n", TerminalText(entry.m_strText).c_str(),
                    TerminalText(entry.m_strName).c_str());
    }
    for (const std::string& url : SavedNetworkPorts()) {
        std::printf("%s (saved network port)\t%s\n", TerminalText(url).c_str(),
                    TerminalText(url).c_str());
    }
    return kExitOk;
}

void AddPorts(CLI::App& app, int& exitCode) {
    CLI::App* command =
        app.add_subcommand("ports",
                           "List the serial ports as the GUI does, with their names, then the "
                           "network ports saved in the GUI");
#ifdef _WIN32
    command->callback([&exitCode] { exitCode = RunPorts(); });
#else
    auto* watch = command->add_flag("--watch")->description(
        "Then print a line per port that arrives (+) or leaves (-), until stopped");
    command->callback(
        [&exitCode, watch] { exitCode = watch->count() > 0 ? WatchPorts() : RunPorts(); });
#endif
}

const CommandRegistration kRegistration(10, AddPorts);

}  // namespace
