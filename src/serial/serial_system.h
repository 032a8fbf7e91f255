// What CSerialException and CSerialPort need from the platform: the calling thread's last
// error code, the system's text for a code and the codes of a few conditions of their own.
// system_error_posix.cpp and system_error_win32.cpp provide them.
#pragma once

#include <cstdint>
#include <string>

std::uint32_t SerialLastSystemError();

// False when the system has no text of its own for the code.
bool SerialSystemErrorText(std::uint32_t code, std::string& text);

// A call on a port that is not open (EBADF, ERROR_INVALID_HANDLE).
std::uint32_t SerialNotOpenError();
// A port name that looks like a URL but is not one of the network port forms.
std::uint32_t SerialBadNameError();

#ifndef _WIN32
struct termios;

// Whether a line's settings, as read back, are 9600 baud 8N1, raw, without flow control. Open
// refuses a line whose driver did not take them all.
bool SerialLineIsRaw9600(const termios& t);

// The resolver's text for a code that stands for a getaddrinfo failure (net_socket.cpp).
bool NetResolverErrorText(std::uint32_t code, std::string& text);
#endif
