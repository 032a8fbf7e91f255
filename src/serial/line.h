// A byte line: what the link and the transfer need of a serial port, whatever carries it
// (a local device, raw TCP, RFC 2217, or a simulated line in tests). Every failure raises
// CSerialException; every wait ends by its deadline, on the line's own clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/clock.h"
#include "serial/serial_exception.h"

class ILine {
public:
    using TimePoint = IClock::TimePoint;

    static constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;  // discard output not yet sent
    static constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;  // discard input not yet read

    ILine() = default;
    virtual ~ILine() = default;
    ILine(const ILine&) = delete;
    ILine& operator=(const ILine&) = delete;

    virtual bool IsOpen() const = 0;
    virtual void Close() noexcept = 0;
    // Opens the line again by the name it was last opened with (the link does so when it
    // finds its line closed). Lines that cannot be reopened raise.
    virtual void Reopen() = 0;

    // What has arrived, at once (0: nothing yet). A hung-up line raises.
    virtual std::size_t Read(void* buffer, std::size_t capacity) = 0;
    // Returns when the line has taken every byte; raises a time-out when deadline passes first.
    virtual void Write(const void* bytes, std::size_t count, TimePoint deadline) = 0;
    // Discards unsent output (PURGE_TXCLEAR), then received input (PURGE_RXCLEAR), as flags
    // ask; a purge that needs the other side's answer waits for it until deadline.
    virtual void Purge(std::uint32_t flags, TimePoint deadline) = 0;
    // Waits until bytes (or a hang-up, which the next Read reports) can be read, or until
    // deadline. True when a Read is worth doing now.
    virtual bool WaitReadable(TimePoint deadline) = 0;

    // The clock the deadlines above are on; pauses between steps go through it too.
    virtual IClock& Clock() = 0;
    // A step of the run ("select", "all-flash", ...) for a trace of the line; no effect on the
    // line itself.
    virtual void Mark(std::string_view step) { (void)step; }
};
