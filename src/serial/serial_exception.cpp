// CSerialException: the same on every platform; only the error texts come from the system.
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "serial/serial_port.h"
#include "serial/serial_system.h"

CSerialException::CSerialException(std::uint32_t dwError, std::string operation)
    : m_dwError(dwError), m_operation(std::move(operation)) {
    std::string text;
    if (!SerialSystemErrorText(dwError, text)) {
        text = "unknown error";
    }
    m_what = "serial port error " + std::to_string(dwError) +
             (m_operation.empty() ? "" : " in " + m_operation) + ": " + text;
}

bool CSerialException::GetErrorMessage(char* buffer, unsigned capacity,
                                       unsigned* helpContext) const {
    if (buffer == nullptr || capacity == 0) {
        throw std::invalid_argument("GetErrorMessage needs a buffer of at least one byte");
    }
    if (helpContext != nullptr) {
        *helpContext = 0;
    }
    std::string text;
    if (!SerialSystemErrorText(m_dwError, text)) {
        buffer[0] = '\0';
        return false;
    }
    const std::size_t n = std::min<std::size_t>(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return true;
}

void ThrowSerialException(std::uint32_t dwError, const char* operation) {
    if (dwError == 0) {
        dwError = SerialLastSystemError();
    }
    throw CSerialException(dwError, operation != nullptr ? operation : "");
}
