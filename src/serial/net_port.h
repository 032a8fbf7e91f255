// A serial port across the network: rfc2217://HOST:PORT (Telnet with the COM-PORT-OPTION, the
// server sets its line to 9600 8N1 without flow control) or socket://HOST:PORT (raw TCP; the
// server's line settings are its own). CSerialPort hands names of these forms here, so the
// link and the transfer see the same Read, Write, Purge and WaitReadable as on a local port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/net_socket.h"

struct NetPortAddress {
    bool rfc2217 = false;  // false: socket://
    std::string host;      // without the brackets of an IPv6 address
    std::uint16_t port = 0;
};

// True when the name asks for a network port (it starts with rfc2217:// or socket://, in any
// case), whether or not the rest is well formed.
bool IsNetworkPortName(const std::string& name);

// Checks the form SCHEME://HOST:PORT (HOST a name, an IPv4 address or [an IPv6 address]; PORT
// 1 to 65535, nothing after it). On a fault, error says what is wrong.
bool ParseNetworkPortName(const std::string& name, NetPortAddress& address, std::string& error);

class CNetPort {
public:
    static constexpr unsigned kConnectTimeoutMs = 5000;
    // The longest wait for the server's answer to a setting or a purge.
    static constexpr unsigned kAnswerTimeoutMs = 5000;

    CNetPort() = default;
    ~CNetPort() { Close(); }
    CNetPort(const CNetPort&) = delete;
    CNetPort& operator=(const CNetPort&) = delete;

    // Connects and, for RFC 2217, sets the server's line and checks its answers. Raises
    // CSerialException; the port is then closed.
    void Open(const std::string& name);
    void Close() noexcept;

    void Purge(std::uint32_t flags);
    std::uint32_t Read(void* buffer, std::uint32_t count);
    std::uint32_t Write(const void* buffer, std::uint32_t count);
    bool WaitReadable(unsigned timeoutMs);

private:
    void Negotiate();
    // Takes in what has arrived, without waiting.
    void Pump();
    void Decode(const std::uint8_t* bytes, std::size_t count);
    void PutData(std::uint8_t b);
    void OnOption(std::uint8_t verb, std::uint8_t option);
    void OnSubnegotiation();
    void SendAll(const std::uint8_t* bytes, std::size_t count);
    void SendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);
    // Pumps until done() holds; raises a time-out after kAnswerTimeoutMs.
    template <typename Done>
    void AwaitAnswer(Done done);
    [[noreturn]] void RaiseHangUp();

    NetSocket m_socket = net::kNoSocket;
    bool m_rfc2217 = false;
    bool m_closedByPeer = false;
    std::uint32_t m_hangUpError = 0;  // the reset's own code, when it came as an error

    std::vector<std::uint8_t> m_data;  // received data not yet read, from m_dataHead on
    std::size_t m_dataHead = 0;
    bool m_discardData = false;  // an input purge waits for the server's answer

    // Telnet: the decoder's state and each side's view of the options it cares about.
    enum class Parse { Data, Command, Option, Sub, SubCommand };
    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sub;
    enum class Opt : std::uint8_t { No, WantYes, Yes };
    Opt m_us[256] = {};   // options this side performs (WILL)
    Opt m_him[256] = {};  // options the server performs (DO)

    // COM-PORT-OPTION answers (the server's command code minus 100) since they were last
    // cleared, and the purges answered so far.
    std::vector<std::uint8_t> m_answer[13];
    bool m_answered[13] = {};
    unsigned m_purgesAnswered = 0;
};
