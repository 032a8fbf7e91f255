// The Telnet side of the network front end (RFC 2217): options agreed, the client's line
// settings taken and confirmed, purges carried out, data byte 0xFF doubled.
#include "net_channel.h"

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
constexpr std::uint8_t kServerOffset = 100;

}  // namespace

CTelnetSession::CTelnetSession(bool rfc2217) : m_rfc2217(rfc2217) {
    if (m_rfc2217) {
        // What a COM-port server offers: binary both ways and the COM-PORT-OPTION.
        m_us[kBinary] = m_us[kSuppressGoAhead] = true;
        m_him[kBinary] = m_him[kSuppressGoAhead] = m_him[kComPort] = true;
        Command(WILL, kBinary);
        Command(DO, kBinary);
        Command(WILL, kSuppressGoAhead);
        Command(DO, kSuppressGoAhead);
        Command(DO, kComPort);
    }
}

void CTelnetSession::FromClient(const std::uint8_t* bytes, std::size_t count) {
    if (!m_rfc2217) {
        toDevice.insert(toDevice.end(), bytes, bytes + count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        switch (m_state) {
            case State::Data:
                if (b == IAC) {
                    m_state = State::Command;
                } else {
                    toDevice.push_back(b);
                }
                break;
            case State::Command:
                m_state = State::Data;
                if (b == IAC) {
                    toDevice.push_back(IAC);
                } else if (b == SB) {
                    m_sub.clear();
                    m_state = State::Sub;
                } else if (b >= WILL) {
                    m_verb = b;
                    m_state = State::Option;
                }
                break;
            case State::Option:
                m_state = State::Data;
                OnOption(b);
                break;
            case State::Sub:
                if (b == IAC) {
                    m_state = State::SubIac;
                } else if (m_sub.size() < 512) {
                    m_sub.push_back(b);
                }
                break;
            case State::SubIac:
                m_state = b == IAC ? State::Sub : State::Data;
                if (b == IAC) {
                    m_sub.push_back(IAC);
                } else if (b == SE) {
                    OnComPort();
                }
                break;
        }
    }
}

void CTelnetSession::FromDevice(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        toClient.push_back(bytes[i]);
        if (m_rfc2217 && bytes[i] == IAC) {
            toClient.push_back(IAC);
        }
    }
}

std::string CTelnetSession::Line() const {
    return SimLineText(m_baud, m_dataBits,
                       m_parity == 1   ? 'N'
                       : m_parity == 2 ? 'O'
                                       : 'E',
                       m_stopBits, m_flow == 2, m_flow == 3);
}

void CTelnetSession::Command(std::uint8_t verb, std::uint8_t option) {
    toClient.insert(toClient.end(), {IAC, verb, option});
}

void CTelnetSession::OnOption(std::uint8_t option) {
    const bool ours = option == kBinary || option == kSuppressGoAhead;
    const bool theirs = ours || option == kComPort;
    if (m_verb == DO && !ours) {
        Command(WONT, option);
    } else if (m_verb == DO && !m_us[option]) {
        m_us[option] = true;
        Command(WILL, option);
    } else if (m_verb == DONT && m_us[option]) {
        m_us[option] = false;
        Command(WONT, option);
    } else if (m_verb == WILL && !theirs) {
        Command(DONT, option);
    } else if (m_verb == WILL && !m_him[option]) {
        m_him[option] = true;
        Command(DO, option);
    } else if (m_verb == WONT && m_him[option]) {
        m_him[option] = false;
        Command(DONT, option);
    }
}

void CTelnetSession::Answer(std::uint8_t command, const std::vector<std::uint8_t>& value) {
    toClient.insert(toClient.end(),
                    {IAC, SB, kComPort, static_cast<std::uint8_t>(command + kServerOffset)});
    FromDevice(value.data(), value.size());
    toClient.insert(toClient.end(), {IAC, SE});
}

// Takes a setting the client asks for (a value of 0 only asks) and answers with the one in
// force: a value the line cannot have is answered with the one it kept.
void CTelnetSession::OnComPort() {
    if (m_sub.size() < 2 || m_sub[0] != kComPort) {
        return;
    }
    const std::uint8_t command = m_sub[1];
    const std::vector<std::uint8_t> value(m_sub.begin() + 2, m_sub.end());
    const std::uint8_t v = value.empty() ? 0 : value[0];
    switch (command) {
        case 0:  // signature
            if (value.empty()) {
                Answer(command, {'q', 'u', 'i', 'l', 'l', 'o', 'n', '-', 's', 'i', 'm'});
            }
            return;
        case 1:  // baud rate
            if (value.size() == 4) {
                const std::uint32_t baud = (std::uint32_t{value[0]} << 24) |
                                           (std::uint32_t{value[1]} << 16) |
                                           (std::uint32_t{value[2]} << 8) | value[3];
                m_baud = baud != 0 ? baud : m_baud;
            }
            Answer(
                command,
                {static_cast<std::uint8_t>(m_baud >> 24), static_cast<std::uint8_t>(m_baud >> 16),
                 static_cast<std::uint8_t>(m_baud >> 8), static_cast<std::uint8_t>(m_baud)});
            return;
        case 2:  // data size
            m_dataBits = v >= 5 && v <= 8 ? v : m_dataBits;
            Answer(command, {m_dataBits});
            return;
        case 3:  // parity: 1 none, 2 odd, 3 even
            m_parity = v >= 1 && v <= 3 ? v : m_parity;
            Answer(command, {m_parity});
            return;
        case 4:  // stop bits: 1 or 2
            m_stopBits = v == 1 || v == 2 ? v : m_stopBits;
            Answer(command, {m_stopBits});
            return;
        case 5:  // flow control: 1 none, 2 XON/XOFF, 3 hardware; the rest is not a line
            m_flow = v >= 1 && v <= 3 ? v : m_flow;
            Answer(command, {v <= 3 ? m_flow : v});
            return;
        case 12:  // purge: 1 towards the client (nothing waits: it leaves at once), 2 towards
                  // the line, 3 both
            if ((v & 2) != 0) {
                toDevice.clear();
            }
            Answer(command, {v});
            return;
        default:
            if (command < kServerOffset) {
                Answer(command, value);  // masks and notices: acknowledged, no effect
            }
            return;
    }
}
