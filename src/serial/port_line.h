// What CSerialPort needs of each transport beyond the line itself: an open by the name it was
// made for, and the Win32 time-out record. One implementation per transport, each in its own
// file: termios (termios_line.cpp), Win32 comm (com_line_win32.cpp), raw TCP (tcp_line.cpp),
// RFC 2217 (rfc2217_line.cpp). None knows of the others.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "serial/line.h"
#include "serial/net_port.h"

// Milliseconds, in the order of the Win32 COMMTIMEOUTS record.
struct CommTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};

class CPortLine : public ILine {
public:
    // Raises CSerialException. A local device that fails after it was opened stays open until
    // Close; a network line closes itself again on any failure.
    virtual void Open() = 0;
    // Only the Win32 driver has time-outs of its own; every other line's reads never wait and
    // its writes are bounded by their deadline.
    virtual void SetTimeouts(const CommTimeouts& timeouts) { (void)timeouts; }

    void Reopen() override {
        Close();
        Open();
    }
    IClock& Clock() override { return RealClock(); }
};

// A local device: termios on POSIX, the Win32 comm calls on Windows.
std::unique_ptr<CPortLine> MakeLocalLine(const std::string& name);
std::unique_ptr<CPortLine> MakeTcpLine(const NetPortAddress& address);
std::unique_ptr<CPortLine> MakeRfc2217Line(const NetPortAddress& address);

// What is left of a wait until deadline, in whole milliseconds rounded up (so a wait never
// ends before its deadline), 0 once it has passed, at most INT32_MAX.
inline int MsUntil(ILine::TimePoint deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - RealClock().Now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT32_MAX));
}

// How much a network line keeps of what the server sent and nobody read yet. A device at
// 9600 baud needs a minute to fill it; one that does is sending without pause.
constexpr std::size_t kReceiveBufferCap = 64 * 1024;
constexpr const char* kFloodOperation = "receive buffer full (the device sends without pause)";
