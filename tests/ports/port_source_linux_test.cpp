// The Linux port source on a fake sysfs tree and a virtual ports folder of its own, with a
// pseudo-terminal standing in for a simulator.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "ports/port_source_linux.h"
#include "pty_pair.h"
#include "test_util.h"

namespace {

// A relative link, as sysfs and udev make them; the target is made a folder unless it exists.
void Link(const fs::path& target, const fs::path& link) {
    fs::create_directories(link.parent_path());
    if (!fs::exists(target)) {
        fs::create_directories(target);
    }
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
void MakeFakeSysfs(const fs::path& root) {
    const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1";
    const fs::path bus = root / "sys/bus";
    auto tty = [&](const std::string& name, const fs::path& device, const std::string& dev,
                   const char* type = nullptr) {
        const fs::path dir = device / "tty" / name;
        WriteFile(dir / "dev", dev + "\n");
        if (type != nullptr) {
            WriteFile(dir / "type", std::string(type) + "\n");
        }
        Link(device, dir / "device");
        Link(dir, root / "sys/class/tty" / name);
        WriteFile(root / "dev" / name, "");
    };

    const fs::path ftdi = usb / "1-2";
    WriteFile(ftdi / "product", "FT232R USB UART\n");
    WriteFile(ftdi / "manufacturer", "FTDI\n");
    Link(bus / "usb/drivers/usb", ftdi / "driver");
    Link(bus / "usb/drivers/ftdi_sio", ftdi / "1-2:1.0/driver");
    tty("ttyUSB0", ftdi / "1-2:1.0/ttyUSB0", "188:0");
    Link(bus / "usb-serial/drivers/ftdi_sio", ftdi / "1-2:1.0/ttyUSB0/driver");
    Link(root / "dev/ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0");

    Link(bus / "usb-serial/drivers/ch341-uart", usb / "1-3/1-3:1.0/ttyUSB1/driver");
    tty("ttyUSB1", usb / "1-3/1-3:1.0/ttyUSB1", "188:1");
    WriteFile(root / "run/udev/data/c188:1",
              "S:serial/by-path/x\nE:ID_MODEL=USB_Serial\nE:ID_MODEL_ENC=USB\\x20Serial\\x20\n"
              "E:ID_VENDOR_ENC=Some\\x20Maker\nG:systemd\n");

    Link(bus / "usb-serial/drivers/pl2303", usb / "1-4/1-4:1.0/ttyUSB2/driver");
    tty("ttyUSB2", usb / "1-4/1-4:1.0/ttyUSB2", "188:2");

    Link(bus / "usb/drivers/cdc_acm", usb / "1-5/1-5:1.0/driver");
    tty("ttyACM0", usb / "1-5/1-5:1.0", "166:0");
    WriteFile(root / "run/udev/data/c166:0",
              "E:ID_MODEL_FROM_DATABASE=Widget Board\nE:ID_MODEL_ENC=wb\n"
              "E:ID_VENDOR_FROM_DATABASE=Acme\n");

    const fs::path pnp = root / "sys/devices/pnp0/00:01";
    Link(bus / "pnp/drivers/serial", pnp / "driver");
    Link(bus / "serial-base/drivers/ctrl", pnp / "00:01:0/driver");
    Link(bus / "serial-base", pnp / "00:01:0/subsystem");
    Link(bus / "serial-base/drivers/port", pnp / "00:01:0/00:01:0.0/driver");
    Link(bus / "serial-base", pnp / "00:01:0/00:01:0.0/subsystem");
    tty("ttyS1", pnp / "00:01:0/00:01:0.0", "4:65", "4");

    const fs::path platform = root / "sys/devices/platform/serial8250";
    Link(bus / "platform/drivers/serial8250", platform / "driver");
    tty("ttyS2", platform / "serial8250:0/serial8250:0.2", "4:66", "0");

    WriteFile(root / "sys/devices/virtual/tty/tty1/dev", "4:1\n");
    Link(root / "sys/devices/virtual/tty/tty1", root / "sys/class/tty/tty1");
}

const std::string kById = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0";

// The id of a process that has ended.
pid_t EndedProcess() {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return pid;
}

// A private folder of links, as the simulator makes it.
fs::path MakePortsFolder(const fs::path& base) {
    const fs::path folder = base / "quillon" / "ports";
    fs::create_directories(folder);
    fs::permissions(base / "quillon", fs::perms::owner_all);
    fs::permissions(folder, fs::perms::owner_all);
    return folder;
}

// Sysfs devices sorted by kernel name, then the virtual ports: what a user sees and opens.
TEST(LinuxPortSource, WalkListsSysfsThenVirtualPorts) {
    ScratchDir dir;
    MakeFakeSysfs(dir / "root");
    CPtyPair pty;
    const fs::path folder = MakePortsFolder(dir.Path());
    fs::create_symlink(pty.SlavePath(), folder / "quillon-sim");
    // Only links to pseudo-terminals whose simulator (if any) still runs are ports.
    fs::create_symlink(dir / "gone", folder / "dangling");
    WriteFile(dir / "plain.txt", "x");
    fs::create_symlink(dir / "plain.txt", folder / "to-a-file");
    WriteFile(folder / "not-a-link", "");
    fs::create_symlink("/dev/null", folder / "to-a-device");  // a device, but no terminal
    fs::create_symlink("/dev/tty", folder / "to-a-uart");     // a terminal, as a UART is
    // A simulator that ended left its link, to a terminal that may serve another program now.
    CPtyPair reused;
    fs::create_symlink(reused.SlavePath(), folder / "ended-sim");
    WriteFile(folder / "ended-sim.lock", std::to_string(EndedProcess()) + "\n");
    WriteFile(folder / "quillon-sim.lock", std::to_string(getpid()) + "\n");  // this one runs

    CLinuxPortSource source((dir / "root").string(), folder.string());
    ASSERT_TRUE(source.Begin(true));
    std::string walked;
    CPortDevice d;
    PortSourceStep step;
    while ((step = source.Next(d)) == PortSourceStep::Device) {
        walked += d.m_strFriendlyName + "|" + d.m_strDevicePath + "|" + d.m_strOpenName +
                  (d.m_bNonStandardDriver ? "|adapter" : "") + (d.m_bVirtual ? "|virtual" : "") +
                  "\n";
    }
    source.End();
    EXPECT_EQ(step, PortSourceStep::End);
    const std::string sim = (folder / "quillon-sim").string();
    EXPECT_EQ(walked,
              "Widget Board (ttyACM0)|/dev/ttyACM0|/dev/ttyACM0|adapter\n"
              "Serial port (ttyS1)|/dev/ttyS1|/dev/ttyS1\n"
              "FT232R USB UART (ttyUSB0)|/dev/ttyUSB0|" +
                  kById +
                  "|adapter\n"
                  "USB Serial (ttyUSB1)|/dev/ttyUSB1|/dev/ttyUSB1|adapter\n"
                  "pl2303 (ttyUSB2)|/dev/ttyUSB2|/dev/ttyUSB2|adapter\n"
                  "quillon-sim (virtual)|" +
                  fs::canonical(pty.SlavePath()).string() + "|" + sim + "|adapter|virtual\n");

    // Saved names resolve to their devices; relative names (a COM name) denote nothing.
    const std::pair<std::string, std::string> saved[] = {
        {kById, "/dev/ttyUSB0"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {sim, fs::canonical(pty.SlavePath()).string()},
        {"/dev/serial/by-id/gone", ""},
        {"COM3", ""},
        {"", ""},
    };
    for (const auto& [name, device] : saved) {
        EXPECT_EQ(source.ResolveDevicePath(name), device) << name;
    }

    // Without a readable sysfs the virtual ports are still listed, and the walk breaks off.
    CLinuxPortSource noSysfs((dir / "missing").string(), folder.string());
    ASSERT_TRUE(noSysfs.Begin(true));
    ASSERT_EQ(noSysfs.Next(d), PortSourceStep::Device);
    EXPECT_EQ(d.m_strOpenName, sim);
    EXPECT_EQ(noSysfs.Next(d), PortSourceStep::Failed);
    noSysfs.End();
}

// Virtual ports only in a folder that no one else can plant links in.
TEST(LinuxPortSource, VirtualPortsFolderIsTrustedOnlyWhenPrivate) {
    ScratchDir dir;
    CPtyPair pty;
    const fs::path folder = MakePortsFolder(dir.Path());
    fs::create_symlink(pty.SlavePath(), folder / "sim");
    fs::create_directory_symlink(folder, dir / "alias");
    WriteFile(dir / "file", "");
    fs::permissions(dir / "file", fs::perms::owner_all);

    struct Case {
        const char* what;
        fs::path folder;
        fs::perms widen;  // on the folder (or on its parent, with parent set)
        bool parent;
        std::size_t ports;
    };
    const Case cases[] = {
        {"private", folder, fs::perms::none, false, 1},
        {"others may write", folder, fs::perms::others_write, false, 0},
        {"the group may write its parent", folder, fs::perms::group_write, true, 0},
        {"a link to the folder", dir / "alias", fs::perms::none, false, 0},
        {"missing", dir / "missing", fs::perms::none, false, 0},
        {"a file", dir / "file", fs::perms::none, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path widened = c.parent ? c.folder.parent_path() : c.folder;
        std::error_code ec;
        fs::permissions(widened, c.widen, fs::perm_options::add, ec);
        EXPECT_EQ(IsPrivateFolder(c.folder.string()), c.ports > 0);
        EXPECT_EQ(ScanVirtualPorts(c.folder.string()).size(), c.ports);
        fs::permissions(widened, c.widen, fs::perm_options::remove, ec);
    }
}

// Leaves XDG_RUNTIME_DIR unset: no other test here reads it.
TEST(LinuxPortSource, VirtualPortsFolderName) {
    const std::string fallback = "/tmp/quillon-" + std::to_string(getuid()) + "/ports";
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(VirtualPortsFolder(), "/run/user/4242/quillon/ports");
    setenv("XDG_RUNTIME_DIR", "run/user/4242", 1);  // relative: not a base directory
    EXPECT_EQ(VirtualPortsFolder(), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualPortsFolder(), fallback);
}

}  // namespace
