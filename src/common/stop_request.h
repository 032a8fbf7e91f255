// Requests to stop a run. A signal handler (quillon-cli) stops every run of the process; a
// front end can stop one run alone (the window's Cancel, a station's slot) through that run's
// own source. Both are honoured where a run waits or reads: a pause, a poll, a chunk of a file.
// The run then unwinds through its normal ending, so the port is closed and working files go.
#pragma once

#include <atomic>
#include <exception>

namespace stop_request_detail {
// Lock-free, so storing to it is safe inside a signal handler.
inline std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace stop_request_detail

// The reason a run's own source gives when a user (not a signal) stopped it.
inline constexpr int kStopByUser = -1;

// Thrown where a stop request is noticed. reason: the signal number, or kStopByUser.
class CStopRequested : public std::exception {
public:
    explicit CStopRequested(int reason = 0) : m_reason(reason) {}
    const char* what() const noexcept override {
        return m_reason == kStopByUser ? "stopped by the user" : "stopped by a signal";
    }
    int Reason() const noexcept { return m_reason; }

private:
    int m_reason;
};

// Async-signal-safe. signal: the number the process will report (128 + signal).
inline void RequestStop(int signal) noexcept {
    stop_request_detail::g_signal.store(signal);
}

// The signal that asked every run to stop, 0 when none did.
inline int StopRequested() noexcept {
    return stop_request_detail::g_signal.load();
}

inline void ThrowIfStopRequested() {
    if (const int signal = StopRequested(); signal != 0) {
        throw CStopRequested(signal);
    }
}

// One run's own stop. Safe from any thread and from a signal handler.
class CStopSource {
public:
    void RequestStop(int reason = kStopByUser) noexcept { m_reason.store(reason); }
    int Reason() const noexcept { return m_reason.load(); }

private:
    std::atomic<int> m_reason{0};
};

// What a run looks at: a process-wide signal first, then its own source (if it has one).
class StopToken {
public:
    StopToken() = default;  // signals only
    explicit StopToken(const CStopSource& source) : m_source(&source) {}

    // 0 while the run may go on; else the signal number or kStopByUser.
    int Requested() const noexcept {
        const int signal = StopRequested();
        if (signal != 0) {
            return signal;
        }
        return m_source != nullptr ? m_source->Reason() : 0;
    }
    void ThrowIfRequested() const {
        if (const int reason = Requested(); reason != 0) {
            throw CStopRequested(reason);
        }
    }

private:
    const CStopSource* m_source = nullptr;
};
