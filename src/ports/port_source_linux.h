// Serial ports of a Linux machine, read from sysfs (never by opening a device: that would raise
// DTR and RTS), plus the per-user virtual ports folder.
#pragma once

#include <string>
#include <vector>

#include "ports/port_list.h"

// The per-user folder whose symlinks are listed as virtual ports:
// $XDG_RUNTIME_DIR/quillon/ports, or /tmp/quillon-<uid>/ports when XDG_RUNTIME_DIR is unset or
// not an absolute path. The simulator uses the same rule, so keep them in step.
std::string VirtualPortsFolder();

// True when folder and its parent are real directories (not symlinks) of this user that no
// one else can write to. In /tmp anyone could otherwise plant a folder of links.
bool IsPrivateFolder(const std::string& folder);

// The standard (on-board UART) drivers; every other driver carries the non-standard mark.
bool IsStandardUartDriver(const std::string& driver);

struct CSysfsScan {
    std::vector<CPortDevice> devices;  // sorted by kernel name
    bool ok = false;                   // false when <root>/sys/class/tty could not be read
};

// Serial ttys under root ("/" for the running system): those with a device, without the
// 8250 driver's phantom ports (type 0). Paths in the records are as seen inside root.
CSysfsScan ScanSerialDevices(const std::string& root);

// The symlinks in folder that lead to a terminal device, in name order; dangling links and
// anything else are skipped, and so is a folder that is not private.
std::vector<CPortDevice> ScanVirtualPorts(const std::string& folder);

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
