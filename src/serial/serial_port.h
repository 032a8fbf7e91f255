// One serial device with the bootloader's fixed line settings (9600 8N1, no flow control).
// Every failed system call raises CSerialException with the system's error code.
// The class is the same on every platform; serial_posix.cpp and serial_win32.cpp implement it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/line.h"

#ifdef _WIN32
using SerialHandle = void*;  // HANDLE
#else
using SerialHandle = int;  // file descriptor
#endif

class CNetPort;

class CSerialPort : public ILine {
public:
    CSerialPort();
    ~CSerialPort() override;

    // Opens the device exclusively and sets 9600 8N1 without flow control. A failure after the
    // device itself was opened leaves the port open; the next Open or Close releases it.
    // A name rfc2217://HOST:PORT or socket://HOST:PORT opens a network port instead (see
    // net_port.h), which behaves the same to every caller; it is closed again on any failure.
    void Open(const std::string& name);
    void Close() noexcept override;
    bool IsOpen() const override;
    // Open with the name last given to Open.
    void Reopen() override;

    // Milliseconds, in the order of the Win32 COMMTIMEOUTS record. On POSIX every read
    // returns at once and every write waits until the driver has taken all its bytes, which
    // is what the link sets (MAXDWORD, 0, 0, 0, 0); the values are accepted and checked only
    // for an open port.
    void SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                     std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                     std::uint32_t writeTotalConstant);

    void Purge(std::uint32_t flags, TimePoint deadline) override;
    // Returns at once with the bytes already received (possibly none). A hung-up line raises.
    std::size_t Read(void* buffer, std::size_t capacity) override;
    // Returns when the driver has taken every byte.
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    // Lets a poll loop notice a reply the moment it arrives instead of sleeping a whole poll
    // period.
    bool WaitReadable(TimePoint deadline) override;
    IClock& Clock() override { return RealClock(); }

private:
    SerialHandle m_hComm;
    std::string m_name;                // as last given to Open
    std::unique_ptr<CNetPort> m_pNet;  // set while a network port is open
};
