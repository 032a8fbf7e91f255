// Pseudo-terminals and the virtual ports folder, for the simulator and for the tests that play
// a device themselves.
#pragma once

#include <string>

// A raw pseudo-terminal at 9600 baud: the master side (non-blocking) for whoever plays the
// device, the slave's path for the client. A descriptor of the slave is kept open, so that
// the terminal lives on while clients close and reopen it.
class CPty {
public:
    CPty();  // throws std::system_error
    ~CPty() { Close(); }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;

    int Master() const { return m_master; }
    int KeptSlave() const { return m_keep; }
    const std::string& SlavePath() const { return m_slavePath; }
    // Closes both sides: the client's line is hung up.
    void Close();

private:
    int m_master = -1;
    int m_keep = -1;
    std::string m_slavePath;
};

// $XDG_RUNTIME_DIR/quillon/ports, else /tmp/quillon-UID/ports: the port list shows its links.
std::string SimVirtualPortsDir();
// mkdir -p, private to the user. A folder that the port list would not trust (someone else's,
// one that others may write to, or a link planted in its place) is refused rather than used.
bool SimMakePrivateDir(const std::string& path, std::string& error);
