// The Linux port source on fake sysfs trees and a temporary virtual ports folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "ports/port_source_linux.h"

namespace fs = std::filesystem;

namespace {

// A private temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "quillon-ports-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = fs::canonical(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(m_path, fs::perms::owner_all, ec);
        fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void WriteFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

// A relative link, as sysfs and udev make them.
void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_directories(target);
    fs::create_directory_symlink(fs::relative(target, link.parent_path()), link);
}

void FileLink(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    fs::create_symlink(fs::relative(target, link.parent_path()), link);
}

// A fake /sys, /dev and /run/udev of a machine with:
// - ttyUSB0: FTDI adapter; the usb-serial port device sits below the interface, so the
//   product is two levels up; a by-id link.
// - ttyUSB1: an adapter without a product string, named by udev's ID_MODEL_ENC.
// - ttyUSB2: nothing but its driver.
// - ttyACM0: CDC device named from the udev hardware database.
// - ttyS1: an on-board UART behind the serial-core port/ctrl devices (type 4).
// - ttyS2: a phantom 8250 port (type 0).
// - tty1: a virtual console (no device link).
class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : m_root(root) {
        const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1";
        const fs::path bus = root / "sys/bus";

        // ttyUSB0
        const fs::path ftdi = usb / "1-2";
        WriteFile(ftdi / "product", "FT232R USB UART\n");
        WriteFile(ftdi / "manufacturer", "FTDI\n");
        Link(bus / "usb/drivers/usb", ftdi / "driver");
        Link(bus / "usb/drivers/ftdi_sio", ftdi / "1-2:1.0/driver");
        Tty("ttyUSB0", ftdi / "1-2:1.0/ttyUSB0", "188:0");
        Link(bus / "usb-serial/drivers/ftdi_sio", ftdi / "1-2:1.0/ttyUSB0/driver");
        FileLink(Dev("ttyUSB0"), root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0");

        // ttyUSB1: product from udev's encoded model
        const fs::path ch = usb / "1-3";
        Link(bus / "usb-serial/drivers/ch341-uart", ch / "1-3:1.0/ttyUSB1/driver");
        Tty("ttyUSB1", ch / "1-3:1.0/ttyUSB1", "188:1");
        WriteFile(root / "run/udev/data/c188:1",
                  "S:serial/by-path/x\nE:ID_MODEL=USB_Serial\nE:ID_MODEL_ENC=USB\\x20Serial\\x20\n"
                  "E:ID_VENDOR_ENC=Some\\x20Maker\nG:systemd\n");

        // ttyUSB2: driver only
        Link(bus / "usb-serial/drivers/pl2303", usb / "1-4/1-4:1.0/ttyUSB2/driver");
        Tty("ttyUSB2", usb / "1-4/1-4:1.0/ttyUSB2", "188:2");

        // ttyACM0: the interface is the device; its parent has no product file
        const fs::path acm = usb / "1-5";
        Link(bus / "usb/drivers/cdc_acm", acm / "1-5:1.0/driver");
        Tty("ttyACM0", acm / "1-5:1.0", "166:0");
        WriteFile(root / "run/udev/data/c166:0",
                  "E:ID_MODEL_FROM_DATABASE=Widget Board\nE:ID_MODEL_ENC=wb\n"
                  "E:ID_VENDOR_FROM_DATABASE=Acme\n");

        // ttyS1: pnp device -> serial-base ctrl -> serial-base port -> tty
        const fs::path pnp = root / "sys/devices/pnp0/00:01";
        Link(bus / "pnp/drivers/serial", pnp / "driver");
        Link(bus / "serial-base/drivers/ctrl", pnp / "00:01:0/driver");
        Link(bus / "serial-base", pnp / "00:01:0/subsystem");
        Link(bus / "serial-base/drivers/port", pnp / "00:01:0/00:01:0.0/driver");
        Link(bus / "serial-base", pnp / "00:01:0/00:01:0.0/subsystem");
        Tty("ttyS1", pnp / "00:01:0/00:01:0.0", "4:65", "4");

        // ttyS2: phantom
        const fs::path platform = root / "sys/devices/platform/serial8250";
        Link(bus / "platform/drivers/serial8250", platform / "driver");
        Tty("ttyS2", platform / "serial8250:0/serial8250:0.2", "4:66", "0");

        // tty1: virtual console
        const fs::path vc = root / "sys/devices/virtual/tty/tty1";
        WriteFile(vc / "dev", "4:1\n");
        Link(vc, root / "sys/class/tty/tty1");
        WriteFile(Dev("tty1"), "");
    }

    fs::path Dev(const std::string& name) const { return m_root / "dev" / name; }

private:
    void Tty(const std::string& name, const fs::path& device, const std::string& dev,
             const std::optional<std::string>& type = std::nullopt) {
        const fs::path tty = device / "tty" / name;
        WriteFile(tty / "dev", dev + "\n");
        if (type) {
            WriteFile(tty / "type", *type + "\n");
        }
        Link(device, tty / "device");
        Link(tty, m_root / "sys/class/tty" / name);
        WriteFile(Dev(name), "");
    }

    fs::path m_root;
};

TEST(LinuxPortSource, SysfsScan) {
    TempDir temp;
    FakeSysfs fake(temp.path());
    const CSysfsScan scan = ScanSerialDevices(temp.path().string());
    ASSERT_TRUE(scan.ok);

    // What a user sees and opens; the by-id link is the name to open where there is one.
    struct Expected {
        const char* kernelName;
        const char* text;
        const char* openName;  // nullptr: the /dev path
        bool nonStandard;
    };
    // clang-format off
    const Expected expected[] = {
        {"ttyACM0", "Widget Board (ttyACM0)", nullptr, true},
        {"ttyS1", "Serial port (ttyS1)", nullptr, false},
        {"ttyUSB0", "FT232R USB UART (ttyUSB0)", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", true},
        {"ttyUSB1", "USB Serial (ttyUSB1)", nullptr, true},
        {"ttyUSB2", "pl2303 (ttyUSB2)", nullptr, true},
    };
    // clang-format on
    ASSERT_EQ(scan.devices.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const Expected& e = expected[i];
        const CPortDevice& d = scan.devices[i];
        SCOPED_TRACE(e.kernelName);
        const std::string devPath = std::string("/dev/") + e.kernelName;
        EXPECT_EQ(d.m_strFriendlyName, e.text);
        EXPECT_EQ(d.m_strDevicePath, devPath);
        EXPECT_EQ(d.m_strOpenName, e.openName ? e.openName : devPath);
        EXPECT_EQ(d.m_bNonStandardDriver, e.nonStandard);
        EXPECT_FALSE(d.m_bVirtual);
    }
}

// A pseudo-terminal to link to: the kind of device the simulator offers.
class Pty {
public:
    Pty() {
        m_fd = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_fd < 0 || grantpt(m_fd) != 0 || unlockpt(m_fd) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        m_name = ptsname(m_fd);
    }
    ~Pty() { close(m_fd); }
    const std::string& name() const { return m_name; }

private:
    int m_fd = -1;
    std::string m_name;
};

fs::path MakePrivateFolder(const fs::path& base) {
    const fs::path folder = base / "quillon" / "ports";
    fs::create_directories(folder);
    fs::permissions(base / "quillon", fs::perms::owner_all);
    fs::permissions(folder, fs::perms::owner_all);
    return folder;
}

TEST(LinuxPortSource, VirtualPortsFolder) {
    TempDir temp;
    Pty pty;
    const fs::path folder = MakePrivateFolder(temp.path());
    fs::create_symlink(pty.name(), folder / "quillon-sim");
    fs::create_symlink(temp.path() / "gone", folder / "dangling");
    WriteFile(temp.path() / "plain.txt", "x");
    fs::create_symlink(temp.path() / "plain.txt", folder / "to-a-file");
    WriteFile(folder / "not-a-link", "");
    fs::create_symlink("/dev/null", folder / "to-a-device");  // a device, but no terminal

    const std::vector<CPortDevice> ports = ScanVirtualPorts(folder.string());
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].m_strFriendlyName, "quillon-sim (virtual)");
    EXPECT_EQ(ports[0].m_strOpenName, (folder / "quillon-sim").string());
    EXPECT_EQ(ports[0].m_strDevicePath, fs::canonical(pty.name()).string());
    EXPECT_TRUE(ports[0].m_bVirtual);
    EXPECT_TRUE(ports[0].m_bNonStandardDriver);

    // A folder others can write to is not trusted.
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::add);
    EXPECT_TRUE(ScanVirtualPorts(folder.string()).empty());
    fs::permissions(folder, fs::perms::others_write, fs::perm_options::remove);
    fs::permissions(folder.parent_path(), fs::perms::group_write, fs::perm_options::add);
    EXPECT_TRUE(ScanVirtualPorts(folder.string()).empty());
    fs::permissions(folder.parent_path(), fs::perms::group_write, fs::perm_options::remove);

    // Nor is a folder that is a symlink.
    fs::create_directory_symlink(folder, temp.path() / "quillon" / "alias");
    EXPECT_TRUE(ScanVirtualPorts((temp.path() / "quillon" / "alias").string()).empty());
    EXPECT_TRUE(ScanVirtualPorts((temp.path() / "missing").string()).empty());
}

class EnvVar {
public:
    explicit EnvVar(const char* name) : m_name(name) {
        if (const char* value = getenv(name)) {
            m_saved = value;
        }
    }
    ~EnvVar() {
        if (m_saved) {
            setenv(m_name, m_saved->c_str(), 1);
        } else {
            unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

TEST(LinuxPortSource, VirtualPortsFolderName) {
    EnvVar keep("XDG_RUNTIME_DIR");
    const std::string fallback = "/tmp/quillon-" + std::to_string(getuid()) + "/ports";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(VirtualPortsFolder(), "/run/user/4242/quillon/ports");
    setenv("XDG_RUNTIME_DIR", "run/user/4242", 1);  // relative: not a base directory
    EXPECT_EQ(VirtualPortsFolder(), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualPortsFolder(), fallback);
}

// The whole road: fake machine plus virtual folder, through the list as the GUI fills it.
TEST(LinuxPortSource, ListAsTheWindowShowsIt) {
    TempDir temp;
    FakeSysfs fake(temp.path());
    Pty pty;
    const fs::path folder = MakePrivateFolder(temp.path() / "runtime");
    fs::create_symlink(pty.name(), folder / "quillon-sim");

    CLinuxPortSource source(temp.path().string(), folder.string());
    CPortList list(source);
    list.m_bShowNoneEntry = false;
    EXPECT_TRUE(list.FillPortListByName(""));
    std::vector<std::pair<std::string, std::string>> shown;
    for (const CPortEntry& entry : list.GetEntries()) {
        shown.emplace_back(entry.m_strText, entry.m_strName);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"FT232R USB UART (ttyUSB0)", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"},
        {"pl2303 (ttyUSB2)", "/dev/ttyUSB2"},
        {"quillon-sim (virtual)", (folder / "quillon-sim").string()},
        {"Serial port (ttyS1)", "/dev/ttyS1"},
        {"USB Serial (ttyUSB1)", "/dev/ttyUSB1"},
        {"Widget Board (ttyACM0)", "/dev/ttyACM0"},
    };
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(list.GetCurSel(), -1);

    // Saved names select the entry of the device they resolve to.
    const std::pair<std::string, std::string> saved[] = {
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0", "FT232R USB UART (ttyUSB0)"},
        {"/dev/ttyUSB0", "FT232R USB UART (ttyUSB0)"},
        {(folder / "quillon-sim").string(), "quillon-sim (virtual)"},
        {"/dev/serial/by-id/usb-gone-if00-port0", ""},
    };
    for (const auto& [name, text] : saved) {
        SCOPED_TRACE(name);
        list.FillPortListByName(name);
        EXPECT_EQ(list.GetCurSel() < 0 ? "" : list.GetText(list.GetCurSel()), text);
    }

    // The simulator goes away: its entry goes with it, the choice is not carried elsewhere.
    list.FillPortListByName((folder / "quillon-sim").string());
    fs::remove(folder / "quillon-sim");
    list.FillPortList(-1);
    EXPECT_EQ(list.GetCount(), 5);
    EXPECT_EQ(list.GetCurSel(), -1);
}

TEST(LinuxPortSource, UnreadableSysfsStillListsVirtualPorts) {
    TempDir temp;
    Pty pty;
    const fs::path folder = MakePrivateFolder(temp.path());
    fs::create_symlink(pty.name(), folder / "sim");
    EXPECT_FALSE(ScanSerialDevices((temp.path() / "no-such-root").string()).ok);
    CLinuxPortSource source((temp.path() / "no-such-root").string(), folder.string());
    CPortList list(source);
    list.m_bShowNoneEntry = false;
    EXPECT_FALSE(list.FillPortList(0));
    ASSERT_EQ(list.GetCount(), 1);
    EXPECT_EQ(list.GetText(0), "sim (virtual)");
    EXPECT_EQ(list.GetCurSel(), -1);  // the single-entry rule needs a whole walk
}

}  // namespace
