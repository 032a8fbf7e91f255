// Time for the link and the transfer: every pause, poll and wait goes through the clock that
// comes with the line, so that a simulated line can run its own time and tests can reach any
// moment of a poll without sleeping.
#pragma once

#include <chrono>
#include <thread>

class IClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~IClock() = default;
    virtual TimePoint Now() = 0;
    // Returns once Now() has reached t; at once when it already has.
    virtual void SleepUntil(TimePoint t) = 0;

    void SleepFor(Duration d) { SleepUntil(Now() + d); }
};

class CRealClock final : public IClock {
public:
    TimePoint Now() override { return std::chrono::steady_clock::now(); }
    void SleepUntil(TimePoint t) override { std::this_thread::sleep_until(t); }
};

// The machine's steady clock, shared by every real line.
inline IClock& RealClock() {
    static CRealClock clock;
    return clock;
}
