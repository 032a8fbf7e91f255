// CSerialPort: the front that picks a line by the form of its name and hands every call to it.
#include "serial/serial_port.h"

#include <algorithm>
#include <iterator>

#include "serial/port_line.h"
#include "serial/serial_system.h"

namespace {

using NetFactory = std::unique_ptr<CPortLine> (*)(const NetPortAddress&);

// The network forms, by scheme; every other name is a local device.
struct NameForm {
    bool rfc2217;
    NetFactory make;
};
constexpr NameForm kNetworkForms[] = {{true, MakeRfc2217Line}, {false, MakeTcpLine}};

std::unique_ptr<CPortLine> MakeLine(const std::string& name) {
    if (!IsNetworkPortName(name)) {
        return MakeLocalLine(name);
    }
    NetPortAddress address;
    std::string error;
    if (!ParseNetworkPortName(name, address, error)) {
        ThrowSerialException(SerialBadNameError(), "port name");
    }
    const auto form = std::find_if(std::begin(kNetworkForms), std::end(kNetworkForms),
                                   [&](const NameForm& f) { return f.rfc2217 == address.rfc2217; });
    return form->make(address);
}

}  // namespace

CSerialPort::CSerialPort() = default;

CSerialPort::~CSerialPort() {
    Close();
}

void CSerialPort::Open(const std::string& name) {
    Close();
    m_name = name;
    m_line = MakeLine(name);
    m_line->Open();
}

void CSerialPort::Reopen() {
    Open(m_name);
}

void CSerialPort::Close() noexcept {
    if (m_line) {
        m_line->Close();
        m_line.reset();
    }
}

bool CSerialPort::IsOpen() const {
    return m_line && m_line->IsOpen();
}

CPortLine& CSerialPort::Line(const char* operation) {
    if (!IsOpen()) {
        ThrowSerialException(SerialNotOpenError(), operation);
    }
    return *m_line;
}

void CSerialPort::SetTimeouts(std::uint32_t readInterval, std::uint32_t readTotalMultiplier,
                              std::uint32_t readTotalConstant, std::uint32_t writeTotalMultiplier,
                              std::uint32_t writeTotalConstant) {
    Line("set time-outs")
        .SetTimeouts({readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier,
                      writeTotalConstant});
}

void CSerialPort::Purge(std::uint32_t flags, TimePoint deadline) {
    Line("purge").Purge(flags, deadline);
}

std::size_t CSerialPort::Read(void* buffer, std::size_t capacity) {
    return Line("read").Read(buffer, capacity);
}

void CSerialPort::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    Line("write").Write(bytes, count, deadline);
}

bool CSerialPort::WaitReadable(TimePoint deadline) {
    return Line("wait").WaitReadable(deadline);
}
