// The system's error codes and texts on POSIX: errno values, and getaddrinfo's codes in a
// range of their own (net_socket.cpp).
#include <cerrno>
#include <cstring>

#include "serial/serial_exception.h"
#include "serial/serial_system.h"

std::uint32_t SerialLastSystemError() {
    return static_cast<std::uint32_t>(errno);
}

std::uint32_t SerialNotOpenError() {
    return EBADF;
}

std::uint32_t SerialBadNameError() {
    return EINVAL;
}

bool SerialSystemErrorText(std::uint32_t code, std::string& text) {
    if (NetResolverErrorText(code, text)) {
        return true;
    }
    if (code > static_cast<std::uint32_t>(INT32_MAX)) {
        return false;
    }
    const int err = static_cast<int>(code);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // glibc makes up "Unknown error N" for codes it does not know; those have no name.
    if (err != 0 && strerrorname_np(err) == nullptr) {
        return false;
    }
#endif
    char buf[256];
    errno = 0;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* msg = strerror_r(err, buf, sizeof buf);
#else
    const char* msg = strerror_r(err, buf, sizeof buf) == 0 ? buf : nullptr;
#endif
    if (msg == nullptr || std::strncmp(msg, "Unknown error", 13) == 0) {
        return false;
    }
    text = msg;
    return true;
}

bool IsHangUpError(std::uint32_t dwError) {
    // EIO is what a hung-up terminal reports; a network port's connection that the other side
    // closed or reset is a hang-up too.
    return dwError == EIO || dwError == ECONNRESET || dwError == EPIPE || dwError == ECONNABORTED;
}
