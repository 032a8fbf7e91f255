// CSerialPort over POSIX termios. The port is opened non-blocking so that a read returns at
// once with what has arrived; writes wait for the driver themselves.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/net_port.h"
#include "serial/serial_port.h"
#include "serial/serial_system.h"

namespace {

constexpr int kClosed = -1;

// A hang-up sets no errno of its own; EIO is what a pseudo-terminal reports for the same
// condition, so a hung-up line gives one code whichever way it is noticed.
constexpr std::uint32_t kHangUpError = EIO;

// The driver accepted tcsetattr but did not take every setting (tcsetattr succeeds when any
// one change was applied): the device cannot do 9600 8N1 without flow control.
constexpr std::uint32_t kSettingsRefused = ENOTSUP;

}  // namespace

bool SerialLineIsRaw9600(const termios& t) {
    return cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600 && (t.c_cflag & CSIZE) == CS8 &&
           (t.c_cflag & (PARENB | CSTOPB | CRTSCTS)) == 0 &&
           (t.c_cflag & (CLOCAL | CREAD)) == (CLOCAL | CREAD) &&
           (t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK)) == 0 &&
           (t.c_oflag & OPOST) == 0 && (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
           t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0;
}

namespace {

void AskLowLatency(int fd) {
#ifdef __linux__
    // USB adapters otherwise hold a short reply back for up to 16 ms. Ports that do not know
    // the request (pseudo-terminals among them) work as they are.
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &ss);
    }
#else
    (void)fd;
#endif
}

// poll() that restarts after a signal with the time that is left; -1 waits for ever.
int PollRestarting(pollfd& p, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const int rc = poll(&p, 1, timeoutMs);
        if (rc >= 0 || errno != EINTR) {
            return rc;
        }
        if (timeoutMs > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

}  // namespace

std::uint32_t SerialLastSystemError() {
    return static_cast<std::uint32_t>(errno);
}

bool SerialSystemErrorText(std::uint32_t code, std::string& text) {
    if (NetResolverErrorText(code, text)) {
        return true;
    }
    if (code > static_cast<std::uint32_t>(INT32_MAX)) {
        return false;
    }
    const int err = static_cast<int>(code);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    // glibc makes up "Unknown error N" for codes it does not know; those have no name.
    if (err != 0 && strerrorname_np(err) == nullptr) {
        return false;
    }
#endif
    char buf[256];
    errno = 0;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* msg = strerror_r(err, buf, sizeof buf);
#else
    const char* msg = strerror_r(err, buf, sizeof buf) == 0 ? buf : nullptr;
#endif
    if (msg == nullptr || std::strncmp(msg, "Unknown error", 13) == 0) {
        return false;
    }
    text = msg;
    return true;
}

CSerialPort::CSerialPort() : m_hComm(kClosed) {}

CSerialPort::~CSerialPort() {
    Close();
}

void CSerialPort::Reopen() {
    Open(m_name);
}

void CSerialPort::Open(const std::string& name) {
    Close();
    m_name = name;
    if (name.empty()) {
        ThrowSerialException(ENOENT);
    }
    if (IsNetworkPortName(name)) {
        auto net = std::make_unique<CNetPort>();
        net->Open(name);
        m_pNet = std::move(net);
        return;
    }

    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ThrowSerialException();
    }
    // The open is exclusive: the advisory lock is the one that holds for every user (root
    // ignores TIOCEXCL); TIOCEXCL also keeps out programs that do not lock. Until both hold,
    // the port counts as not opened.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        const std::uint32_t err = SerialLastSystemError();
        ::close(fd);
        ThrowSerialException(err == EWOULDBLOCK ? EBUSY : err);
    }
    m_hComm = fd;

    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        ThrowSerialException();
    }
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0) {
        ThrowSerialException();
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        ThrowSerialException();
    }
    termios back{};
    if (tcgetattr(fd, &back) != 0) {
        ThrowSerialException();
    }
    if (!SerialLineIsRaw9600(back)) {
        ThrowSerialException(kSettingsRefused);
    }
    AskLowLatency(fd);
}

void CSerialPort::Close() noexcept {
    m_pNet.reset();
    if (m_hComm == kClosed) {
        return;
    }
    // The exclusive mark belongs to the terminal, not to this descriptor: without clearing it
    // a terminal that someone else still holds (a simulator's own end) could not be reopened.
    (void)ioctl(m_hComm, TIOCNXCL);
    ::close(m_hComm);
    m_hComm = kClosed;
}

bool CSerialPort::IsOpen() const {
    return m_hComm != kClosed || m_pNet != nullptr;
}

void CSerialPort::SetTimeouts(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                              std::uint32_t) {
    if (!IsOpen()) {
        ThrowSerialException(EBADF);
    }
}

void CSerialPort::Purge(std::uint32_t flags, TimePoint) {
    if (!IsOpen()) {
        ThrowSerialException(EBADF);
    }
    if (m_pNet) {
        return m_pNet->Purge(flags);
    }
    if ((flags & PURGE_TXCLEAR) != 0 && tcflush(m_hComm, TCOFLUSH) != 0) {
        ThrowSerialException();
    }
    if ((flags & PURGE_RXCLEAR) != 0 && tcflush(m_hComm, TCIFLUSH) != 0) {
        ThrowSerialException();
    }
}

std::size_t CSerialPort::Read(void* buffer, std::size_t count) {
    if (!IsOpen()) {
        ThrowSerialException(EBADF);
    }
    if (m_pNet) {
        return m_pNet->Read(buffer,
                            static_cast<std::uint32_t>(std::min<std::size_t>(count, UINT32_MAX)));
    }
    if (count == 0) {
        return 0;
    }
    ssize_t n;
    do {
        n = ::read(m_hComm, buffer, count);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        return static_cast<std::size_t>(n);
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        ThrowSerialException();
    }
    // Nothing arrived, or the line is gone: a hung-up terminal also reads as 0 bytes.
    pollfd p{m_hComm, POLLIN, 0};
    if (PollRestarting(p, 0) < 0) {
        ThrowSerialException();
    }
    if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        ThrowSerialException(kHangUpError);
    }
    return 0;
}

void CSerialPort::Write(const void* buffer, std::size_t count, TimePoint) {
    if (!IsOpen()) {
        ThrowSerialException(EBADF);
    }
    if (m_pNet) {
        m_pNet->Write(buffer, static_cast<std::uint32_t>(count));
        return;
    }
    const auto* p = static_cast<const unsigned char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(m_hComm, p + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ThrowSerialException();
        }
        // The driver's buffer is full: wait until it takes more, for as long as it takes.
        pollfd w{m_hComm, POLLOUT, 0};
        if (PollRestarting(w, -1) < 0) {
            ThrowSerialException();
        }
        if ((w.revents & POLLOUT) == 0 && (w.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            ThrowSerialException(kHangUpError);
        }
    }
}

bool CSerialPort::WaitReadable(TimePoint deadline) {
    if (!IsOpen()) {
        ThrowSerialException(EBADF);
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock().Now());
    const unsigned timeoutMs =
        left.count() > 0 ? static_cast<unsigned>(std::min<long long>(left.count(), INT32_MAX)) : 0;
    if (m_pNet) {
        return m_pNet->WaitReadable(timeoutMs);
    }
    pollfd p{m_hComm, POLLIN, 0};
    const int rc = PollRestarting(p, static_cast<int>(std::min<unsigned>(timeoutMs, INT32_MAX)));
    if (rc < 0) {
        ThrowSerialException();
    }
    return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool IsHangUpError(std::uint32_t dwError) {
    // A network port's connection that the other side closed or reset is a hang-up too.
    return dwError == kHangUpError || dwError == ECONNRESET || dwError == EPIPE ||
           dwError == ECONNABORTED;
}
