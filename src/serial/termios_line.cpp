// A local serial device over POSIX termios. The device is opened non-blocking so that a read
// returns at once with what has arrived; a write waits for the driver itself, until its
// deadline.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/port_line.h"
#include "serial/serial_system.h"

bool SerialLineIsRaw9600(const termios& t) {
    return cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600 && (t.c_cflag & CSIZE) == CS8 &&
           (t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
           (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) &&
           (t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK)) == 0 &&
           (t.c_oflag & OPOST) == 0 && (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0;
}

namespace {

constexpr int kClosed = -1;

// A hang-up sets no errno of its own; EIO is what a pseudo-terminal reports for the same
// condition, so a hung-up line gives one code whichever way it is noticed.
constexpr std::uint32_t kHangUpError = EIO;

// The driver accepted tcsetattr but did not take every setting (tcsetattr succeeds when any
// one change was applied): the device cannot do 9600 8N1 without flow control.
constexpr std::uint32_t kSettingsRefused = ENOTSUP;

// poll() until deadline, restarted after a signal with the time that is left.
int PollUntil(pollfd& p, ILine::TimePoint deadline) {
    for (;;) {
        const int rc = poll(&p, 1, MsUntil(deadline));
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
    }
}

class CTermiosLine final : public CPortLine {
public:
    explicit CTermiosLine(std::string name) : m_name(std::move(name)) {}
    ~CTermiosLine() override { Close(); }

    void Open() override;
    void Close() noexcept override;
    bool IsOpen() const override { return m_fd != kClosed; }
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;

private:
    void AskLowLatency();
    void RestoreLatency() noexcept;

    std::string m_name;
    int m_fd = kClosed;
    bool m_lowLatencyAdded = false;  // the flag was off before the open, and is on now
};

void CTermiosLine::Open() {
    Close();
    if (m_name.empty()) {
        ThrowSerialException(ENOENT, "open");
    }
    const int fd = open(m_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ThrowSerialException(0, "open");
    }
    // The open is exclusive: the advisory lock is the one that holds for every user (root
    // ignores TIOCEXCL); TIOCEXCL also keeps out programs that do not lock. Until both hold,
    // the port counts as not opened.
    const char* refused = nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        refused = "flock";
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        refused = "TIOCEXCL";
    }
    if (refused != nullptr) {
        const std::uint32_t err = SerialLastSystemError();
        ::close(fd);
        ThrowSerialException(err == EWOULDBLOCK ? EBUSY : err, refused);
    }
    m_fd = fd;

    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        ThrowSerialException(0, "tcgetattr");
    }
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0) {
        ThrowSerialException(0, "cfsetspeed");
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        ThrowSerialException(0, "tcsetattr");
    }
    termios back{};
    if (tcgetattr(fd, &back) != 0) {
        ThrowSerialException(0, "tcgetattr");
    }
    if (!SerialLineIsRaw9600(back)) {
        ThrowSerialException(kSettingsRefused, "settings read back");
    }
    AskLowLatency();
}

// USB adapters otherwise hold a short reply back for up to 16 ms. Ports that do not know the
// request (pseudo-terminals among them) work as they are. The flag stays with the adapter
// after the descriptor is closed, so Close puts back what the open found.
void CTermiosLine::AskLowLatency() {
#ifdef __linux__
    serial_struct ss{};
    if (ioctl(m_fd, TIOCGSERIAL, &ss) == 0 && (ss.flags & ASYNC_LOW_LATENCY) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        m_lowLatencyAdded = ioctl(m_fd, TIOCSSERIAL, &ss) == 0;
    }
#endif
}

void CTermiosLine::RestoreLatency() noexcept {
#ifdef __linux__
    serial_struct ss{};
    if (m_lowLatencyAdded && ioctl(m_fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        (void)ioctl(m_fd, TIOCSSERIAL, &ss);
    }
#endif
    m_lowLatencyAdded = false;
}

void CTermiosLine::Close() noexcept {
    if (m_fd == kClosed) {
        return;
    }
    RestoreLatency();
    // The exclusive mark belongs to the terminal, not to this descriptor: without clearing it
    // a terminal that someone else still holds (a simulator's own end) could not be reopened.
    (void)ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    m_fd = kClosed;
}

void CTermiosLine::Purge(std::uint32_t flags, TimePoint) {
    // Output first: a late reply to an earlier message then goes with the input.
    if ((flags & PURGE_TXCLEAR) != 0 && tcflush(m_fd, TCOFLUSH) != 0) {
        ThrowSerialException(0, "tcflush");
    }
    if ((flags & PURGE_RXCLEAR) != 0 && tcflush(m_fd, TCIFLUSH) != 0) {
        ThrowSerialException(0, "tcflush");
    }
}

std::size_t CTermiosLine::Read(void* buffer, std::size_t capacity) {
    if (capacity == 0) {
        return 0;
    }
    ssize_t n;
    do {
        n = ::read(m_fd, buffer, capacity);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        return static_cast<std::size_t>(n);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        ThrowSerialException(0, "read");
    }
    // Nothing arrived, or the line is gone: a hung-up terminal also reads as 0 bytes.
    pollfd p{m_fd, POLLIN, 0};
    if (PollUntil(p, TimePoint{}) < 0) {
        ThrowSerialException(0, "poll");
    }
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        ThrowSerialException(kHangUpError, "read");
    }
    return 0;
}

void CTermiosLine::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_fd, p + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ThrowSerialException(0, "write");
        }
        // The driver's buffer is full: wait until it takes more, or until the deadline.
        pollfd w{m_fd, POLLOUT, 0};
        const int rc = PollUntil(w, deadline);
        if (rc < 0) {
            ThrowSerialException(0, "poll");
        }
        if (rc == 0) {
            ThrowSerialException(ETIMEDOUT, "write");
        }
        if ((w.revents & POLLOUT) == 0 && (w.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            ThrowSerialException(kHangUpError, "write");
        }
    }
}

bool CTermiosLine::WaitReadable(TimePoint deadline) {
    pollfd p{m_fd, POLLIN, 0};
    const int rc = PollUntil(p, deadline);
    if (rc < 0) {
        ThrowSerialException(0, "poll");
    }
    return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

std::unique_ptr<CPortLine> MakeLocalLine(const std::string& name) {
    return std::make_unique<CTermiosLine>(name);
}
