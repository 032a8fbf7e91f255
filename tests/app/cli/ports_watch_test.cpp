// quillon-cli ports --watch as a script reads it, line by line while it runs: ports come and go
// as links in the virtual ports folder (no adapter can be plugged in by a test; the guest of
// scripts/test-vm.sh plugs one).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>

#include "pty_pair.h"
#include "test_util.h"

namespace {

// Long enough for a loaded machine; only waited out when a line is missing.
constexpr int kPatienceMs = 10000;

class WatchProcess {
public:
    explicit WatchProcess(const fs::path& runtimeDir) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        const std::string env = "XDG_RUNTIME_DIR=" + runtimeDir.string();
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            putenv(const_cast<char*>(env.c_str()));
            execl(QUILLON_CLI_PATH, QUILLON_CLI_PATH, "ports", "--watch", nullptr);
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~WatchProcess() {
        if (m_pid > 0) {
            Stop(SIGKILL);
        }
        close(m_out);
        close(m_err);
    }

    // The next whole line of stdout (or stderr), without its end; empty when none came in time.
    std::string OutLine(int timeoutMs = kPatienceMs) { return Line(m_out, m_outBuffer, timeoutMs); }
    std::string ErrLine() { return Line(m_err, m_errBuffer, kPatienceMs); }

    // The exit code after the signal (128 + N when the signal killed it).
    int Stop(int signal) {
        kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    static std::string Line(int fd, std::string& buffer, int timeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (const std::size_t end = buffer.find('\n'); end != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{fd, POLLIN, 0};
            if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                return {};
            }
            char chunk[512];
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) {
                return {};
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outBuffer, m_errBuffer;
};

class PortsWatch : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_folder); }
    ScratchDir m_dir;
    fs::path m_folder = m_dir / "quillon" / "ports";
    CPtyPair m_pty;
};

// A port there at the start is not printed; one that comes is, and so is one that goes. A link
// to a device that is no terminal is no port either way. Each line comes while the watch runs
// (a script reads them from a pipe).
TEST_F(PortsWatch, PrintsArrivalsAndRemovalsUntilStopped) {
    fs::create_symlink(m_pty.SlavePath(), m_folder / "before");
    WatchProcess watch(m_dir.Path());
    ASSERT_NE(watch.ErrLine().find("virtual ports: " + m_folder.string()), std::string::npos);

    fs::create_symlink(m_pty.SlavePath(), m_folder / "inverter");
    EXPECT_EQ(watch.OutLine(), "+ inverter (virtual)\t" + (m_folder / "inverter").string());
    fs::create_symlink("/dev/null", m_folder / "null");
    fs::remove(m_folder / "inverter");
    EXPECT_EQ(watch.OutLine(), "- inverter (virtual)\t" + (m_folder / "inverter").string());
    EXPECT_EQ(watch.Stop(SIGTERM), 0);
    EXPECT_EQ(watch.OutLine(100), "");
}

TEST_F(PortsWatch, EndsWithExitZeroOnEachStopSignal) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        WatchProcess watch(m_dir.Path());
        ASSERT_NE(watch.ErrLine().find("Watching"), std::string::npos) << signal;
        EXPECT_EQ(watch.Stop(signal), 0) << signal;
    }
}

}  // namespace
