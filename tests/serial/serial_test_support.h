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

// The system's code of the serial exception f raised; 0 when it raised none.
inline std::uint32_t ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CSerialException& e) {
        return e.m_dwError;
    }
    return 0;
}

// Up to count bytes, waiting at most 10 s in all.
inline std::string ReadFor(CSerialPort& port, std::size_t count) {
    std::string out;
    const auto deadline = Clock::now() + 10s;
    while (out.size() < count && Clock::now() < deadline) {
        char buf[4096];
        port.WaitReadable(In(100));
        out.append(buf, port.Read(buf, std::min(sizeof buf, count - out.size())));
    }
    return out;
}
