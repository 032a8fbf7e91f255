// quillon-sim: the bootloader simulator's command line.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "bootloader_sim.h"
#include "common/build_info.h"
#include "net_channel.h"
#ifdef _WIN32
#include <windows.h>
// windows.h first: the multimedia timer header needs its types.
#include <mmsystem.h>
#else
#include "pty.h"
#endif

namespace {

// The simulators a signal stops; set before the handlers are installed.
std::vector<std::unique_ptr<CBootloaderSim>>* g_sims = nullptr;

void OnStopSignal(int) {
    if (g_sims != nullptr) {
        for (auto& sim : *g_sims) {
            sim->Stop();
        }
    }
}

// "PATH" for the only simulator; for the k-th of several, "-k" before the extension.
std::string Numbered(const std::string& path, unsigned k, unsigned count) {
    if (count == 1 || path.empty()) {
        return path;
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t at =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
    return path.substr(0, at) + "-" + std::to_string(k) + path.substr(at);
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions opt;
    std::string target = "master";
    std::string chipVersion;
    std::vector<std::string> faults;
    unsigned count = 1;
    std::string listen;
#ifdef _WIN32
    std::string port;
    CLI::App app{
        "quillon-sim: a flash bootloader on a COM port (one end of a virtual null-modem pair) "
        "or on TCP. Prints \"port: NAME\" or \"listen: URL\" on stdout, then serves runs and "
        "reports on stderr what a client sent wrong."};
    app.add_option("--port", port,
                   "the COM port to serve, one end of a virtual null-modem pair whose other end "
                   "the client opens (COM1 to COM4 are refused: the machine's own ports)");
#else
    std::string link;
    std::string name = "quillon-sim";
    CLI::App app{
        "quillon-sim: a flash bootloader on a pseudo-terminal. Prints \"pty: PATH\" and "
        "\"link: PATH\" on stdout, then serves runs and reports on stderr what a client sent "
        "wrong."};
    app.add_option("--link", link,
                   "symlink to the terminal (default: NAME in " + SimVirtualPortsDir() +
                       "/, the folder the port list shows); removed on exit");
    app.add_option("--name", name, "name of the link in the virtual ports folder")
        ->default_val(name);
    app.add_option("--count", count,
                   "serve N simulated inverters at once, each on its own terminal, linked as "
                   "NAME-1 ... NAME-N (or LINK-1 ...; --save-image gets -1 ... before its "
                   "extension); --once ends when each has served one run")
        ->check(CLI::Range(1, 64))
        ->default_val(count);
#endif
    app.set_version_flag("--version", QuillonVersionLine("quillon-sim"));
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
#ifndef _WIN32
    std::vector<std::string> unitFaults;
    app.add_option("--units", opt.units,
                   "serve K units one after another on the link, as a station sees them: once "
                   "a unit's client has closed the line, the link goes away for --unit-gap ms "
                   "and comes back on a new terminal as the next unit; ends after the K-th "
                   "(exit 0 when every unit's run was correct and complete)")
        ->check(CLI::Range(1u, 1000000u));
    app.add_option("--unit-gap", opt.unitGapMs, "ms a unit's link stays away before the next")
        ->check(CLI::Range(0u, 600000u))
        ->default_val(opt.unitGapMs);
    app.add_option("--unit-fault", unitFaults,
                   "a fault in one unit only, K:STEP[:N]=ACTION (2:select=silence: the second "
                   "unit stays silent); repeatable, with --units");
#endif
    app.add_option("--save-image", opt.saveImage,
                   "write the received image here when a run completes (replaced whole; a run "
                   "that does not complete leaves it as it was)");
    app.add_flag("--once", opt.once,
                 "serve one run, then exit: 0 if it was correct and complete, 1 otherwise "
                 "(the first client error or fatal fault ends the run)");
    app.add_option("--listen", listen,
                   "serve over TCP instead, as a serial device server would: "
                   "rfc2217:[HOST:]PORT (RFC 2217) or socket:[HOST:]PORT (raw); HOST "
                   "127.0.0.1 unless given, PORT 0 picks a free one; prints \"listen: URL\". "
                   "One simulator only");
    app.add_option("--idle-gap", opt.idleGapMs,
                   "ms of silence after which a partial message is judged")
        ->default_val(opt.idleGapMs);
    app.footer(std::string(kSimFaultHelp) +
               "\nWithout --once it serves runs until SIGINT or SIGTERM. A hang-up closes the "
               "line; a new one is made (a new \"pty:\" line, the link re-pointed) unless "
               "--once.\nExit status: 0 runs correct, 1 a run incorrect or incomplete (or, "
               "serving, a client error), 2 bad command line, 3 the line could not be made.\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : 2;
    }

#ifndef _WIN32
    for (const std::string& text : unitFaults) {
        SimFault f;
        std::string error;
        const std::size_t colon = text.find(':');
        unsigned long unit = 0;
        try {
            unit = colon == std::string::npos || colon == 0 ? 0 : std::stoul(text.substr(0, colon));
        } catch (const std::exception&) {
            unit = 0;
        }
        if (unit == 0 || text.find_first_not_of("0123456789") != colon || unit > 1000000 ||
            !ParseSimFault(text.substr(colon + 1), f, error)) {
            std::cerr << "quillon-sim: --unit-fault "
                      << (error.empty() ? "'" + text + "': expected K:STEP[:N]=ACTION, K from 1"
                                        : error)
                      << "\n";
            return 2;
        }
        f.unit = static_cast<int>(unit);
        opt.faults.push_back(f);
    }
    if (opt.units > 0 && (opt.once || !listen.empty())) {
        std::cerr << "quillon-sim: --units serves pseudo-terminals until the last unit; leave out "
                     "--once and --listen\n";
        return 2;
    }
    if (!unitFaults.empty() && opt.units == 0) {
        std::cerr << "quillon-sim: --unit-fault needs --units\n";
        return 2;
    }
#endif
    opt.slave = target == "slave";
    opt.keepRuns = false;  // serving for days must not grow
    bool rfc2217 = false;
    std::string listenHost;
    std::uint16_t listenPort = 0;
    if (!listen.empty()) {
        std::string error;
        if (!ParseSimListen(listen, rfc2217, listenHost, listenPort, error)) {
            std::cerr << "quillon-sim: --listen " << error << "\n";
            return 2;
        }
        if (count != 1) {
            std::cerr << "quillon-sim: --listen serves one simulator; leave out --count\n";
            return 2;
        }
    }
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
#ifdef _WIN32
    if (port.empty() == listen.empty()) {
        std::cerr << "quillon-sim: give either --port COMn or --listen\n";
        return 2;
    }
    timeBeginPeriod(1);  // waits to the millisecond: the wire time is counted in them
#else
    if (!link.empty() && !listen.empty()) {
        std::cerr << "quillon-sim: --listen serves over TCP; leave out --link\n";
        return 2;
    }
    if (link.empty() && listen.empty()) {
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
            std::cerr << "quillon-sim: --name must be a plain file name\n";
            return 2;
        }
        const std::string dir = SimVirtualPortsDir();
        std::string error;
        if (!SimMakePrivateDir(dir, error)) {
            std::cerr << "quillon-sim: " << error << "\n";
            return 3;
        }
        link = dir + "/" + name;
    }
#endif

    std::vector<std::unique_ptr<CBootloaderSim>> sims;
    std::mutex outputMutex;  // several simulators report from their own threads
    try {
        for (unsigned k = 1; k <= count; ++k) {
            SimOptions o = opt;
            o.saveImage = Numbered(opt.saveImage, k, count);
            std::unique_ptr<CSimChannel> channel;
            if (!listen.empty()) {
                channel = MakeNetChannel(rfc2217, listenHost, listenPort);
            } else {
#ifdef _WIN32
                channel = MakeComChannel(port);
#else
                o.linkPath = Numbered(link, k, count);
#endif
            }
            auto sim = std::make_unique<CBootloaderSim>(o, std::move(channel));
            const std::string who =
                count == 1 ? "quillon-sim: " : "quillon-sim " + std::to_string(k) + ": ";
            sim->onReport = [who, &outputMutex](CBootloaderSim::ReportKind,
                                                const std::string& text) {
                std::lock_guard<std::mutex> lock(outputMutex);
                std::cerr << who << text << std::endl;
            };
            const std::string linkPath = o.linkPath;
            if (!linkPath.empty()) {  // a pseudo-terminal: a hang-up makes a new one
                sim->onNewLine = [count, linkPath, &outputMutex](const std::string& path) {
                    std::lock_guard<std::mutex> lock(outputMutex);
                    std::cout << "pty: " << path << std::endl;
                    if (count > 1) {
                        std::cout << "link: " << linkPath << std::endl;  // which one it was
                    }
                };
            }
            sims.push_back(std::move(sim));
        }
        // Handlers first: a signal that comes as soon as the path is printed still cleans up.
        g_sims = &sims;
        for (const int sig : {SIGINT, SIGTERM}) {
            std::signal(sig, OnStopSignal);
        }
#ifndef _WIN32
        std::signal(SIGHUP, OnStopSignal);
        std::signal(SIGPIPE, SIG_IGN);
#endif
        for (unsigned k = 1; k <= count; ++k) {
            CBootloaderSim& sim = *sims[k - 1];
            sim.Open();
            std::lock_guard<std::mutex> lock(outputMutex);
            if (!listen.empty()) {
                std::cout << "listen: " << sim.Port() << std::endl;
            } else {
#ifdef _WIN32
                std::cout << "port: " << sim.Port() << std::endl;
#else
                std::cout << "pty: " << sim.Port() << "\nlink: " << Numbered(link, k, count)
                          << std::endl;
#endif
            }
        }
    } catch (const std::system_error& e) {
        g_sims = nullptr;
        std::cerr << "quillon-sim: " << e.what() << "\n";
        return 3;
    }

    std::vector<int> results(sims.size(), 1);
    auto serve = [&](std::size_t i) {
        try {
            results[i] = sims[i]->Serve();
        } catch (const std::system_error& e) {
            std::lock_guard<std::mutex> lock(outputMutex);
            std::cerr << "quillon-sim: " << e.what() << std::endl;
            results[i] = 3;
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t i = 1; i < sims.size(); ++i) {
        threads.emplace_back(serve, i);
    }
    serve(0);
    for (std::thread& t : threads) {
        t.join();
    }
    g_sims = nullptr;
    return *std::max_element(results.begin(), results.end());
}
