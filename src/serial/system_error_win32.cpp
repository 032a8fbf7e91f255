// The system's error codes and texts on Windows: GetLastError() and WSAGetLastError() values,
// worded by FormatMessage.
#include "serial/serial_exception.h"
#include "serial/serial_system.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
constexpr DWORD kFormatFlags = 0x1300;
// MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
constexpr DWORD kFormatLanguage = 0x0800;

}  // namespace

std::uint32_t SerialLastSystemError() {
    return GetLastError();
}

std::uint32_t SerialNotOpenError() {
    // A closed port's handle is INVALID_HANDLE_VALUE, which is also the pseudo handle of the
    // current process: it is never handed to the system, and this is the code it would give.
    return ERROR_INVALID_HANDLE;
}

std::uint32_t SerialBadNameError() {
    return WSAEINVAL;
}

bool SerialSystemErrorText(std::uint32_t code, std::string& text) {
    char* message = nullptr;
    const DWORD n = FormatMessageA(kFormatFlags, nullptr, code, kFormatLanguage,
                                   reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (n == 0 || message == nullptr) {
        if (message != nullptr) {
            LocalFree(message);
        }
        return false;
    }
    text.assign(message, n);
    LocalFree(message);
    return true;
}

bool IsHangUpError(std::uint32_t dwError) {
    // What reads and writes report once a USB adapter has been pulled.
    switch (dwError) {
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case WSAECONNRESET:  // a network port's connection closed or reset
        case WSAECONNABORTED:
            return true;
        default:
            return false;
    }
}
