// quillon-sim's own network front end: a TCP server bridging one client at a time to the
// simulator's terminal, as a serial device server would, either raw or as an RFC 2217
// server (the client's line settings applied to the terminal, purges carried out and
// answered, data byte 0xFF doubled).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class CSimNetListener {
public:
    // Parses "rfc2217:[HOST:]PORT" or "socket:[HOST:]PORT" (HOST 127.0.0.1 when left out, an
    // IPv6 address in brackets; PORT 0 picks a free one). False, with the reason, on anything
    // else.
    static bool ParseSpec(const std::string& spec, bool& rfc2217, std::string& host,
                          std::uint16_t& port, std::string& error);

    // Binds and listens at once. terminal() names the terminal to open for each client (it
    // changes after a hang-up). Throws std::system_error.
    CSimNetListener(bool rfc2217, const std::string& host, std::uint16_t port,
                    std::function<std::string()> terminal);
    ~CSimNetListener();
    CSimNetListener(const CSimNetListener&) = delete;
    CSimNetListener& operator=(const CSimNetListener&) = delete;

    // The URL a client opens: rfc2217://HOST:PORT or socket://HOST:PORT, with the bound port.
    std::string Url() const { return m_url; }

    void Start();  // serves on a thread of its own until Stop or destruction
    void Stop();

    // Each line the front end has to say; called on its thread.
    std::function<void(const std::string&)> onReport;

private:
    void Run();
    void Serve(int client);
    void Report(const std::string& text);

    bool m_rfc2217;
    std::function<std::string()> m_terminal;
    int m_listen = -1;
    int m_wake[2] = {-1, -1};
    std::string m_url;
    std::thread m_thread;
};
