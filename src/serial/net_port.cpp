// Network ports. Raw TCP passes bytes as they are. RFC 2217 is Telnet: data byte 0xFF travels
// doubled, everything after a single 0xFF is a command, and the line is set through the
// COM-PORT-OPTION, whose answers are checked before the port counts as open.
#include "serial/net_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "serial/serial_port.h"

namespace {

constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t DONT = 254;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t SE = 240;

constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;
constexpr std::uint8_t kComPort = 44;

// COM-PORT-OPTION commands as the client sends them; the server answers with 100 added.
constexpr std::uint8_t kSignature = 0;
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

// The bootloader's line: 9600 baud, 8 data bits, no parity (1), one stop bit (1), no flow
// control (1).
struct Setting {
    std::uint8_t command;
    std::vector<std::uint8_t> value;
};
const Setting kLine[] = {
    {kSetBaudRate, {0x00, 0x00, 0x25, 0x80}},
    {kSetDataSize, {8}},
    {kSetParity, {1}},
    {kSetStopSize, {1}},
    {kSetControl, {1}},
};

// Purge values: the server's buffer towards us (1), towards the line (2), both (3).
constexpr std::uint8_t kPurgeFromLine = 1;
constexpr std::uint8_t kPurgeToLine = 2;

constexpr std::size_t kMaxSubnegotiation = 512;

int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

void CNetPort::Open(const std::string& name) {
    Close();
    NetPortAddress address;
    std::string error;
    if (!ParseNetworkPortName(name, address, error)) {
        ThrowSerialException(net::BadAddressError());
    }
    m_socket = net::Connect(address.host, address.port, kConnectTimeoutMs);
    m_rfc2217 = address.rfc2217;
    if (m_rfc2217) {
        try {
            Negotiate();
        } catch (...) {
            Close();
            throw;
        }
    }
}

void CNetPort::Close() noexcept {
    net::Close(m_socket);
    m_socket = net::kNoSocket;
    m_rfc2217 = false;
    m_closedByPeer = false;
    m_hangUpError = 0;
    m_data.clear();
    m_dataHead = 0;
    m_discardData = false;
    m_parse = Parse::Data;
    m_sub.clear();
    std::fill(std::begin(m_us), std::end(m_us), Opt::No);
    std::fill(std::begin(m_him), std::end(m_him), Opt::No);
    for (auto& a : m_answer) {
        a.clear();
    }
    std::fill(std::begin(m_answered), std::end(m_answered), false);
    m_purgesAnswered = 0;
}

void CNetPort::Negotiate() {
    // Binary both ways, or the server may add or drop bytes after CR.
    m_us[kBinary] = Opt::WantYes;
    m_him[kBinary] = Opt::WantYes;
    m_us[kSuppressGoAhead] = Opt::WantYes;
    m_him[kSuppressGoAhead] = Opt::WantYes;
    m_us[kComPort] = Opt::WantYes;
    const std::uint8_t offer[] = {IAC, WILL, kBinary,          IAC, DO, kBinary,
                                  IAC, WILL, kSuppressGoAhead, IAC, DO, kSuppressGoAhead,
                                  IAC, WILL, kComPort};
    SendAll(offer, sizeof offer);
    AwaitAnswer([this] {
        return m_us[kComPort] != Opt::WantYes && m_us[kBinary] != Opt::WantYes &&
               m_him[kBinary] != Opt::WantYes;
    });
    if (m_us[kComPort] != Opt::Yes) {
        ThrowSerialException(net::ProtocolError());
    }
    if (m_us[kBinary] != Opt::Yes || m_him[kBinary] != Opt::Yes) {
        ThrowSerialException(net::NotSupportedError());
    }
    for (const Setting& s : kLine) {
        m_answered[s.command] = false;
        SendComPortCommand(s.command, s.value);
    }
    AwaitAnswer([this] {
        return std::all_of(std::begin(kLine), std::end(kLine),
                           [this](const Setting& s) { return m_answered[s.command]; });
    });
    // The server answers with what it applied: anything else is a line the bootloader
    // cannot use.
    for (const Setting& s : kLine) {
        if (m_answer[s.command] != s.value) {
            ThrowSerialException(net::NotSupportedError());
        }
    }
}

template <typename Done>
void CNetPort::AwaitAnswer(Done done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    for (;;) {
        Pump();
        if (done()) {
            return;
        }
        if (m_closedByPeer) {
            RaiseHangUp();
        }
        const int left = MsLeft(deadline);
        if (left == 0) {
            ThrowSerialException(net::TimedOutError());
        }
        (void)net::Wait(m_socket, false, left);
    }
}

void CNetPort::Pump() {
    if (m_closedByPeer) {
        return;
    }
    std::uint8_t buffer[4096];
    try {
        for (;;) {
            const long n = net::Receive(m_socket, buffer, sizeof buffer);
            if (n == 0) {
                return;
            }
            if (n < 0) {
                m_closedByPeer = true;
                return;
            }
            Decode(buffer, static_cast<std::size_t>(n));
        }
    } catch (const CSerialException& e) {
        // A reset connection is a hang-up too; what arrived before it can still be read.
        m_closedByPeer = true;
        m_hangUpError = e.m_dwError;
    }
}

void CNetPort::PutData(std::uint8_t b) {
    if (!m_discardData) {
        m_data.push_back(b);
    }
}

void CNetPort::Decode(const std::uint8_t* bytes, std::size_t count) {
    if (!m_rfc2217) {
        if (!m_discardData) {
            m_data.insert(m_data.end(), bytes, bytes + count);
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        switch (m_parse) {
            case Parse::Data:
                if (b == IAC) {
                    m_parse = Parse::Command;
                } else {
                    PutData(b);
                }
                break;
            case Parse::Command:
                m_parse = Parse::Data;
                if (b == IAC) {
                    PutData(IAC);
                } else if (b == SB) {
                    m_sub.clear();
                    m_parse = Parse::Sub;
                } else if (b >= WILL && b <= DONT) {
                    m_verb = b;
                    m_parse = Parse::Option;
                }
                // Every other command (NOP, data mark, go ahead, ...) carries nothing for us.
                break;
            case Parse::Option:
                m_parse = Parse::Data;
                OnOption(m_verb, b);
                break;
            case Parse::Sub:
                if (b == IAC) {
                    m_parse = Parse::SubCommand;
                } else if (m_sub.size() < kMaxSubnegotiation) {
                    m_sub.push_back(b);
                }
                break;
            case Parse::SubCommand:
                if (b == IAC) {
                    if (m_sub.size() < kMaxSubnegotiation) {
                        m_sub.push_back(IAC);
                    }
                    m_parse = Parse::Sub;
                } else if (b == SE) {
                    m_parse = Parse::Data;
                    OnSubnegotiation();
                } else {
                    // A command inside a subnegotiation ends it unheard; the command counts.
                    m_parse = Parse::Command;
                    --i;
                }
                break;
        }
    }
}

void CNetPort::OnOption(std::uint8_t verb, std::uint8_t option) {
    const bool weDo = option == kBinary || option == kSuppressGoAhead || option == kComPort;
    const bool heMay = option == kBinary || option == kSuppressGoAhead;
    // Answers only where the state changes, so two sides never echo each other for ever.
    auto reply = [this](std::uint8_t v, std::uint8_t o) {
        const std::uint8_t msg[] = {IAC, v, o};
        SendAll(msg, sizeof msg);
    };
    switch (verb) {
        case DO:
            if (!weDo) {
                reply(WONT, option);
            } else if (m_us[option] != Opt::Yes) {
                if (m_us[option] == Opt::No) {
                    reply(WILL, option);
                }
                m_us[option] = Opt::Yes;
            }
            break;
        case DONT:
            if (m_us[option] == Opt::Yes) {
                reply(WONT, option);
            }
            m_us[option] = Opt::No;
            break;
        case WILL:
            if (!heMay) {
                reply(DONT, option);  // echo above all: the line's bytes are not to come back
            } else if (m_him[option] != Opt::Yes) {
                if (m_him[option] == Opt::No) {
                    reply(DO, option);
                }
                m_him[option] = Opt::Yes;
            }
            break;
        case WONT:
            if (m_him[option] == Opt::Yes) {
                reply(DONT, option);
            }
            m_him[option] = Opt::No;
            break;
        default:
            break;
    }
}

void CNetPort::OnSubnegotiation() {
    if (m_sub.size() < 2 || m_sub[0] != kComPort || m_sub[1] < kServerOffset) {
        return;
    }
    const std::uint8_t command = static_cast<std::uint8_t>(m_sub[1] - kServerOffset);
    std::vector<std::uint8_t> value(m_sub.begin() + 2, m_sub.end());
    if (command == kSignature) {
        if (value.empty()) {  // the server asks who we are
            SendComPortCommand(kSignature, {'Q', 'u', 'i', 'l', 'l', 'o', 'n'});
        }
        return;
    }
    if (command == kPurgeData) {
        ++m_purgesAnswered;
        m_discardData = false;  // what follows the answer left the line after the purge
        return;
    }
    // Line and modem state notices, and flow control requests, change nothing here: TCP's
    // own flow control holds the writes back.
    if (command < std::size(m_answer)) {
        m_answer[command] = std::move(value);
        m_answered[command] = true;
    }
}

void CNetPort::SendAll(const std::uint8_t* bytes, std::size_t count) {
    if (m_closedByPeer) {
        RaiseHangUp();
    }
    std::size_t done = 0;
    while (done < count) {
        done += net::SendSome(m_socket, bytes + done, count - done);
        if (done == count) {
            break;
        }
        // Keep taking in what arrives meanwhile, so neither side waits on a full buffer.
        if (net::Wait(m_socket, true, -1).readable) {
            Pump();
        }
    }
}

void CNetPort::SendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> msg = {IAC, SB, kComPort, command};
    for (std::uint8_t b : value) {
        msg.push_back(b);
        if (b == IAC) {
            msg.push_back(IAC);
        }
    }
    msg.push_back(IAC);
    msg.push_back(SE);
    SendAll(msg.data(), msg.size());
}

void CNetPort::RaiseHangUp() {
    ThrowSerialException(m_hangUpError != 0 ? m_hangUpError : net::HangUpError());
}

void CNetPort::Purge(std::uint32_t flags) {
    const bool input = (flags & CSerialPort::PURGE_RXCLEAR) != 0;
    const bool output = (flags & CSerialPort::PURGE_TXCLEAR) != 0;
    if (input) {
        Pump();
        m_data.clear();
        m_dataHead = 0;
    }
    if (!m_rfc2217 || (!input && !output)) {
        return;
    }
    // The server's buffers too. Until it answers, whatever arrives left the line before the
    // purge and is dropped with the rest.
    const unsigned before = m_purgesAnswered;
    m_discardData = input;
    try {
        const std::uint8_t what =
            static_cast<std::uint8_t>((input ? kPurgeFromLine : 0) | (output ? kPurgeToLine : 0));
        SendComPortCommand(kPurgeData, {what});
        AwaitAnswer([&] { return m_purgesAnswered != before; });
    } catch (...) {
        m_discardData = false;
        throw;
    }
}

std::uint32_t CNetPort::Read(void* buffer, std::uint32_t count) {
    if (count == 0) {
        return 0;
    }
    Pump();
    const std::size_t available = m_data.size() - m_dataHead;
    if (available == 0) {
        if (m_closedByPeer) {
            RaiseHangUp();
        }
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(available, count);
    std::memcpy(buffer, m_data.data() + m_dataHead, n);
    m_dataHead += n;
    if (m_dataHead == m_data.size()) {
        m_data.clear();
        m_dataHead = 0;
    }
    return static_cast<std::uint32_t>(n);
}

std::uint32_t CNetPort::Write(const void* buffer, std::uint32_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    if (!m_rfc2217) {
        SendAll(bytes, count);
        return count;
    }
    std::vector<std::uint8_t> escaped;
    escaped.reserve(count + count / 8);
    for (std::uint32_t i = 0; i < count; ++i) {
        escaped.push_back(bytes[i]);
        if (bytes[i] == IAC) {
            escaped.push_back(IAC);
        }
    }
    SendAll(escaped.data(), escaped.size());
    return count;
}

bool CNetPort::WaitReadable(unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Pump();
        if (m_data.size() > m_dataHead || m_closedByPeer) {
            return true;
        }
        const int left = MsLeft(deadline);
        if (left == 0 || !net::Wait(m_socket, false, left).readable) {
            return false;
        }
    }
}
