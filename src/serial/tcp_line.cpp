// socket://HOST:PORT: raw TCP to a device server, bytes as they are. The server's line settings
// are its own. Nothing is kept here: what has arrived waits in the socket until it is read.
#include "serial/net_socket.h"
#include "serial/port_line.h"

namespace {

// The connection must be made within this time, name resolution included.
constexpr auto kConnectBudget = std::chrono::seconds(5);

class CTcpLine final : public CPortLine {
public:
    explicit CTcpLine(NetPortAddress address) : m_address(std::move(address)) {}
    ~CTcpLine() override { Close(); }

    void Open() override {
        Close();
        m_socket = net::Connect(m_address.host, m_address.port, Clock().Now() + kConnectBudget);
    }
    void Close() noexcept override {
        net::Close(m_socket);
        m_socket = net::kNoSocket;
        m_hungUp = 0;
    }
    bool IsOpen() const override { return m_socket != net::kNoSocket; }
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;

private:
    // Receive, with a closed or reset connection remembered as a hang-up.
    long Receive(void* buffer, std::size_t capacity, const char* operation);
    [[noreturn]] void RaiseHangUp(const char* operation) const {
        ThrowSerialException(m_hungUp, operation);
    }

    NetPortAddress m_address;
    NetSocket m_socket = net::kNoSocket;
    std::uint32_t m_hungUp = 0;  // the code of the hang-up once the connection is gone
};

long CTcpLine::Receive(void* buffer, std::size_t capacity, const char* operation) {
    if (m_hungUp != 0) {
        RaiseHangUp(operation);
    }
    long n = 0;
    try {
        n = net::Receive(m_socket, buffer, capacity);
    } catch (const CSerialException& e) {
        if (!IsHangUpError(e.m_dwError)) {
            throw;
        }
        m_hungUp = e.m_dwError;  // reset by the other side
        RaiseHangUp(operation);
    }
    if (n < 0) {
        m_hungUp = net::HangUpError();
        RaiseHangUp(operation);
    }
    return n;
}

std::size_t CTcpLine::Read(void* buffer, std::size_t capacity) {
    return capacity == 0 ? 0 : static_cast<std::size_t>(Receive(buffer, capacity, "read"));
}

void CTcpLine::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    if (m_hungUp != 0) {
        RaiseHangUp("write");
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        try {
            done += net::SendSome(m_socket, p + done, count - done);
        } catch (const CSerialException& e) {
            if (IsHangUpError(e.m_dwError)) {
                m_hungUp = e.m_dwError;
            }
            ThrowSerialException(e.m_dwError, "write");
        }
        if (done < count && !net::Wait(m_socket, false, true, deadline).writable) {
            ThrowSerialException(net::TimedOutError(), "write");
        }
    }
}

// Raw TCP reaches no buffer of the server's: an output purge has nothing to discard, an input
// purge drops what has arrived here. A server that keeps the socket full while it is emptied
// sends without pause: the line has failed.
void CTcpLine::Purge(std::uint32_t flags, TimePoint) {
    if ((flags & PURGE_RXCLEAR) == 0) {
        return;
    }
    std::uint8_t chunk[4096];
    std::size_t dropped = 0;
    while (const long n = Receive(chunk, sizeof chunk, "purge")) {
        dropped += static_cast<std::size_t>(n);
        if (dropped > kReceiveBufferCap) {
            ThrowSerialException(net::NoBufferError(), kFloodOperation);
        }
    }
}

bool CTcpLine::WaitReadable(TimePoint deadline) {
    return m_hungUp != 0 || net::Wait(m_socket, true, false, deadline).readable;
}

}  // namespace

std::unique_ptr<CPortLine> MakeTcpLine(const NetPortAddress& address) {
    return std::make_unique<CTcpLine>(address);
}
