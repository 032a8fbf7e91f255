// A local serial device over the Win32 communications functions. The handle is opened
// synchronously (no overlapped I/O); reads do not wait because the link sets the time-outs
// (MAXDWORD, 0, 0, 0, 0) right after Open. Until then the driver's own time-outs apply.
//
// ILine's own names (PURGE_TXCLEAR, PURGE_RXCLEAR) are macros in windows.h: the project's
// headers come in before the system's.
#include <cstring>

#include "serial/port_line.h"
#include "serial/serial_system.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: the multimedia timer header needs its types.
#include <mmsystem.h>

namespace {

static_assert(sizeof(DCB) == 28, "the DCB record the driver expects");

// Reads the error right after the failed call, before anything else can change it.
[[noreturn]] void ThrowLastError(const char* operation) {
    const DWORD err = GetLastError();
    ThrowSerialException(err != 0 ? err : ERROR_GEN_FAILURE, operation);
}

class CComLine final : public CPortLine {
public:
    explicit CComLine(std::string name) : m_name(std::move(name)) {}
    ~CComLine() override { Close(); }

    void Open() override;
    void Close() noexcept override;
    bool IsOpen() const override { return m_handle != INVALID_HANDLE_VALUE; }
    void SetTimeouts(const CommTimeouts& timeouts) override;
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;

private:
    void Apply(const COMMTIMEOUTS& t);

    std::string m_name;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS m_wanted{};   // as the caller set them (or as the driver had them)
    COMMTIMEOUTS m_applied{};  // as the driver has them now
};

void CComLine::Open() {
    Close();
    // Share mode 0: exclusive. Flags 0: synchronous.
    const HANDLE h = CreateFileA(m_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        ThrowLastError("CreateFile");
    }
    m_handle = h;

    // A failure from here on leaves the handle open; the next Open or Close releases it.
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) {
        ThrowLastError("GetCommState");
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
        ThrowLastError("SetCommState");
    }
    if (!GetCommTimeouts(h, &m_applied)) {
        ThrowLastError("GetCommTimeouts");
    }
    m_wanted = m_applied;
}

void CComLine::Close() noexcept {
    if (m_handle == INVALID_HANDLE_VALUE) {
        return;
    }
    CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
}

void CComLine::Apply(const COMMTIMEOUTS& t) {
    if (std::memcmp(&t, &m_applied, sizeof t) == 0) {
        return;
    }
    if (!SetCommTimeouts(m_handle, const_cast<COMMTIMEOUTS*>(&t))) {
        ThrowLastError("SetCommTimeouts");
    }
    m_applied = t;
}

void CComLine::SetTimeouts(const CommTimeouts& timeouts) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    Apply(t);
    m_wanted = t;
}

void CComLine::Purge(std::uint32_t flags, TimePoint) {
    // The output flag goes first, as the caller asks: PurgeComm discards in that order.
    if (!PurgeComm(m_handle, flags)) {
        ThrowLastError("PurgeComm");
    }
}

std::size_t CComLine::Read(void* buffer, std::size_t capacity) {
    const auto want = static_cast<DWORD>(std::min<std::size_t>(capacity, MAXDWORD));
    DWORD n = 0;
    if (!ReadFile(m_handle, buffer, want, &n, nullptr)) {
        ThrowLastError("ReadFile");
    }
    return n;
}

// Without a write time-out of its own a synchronous WriteFile waits for ever on a line that
// does not send; the time left until the deadline becomes the call's time-out. A call that
// took nothing by then is a time-out, reported rather than dropping the bytes without a word.
void CComLine::Write(const void* bytes, std::size_t size, TimePoint deadline) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
        const DWORD left = static_cast<DWORD>(std::max(MsUntil(deadline), 1));
        COMMTIMEOUTS t = m_wanted;
        const bool own = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
        if (!own || t.WriteTotalTimeoutConstant > left) {
            t.WriteTotalTimeoutMultiplier = 0;
            t.WriteTotalTimeoutConstant = left;
        }
        Apply(t);
        const auto count = static_cast<DWORD>(std::min<std::size_t>(size - done, MAXDWORD));
        DWORD n = 0;
        if (!WriteFile(m_handle, p + done, count, &n, nullptr)) {
            ThrowLastError("WriteFile");
        }
        done += n;
        if (done < size && (n == 0 || MsUntil(deadline) == 0)) {
            ThrowSerialException(ERROR_TIMEOUT, "WriteFile");
        }
    }
}

// The handle is synchronous, so WaitCommEvent would block without a time-out. Instead the
// driver's input count is polled in 1 ms steps, with the system timer at 1 ms meanwhile (the
// default 15.6 ms tick would otherwise turn each step into a whole poll period).
bool CComLine::WaitReadable(TimePoint deadline) {
    bool raisedResolution = false;
    bool readable = false;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &errors, &status)) {
            readable = true;  // the line is gone or broken: the next Read reports it
            break;
        }
        if (status.cbInQue > 0) {
            readable = true;
            break;
        }
        if (MsUntil(deadline) == 0) {
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

}  // namespace

std::unique_ptr<CPortLine> MakeLocalLine(const std::string& name) {
    return std::make_unique<CComLine>(name);
}
