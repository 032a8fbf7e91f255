// Serial ports of a Linux machine, read from sysfs (never by opening a device: that would raise
// DTR and RTS), plus the per-user virtual ports folder.
#pragma once

#include <string>
#include <vector>

#include "common/virtual_ports.h"  // VirtualPortsFolder, IsPrivateFolder
#include "ports/port_list.h"

// The standard (on-board UART) drivers; every other driver carries the non-standard mark.
bool IsStandardUartDriver(const std::string& driver);

struct CSysfsScan {
    std::vector<CPortDevice> devices;  // sorted by kernel name
    bool ok = false;                   // false when <root>/sys/class/tty could not be read
};

// Serial ttys under root ("/" for the running system): those with a device, without the
// 8250 driver's phantom ports (type 0). Paths in the records are as seen inside root.
CSysfsScan ScanSerialDevices(const std::string& root);

// The symlinks in folder that lead to a pseudo-terminal, in name order, leaving out those whose
// simulator's lock file names a process that has ended (its terminal may serve another
// program by now). Dangling links, links to anything else (a file, a UART) and a folder that
// is not private are skipped.
std::vector<CPortDevice> ScanVirtualPorts(const std::string& folder);

// A UNIX 98 pseudo-terminal's slave side: a character device of majors 136 to 143.
bool IsPseudoTerminal(const struct stat& info);

class CLinuxPortSource : public IPortSource {
public:
    // root: where sysfs, /dev and /run/udev are found (tests use a fake tree).
    // virtualFolder: empty for VirtualPortsFolder().
    explicit CLinuxPortSource(std::string root = "/", std::string virtualFolder = {});

    // Sysfs devices, then the virtual ports. An unreadable sysfs does not hide the virtual
    // ports: the walk yields them and then reports that it broke off. m_bOnlyPresent has no
    // meaning here: sysfs holds present devices only.
    bool Begin(bool onlyPresent) override;
    PortSourceStep Next(CPortDevice& device) override;
    void End() override;
    // A name in the virtual folder resolves on the real file system, any other absolute name
    // inside root; relative names (a COM name) denote nothing.
    std::string ResolveDevicePath(const std::string& name) const override;

private:
    std::string m_root;
    std::string m_virtualFolder;
    std::vector<CPortDevice> m_devices;
    std::size_t m_next = 0;
    bool m_scanOk = false;
};
