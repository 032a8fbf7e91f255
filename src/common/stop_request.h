// A request to stop whatever runs, made by a signal handler (quillon-cli) and honoured at
// the places where a run waits or reads: a pause, a poll, a chunk of a file. The run then
// unwinds through its normal ending, so the port is closed and working files go.
#pragma once

#include <atomic>
#include <exception>

namespace stop_request_detail {
// Lock-free, so storing to it is safe inside a signal handler.
inline std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace stop_request_detail

// Thrown where a stop request is noticed.
class CStopRequested : public std::exception {
public:
    const char* what() const noexcept override { return "stopped by a signal"; }
};

// Async-signal-safe. signal: the number the process will report (128 + signal).
inline void RequestStop(int signal) noexcept {
    stop_request_detail::g_signal.store(signal);
}

// The signal that asked for the stop, 0 when none did.
inline int StopRequested() noexcept {
    return stop_request_detail::g_signal.load();
}

inline void ThrowIfStopRequested() {
    if (StopRequested() != 0) {
        throw CStopRequested();
    }
}
