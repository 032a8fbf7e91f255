#include "pty_pair.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

void CPtyPair::Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(Master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{Master(), POLLOUT, 0};
            poll(&p, 1, 100);
        } else {
            throw std::system_error(errno, std::generic_category(), "write pty master");
        }
    }
}

std::vector<std::uint8_t> CPtyPair::Collect(std::size_t count, int quietMs, int maxMs) {
    using Clock = std::chrono::steady_clock;
    std::vector<std::uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
    auto quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
    while (out.size() < count) {
        std::uint8_t buf[4096];
        const ssize_t n = read(Master(), buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) {
            out.insert(out.end(), buf, buf + n);
            quietUntil = Clock::now() + std::chrono::milliseconds(quietMs);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::min(deadline, quietUntil) - Clock::now())
                              .count();
        if (left <= 0) {
            break;
        }
        pollfd p{Master(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & POLLIN) == 0) {
            poll(nullptr, 0, 5);  // the port under test is closed for now
        }
    }
    return out;
}
