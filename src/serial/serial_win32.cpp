// CSerialPort over the Win32 communications functions. The handle is opened synchronously
// (no overlapped I/O); reads do not wait because the link sets the time-outs
// (MAXDWORD, 0, 0, 0, 0) right after Open. Until then the driver's own time-outs apply.
//
// The class's own names (PURGE_TXCLEAR, PURGE_RXCLEAR) are macros in windows.h: the class is
// declared before the system headers come in.
#include <algorithm>
#include <chrono>

#include "serial/net_port.h"
#include "serial/serial_port.h"
#include "serial/serial_system.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the multimedia timer header needs its types.
#include <mmsystem.h>

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM
constexpr DWORD kFormatFlags = 0x1300;
// MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT)
constexpr DWORD kFormatLanguage = 0x0800;

HANDLE ToHandle(SerialHandle h) {
    return static_cast<HANDLE>(h);
}

void RequireOpen(const CSerialPort& port) {
    // A closed port's handle is INVALID_HANDLE_VALUE, which is also the pseudo handle of the
    // current process: never hand it to the system.
    if (!port.IsOpen()) {
        ThrowSerialException(ERROR_INVALID_HANDLE);
    }
}

// Reads the error right after the failed call, before anything else can change it.
[[noreturn]] void ThrowLastError() {
    const DWORD err = GetLastError();
    ThrowSerialException(err != 0 ? err : ERROR_GEN_FAILURE);
}

static_assert(sizeof(DCB) == 28, "the DCB record the driver expects");

}  // namespace

std::uint32_t SerialLastSystemError() {
    return GetLastError();
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

CSerialPort::CSerialPort() : m_hComm(INVALID_HANDLE_VALUE) {}

CSerialPort::~CSerialPort() {
    Close();
}

void CSerialPort::Reopen() {
    Open(m_name);
}

void CSerialPort::Open(const std::string& name) {
    Close();
    m_name = name;
    if (IsNetworkPortName(name)) {
        auto net = std::make_unique<CNetPort>();
        net->Open(name);
        m_pNet = std::move(net);
        return;
    }
    // Share mode 0: exclusive. Flags 0: synchronous.
    const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ThrowLastError();
    }
    m_hComm = h;

    // A failure from here on leaves the handle open; the next Open or Close releases it.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) {
        ThrowLastError();
    }
    // Only flow control goes (flag bits 0x34C); every other flag, DTR and RTS control
    // included, keeps the driver's value. XON and XOFF are reply bytes here, not controls.
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.BaudRate = CBR_9600;
    dcb.Parity = NOPARITY;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(h, &dcb)) {
        ThrowLastError();
    }
}

void CSerialPort::Close() noexcept {
    m_pNet.reset();
    if (m_hComm == INVALID_HANDLE_VALUE) {
        return;
    }
    CloseHandle(ToHandle(m_hComm));
    m_hComm = INVALID_HANDLE_VALUE;
}

bool CSerialPort::IsOpen() const {
    return m_hComm != INVALID_HANDLE_VALUE || m_pNet != nullptr;
}

void CSerialPort::SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                              std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                              std::uint32_t writeTotalConstant) {
    RequireOpen(*this);
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = readInterval;
    t.ReadTotalTimeoutMultiplier = readTotalMultiplier;
    t.ReadTotalTimeoutConstant = readTotalConstant;
    t.WriteTotalTimeoutMultiplier = writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = writeTotalConstant;
    if (m_pNet) {
        return;  // a network port's reads never wait and its writes take every byte
    }
    if (!SetCommTimeouts(ToHandle(m_hComm), &t)) {
        ThrowLastError();
    }
}

void CSerialPort::Purge(std::uint32_t flags, TimePoint) {
    RequireOpen(*this);
    if (m_pNet) {
        return m_pNet->Purge(flags);
    }
    if (!PurgeComm(ToHandle(m_hComm), flags)) {
        ThrowLastError();
    }
}

std::size_t CSerialPort::Read(void* buffer, std::size_t count) {
    RequireOpen(*this);
    const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(count, MAXDWORD));
    if (m_pNet) {
        return m_pNet->Read(buffer, want);
    }
    DWORD n = 0;
    if (!ReadFile(ToHandle(m_hComm), buffer, want, &n, nullptr)) {
        ThrowLastError();
    }
    return n;
}

void CSerialPort::Write(const void* buffer, std::size_t size, TimePoint) {
    RequireOpen(*this);
    const auto count = static_cast<std::uint32_t>(size);
    if (m_pNet) {
        m_pNet->Write(buffer, count);
        return;
    }
    // Without a write time-out one call takes every byte. Should a driver still return early,
    // the rest goes out in further calls; a call that takes nothing at all is a time-out, and
    // is reported rather than dropping the bytes without a word.
    const auto* p = static_cast<const unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!WriteFile(ToHandle(m_hComm), p + done, count - done, &n, nullptr)) {
            ThrowLastError();
        }
        if (n == 0) {
            ThrowSerialException(ERROR_TIMEOUT);
        }
        done += n;
    }
}

// The handle is synchronous, so WaitCommEvent would block without a time-out. Instead the
// driver's input count is polled in 1 ms steps, with the system timer at 1 ms meanwhile (the
// default 15.6 ms tick would otherwise turn each step into a whole poll period).
bool CSerialPort::WaitReadable(TimePoint deadline) {
    RequireOpen(*this);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock().Now());
    const unsigned timeoutMs =
        left.count() > 0 ? static_cast<unsigned>(std::min<long long>(left.count(), INT32_MAX)) : 0;
    if (m_pNet) {
        return m_pNet->WaitReadable(timeoutMs);
    }
    const ULONGLONG start = GetTickCount64();
    bool raisedResolution = false;
    bool readable = false;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(ToHandle(m_hComm), &errors, &status)) {
            readable = true;  // the line is gone or broken: the next Read reports it
            break;
        }
        if (status.cbInQue > 0) {
            readable = true;
            break;
        }
        if (GetTickCount64() - start >= timeoutMs) {
            break;
        }
        if (!raisedResolution) {
            raisedResolution = timeBeginPeriod(1) == TIMERR_NOERROR;
        }
        Sleep(1);
    }
    if (raisedResolution) {
        timeEndPeriod(1);
    }
    return readable;
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
