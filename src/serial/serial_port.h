// One serial device with the bootloader's fixed line settings (9600 8N1, no flow control).
// Every failed system call raises CSerialException with the system's error code.
// The class is the same on every platform; serial_posix.cpp and serial_win32.cpp implement it.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#ifdef _WIN32
using SerialHandle = void*;  // HANDLE
#else
using SerialHandle = int;  // file descriptor
#endif

class CSerialException : public std::exception {
public:
    explicit CSerialException(std::uint32_t dwError);

    // Fills buffer with the system's text for m_dwError, cut to capacity - 1 bytes and
    // terminated. False (and an empty text) when the system has no text for the code.
    // A null buffer or a zero capacity is an invalid argument (std::invalid_argument).
    bool GetErrorMessage(char* buffer, unsigned capacity, unsigned* helpContext = nullptr) const;

    const char* what() const noexcept override { return m_what.c_str(); }

    std::uint32_t m_dwError;  // errno on POSIX, GetLastError() on Windows

private:
    std::string m_what;
};

// 0 stands for the calling thread's last error (errno / GetLastError()).
[[noreturn]] void ThrowSerialException(std::uint32_t dwError = 0);

// True for the codes with which a read or write reports a line that went away (adapter
// pulled, peer closed, a network port's connection closed).
bool IsHangUpError(std::uint32_t dwError);

class CNetPort;

class CSerialPort {
public:
    static constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;  // discard output not yet sent
    static constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;  // discard input not yet read

    CSerialPort();
    virtual ~CSerialPort();
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    // Opens the device exclusively and sets 9600 8N1 without flow control. A failure after the
    // device itself was opened leaves the port open; the next Open or Close releases it.
    // A name rfc2217://HOST:PORT or socket://HOST:PORT opens a network port instead (see
    // net_port.h), which behaves the same to every caller; it is closed again on any failure.
    void Open(const std::string& name);
    void Close() noexcept;
    bool IsOpen() const;

    // Milliseconds, in the order of the Win32 COMMTIMEOUTS record. On POSIX every read
    // returns at once and every write waits until the driver has taken all its bytes, which
    // is what the link sets (MAXDWORD, 0, 0, 0, 0); the values are accepted and checked only
    // for an open port.
    void SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                     std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                     std::uint32_t writeTotalConstant);

    void Purge(std::uint32_t flags);

    // Returns at once with the bytes already received (possibly none). A hung-up line raises.
    std::uint32_t Read(void* buffer, std::uint32_t count);
    // Returns when the driver has taken every byte.
    std::uint32_t Write(const void* buffer, std::uint32_t count);

    // Waits at most timeoutMs for received bytes (or a hang-up, which the next Read reports).
    // True when a Read is worth doing now. Lets a poll loop notice a reply the moment it
    // arrives instead of sleeping a whole poll period.
    bool WaitReadable(unsigned timeoutMs);

private:
    SerialHandle m_hComm;
    std::unique_ptr<CNetPort> m_pNet;  // set while a network port is open
};
