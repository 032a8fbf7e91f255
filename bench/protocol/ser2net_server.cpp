#include "ser2net_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;
namespace fs = std::filesystem;

namespace {

bool Accepts(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

}  // namespace

int CSer2net::FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        throw std::runtime_error("no free TCP port on 127.0.0.1");
    }
    close(s);
    return ntohs(a.sin_port);
}

CSer2net::CSer2net(const std::string& device, bool rfc2217, const std::string& line,
                   const std::string& options)
    : m_rfc2217(rfc2217) {
    char pattern[] = "/tmp/quillon-ser2net-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("no folder for the ser2net configuration");
    }
    m_dir = pattern;
    m_port = FreePort();
    const int admin = FreePort();
    // The admin accepter comes up after the connection's: once it answers, so does the port.
    std::ofstream(m_dir / "ser2net.yaml")
        << "%YAML 1.1\n---\nconnection: &quillon\n  accepter: "
        << (rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << m_port
        << "\n  connector: serialdev," << device << "," << line
        << ",local\n  options:\n    kickolduser: false\n"
        << options << "admin:\n  accepter: tcp,127.0.0.1," << admin << "\n";
    const std::string config = (m_dir / "ser2net.yaml").string();
    const std::string log = (m_dir / "ser2net.log").string();
    // -n: stay in the foreground; -u: no UUCP lock files in the machine's lock folder.
    const char* args[] = {"ser2net", "-n", "-u", "-c", config.c_str(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    const int rc =
        posix_spawnp(&m_pid, "ser2net", &files, nullptr, const_cast<char**>(args), environ);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
        m_pid = -1;
        fs::remove_all(m_dir);
        throw std::runtime_error("ser2net cannot be started (scripts/setup.sh --test installs it)");
    }
    for (int i = 0; i < 500 && !Accepts(admin); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!Accepts(admin)) {
        Kill();
        fs::remove_all(m_dir);
        throw std::runtime_error("ser2net did not come up on 127.0.0.1");
    }
}

CSer2net::~CSer2net() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

std::string CSer2net::Url() const {
    return (m_rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(m_port);
}

void CSer2net::Kill() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
}
