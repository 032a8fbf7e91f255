// ser2net as a network serial server for the tests and the benchmark: one connection on
// 127.0.0.1 at a free port, bridging to a device (a simulator's pseudo-terminal), in RFC 2217
// or raw mode. Its own configuration only, never the machine's.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

class CSer2net {
public:
    // line: ser2net's own settings for the device ("9600n81", "19200e72,xonxoff"); options:
    // further YAML lines for the connection's options block. Throws std::runtime_error when
    // ser2net cannot be started or does not come up.
    CSer2net(const std::string& device, bool rfc2217, const std::string& line = "9600n81",
             const std::string& options = "");
    ~CSer2net();
    CSer2net(const CSer2net&) = delete;
    CSer2net& operator=(const CSer2net&) = delete;

    std::string Url() const;  // rfc2217://127.0.0.1:PORT or socket://127.0.0.1:PORT
    void Kill();              // SIGKILL: every connection drops at once

    // A TCP port on 127.0.0.1 that nothing listens on (at the moment of asking).
    static int FreePort();

private:
    std::filesystem::path m_dir;
    bool m_rfc2217;
    int m_port = 0;
    pid_t m_pid = -1;
};
