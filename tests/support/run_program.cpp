#include "run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

// An unnamed file that takes one stream; read back from its start.
int Capture() {
    const int fd = open(std::filesystem::temp_directory_path().c_str(), O_TMPFILE | O_RDWR, 0600);
    if (fd < 0) {
        throw std::runtime_error("no unnamed temporary file");
    }
    return fd;
}

std::string Collect(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options) {
    const int out = Capture();
    const int err = Capture();
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)) {
            _exit(127);
        }
        for (const std::string& assignment : options.env) {
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
    if (options.signal != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.signalAfterMs));
        kill(pid, options.signal);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProgramRun run;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = Collect(out);
    run.err = Collect(err);
    return run;
}
