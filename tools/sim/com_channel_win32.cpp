// The simulator on a COM port (Windows has no pseudo-terminals): one end of a virtual
// null-modem pair, say, whose other end the client opens. The port is the product's own
// CSerialPort, with reads that never wait.
#include <algorithm>
#include <cctype>
#include <string>
#include <system_error>

#include "serial/serial_port.h"
#include "sim_channel.h"

namespace {

// "COMn" or "\\.\COMn": n, else 0.
int ComNumber(const std::string& name) {
    std::string upper = name.rfind("\\\\.\\", 0) == 0 ? name.substr(4) : name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (upper.size() < 4 || upper.size() > 6 || upper.rfind("COM", 0) != 0 ||
        !std::all_of(upper.begin() + 3, upper.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return 0;
    }
    return std::stoi(upper.substr(3));
}

class CComChannel final : public CSimChannel {
public:
    explicit CComChannel(std::string name) : m_name(std::move(name)) {}
    ~CComChannel() override { Close(); }

    void Open() override {
        const int n = ComNumber(m_name);
        if (n == 0) {  // a file or another device is never written to
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    m_name + " is not a COM port name (COMn)");
        }
        if (n >= 1 && n <= 4) {
            throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                    m_name +
                                        " is one of the machine's own ports (COM1 to COM4): "
                                        "serve one end of a virtual null-modem pair instead");
        }
        try {
            m_port.Open(m_name.rfind("\\\\.\\", 0) == 0 ? m_name : "\\\\.\\" + m_name);
            m_port.SetTimeouts(0xFFFFFFFF, 0, 0, 0, 0);  // reads return at once
        } catch (const CSerialException& e) {
            m_port.Close();
            throw std::system_error(static_cast<int>(e.m_dwError), std::system_category(),
                                    "open " + m_name);
        }
    }

    std::string Name() const override { return m_name; }

    Event Wait(std::optional<Clock::time_point> deadline) override {
        for (;;) {
            auto step = std::chrono::milliseconds(5);
            if (deadline) {
                step = std::clamp(
                    std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()),
                    std::chrono::milliseconds(0), step);
            }
            bool readable = false;
            if (m_port.IsOpen()) {
                readable = m_port.WaitReadable(Clock::now() + step);
            } else if (Sleep(static_cast<unsigned>(step.count()))) {
                return Event::Woken;
            }
            if (Sleep(0)) {
                return Event::Woken;
            }
            if (readable) {
                return Event::Input;
            }
            if (deadline && Clock::now() >= *deadline) {
                return Event::Timeout;
            }
        }
    }

    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        try {
            return m_port.IsOpen() ? m_port.Read(buffer, size) : 0;
        } catch (const CSerialException&) {
            return 0;
        }
    }

    std::size_t Write(const std::uint8_t* bytes, std::size_t size) override {
        try {
            if (m_port.IsOpen()) {
                m_port.Write(bytes, size, Clock::now() + std::chrono::seconds(5));
            }
        } catch (const CSerialException&) {
            // lost, as on a line nobody listens to
        }
        return size;
    }

    // A null-modem pair carries no hang-up: the port is closed for a moment, and the client
    // hears nothing more.
    void HangUp(bool reopen) override {
        m_port.Close();
        if (reopen && !Sleep(100)) {
            Open();
        }
    }

    void Close() override { m_port.Close(); }

private:
    std::string m_name;
    CSerialPort m_port;
};

}  // namespace

std::unique_ptr<CSimChannel> MakeComChannel(const std::string& port) {
    return std::make_unique<CComChannel>(port);
}
