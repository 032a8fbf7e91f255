// What every channel shares: the wake-up that ends a wait, and the text of a line.
#include "sim_channel.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <algorithm>
#include <system_error>

CSimChannel::CSimChannel() {
#ifdef _WIN32
    m_wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_wakeEvent == nullptr) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateEvent");
    }
#else
    if (pipe2(m_wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
#endif
}

CSimChannel::~CSimChannel() {
#ifdef _WIN32
    CloseHandle(m_wakeEvent);
#else
    close(m_wake[0]);
    close(m_wake[1]);
#endif
}

void CSimChannel::Wake() {
#ifdef _WIN32
    SetEvent(m_wakeEvent);
#else
    const char c = 's';
    (void)!write(m_wake[1], &c, 1);
#endif
}

#ifdef _WIN32
bool CSimChannel::Sleep(unsigned ms) {
    return WaitForSingleObject(m_wakeEvent, ms) == WAIT_OBJECT_0;
}
#else
CSimChannel::Event CSimChannel::Poll(int fd, short events,
                                     std::optional<Clock::time_point> deadline, short* revents) {
    timespec ts{};
    timespec* timeout = nullptr;
    if (deadline) {
        const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1000000000);
        ts.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &ts;
    }
    pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {fd, events, 0}};
    const int rc = ppoll(fds, fd >= 0 ? 2 : 1, timeout, nullptr);
    if (rc < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "ppoll");
    }
    if (revents != nullptr) {
        *revents = rc > 0 ? fds[1].revents : 0;
    }
    if (rc > 0 && (fds[0].revents & POLLIN) != 0) {
        return Event::Woken;
    }
    return rc > 0 && fds[1].revents != 0 ? Event::Input : Event::Timeout;
}
#endif

std::string SimLineText(std::uint32_t baud, unsigned dataBits, char parity, unsigned stopBits,
                        bool xonxoff, bool rtscts) {
    std::string text = (baud != 0 ? std::to_string(baud) : "?") + " " + std::to_string(dataBits) +
                       parity + std::to_string(stopBits);
    if (xonxoff) {
        text += " xon/xoff";
    }
    if (rtscts) {
        text += " rts/cts";
    }
    return text;
}
