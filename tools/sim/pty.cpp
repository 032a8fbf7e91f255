// Pseudo-terminals, the simulator's channel over one, and the link that names it.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "common/virtual_ports.h"
#include "sim_channel.h"

namespace {

[[noreturn]] void ThrowErrno(const std::string& what, int error = errno) {
    throw std::system_error(error, std::generic_category(), what);
}

std::string LineText(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        return "";
    }
    static const std::pair<speed_t, std::uint32_t> kSpeeds[] = {
        {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    std::uint32_t baud = 0;
    for (const auto& [speed, rate] : kSpeeds) {
        if (cfgetospeed(&t) == speed) {
            baud = rate;
        }
    }
    const tcflag_t size = t.c_cflag & CSIZE;
    return SimLineText(baud,
                       size == CS5   ? 5
                       : size == CS6 ? 6
                       : size == CS7 ? 7
                                     : 8,
                       (t.c_cflag & PARENB) == 0   ? 'N'
                       : (t.c_cflag & PARODD) != 0 ? 'O'
                                                   : 'E',
                       (t.c_cflag & CSTOPB) != 0 ? 2 : 1, (t.c_iflag & (IXON | IXOFF)) != 0,
                       (t.c_cflag & CRTSCTS) != 0);
}

// A link name belongs to one running simulator: it holds a lock beside the link for as long
// as it runs, with its process id in it. A link left by one that ended (even killed) is taken
// over; one that is in use is refused. The port list leaves out a link whose lock names a
// process that has ended: its terminal may serve another program by now.
int LockLink(const std::string& linkPath) {
    const std::string lockPath = LinkLockFile(linkPath);
    for (int attempt = 0; attempt <= 100; ++attempt) {
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            ThrowErrno("lock " + lockPath);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno == EWOULDBLOCK ? EBUSY : errno;
            close(fd);
            ThrowErrno(linkPath +
                           " is in use by another running simulator (choose another "
                           "--name or --link)",
                       e);
        }
        // Locked, but perhaps a file that its owner removed as it ended: then again.
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(lockPath.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
            const std::string pid = std::to_string(getpid()) + "\n";
            if (ftruncate(fd, 0) != 0 ||
                pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
                const int e = errno;
                close(fd);
                ThrowErrno("lock " + lockPath, e);
            }
            return fd;
        }
        close(fd);
    }
    ThrowErrno("lock " + lockPath, EBUSY);
}

class CPtyChannel final : public CSimChannel {
public:
    explicit CPtyChannel(std::string linkPath) : m_linkPath(std::move(linkPath)) {}
    ~CPtyChannel() override { Close(); }

    void Open() override {
        auto pty = std::make_unique<CPty>();
        if (!m_linkPath.empty()) {
            if (m_linkLock < 0) {
                m_linkLock = LockLink(m_linkPath);
            }
            PointLink(pty->SlavePath());
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_path = pty->SlavePath();
        m_pty = std::move(pty);
    }

    std::string Name() const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_path;
    }

    Event Wait(std::optional<Clock::time_point> deadline) override {
        short revents = 0;
        const Event e = Poll(m_pty ? m_pty->Master() : -1, POLLIN, deadline, &revents);
        if (e == Event::Input && (revents & POLLIN) == 0) {
            // Hung up with nothing to read: nobody holds the terminal, which cannot happen
            // while we keep our own end. Do not spin on it.
            usleep(10000);
        }
        return e;
    }

    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const ssize_t n = m_pty ? read(m_pty->Master(), buffer, size) : -1;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    std::size_t Write(const std::uint8_t* bytes, std::size_t size) override {
        if (!m_pty) {
            return size;  // hung up: nobody to hear it
        }
        const ssize_t n = write(m_pty->Master(), bytes, size);
        if (n < 0) {
            return errno == EAGAIN ? 0 : size;  // full (the client is not reading), or lost
        }
        return static_cast<std::size_t>(n);
    }

    void HangUp(bool reopen) override {
        m_pty.reset();
        if (reopen) {
            Open();
        }
    }

    // Closing the terminal hangs it up, and a hang-up discards what the client has not read
    // yet: the final ACK would be lost. What was just written may still be on its way to the
    // terminal's input queue, hence the first pause.
    void LetTheClientRead() override {
        usleep(20000);
        for (int i = 0; i < 200 && m_pty; ++i) {
            int unread = 0;
            if (ioctl(m_pty->KeptSlave(), TIOCINQ, &unread) != 0 || unread == 0) {
                return;
            }
            usleep(10000);
        }
    }

    void Close() override {
        m_pty.reset();
        if (m_linkLock < 0) {
            return;
        }
        char target[4096];
        const ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == Name()) {
            unlink(m_linkPath.c_str());
        }
        // Removed while still locked: the next simulator locks a file of its own.
        unlink(LinkLockFile(m_linkPath).c_str());
        close(m_linkLock);
        m_linkLock = -1;
    }

    std::string Line() const override { return m_pty ? LineText(m_pty->KeptSlave()) : ""; }

private:
    // Re-pointing goes through a new link renamed over the old one: a client never sees the
    // name missing.
    void PointLink(const std::string& target) {
        struct stat st {};
        if (lstat(m_linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            ThrowErrno(m_linkPath + " exists and is not a link", EEXIST);
        }
        const std::string tmp = m_linkPath + ".new." + std::to_string(getpid());
        unlink(tmp.c_str());
        if (symlink(target.c_str(), tmp.c_str()) != 0 ||
            rename(tmp.c_str(), m_linkPath.c_str()) != 0) {
            const int e = errno;
            unlink(tmp.c_str());
            ThrowErrno("link " + m_linkPath, e);
        }
    }

    std::string m_linkPath;
    int m_linkLock = -1;
    std::unique_ptr<CPty> m_pty;
    mutable std::mutex m_mutex;  // guards m_path, which Name() reads from other threads
    std::string m_path;
};

}  // namespace

CPty::CPty() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        ThrowErrno("posix_openpt");
    }
    char name[256];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        const int e = errno;
        Close();
        ThrowErrno("pseudo-terminal", e);
    }
    m_slavePath = name;
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_keep = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (m_keep < 0 || tcgetattr(m_keep, &t) != 0) {
        const int e = errno;
        Close();
        ThrowErrno(std::string("open ") + name, e);
    }
    cfmakeraw(&t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(m_keep, TCSANOW, &t);
}

void CPty::Close() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_keep >= 0) {
        close(m_keep);
        m_keep = -1;
    }
}

std::unique_ptr<CSimChannel> MakePtyChannel(const std::string& linkPath) {
    return std::make_unique<CPtyChannel>(linkPath);
}

std::string SimVirtualPortsDir() {
    return VirtualPortsFolder();
}

bool SimMakePrivateDir(const std::string& path, std::string& error) {
    for (std::size_t pos = 0; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        const std::string partial = path.substr(0, pos);
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    // The port list ignores a folder that others could plant links in; a link there would
    // never be shown.
    if (!IsPrivateFolder(path)) {
        error = path +
                " is not private: it and the folder it is in must be folders of this user that "
                "no one else can write to (the port list ignores it otherwise); fix it or use "
                "--link";
        return false;
    }
    return true;
}
