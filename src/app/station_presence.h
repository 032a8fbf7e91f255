// Whether a station's port is there, and a wake-up when that may have changed. Local ports are
// looked at (never opened: that raises DTR and RTS), network ports are connected to and closed
// again at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct PortPresence {
    bool present = false;
    // Tells one device from another under the same name (a new terminal, an adapter plugged
    // in again gets a new device node); 0 where nothing tells them apart (network ports).
    std::uint64_t identity = 0;
};

// Looks at the port once. A network port: a connection within timeout, closed at once.
PortPresence ProbePort(const std::string& name, std::chrono::milliseconds timeout);

// Follows the ports through the hot-plug monitor (adapters, the virtual ports folder, and the
// folders of the given ports' links) and counts its notices; without it only the time-outs of
// Wait wake the waiters.
class CPortChanges {
public:
    // ports: the station's local port names, whose folders are watched as well.
    explicit CPortChanges(const std::vector<std::string>& ports);
    ~CPortChanges();
    CPortChanges(const CPortChanges&) = delete;
    CPortChanges& operator=(const CPortChanges&) = delete;

    // The number of notices so far.
    std::uint64_t Generation() const;
    // Waits until a notice after seen, until timeout, or until Wake(). True on a notice.
    bool Wait(std::uint64_t seen, std::chrono::milliseconds timeout);
    // Ends every wait at once, and every later one (the station stops).
    void Wake();

private:
    void Follow();

    struct Monitors;
    std::unique_ptr<Monitors> m_monitors;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_generation = 0;
    bool m_woken = false;
    std::thread m_thread;
};
