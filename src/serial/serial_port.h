// One serial line with the bootloader's fixed settings (9600 8N1, no flow control), by name: a
// local device, or a device server across the network (rfc2217://HOST:PORT, socket://HOST:PORT;
// see net_port.h). The class is the same on every platform and for every transport; it picks
// the implementation by the name's form. Every failed call raises CSerialException with the
// system's error code and the operation that failed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/line.h"

class CPortLine;

class CSerialPort : public ILine {
public:
    CSerialPort();
    ~CSerialPort() override;

    // Opens the line exclusively and sets 9600 8N1 without flow control. A failure after a
    // local device itself was opened leaves the port open; the next Open or Close releases it.
    // A network port is closed again on any failure. A name that looks like a URL but is not
    // one of the two forms is refused, never opened as a local file.
    void Open(const std::string& name);
    void Close() noexcept override;
    bool IsOpen() const override;
    // Open with the name last given to Open.
    void Reopen() override;

    // Milliseconds, in the order of the Win32 COMMTIMEOUTS record. Only Windows' driver has
    // time-outs of its own: elsewhere every read returns at once and every write waits until
    // the line has taken all its bytes (or its deadline has passed), which is what the link
    // sets (MAXDWORD, 0, 0, 0, 0); the values are accepted and checked only for an open port.
    void SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                     std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                     std::uint32_t writeTotalConstant);

    void Purge(std::uint32_t flags, TimePoint deadline) override;
    // Returns at once with the bytes already received (possibly none). A hung-up line raises.
    std::size_t Read(void* buffer, std::size_t capacity) override;
    // Returns when the line has taken every byte; raises a time-out at the deadline.
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    // Lets a poll loop notice a reply the moment it arrives instead of sleeping a whole poll
    // period.
    bool WaitReadable(TimePoint deadline) override;
    IClock& Clock() override { return RealClock(); }

private:
    CPortLine& Line(const char* operation);

    std::unique_ptr<CPortLine> m_line;  // the transport the name asked for, while open
    std::string m_name;                 // as last given to Open
};
