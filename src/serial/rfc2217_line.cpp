// rfc2217://HOST:PORT: Telnet with the COM-PORT-OPTION to a device server. The open sets the
// server's line to 9600 8N1 without flow control and checks each answer. One loop moves bytes:
// it sends what is queued (replies to negotiation, commands, data) and takes in what arrives,
// never past the receive buffer's cap, and ends by the caller's deadline.
#include <algorithm>
#include <cstring>
#include <functional>

#include "serial/net_socket.h"
#include "serial/port_line.h"
#include "serial/telnet_decoder.h"

using namespace telnet;

namespace {

// Connecting, agreeing on the options and setting the line must all be done within this time.
constexpr auto kOpenBudget = std::chrono::seconds(5);

// The bootloader's line: 9600 baud, 8 data bits, no parity (1), one stop bit (1), no flow
// control (1).
struct Setting {
    std::uint8_t command;
    std::vector<std::uint8_t> value;
    const char* operation;  // what a missing or wrong answer is reported as
};
const Setting kLine[] = {
    {kSetBaudRate, {0x00, 0x00, 0x25, 0x80}, "RFC 2217 baud rate answer"},
    {kSetDataSize, {8}, "RFC 2217 data size answer"},
    {kSetParity, {1}, "RFC 2217 parity answer"},
    {kSetStopSize, {1}, "RFC 2217 stop size answer"},
    {kSetControl, {1}, "RFC 2217 flow control answer"},
};

// Purge values: the server's buffer towards us (1), towards the line (2), both (3).
constexpr std::uint8_t kPurgeFromLine = 1;
constexpr std::uint8_t kPurgeToLine = 2;

constexpr const char* kRunawayOperation = "negotiation did not end";

class CRfc2217Line final : public CPortLine {
public:
    explicit CRfc2217Line(NetPortAddress address) : m_address(std::move(address)) {}
    ~CRfc2217Line() override { Close(); }

    void Open() override;
    void Close() noexcept override;
    bool IsOpen() const override { return m_socket != net::kNoSocket; }
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;

private:
    void Negotiate(TimePoint deadline);
    // Moves bytes until done() holds; raises with timeoutOperation at the deadline.
    void Await(const std::function<bool()>& done, TimePoint deadline,
               const std::function<const char*()>& timeoutOperation);
    // Sends what the socket takes now, takes in what has arrived: never waits.
    void Move();
    void Send();
    void Take();
    void RaiseIfFailed(const char* operation) const;
    std::size_t Buffered() const { return m_data.size() - m_head; }
    bool Unsent() const { return !m_telnet.Outgoing().empty(); }

    NetPortAddress m_address;
    NetSocket m_socket = net::kNoSocket;
    CTelnetDecoder m_telnet;
    std::uint32_t m_hungUp = 0;        // the code of the hang-up once the connection is gone
    std::vector<std::uint8_t> m_data;  // received data not yet read, from m_head on
    std::size_t m_head = 0;
    std::uint64_t m_sent = 0;  // bytes sent on this connection
};

void CRfc2217Line::Open() {
    Close();
    const TimePoint deadline = Clock().Now() + kOpenBudget;
    m_socket = net::Connect(m_address.host, m_address.port, deadline);
    try {
        Negotiate(deadline);
    } catch (...) {
        Close();
        throw;
    }
}

void CRfc2217Line::Close() noexcept {
    net::Close(m_socket);
    m_socket = net::kNoSocket;
    m_hungUp = 0;
    m_data.clear();
    m_head = 0;
    m_sent = 0;
    m_telnet = CTelnetDecoder();
}

void CRfc2217Line::Negotiate(TimePoint deadline) {
    m_telnet.Start();
    const auto settled = [this] {
        return m_telnet.Us(kComPort) != CTelnetDecoder::Opt::WantYes &&
               m_telnet.Us(kBinary) != CTelnetDecoder::Opt::WantYes &&
               m_telnet.Him(kBinary) != CTelnetDecoder::Opt::WantYes;
    };
    // A server that answered nothing was silent; one that kept sending options never settled.
    Await(settled, deadline, [this] {
        return m_hungUp == 0 && m_telnet.Negotiations() > 0 ? kRunawayOperation
                                                            : "Telnet option answer";
    });
    if (m_telnet.Us(kComPort) != CTelnetDecoder::Opt::Yes) {
        ThrowSerialException(net::ProtocolError(), "RFC 2217 COM-PORT-OPTION");
    }
    if (m_telnet.Us(kBinary) != CTelnetDecoder::Opt::Yes ||
        m_telnet.Him(kBinary) != CTelnetDecoder::Opt::Yes) {
        ThrowSerialException(net::NotSupportedError(), "Telnet binary mode");
    }
    for (const Setting& s : kLine) {
        m_telnet.ForgetAnswer(s.command);
        m_telnet.QueueComPortCommand(s.command, s.value);
    }
    const unsigned negotiations = m_telnet.Negotiations();
    const auto missing = [this] {
        return std::find_if(std::begin(kLine), std::end(kLine),
                            [this](const Setting& s) { return !m_telnet.Answer(s.command); });
    };
    Await([&] { return missing() == std::end(kLine); }, deadline,
          [&] {
              // A few late option answers are no storm.
              return m_hungUp == 0 && m_telnet.Negotiations() > negotiations + 4
                         ? kRunawayOperation
                         : missing()->operation;
          });
    // The server answers with what it applied: anything else is a line the bootloader
    // cannot use.
    for (const Setting& s : kLine) {
        if (*m_telnet.Answer(s.command) != s.value) {
            ThrowSerialException(net::NotSupportedError(), s.operation);
        }
    }
}

void CRfc2217Line::RaiseIfFailed(const char* operation) const {
    if (m_telnet.NegotiationRunaway()) {
        ThrowSerialException(net::ProtocolError(), kRunawayOperation);
    }
    if (m_hungUp != 0) {
        ThrowSerialException(m_hungUp, operation);
    }
}

void CRfc2217Line::Send() {
    std::vector<std::uint8_t>& out = m_telnet.Outgoing();
    if (out.empty() || m_hungUp != 0) {
        return;
    }
    std::size_t sent = 0;
    try {
        sent = net::SendSome(m_socket, out.data(), out.size());
    } catch (const CSerialException& e) {
        if (!IsHangUpError(e.m_dwError)) {
            throw;
        }
        m_hungUp = e.m_dwError;
        return;
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
    m_sent += sent;
}

// Takes in at most what the buffer has room for (decoded data is never longer than what the
// server sent); bytes that an input purge drops need no room. A few chunks at a time, so that
// a server that floods cannot hold the loop.
void CRfc2217Line::Take() {
    if (m_head > 0 && m_head == m_data.size()) {
        m_data.clear();
        m_head = 0;
    }
    for (int chunks = 0; chunks < 16 && m_hungUp == 0 && !m_telnet.NegotiationRunaway(); ++chunks) {
        std::uint8_t chunk[4096];
        const std::size_t room = m_telnet.Discarding()
                                     ? sizeof chunk
                                     : std::min(sizeof chunk, kReceiveBufferCap - Buffered());
        if (room == 0) {
            return;
        }
        long n = 0;
        try {
            n = net::Receive(m_socket, chunk, room);
        } catch (const CSerialException& e) {
            if (!IsHangUpError(e.m_dwError)) {
                throw;
            }
            n = -1;
            m_hungUp = e.m_dwError;  // reset by the other side
        }
        if (n == 0) {
            return;
        }
        if (n < 0) {
            // Closed by the other side; what arrived before can still be read.
            m_hungUp = m_hungUp != 0 ? m_hungUp : net::HangUpError();
            return;
        }
        if (m_head > 0 && m_data.size() + static_cast<std::size_t>(n) > kReceiveBufferCap) {
            m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_head));
            m_head = 0;
        }
        m_telnet.Feed(chunk, static_cast<std::size_t>(n), m_data);
    }
}

void CRfc2217Line::Move() {
    Send();
    Take();
    Send();  // the replies to what just came in
}

void CRfc2217Line::Await(const std::function<bool()>& done, TimePoint deadline,
                         const std::function<const char*()>& timeoutOperation) {
    for (;;) {
        Move();
        if (m_telnet.NegotiationRunaway()) {
            ThrowSerialException(net::ProtocolError(), kRunawayOperation);
        }
        if (done()) {
            return;
        }
        RaiseIfFailed(timeoutOperation());
        const bool full = !m_telnet.Discarding() && Buffered() >= kReceiveBufferCap;
        if (full) {
            // The answer is behind more data than the line keeps.
            ThrowSerialException(net::NoBufferError(), kFloodOperation);
        }
        if (MsUntil(deadline) == 0) {
            ThrowSerialException(net::TimedOutError(), timeoutOperation());
        }
        (void)net::Wait(m_socket, true, Unsent(), deadline);
    }
}

std::size_t CRfc2217Line::Read(void* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    Move();
    const std::size_t n = std::min(Buffered(), capacity);
    if (n == 0) {
        RaiseIfFailed("read");
        return 0;
    }
    std::memcpy(buffer, m_data.data() + m_head, n);
    m_head += n;
    return n;
}

void CRfc2217Line::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    RaiseIfFailed("write");
    m_telnet.QueueData(static_cast<const std::uint8_t*>(bytes), count);
    // Done when the socket has taken the last byte of this write. What is still queued at the
    // deadline stays queued, so that the server never sees half an escape or a command.
    const std::uint64_t end = m_sent + m_telnet.Outgoing().size();
    for (;;) {
        Move();
        if (m_sent >= end) {
            return;
        }
        RaiseIfFailed("write");
        const bool room = m_telnet.Discarding() || Buffered() < kReceiveBufferCap;
        if (!net::Wait(m_socket, room, true, deadline).writable && MsUntil(deadline) == 0) {
            ThrowSerialException(net::TimedOutError(), "write");
        }
    }
}

void CRfc2217Line::Purge(std::uint32_t flags, TimePoint deadline) {
    const bool input = (flags & PURGE_RXCLEAR) != 0;
    const bool output = (flags & PURGE_TXCLEAR) != 0;
    if (input) {
        Move();
        m_data.clear();
        m_head = 0;
    }
    if (!input && !output) {
        return;
    }
    RaiseIfFailed("purge");
    // The server's buffers too. Until it answers, whatever arrives left the line before the
    // purge and is dropped with the rest.
    const unsigned before = m_telnet.PurgesAnswered();
    m_telnet.DiscardUntilPurgeAnswer(input);
    try {
        const auto what =
            static_cast<std::uint8_t>((input ? kPurgeFromLine : 0) | (output ? kPurgeToLine : 0));
        m_telnet.QueueComPortCommand(kPurgeData, {what});
        Await([&] { return m_telnet.PurgesAnswered() != before; }, deadline,
              [] { return "RFC 2217 purge answer"; });
    } catch (...) {
        m_telnet.DiscardUntilPurgeAnswer(false);
        throw;
    }
}

bool CRfc2217Line::WaitReadable(TimePoint deadline) {
    for (;;) {
        Move();
        if (Buffered() > 0 || m_hungUp != 0 || m_telnet.NegotiationRunaway()) {
            return true;  // the next Read gives the data, or reports the failure
        }
        if (MsUntil(deadline) == 0) {
            return false;
        }
        (void)net::Wait(m_socket, true, Unsent(), deadline);
    }
}

}  // namespace

std::unique_ptr<CPortLine> MakeRfc2217Line(const NetPortAddress& address) {
    return std::make_unique<CRfc2217Line>(address);
}
