// Helpers shared by the serial tests: the error a call raised, and a read with a deadline.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "serial/serial_port.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A deadline ms from now on the real clock.
inline ILine::TimePoint In(unsigned ms) {
    return RealClock().Now() + std::chrono::milliseconds(ms);
}

// The system's code and the operation of the serial exception f raised; 0 when it raised none.
struct Raised {
    std::uint32_t error = 0;
    std::string operation;
};
inline Raised RaisedBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const CSerialException& e) {
        return {e.m_dwError, e.m_operation};
    }
    return {};
}
inline std::uint32_t ErrorOf(const std::function<void()>& f) {
    return RaisedBy(f).error;
}

// Up to count bytes, until 10 s pass without one: how long all of them take depends on the
// machine's load, not on the line.
inline std::string ReadFor(ILine& port, std::size_t count) {
    std::string out;
    auto quiet = Clock::now() + 10s;
    while (out.size() < count && Clock::now() < quiet) {
        char buf[4096];
        port.WaitReadable(In(100));
        const std::size_t n = port.Read(buf, std::min(sizeof buf, count - out.size()));
        out.append(buf, n);
        if (n > 0) {
            quiet = Clock::now() + 10s;
        }
    }
    return out;
}
