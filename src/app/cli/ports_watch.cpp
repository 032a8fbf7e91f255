// The same monitor as the window's (udev, else the kernel's own events, and the virtual ports
// folder) tells that something changed; the lines come from comparing the port list before
// and after, so a port's text is known even once its device has gone from sysfs.
#include "ports_watch.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/terminal_text.h"
#include "common/stop_request.h"
#include "ports/hotplug_monitor.h"
#include "ports/port_list.h"

namespace {

using Listing = std::vector<std::pair<std::string, std::string>>;  // text, name to open

Listing CurrentPorts() {
    const std::unique_ptr<IPortSource> source = CreateSystemPortSource();
    CPortList list(*source);
    list.m_bShowNoneEntry = false;  // as in the main window
    list.FillPortList(0);
    Listing ports;
    for (const CPortEntry& entry : list.GetEntries()) {
        ports.emplace_back(entry.m_strText, entry.m_strName);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

void PrintLine(char sign, const std::pair<std::string, std::string>& port) {
    // A link's name is any bytes: escaped, it can neither drive the terminal nor forge a line.
    std::printf("%c %s\t%s\n", sign, TerminalText(port.first).c_str(),
                TerminalText(port.second).c_str());
}

void PrintChanges(const Listing& before, const Listing& after) {
    Listing gone, came;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(gone));
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(came));
    for (const auto& port : gone) {
        PrintLine('-', port);
    }
    for (const auto& port : came) {
        PrintLine('+', port);
    }
    std::fflush(stdout);
}

}  // namespace

int WatchPorts() {
    CPortMonitor monitor;
    if (!monitor.IsWorking()) {
        std::fprintf(stderr,
                     "quillon-cli: the ports cannot be followed here (no device "
                     "events and no virtual ports folder)\n");
        return 1;
    }
    // The stop signals stay blocked but inside ppoll: one that comes between the check and
    // the wait still ends the wait.
    sigset_t stops, others;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stops, signal);
    }
    sigprocmask(SIG_BLOCK, &stops, &others);

    // Listed after the monitor is set up, so that no change falls between the two.
    Listing ports = CurrentPorts();
    const std::string& source = monitor.GetDeviceSource();
    std::fprintf(stderr, "Watching the ports (device events: %s; virtual ports: %s)...\n",
                 source.empty() ? "none" : source.c_str(),
                 monitor.IsWatchingFolder() ? monitor.GetVirtualFolder().c_str() : "none");
    int exitCode = 0;
    while (StopRequested() == 0) {
        pollfd entry{monitor.GetFd(), POLLIN, 0};
        const int rc = ppoll(&entry, 1, nullptr, &others);
        if (rc < 0 && errno != EINTR) {
            std::fprintf(stderr, "quillon-cli: %s\n", std::strerror(errno));
            exitCode = 1;
            break;
        }
        if (rc > 0 && monitor.ProcessEvents()) {
            Listing now = CurrentPorts();
            PrintChanges(ports, now);
            ports = std::move(now);
        }
    }
    sigprocmask(SIG_SETMASK, &others, nullptr);
    RequestStop(0);  // a stop signal is how this command is meant to end
    return exitCode;
}
