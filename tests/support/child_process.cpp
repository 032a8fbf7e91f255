#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

CChild::CChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               const std::string& cwd) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    m_pid = fork();
    if (m_pid == 0) {
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 ||
            (!cwd.empty() && chdir(cwd.c_str()) != 0)) {
            _exit(127);
        }
        for (const std::string& assignment : env) {
            putenv(const_cast<char*>(assignment.c_str()));
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    m_in = in[1];
    m_fd[0] = out[0];
    m_fd[1] = err[0];
}

CChild::~CChild() {
    if (m_exit < 0 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    CloseInput();
    for (int& fd : m_fd) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void CChild::Write(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(m_in, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void CChild::CloseInput() {
    if (m_in >= 0) {
        close(m_in);
        m_in = -1;
    }
}

void CChild::Signal(int signal) {
    kill(m_pid, signal);
}

bool CChild::Pump(int timeoutMs) {
    pollfd fds[2];
    int n = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
        if (m_fd[i] >= 0) {
            fds[n] = {m_fd[i], POLLIN, 0};
            which[n++] = i;
        }
    }
    if (n == 0) {
        return false;
    }
    if (poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0) {
        return true;
    }
    for (int k = 0; k < n; ++k) {
        if (fds[k].revents == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
        if (got > 0) {
            m_text[which[k]].append(buffer, static_cast<std::size_t>(got));
        } else {
            close(m_fd[which[k]]);
            m_fd[which[k]] = -1;
        }
    }
    return true;
}

bool CChild::AwaitLine(int stream, const std::string& text, std::chrono::milliseconds timeout) {
    const int i = stream == 2 ? 1 : 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t end; (end = m_text[i].find('\n', m_seen[i])) != std::string::npos;) {
            const bool found =
                m_text[i].substr(m_seen[i], end - m_seen[i]).find(text) != std::string::npos;
            m_seen[i] = end + 1;
            if (found) {
                return true;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Pump(static_cast<int>(left.count()))) {
            return false;
        }
    }
}

int CChild::Wait(std::chrono::milliseconds timeout) {
    if (m_exit >= 0) {
        return m_exit;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Pump(100)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(m_pid, SIGKILL);
        }
    }
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_exit;
}
