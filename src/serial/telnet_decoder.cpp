// Telnet for RFC 2217: data byte 0xFF travels doubled, everything after a single 0xFF is a
// command. Options are answered only where their state changes, so two sides never echo each
// other for ever; a server that still goes on is cut off by the count of its negotiations.
#include "serial/telnet_decoder.h"

#include <algorithm>
#include <iterator>

using namespace telnet;

void CTelnetDecoder::Start() {
    *this = CTelnetDecoder();
    m_us[kBinary] = m_him[kBinary] = Opt::WantYes;
    m_us[kSuppressGoAhead] = m_him[kSuppressGoAhead] = Opt::WantYes;
    m_us[kComPort] = Opt::WantYes;
    m_out = {IAC, WILL, kBinary,          IAC, DO,   kBinary, IAC, WILL, kSuppressGoAhead,
             IAC, DO,   kSuppressGoAhead, IAC, WILL, kComPort};
}

void CTelnetDecoder::QueueData(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        m_out.push_back(bytes[i]);
        if (bytes[i] == IAC) {
            m_out.push_back(IAC);
        }
    }
}

void CTelnetDecoder::QueueComPortCommand(std::uint8_t command,
                                         const std::vector<std::uint8_t>& value) {
    m_out.insert(m_out.end(), {IAC, SB, kComPort, command});
    QueueData(value.data(), value.size());
    m_out.insert(m_out.end(), {IAC, SE});
}

void CTelnetDecoder::ForgetAnswer(std::uint8_t command) {
    if (command < kCommands) {
        m_answered[command] = false;
        m_answer[command].clear();
    }
}

void CTelnetDecoder::Feed(const std::uint8_t* bytes, std::size_t count,
                          std::vector<std::uint8_t>& data) {
    auto put = [&](std::uint8_t b) {
        if (!m_discard) {
            data.push_back(b);
        }
    };
    auto keep = [this](std::uint8_t b) {
        if (m_sub.size() < kMaxSubnegotiation) {
            m_sub.push_back(b);
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        switch (m_parse) {
            case Parse::Data:
                if (b == IAC) {
                    m_parse = Parse::Command;
                } else {
                    put(b);
                }
                break;
            case Parse::Command:
                m_parse = Parse::Data;
                if (b == IAC) {
                    put(IAC);
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
                } else {
                    keep(b);
                }
                break;
            case Parse::SubCommand:
                if (b == IAC) {
                    keep(IAC);
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

void CTelnetDecoder::Reply(std::uint8_t verb, std::uint8_t option) {
    m_out.insert(m_out.end(), {IAC, verb, option});
}

void CTelnetDecoder::OnOption(std::uint8_t verb, std::uint8_t option) {
    if (++m_negotiations > kMaxNegotiations) {
        return;
    }
    const bool weDo = option == kBinary || option == kSuppressGoAhead || option == kComPort;
    const bool heMay = option == kBinary || option == kSuppressGoAhead;
    switch (verb) {
        case DO:
            if (!weDo) {
                Reply(WONT, option);
            } else if (m_us[option] != Opt::Yes) {
                if (m_us[option] == Opt::No) {
                    Reply(WILL, option);
                }
                m_us[option] = Opt::Yes;
            }
            break;
        case DONT:
            if (m_us[option] == Opt::Yes) {
                Reply(WONT, option);
            }
            m_us[option] = Opt::No;
            break;
        case WILL:
            if (!heMay) {
                Reply(DONT, option);  // echo above all: the line's bytes are not to come back
            } else if (m_him[option] != Opt::Yes) {
                if (m_him[option] == Opt::No) {
                    Reply(DO, option);
                }
                m_him[option] = Opt::Yes;
            }
            break;
        default:  // WONT
            if (m_him[option] == Opt::Yes) {
                Reply(DONT, option);
            }
            m_him[option] = Opt::No;
            break;
    }
}

void CTelnetDecoder::OnSubnegotiation() {
    if (m_sub.size() < 2 || m_sub[0] != kComPort || m_sub[1] < kServerOffset) {
        return;
    }
    const auto command = static_cast<std::uint8_t>(m_sub[1] - kServerOffset);
    if (command == kSignature) {
        // The server asks who we are (an empty value); it may ask only so often.
        if (m_sub.size() == 2 && ++m_negotiations <= kMaxNegotiations) {
            QueueComPortCommand(kSignature, {'Q', 'u', 'i', 'l', 'l', 'o', 'n'});
        }
        return;
    }
    if (command == kPurgeData) {
        ++m_purgesAnswered;
        m_discard = false;  // what follows the answer left the line after the purge
        return;
    }
    // Line and modem state notices, and flow control requests, change nothing here: TCP's
    // own flow control holds the writes back.
    if (command < kCommands) {
        m_answer[command].assign(m_sub.begin() + 2, m_sub.end());
        m_answered[command] = true;
    }
}
