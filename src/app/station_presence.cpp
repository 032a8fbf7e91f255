#include "app/station_presence.h"

#include <filesystem>
#include <set>

#include "serial/net_port.h"
#include "serial/net_socket.h"
#include "serial/serial_exception.h"

#ifdef _WIN32
#include <algorithm>
#include <cctype>

#include "ports/port_list.h"
#else
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ports/hotplug_monitor.h"
#include "ports/port_source_linux.h"
#endif

namespace {

PortPresence ProbeNetwork(const std::string& name, std::chrono::milliseconds timeout) {
    NetPortAddress address;
    std::string error;
    if (!ParseNetworkPortName(name, address, error)) {
        return {};
    }
    try {
        const NetSocket s =
            net::Connect(address.host, address.port, std::chrono::steady_clock::now() + timeout);
        net::Close(s);  // the run makes its own connection
        return {true, 0};
    } catch (const CSerialException&) {
        return {};
    }
}

#ifdef _WIN32
std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (text.rfind("\\\\.\\", 0) == 0) {
        text.erase(0, 4);
    }
    return text;
}
#endif

}  // namespace

PortPresence ProbePort(const std::string& name, std::chrono::milliseconds timeout) {
    if (IsNetworkPortName(name)) {
        return ProbeNetwork(name, timeout);
    }
#ifdef _WIN32
    // A COM port is there while the system lists it.
    const std::unique_ptr<IPortSource> source = CreateSystemPortSource();
    CPortList list(*source);
    list.m_bShowNoneEntry = false;
    list.FillPortList(0);
    for (const CPortEntry& entry : list.GetEntries()) {
        if (Upper(entry.m_strName) == Upper(name)) {
            return {true, 0};
        }
    }
    return {};
#else
    struct stat st {
    }, named{};
    if (stat(name.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || lstat(name.c_str(), &named) != 0) {
        return {};  // gone, or a link whose terminal has gone
    }
    // A terminal's number is soon given again, and so is a freed link's inode; a link made
    // for the next unit is still a new file, with a time of its own (a terminal's own times
    // move as it is written to, a link's do not).
    const bool link = S_ISLNK(named.st_mode);
    std::uint64_t identity = 1469598103934665603ull;
    for (const auto part :
         {static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_rdev),
          static_cast<std::uint64_t>(named.st_ino), static_cast<std::uint64_t>(named.st_dev),
          static_cast<std::uint64_t>(link ? named.st_ctim.tv_sec : 0),
          static_cast<std::uint64_t>(link ? named.st_ctim.tv_nsec : 0)}) {
        identity = (identity ^ part) * 1099511628211ull;
    }
    return {true, identity == 0 ? 1 : identity};
#endif
}

struct CPortChanges::Monitors {
#ifndef _WIN32
    std::vector<std::unique_ptr<CPortMonitor>> list;
    int wake[2] = {-1, -1};
#endif
};

CPortChanges::CPortChanges(const std::vector<std::string>& ports)
    : m_monitors(std::make_unique<Monitors>()) {
#ifndef _WIN32
    // A short quiet time: a unit that arrives is flashed at once.
    CPortMonitor::Options options;
    options.debounce = std::chrono::milliseconds(50);
    std::set<std::string> folders{VirtualPortsFolder()};
    auto first = std::make_unique<CPortMonitor>(options);
    if (first->IsWorking()) {
        m_monitors->list.push_back(std::move(first));
    }
    // A link kept elsewhere (a folder of the user's own) is followed in its folder too.
    for (const std::string& port : ports) {
        const std::filesystem::path folder = std::filesystem::absolute(port).parent_path();
        if (IsNetworkPortName(port) || folder == "/dev" || folder.string().rfind("/dev/", 0) == 0 ||
            !folders.insert(folder.string()).second) {
            continue;
        }
        CPortMonitor::Options own = options;
        own.followDevices = false;
        own.changesOnly = true;
        own.virtualFolder = folder.string();
        auto monitor = std::make_unique<CPortMonitor>(own);
        if (monitor->IsWorking()) {
            m_monitors->list.push_back(std::move(monitor));
        }
    }
    if (!m_monitors->list.empty() && pipe(m_monitors->wake) == 0) {
        m_thread = std::thread([this] { Follow(); });
    }
#else
    (void)ports;
#endif
}

CPortChanges::~CPortChanges() {
#ifndef _WIN32
    if (m_monitors->wake[1] >= 0) {
        const char byte = 0;
        (void)!write(m_monitors->wake[1], &byte, 1);
    }
#endif
    if (m_thread.joinable()) {
        m_thread.join();
    }
#ifndef _WIN32
    for (int& fd : m_monitors->wake) {
        if (fd >= 0) {
            close(fd);
        }
    }
#endif
}

void CPortChanges::Follow() {
#ifndef _WIN32
    std::vector<pollfd> fds;
    for (const auto& monitor : m_monitors->list) {
        fds.push_back({monitor->GetFd(), POLLIN, 0});
    }
    fds.push_back({m_monitors->wake[0], POLLIN, 0});
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds.back().revents != 0) {
            return;
        }
        bool changed = false;
        for (const auto& monitor : m_monitors->list) {
            changed |= monitor->ProcessEvents();
        }
        if (changed) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_generation;
            m_changed.notify_all();
        }
    }
#endif
}

std::uint64_t CPortChanges::Generation() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

bool CPortChanges::Wait(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, timeout, [&] { return m_generation != seen || m_woken; });
    return m_generation != seen;
}

void CPortChanges::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_woken = true;
    m_changed.notify_all();
}
