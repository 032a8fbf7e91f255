// quillon-sim: the bootloader simulator's command line.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <system_error>

#include "bootloader_sim.h"
#include "common/build_info.h"

namespace {

CBootloaderSim* g_sim = nullptr;

void OnStopSignal(int) {
    if (g_sim != nullptr) {
        g_sim->Stop();
    }
}

// mkdir -p for the virtual ports folder, private to the user. A folder in /tmp that someone
// else made (or a link planted there) is refused rather than used.
bool MakePrivateDir(const std::string& path, std::string& error) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + partial + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        error = path + " is not a folder of this user";
        return false;
    }
    return true;
}

std::string VirtualPortsDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg == '/') {
        return std::string(xdg) + "/quillon/ports";
    }
    return "/tmp/quillon-" + std::to_string(getuid()) + "/ports";
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions opt;
    std::string link;
    std::string name = "quillon-sim";
    std::string target = "master";
    std::string chipVersion;
    std::vector<std::string> faults;

    CLI::App app{
        "quillon-sim: a flash bootloader on a pseudo-terminal. Prints \"pty: PATH\" and "
        "\"link: PATH\" on stdout, then serves runs and reports on stderr what a client sent "
        "wrong."};
    app.set_version_flag("--version", QuillonVersionLine("quillon-sim"));
    app.add_option("--link", link,
                   "symlink to the terminal (default: NAME in " + VirtualPortsDir() +
                       "/, the folder the port list shows); removed on exit");
    app.add_option("--name", name, "name of the link in the virtual ports folder")
        ->default_val(name);
    app.add_option("--target", target, "the target this bootloader is")
        ->check(CLI::IsMember({"master", "slave"}))
        ->default_val(target);
    app.add_option("--chip-version", chipVersion,
                   "answer the first 'A' with this version byte (0-255, or 0xHH) instead of "
                   "\"ALL FLASH\"");
    app.add_option("--baud", opt.baud,
                   "emulate the wire: each byte takes 10/BAUD s each way; 0 = instant")
        ->default_val(0);
    app.add_option("--fault", faults, "inject a fault, STEP[:N]=ACTION (below); repeatable");
    app.add_option("--save-image", opt.saveImage,
                   "write the received image here when a run completes (replaced whole; a run "
                   "that does not complete leaves it as it was)");
    app.add_flag("--once", opt.once,
                 "serve one run, then exit: 0 if it was correct and complete, 1 otherwise "
                 "(the first client error or fatal fault ends the run)");
    app.add_option("--idle-gap", opt.idleGapMs,
                   "ms of silence after which a partial message is judged")
        ->default_val(opt.idleGapMs);
    app.footer(std::string(kSimFaultHelp) +
               "\nWithout --once it serves runs until SIGINT or SIGTERM. A hang-up closes the "
               "terminal; a new one is made (new \"pty:\" line, link re-pointed) unless --once.\n"
               "Exit status: 0 runs correct, 1 a run incorrect or incomplete (or, serving, a "
               "client error), 2 bad command line, 3 the terminal or link could not be made.\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

    opt.slave = target == "slave";
    opt.keepRuns = false;  // serving for days must not grow
    if (!chipVersion.empty()) {
        char* end = nullptr;
        errno = 0;
        const unsigned long v = std::strtoul(chipVersion.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || v > 0xFF || chipVersion[0] == '-') {
            std::cerr << "quillon-sim: --chip-version takes 0 to 255 (or 0x00 to 0xFF)\n";
            return 2;
        }
        opt.chipVersion = static_cast<std::uint8_t>(v);
    }
    for (const std::string& text : faults) {
        SimFault f;
        std::string error;
        if (!ParseSimFault(text, f, error)) {
            std::cerr << "quillon-sim: --fault " << error << "\n";
            return 2;
        }
        opt.faults.push_back(f);
    }
    if (link.empty()) {
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
            std::cerr << "quillon-sim: --name must be a plain file name\n";
            return 2;
        }
        const std::string dir = VirtualPortsDir();
        std::string error;
        if (!MakePrivateDir(dir, error)) {
            std::cerr << "quillon-sim: " << error << "\n";
            return 3;
        }
        link = dir + "/" + name;
    }
    opt.linkPath = link;

    try {
        CBootloaderSim sim(opt);
        sim.onReport = [](CBootloaderSim::ReportKind, const std::string& text) {
            std::cerr << "quillon-sim: " << text << std::endl;
        };
        sim.onNewTerminal = [](const std::string& path) {
            std::cout << "pty: " << path << std::endl;
        };
        // Handlers first: a signal that comes as soon as the path is printed still cleans up.
        g_sim = &sim;
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGHUP, &sa, nullptr);
        signal(SIGPIPE, SIG_IGN);

        sim.Open();
        std::cout << "pty: " << sim.SlavePath() << "\nlink: " << link << std::endl;

        const int rc = sim.Serve();
        g_sim = nullptr;
        return rc;
    } catch (const std::system_error& e) {
        std::cerr << "quillon-sim: " << e.what() << "\n";
        return 3;
    }
}
