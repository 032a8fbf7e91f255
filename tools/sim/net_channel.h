// quillon-sim's network front end, as a serial device server would be: one TCP client at a
// time, its bytes passed raw or, with RFC 2217, through Telnet (the client's line settings
// taken and confirmed, purges carried out, data byte 0xFF doubled). A hang-up closes the
// connection, which is how a client sees an unplugged device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_channel.h"

// One client's Telnet session (RFC 2217), or its raw stream: what the client sends becomes
// data for the device and answers for the client.
class CTelnetSession {
public:
    explicit CTelnetSession(bool rfc2217);  // with rfc2217, the server's offers go out first

    void FromClient(const std::uint8_t* bytes, std::size_t count);
    void FromDevice(const std::uint8_t* bytes, std::size_t count);
    // The line as the client set it (9600 8N1 until it does).
    std::string Line() const;

    std::vector<std::uint8_t> toDevice;
    std::vector<std::uint8_t> toClient;

private:
    enum class State { Data, Command, Option, Sub, SubIac };
    void Command(std::uint8_t verb, std::uint8_t option);
    void OnOption(std::uint8_t option);
    void OnComPort();
    void Answer(std::uint8_t command, const std::vector<std::uint8_t>& value);

    bool m_rfc2217;
    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sub;
    bool m_us[256] = {};   // options we have agreed to use
    bool m_him[256] = {};  // options the client has agreed to use
    std::uint32_t m_baud = 9600;
    std::uint8_t m_dataBits = 8;
    std::uint8_t m_parity = 1;  // 1 none, 2 odd, 3 even
    std::uint8_t m_stopBits = 1;
    std::uint8_t m_flow = 1;  // 1 none, 2 XON/XOFF, 3 RTS/CTS
};

// Parses "rfc2217:[HOST:]PORT" or "socket:[HOST:]PORT" (HOST 127.0.0.1 when left out, an IPv6
// address in brackets; PORT 0 picks a free one). False, with the reason, on anything else.
bool ParseSimListen(const std::string& text, bool& rfc2217, std::string& host, std::uint16_t& port,
                    std::string& error);

// Listens once opened; Name() is the URL a client opens: rfc2217://HOST:PORT or
// socket://HOST:PORT, with the port bound.
std::unique_ptr<CSimChannel> MakeNetChannel(bool rfc2217, const std::string& host,
                                            std::uint16_t port);
