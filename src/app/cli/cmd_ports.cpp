// quillon-cli ports: the port list as the GUI shows it, one entry a line: the text, a tab,
// the name the GUI would open and save for it. Only reads what the system publishes about
// its devices; no device is opened.
#include <cstdio>
#include <memory>

#include "app/terminal_text.h"
#include "commands.h"
#include "ports/port_list.h"

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
    return kExitOk;
}

void AddPorts(CLI::App& app, int& exitCode) {
    CLI::App* command =
        app.add_subcommand("ports", "List the serial ports as the GUI does, with their names");
    command->callback([&exitCode] { exitCode = RunPorts(); });
}

const CommandRegistration kRegistration(10, AddPorts);

}  // namespace
