#include "ports/port_source_linux.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace {

std::string Trim(std::string text) {
    const auto blank = [](unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (!text.empty() && blank(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    std::size_t start = 0;
    while (start < text.size() && blank(static_cast<unsigned char>(text[start]))) {
        ++start;
    }
    return text.substr(start);
}

// First line of a small sysfs file, trimmed; empty when there is none.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return {};
    }
    return Trim(line);
}

std::string LinkTargetName(const fs::path& link) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

// udev writes "\x20"-style escapes in the *_ENC properties.
std::string DecodeUdevEscapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return Trim(out);
}

using Properties = std::map<std::string, std::string>;

// The udev database record of a character device ("E:KEY=value" lines), where udev runs.
Properties ReadUdevProperties(const fs::path& dataFolder, const std::string& majorMinor) {
    Properties properties;
    if (majorMinor.empty()) {
        return properties;
    }
    std::ifstream in(dataFolder / ("c" + majorMinor));
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("E:")) {
            const std::size_t eq = line.find('=');
            if (eq != std::string::npos) {
                properties[line.substr(2, eq - 2)] = line.substr(eq + 1);
            }
        }
    }
    return properties;
}

std::string FirstProperty(const Properties& properties, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        const auto it = properties.find(key);
        if (it == properties.end() || it->second.empty()) {
            continue;
        }
        std::string value = it->second;
        if (std::string_view(key).ends_with("_ENC")) {
            value = DecodeUdevEscapes(value);
        } else if (std::string_view(key) == "ID_MODEL" || std::string_view(key) == "ID_VENDOR") {
            std::replace(value.begin(), value.end(), '_', ' ');  // udev's blank substitute
        }
        if (!value.empty()) {
            return value;
        }
    }
    return {};
}

// Paths under a root directory, and back to the names they have inside it.
class RootedFs {
public:
    explicit RootedFs(const std::string& root) : m_root(root.empty() ? "/" : root) {
        std::error_code ec;
        m_canonicalRoot = fs::canonical(m_root, ec);
        if (ec) {
            m_canonicalRoot = m_root;
        }
    }

    fs::path In(const std::string& absolute) const {
        return m_root / fs::path(absolute).relative_path();
    }

    // "/dev/ttyUSB0" for <root>/dev/ttyUSB0; empty for a path outside root.
    std::string Inside(const fs::path& physical) const {
        if (m_canonicalRoot == m_canonicalRoot.root_path()) {
            return physical.string();
        }
        const fs::path relative = physical.lexically_relative(m_canonicalRoot);
        if (relative.empty() || *relative.begin() == "..") {
            return {};
        }
        return "/" + relative.string();
    }

    bool Contains(const fs::path& physical, const fs::path& top) const {
        const fs::path relative = physical.lexically_relative(top);
        return !relative.empty() && *relative.begin() != "..";
    }

private:
    fs::path m_root;
    fs::path m_canonicalRoot;
};

std::vector<std::string> SortedNames(const fs::path& folder, std::error_code& ec) {
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The driver of a tty's device: the device's own, or its parent's (a USB interface).
// Serial-core "port"/"ctrl" devices (kernels from 6.5 on) sit between a UART's tty and the
// device of its real driver; they are skipped.
std::string FindDriver(const fs::path& device, const fs::path& sysDevices, const RootedFs& fs_) {
    fs::path dir = device;
    for (int level = 0; level < 4 && fs_.Contains(dir, sysDevices);
         ++level, dir = dir.parent_path()) {
        std::error_code ec;
        if (!fs::exists(dir / "driver", ec)) {
            continue;
        }
        if (LinkTargetName(dir / "subsystem") == "serial-base") {
            continue;
        }
        return LinkTargetName(dir / "driver");
    }
    return {};
}

// The USB device above a tty: the nearest ancestor with a "product" file.
fs::path FindUsbDevice(const fs::path& device, const fs::path& sysDevices, const RootedFs& fs_) {
    for (fs::path dir = device; fs_.Contains(dir, sysDevices); dir = dir.parent_path()) {
        std::error_code ec;
        if (fs::is_regular_file(dir / "product", ec)) {
            return dir;
        }
    }
    return {};
}

// False when the link's lock file names a process that is no longer running: its simulator
// ended without removing the link. A link without one (socat, ser2net) is taken as it is.
bool OwnerAlive(const fs::path& link) {
    const int fd = open(LinkLockFile(link.string()).c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return true;
    }
    char text[24] = {};
    struct stat info {};
    const ssize_t n =
        fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, text, sizeof text - 1) : -1;
    close(fd);
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    if (pid <= 0 || pid > INT_MAX || (*end != '\n' && *end != '\0')) {
        return true;  // says nobody
    }
    return kill(static_cast<pid_t>(pid), 0) == 0;
}

}  // namespace

bool IsPseudoTerminal(const struct stat& info) {
    return S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
}

bool IsStandardUartDriver(const std::string& driver) {
    // The 8250/16550 family under its driver names (platform, PNP and PCI, device tree,
    // DesignWare) and the PL011 of ARM boards: the UARTs a machine has on board.
    static const char* const kStandard[] = {"serial8250", "serial", "of_serial", "dw-apb-uart",
                                            "uart-pl011"};
    return std::find(std::begin(kStandard), std::end(kStandard), driver) != std::end(kStandard) ||
           driver.starts_with("8250");
}

CSysfsScan ScanSerialDevices(const std::string& root) {
    CSysfsScan scan;
    const RootedFs rooted(root);
    const fs::path classTty = rooted.In("/sys/class/tty");
    std::error_code ec;
    const std::vector<std::string> names = SortedNames(classTty, ec);
    if (ec) {
        return scan;
    }
    scan.ok = true;

    fs::path sysDevices = fs::canonical(rooted.In("/sys/devices"), ec);
    if (ec) {
        sysDevices = fs::canonical(rooted.In("/sys"), ec);
    }

    // Stable names: by-id link per device node.
    std::map<std::string, std::string> byId;
    const std::vector<std::string> links = SortedNames(rooted.In("/dev/serial/by-id"), ec);
    for (const std::string& link : links) {
        const fs::path target = fs::canonical(rooted.In("/dev/serial/by-id/" + link), ec);
        if (!ec) {
            byId.emplace(target.string(), "/dev/serial/by-id/" + link);  // first name wins
        }
    }

    const fs::path udevData = rooted.In("/run/udev/data");
    for (const std::string& name : names) {
        const fs::path tty = classTty / name;
        // Virtual consoles and pseudo-terminals have no device.
        const fs::path device = fs::canonical(tty / "device", ec);
        if (ec) {
            continue;
        }
        // The 8250 driver registers ports without hardware; the serial core reports type 0.
        if (fs::exists(tty / "type", ec) && ReadAttribute(tty / "type") == "0") {
            continue;
        }

        CPortDevice record;
        record.m_strKernelName = name;
        record.m_strDriver = FindDriver(device, sysDevices, rooted);
        const fs::path usb = FindUsbDevice(device, sysDevices, rooted);
        if (!usb.empty()) {
            record.m_strProduct = ReadAttribute(usb / "product");
            record.m_strManufacturer = ReadAttribute(usb / "manufacturer");
        }
        const Properties udev = ReadUdevProperties(udevData, ReadAttribute(tty / "dev"));
        if (record.m_strProduct.empty()) {
            record.m_strProduct =
                FirstProperty(udev, {"ID_MODEL_FROM_DATABASE", "ID_MODEL_ENC", "ID_MODEL"});
        }
        if (record.m_strManufacturer.empty()) {
            record.m_strManufacturer =
                FirstProperty(udev, {"ID_VENDOR_FROM_DATABASE", "ID_VENDOR_ENC", "ID_VENDOR"});
        }

        record.m_bNonStandardDriver = !IsStandardUartDriver(record.m_strDriver);
        std::string label = "Serial port";
        if (record.m_bNonStandardDriver) {
            if (!record.m_strProduct.empty()) {
                label = record.m_strProduct;
            } else if (!record.m_strDriver.empty()) {
                label = record.m_strDriver;
            }
        }
        record.m_strFriendlyName = label + " (" + name + ")";

        record.m_strDevicePath = "/dev/" + name;
        const fs::path node = fs::canonical(rooted.In("/dev/" + name), ec);
        if (!ec) {
            const std::string inside = rooted.Inside(node);
            if (!inside.empty()) {
                record.m_strDevicePath = inside;
            }
            const auto link = byId.find(node.string());
            if (link != byId.end()) {
                record.m_strOpenName = link->second;
            }
        }
        if (record.m_strOpenName.empty()) {
            record.m_strOpenName = record.m_strDevicePath;
        }
        scan.devices.push_back(std::move(record));
    }
    return scan;
}

std::vector<CPortDevice> ScanVirtualPorts(const std::string& folder) {
    std::vector<CPortDevice> ports;
    if (folder.empty() || !IsPrivateFolder(folder)) {
        return ports;
    }
    std::error_code ec;
    for (const std::string& name : SortedNames(folder, ec)) {
        const fs::path link = fs::path(folder) / name;
        struct stat info {};
        if (lstat(link.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            continue;
        }
        // stat follows the link: a dangling one fails, a link to a file is no port, nor is
        // one to a device that is no pseudo-terminal (/dev/null, the machine's own UART).
        if (stat(link.c_str(), &info) != 0 || !IsPseudoTerminal(info) || !OwnerAlive(link)) {
            continue;
        }
        const fs::path target = fs::canonical(link, ec);
        if (ec) {
            continue;
        }
        CPortDevice record;
        record.m_strFriendlyName = name + " (virtual)";
        record.m_strDevicePath = target.string();
        record.m_strOpenName = link.string();
        record.m_strKernelName = target.filename().string();
        record.m_bNonStandardDriver = true;
        record.m_bVirtual = true;
        ports.push_back(std::move(record));
    }
    return ports;
}

CLinuxPortSource::CLinuxPortSource(std::string root, std::string virtualFolder)
    : m_root(root.empty() ? "/" : std::move(root)),
      m_virtualFolder(virtualFolder.empty() ? VirtualPortsFolder() : std::move(virtualFolder)) {}

bool CLinuxPortSource::Begin(bool onlyPresent) {
    (void)onlyPresent;
    CSysfsScan scan = ScanSerialDevices(m_root);
    m_devices = std::move(scan.devices);
    m_scanOk = scan.ok;
    for (CPortDevice& port : ScanVirtualPorts(m_virtualFolder)) {
        m_devices.push_back(std::move(port));
    }
    m_next = 0;
    return true;
}

PortSourceStep CLinuxPortSource::Next(CPortDevice& device) {
    if (m_next < m_devices.size()) {
        device = m_devices[m_next++];
        return PortSourceStep::Device;
    }
    return m_scanOk ? PortSourceStep::End : PortSourceStep::Failed;
}

void CLinuxPortSource::End() {
    m_devices.clear();
    m_next = 0;
}

std::string CLinuxPortSource::ResolveDevicePath(const std::string& name) const {
    if (name.empty() || name.front() != '/') {
        return {};
    }
    const fs::path path(name);
    std::error_code ec;
    const fs::path folder = fs::canonical(m_virtualFolder, ec);
    std::error_code parentEc;
    const fs::path parent = fs::canonical(path.parent_path(), parentEc);
    if (!ec && !parentEc && folder == parent) {
        const fs::path target = fs::canonical(path, ec);
        return ec ? std::string() : target.string();
    }
    const RootedFs rooted(m_root);
    const fs::path target = fs::canonical(rooted.In(name), ec);
    return ec ? std::string() : rooted.Inside(target);
}

std::unique_ptr<IPortSource> CreateSystemPortSource() {
    return std::make_unique<CLinuxPortSource>();
}
