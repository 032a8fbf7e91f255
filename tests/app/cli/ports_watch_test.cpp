// quillon-cli ports --watch as a script reads it, line by line from a pipe while it runs: ports
// come and go as links in the virtual ports folder (the guest of scripts/test-vm.sh plugs a
// real adapter).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "pty_pair.h"
#include "run_program.h"
#include "test_util.h"

namespace {

// Both streams through one pipe: the notice that it watches, then the changes.
class Watch {
public:
    explicit Watch(const fs::path& runtimeDir) : m_env("XDG_RUNTIME_DIR=" + runtimeDir.string()) {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        if ((m_pid = fork()) == 0) {
            dup2(out[1], 1);
            dup2(out[1], 2);
            putenv(m_env.data());
            execl(QUILLON_CLI_PATH, QUILLON_CLI_PATH, "ports", "--watch", nullptr);
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
    }
    ~Watch() { close(m_out); }

    // The next line, without its end; empty when none came within timeoutMs.
    std::string Line(int timeoutMs = 10000) {
        for (std::size_t end; (end = m_buffer.find('\n')) == std::string::npos;) {
            pollfd entry{m_out, POLLIN, 0};
            char chunk[512];
            const ssize_t n = poll(&entry, 1, timeoutMs) > 0 ? read(m_out, chunk, sizeof chunk) : 0;
            if (n <= 0) {
                return {};
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
        std::string line = m_buffer.substr(0, m_buffer.find('\n'));
        m_buffer.erase(0, line.size() + 1);
        return line;
    }

    int Stop(int signal) {
        kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    std::string m_env;
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

// A port there at the start is not printed; one that comes is, and so is one that goes; a link
// to a device that is no terminal is no port. Each stop signal ends it with exit 0.
TEST(PortsWatch, PrintsArrivalsAndRemovalsUntilStopped) {
    ScratchDir dir;
    const fs::path folder = dir / "quillon" / "ports";
    fs::create_directories(folder);
    CPtyPair pty;
    fs::create_symlink(pty.SlavePath(), folder / "before");
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        Watch watch(dir.Path());
        ASSERT_NE(watch.Line().find("virtual ports: " + folder.string()), std::string::npos);
        if (signal == SIGTERM) {
            fs::create_symlink(pty.SlavePath(), folder / "inverter");
            EXPECT_EQ(watch.Line(), "+ inverter (virtual)\t" + (folder / "inverter").string());
            // A name that would drive the terminal or forge a line arrives escaped.
            fs::create_symlink(pty.SlavePath(), folder / "a\x1b]0;x\a\nb");
            const std::string shown = "a\\x1b]0;x\\x07\\nb";
            EXPECT_EQ(watch.Line(), "+ " + shown + " (virtual)\t" + folder.string() + "/" + shown);
            fs::remove(folder / "a\x1b]0;x\a\nb");
            EXPECT_EQ(watch.Line(), "- " + shown + " (virtual)\t" + folder.string() + "/" + shown);
            fs::create_symlink("/dev/null", folder / "null");
            fs::remove(folder / "inverter");
            EXPECT_EQ(watch.Line(), "- inverter (virtual)\t" + (folder / "inverter").string());
        }
        EXPECT_EQ(watch.Stop(signal), 0) << signal;
        EXPECT_EQ(watch.Line(100), "") << signal;
    }
}

// The network ports the window saved follow the local ones, as Qt wrote them: quoted items,
// escapes, a doubled "@"; a malformed or repeated URL is left out, as the window leaves it out.
TEST(Ports, ListsTheSavedNetworkPorts) {
    ScratchDir dir;
    const fs::path conf = dir / "config" / "Local AppWizard-Generated Applications";
    fs::create_directories(conf);
    fs::create_directories(dir / "runtime");
    const std::string env[] = {"XDG_CONFIG_HOME=" + (dir / "config").string(),
                               "XDG_RUNTIME_DIR=" + (dir / "runtime").string()};
    struct Case {
        std::string value;
        std::vector<std::string> urls;
    };
    const Case cases[] = {
        {"socket://127.0.0.1:4001, \"rfc2217://[::1]:7,x\", rfc2217://host, "
         "socket://127.0.0.1:4001",
         {"socket://127.0.0.1:4001"}},
        {"rfc2217://127.0.0.1:2217, \"socket://localhost:9\"",
         {"rfc2217://127.0.0.1:2217", "socket://localhost:9"}},
        {"@Invalid()", {}},
        {"@@socket://127.0.0.1:1", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        WriteFile(conf / "quillon.conf",
                  "[General]\nNetworkPorts=socket://127.0.0.1:5\n[Config]\n"
                  "NetworkPorts=" +
                      c.value + "\n");
        const ProgramRun run = RunCli({"ports"}, {.env = {env[0], env[1]}, .cwd = {}});
        EXPECT_EQ(run.exit, 0) << run.err;
        std::string expected;
        for (const std::string& url : c.urls)
            expected += url + " (saved network port)\t" + url + "\n";
        // The local ports are this machine's; the saved ones come last.
        const std::size_t first = run.out.find(" (saved network port)");
        const std::size_t from =
            first == std::string::npos ? run.out.size() : run.out.rfind('\n', first) + 1;
        EXPECT_EQ(run.out.substr(from), expected);
    }
}

}  // namespace
