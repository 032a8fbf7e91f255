// Follows serial adapters arriving and leaving (udev) and links appearing in or leaving the
// virtual ports folder (inotify), folded into one debounced "ports changed" notice.
//
// Qt: watch GetFd() with a QSocketNotifier (Read); on activation call ProcessEvents() and
// refill the list when it returns true. Plain code: WaitForChange().
#pragma once

#include <chrono>
#include <memory>
#include <string>

// Whether a udev action on a tty changes the port list: a device added, removed or renamed
// ("move"); "change", "bind" and the like do not. action may be null.
bool IsPortChangeAction(const char* action);

class CPortMonitor {
public:
    struct Options {
        std::string virtualFolder;                // empty: VirtualPortsFolder()
        bool followDevices = true;                // the udev monitor on "tty"
        std::chrono::milliseconds debounce{300};  // quiet time before the notice
        // Watch the folder for changes alone (its links are never listed from here), so it
        // need not be private.
        bool changesOnly = false;
    };

    CPortMonitor();
    explicit CPortMonitor(const Options& options);
    ~CPortMonitor();
    CPortMonitor(const CPortMonitor&) = delete;
    CPortMonitor& operator=(const CPortMonitor&) = delete;

    // False when neither source could be set up; the list then just is not refilled.
    bool IsWorking() const { return m_pollFd >= 0 && (IsFollowingDevices() || IsWatchingFolder()); }
    bool IsFollowingDevices() const;
    bool IsWatchingFolder() const { return m_watch >= 0; }
    // "udev", "kernel", or empty without a device monitor.
    const std::string& GetDeviceSource() const { return m_deviceSource; }
    const std::string& GetVirtualFolder() const { return m_virtualFolder; }

    // Readable whenever ProcessEvents has something to do; -1 when the monitor is not working.
    int GetFd() const { return m_pollFd; }

    // Takes what is pending without waiting. True once per debounced burst of changes.
    bool ProcessEvents();

    // Waits at most timeout for the next notice. True when one came.
    bool WaitForChange(std::chrono::milliseconds timeout);

private:
    void SetUpDevices();
    void SetUpFolder();
    bool DrainDevices();
    bool DrainFolder();
    void ArmDebounce();

    std::string m_virtualFolder;
    std::chrono::milliseconds m_debounce;
    bool m_changesOnly = false;
    std::string m_deviceSource;
    int m_pollFd = -1;  // epoll set of the three below
    int m_inotify = -1;
    int m_watch = -1;
    int m_timer = -1;  // timerfd of the debounce
    struct Udev;
    std::unique_ptr<Udev> m_udev;
};
