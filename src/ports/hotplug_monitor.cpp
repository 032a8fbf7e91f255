#include "ports/hotplug_monitor.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <thread>

#include "ports/port_source_linux.h"

#ifdef QUILLON_HAVE_LIBUDEV
#include <libudev.h>
#endif

struct CPortMonitor::Udev {
#ifdef QUILLON_HAVE_LIBUDEV
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
#endif
};

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool AddToPollSet(int pollFd, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return epoll_ctl(pollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;

}  // namespace

bool IsPortChangeAction(const char* action) {
    return action != nullptr &&
           (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 ||
            std::strcmp(action, "move") == 0);
}

CPortMonitor::CPortMonitor() : CPortMonitor(Options{}) {}

CPortMonitor::CPortMonitor(const Options& options)
    : m_virtualFolder(options.virtualFolder.empty() ? VirtualPortsFolder() : options.virtualFolder),
      m_debounce(options.debounce),
      m_changesOnly(options.changesOnly),
      m_udev(std::make_unique<Udev>()) {
    m_pollFd = epoll_create1(EPOLL_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_pollFd < 0 || m_timer < 0 || !AddToPollSet(m_pollFd, m_timer)) {
        CloseFd(m_timer);
        CloseFd(m_pollFd);
        return;
    }
    if (options.followDevices) {
        SetUpDevices();
    }
    SetUpFolder();
    if (!IsFollowingDevices() && !IsWatchingFolder()) {
        CloseFd(m_inotify);
        CloseFd(m_timer);
        CloseFd(m_pollFd);
    }
}

CPortMonitor::~CPortMonitor() {
#ifdef QUILLON_HAVE_LIBUDEV
    if (m_udev->monitor != nullptr) {
        udev_monitor_unref(m_udev->monitor);
    }
    if (m_udev->context != nullptr) {
        udev_unref(m_udev->context);
    }
#endif
    CloseFd(m_inotify);
    CloseFd(m_timer);
    CloseFd(m_pollFd);
}

bool CPortMonitor::IsFollowingDevices() const {
#ifdef QUILLON_HAVE_LIBUDEV
    return m_udev->monitor != nullptr;
#else
    return false;
#endif
}

void CPortMonitor::SetUpDevices() {
#ifdef QUILLON_HAVE_LIBUDEV
    // Without the udev daemon its broadcasts never come; the kernel's own uevents still do.
    const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    m_udev->context = udev_new();
    if (m_udev->context == nullptr) {
        return;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(m_udev->context, source);
    if (monitor == nullptr) {
        return;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return;
    }
    const int fd = udev_monitor_get_fd(monitor);
    if (fd < 0 || !AddToPollSet(m_pollFd, fd)) {
        udev_monitor_unref(monitor);
        return;
    }
    m_udev->monitor = monitor;
    m_deviceSource = source;
#endif
}

void CPortMonitor::SetUpFolder() {
    // The folder may not exist yet (nothing has been simulated since boot): make it, private.
    const std::filesystem::path folder(m_virtualFolder);
    if (!m_changesOnly) {
        mkdir(folder.parent_path().c_str(), 0700);
        mkdir(folder.c_str(), 0700);
        if (!IsPrivateFolder(m_virtualFolder)) {
            return;
        }
    }
    if (m_inotify < 0) {
        m_inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0) {
            return;
        }
        if (!AddToPollSet(m_pollFd, m_inotify)) {
            CloseFd(m_inotify);
            return;
        }
    }
    m_watch = inotify_add_watch(m_inotify, folder.c_str(), kFolderEvents);
}

bool CPortMonitor::DrainDevices() {
    bool changed = false;
#ifdef QUILLON_HAVE_LIBUDEV
    if (m_udev->monitor == nullptr) {
        return false;
    }
    while (udev_device* device = udev_monitor_receive_device(m_udev->monitor)) {
        changed |= IsPortChangeAction(udev_device_get_action(device));
        udev_device_unref(device);
    }
#endif
    return changed;
}

bool CPortMonitor::DrainFolder() {
    if (m_inotify < 0) {
        return false;
    }
    bool changed = false;
    bool lost = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t length = read(m_inotify, buffer, sizeof buffer);
        if (length <= 0) {
            break;  // EAGAIN: drained
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            changed = true;
            if (event.mask & IN_IGNORED) {
                lost = true;  // the folder was removed or moved away
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    if (lost) {
        if (m_watch >= 0) {
            inotify_rm_watch(m_inotify, m_watch);
        }
        m_watch = -1;
        SetUpFolder();
    }
    return changed;
}

void CPortMonitor::ArmDebounce() {
    itimerspec timer{};
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(m_debounce).count();
    timer.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
    timer.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    if (timer.it_value.tv_sec == 0 && timer.it_value.tv_nsec == 0) {
        timer.it_value.tv_nsec = 1;  // zero would disarm the timer
    }
    // Re-arming restarts the quiet time and drops an expiry not yet read.
    timerfd_settime(m_timer, 0, &timer, nullptr);
}

bool CPortMonitor::ProcessEvents() {
    if (m_pollFd < 0) {
        return false;
    }
    const bool devices = DrainDevices();
    const bool folder = DrainFolder();
    if (devices || folder) {
        ArmDebounce();
    }
    std::uint64_t expirations = 0;
    return read(m_timer, &expirations, sizeof expirations) == sizeof expirations && expirations > 0;
}

bool CPortMonitor::WaitForChange(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (m_pollFd < 0) {
        std::this_thread::sleep_until(deadline);
        return false;
    }
    for (;;) {
        if (ProcessEvents()) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{m_pollFd, POLLIN, 0};
        const auto wait = std::min<std::chrono::milliseconds::rep>(left.count(), 60000);
        if (poll(&entry, 1, static_cast<int>(wait)) < 0 && errno != EINTR) {
            return false;
        }
    }
}
