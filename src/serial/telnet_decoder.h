// The Telnet side of RFC 2217 as a plain machine: fed with the server's bytes in pieces of any
// size, it gives the data bytes, keeps the server's answers and the options' states, and queues
// the replies that Telnet asks for. It never sends anything itself: the line sends the queue
// in its own loop, bounded by the caller's deadline. Every buffer it keeps is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {

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

// A subnegotiation longer than this is cut; none of the answers read here comes near it.
constexpr std::size_t kMaxSubnegotiation = 512;
// Option commands and signature requests a server may send on one connection; a server that
// sends more keeps negotiating for ever, and is answered no further.
constexpr unsigned kMaxNegotiations = 100;

}  // namespace telnet

class CTelnetDecoder {
public:
    enum class Opt : std::uint8_t { No, WantYes, Yes };

    // A new connection: everything forgotten, and the offer queued (binary both ways, so that
    // the server neither adds nor drops bytes after CR; go-ahead suppressed both ways; the
    // COM-PORT-OPTION from this side).
    void Start();

    // Decodes the server's bytes. Data bytes are appended to data, unless an input purge is
    // waiting for its answer; never more than count of them.
    void Feed(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& data);

    // What is to go to the server, oldest first: the line erases what it has sent.
    std::vector<std::uint8_t>& Outgoing() { return m_out; }
    const std::vector<std::uint8_t>& Outgoing() const { return m_out; }
    void QueueData(const std::uint8_t* bytes, std::size_t count);  // 0xFF doubled
    void QueueComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);

    Opt Us(std::uint8_t option) const { return m_us[option]; }    // options we perform
    Opt Him(std::uint8_t option) const { return m_him[option]; }  // options the server does
    // The server's last answer to a COM-PORT command since ForgetAnswer; null when none.
    const std::vector<std::uint8_t>* Answer(std::uint8_t command) const {
        return command < kCommands && m_answered[command] ? &m_answer[command] : nullptr;
    }
    void ForgetAnswer(std::uint8_t command);
    unsigned PurgesAnswered() const { return m_purgesAnswered; }
    // While set, data bytes are dropped: they left the line before the purge. The server's
    // answer to the purge clears it.
    void DiscardUntilPurgeAnswer(bool on) { m_discard = on; }
    bool Discarding() const { return m_discard; }
    unsigned Negotiations() const { return m_negotiations; }
    bool NegotiationRunaway() const { return m_negotiations > telnet::kMaxNegotiations; }

private:
    static constexpr std::size_t kCommands = 13;
    enum class Parse { Data, Command, Option, Sub, SubCommand };

    void OnOption(std::uint8_t verb, std::uint8_t option);
    void OnSubnegotiation();
    void Reply(std::uint8_t verb, std::uint8_t option);

    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sub;
    Opt m_us[256] = {};
    Opt m_him[256] = {};
    std::vector<std::uint8_t> m_answer[kCommands];
    bool m_answered[kCommands] = {};
    unsigned m_purgesAnswered = 0;
    unsigned m_negotiations = 0;
    bool m_discard = false;
    std::vector<std::uint8_t> m_out;
};
