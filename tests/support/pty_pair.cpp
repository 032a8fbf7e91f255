#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

namespace {

[[noreturn]] void Fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CPtyPair::CPtyPair() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        Fail("posix_openpt");
    }
    char name[256];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        Fail("pseudo-terminal");
    }
    m_slavePath = name;
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_keep = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keep < 0) {
        Fail("open pty slave");
    }
    termios t{};
    if (tcgetattr(m_keep, &t) != 0) {
        Fail("tcgetattr");
    }
    cfmakeraw(&t);
    tcsetattr(m_keep, TCSANOW, &t);
}

CPtyPair::~CPtyPair() {
    HangUp();
}

void CPtyPair::HangUp() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
    if (m_keep >= 0) {
        close(m_keep);
        m_keep = -1;
    }
}

void CPtyPair::Write(const std::string& bytes) {
    Write(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

void CPtyPair::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            Fail("write pty master");
        }
    }
}

std::vector<std::uint8_t> CPtyPair::Read(std::size_t count, int timeoutMs) {
    std::vector<std::uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        std::uint8_t buf[4096];
        const std::size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = read(m_master, buf, want);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            continue;
        }
        const int left = MsLeft(deadline);
        if (left == 0) {
            break;
        }
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) {
            break;
        }
        if ((p.revents & POLLIN) == 0) {
            poll(nullptr, 0, std::min(left, 5));  // the port under test is closed for now
        }
    }
    return out;
}

std::vector<std::uint8_t> CPtyPair::ReadUntilQuiet(int quietMs, int maxMs) {
    std::vector<std::uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
    auto quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    while (Clock::now() < deadline && Clock::now() < quietUntil) {
        std::uint8_t buf[4096];
        const ssize_t n = read(m_master, buf, sizeof buf);
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
            continue;
        }
        pollfd p{m_master, POLLIN, 0};
        const int rc = poll(&p, 1, std::min(MsLeft(quietUntil), MsLeft(deadline)));
        if (rc > 0 && (p.revents & POLLIN) == 0) {
            poll(nullptr, 0, 5);
        }
    }
    return out;
}

void CPtyPair::Drain() {
    std::uint8_t buf[4096];
    while (read(m_master, buf, sizeof buf) > 0) {
    }
}
