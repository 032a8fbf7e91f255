// The exception every failed serial or network call raises: the system's error code and the
// operation that failed.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

class CSerialException : public std::exception {
public:
    explicit CSerialException(std::uint32_t dwError, std::string operation = {});

    // Fills buffer with the system's text for m_dwError, cut to capacity - 1 bytes and
    // terminated. False (and an empty text) when the system has no text for the code.
    // A null buffer or a zero capacity is an invalid argument (std::invalid_argument).
    bool GetErrorMessage(char* buffer, unsigned capacity, unsigned* helpContext = nullptr) const;

    const char* what() const noexcept override { return m_what.c_str(); }

    std::uint32_t m_dwError;  // errno on POSIX, GetLastError() on Windows
    std::string m_operation;  // the call or step that failed ("tcsetattr", "connect", ...)

private:
    std::string m_what;
};

// 0 stands for the calling thread's last error (errno / GetLastError()). operation names the
// call that failed; null when it is not known.
[[noreturn]] void ThrowSerialException(std::uint32_t dwError = 0, const char* operation = nullptr);

// True for the codes with which a read or write reports a line that went away (adapter
// pulled, peer closed, a network port's connection closed).
bool IsHangUpError(std::uint32_t dwError);
