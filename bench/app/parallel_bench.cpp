// Flashes N simulated inverters (default 8) at an emulated 9600 baud with one quillon-cli
// command, a 32 KiB image each, and compares its wall time with one inverter flashed alone by
// the same command. Goal: at most 1.05. Also prints the CPU time the command used.
// Usage: parallel_bench [inverters, default 8] [image bytes, default 32768]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware_gen.h"

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

pid_t Spawn(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

struct Timed {
    int exit = -1;
    double wall = 0;
    double cpu = 0;  // user + system
};

// One quillon-cli flash over these ports, timed from start to exit.
Timed Flash(const std::vector<std::string>& ports, const fs::path& file, const fs::path& log) {
    std::vector<std::string> args = {QUILLON_CLI_PATH, "flash"};
    for (const std::string& p : ports) {
        args.insert(args.end(), {"--port", p});
    }
    args.push_back(file.string());
    Timed t;
    const auto start = Clock::now();
    const pid_t pid = Spawn(args, log);
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return t;
    }
    t.wall = std::chrono::duration<double>(Clock::now() - start).count();
    t.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    t.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return t;
}

// quillon-sim --count n --baud 9600 --once, its links under dir; their names, in order.
pid_t StartSims(unsigned n, const fs::path& dir, const std::string& name,
                std::vector<std::string>& links) {
    const fs::path link = dir / name;
    const pid_t pid = Spawn({QUILLON_SIM_PATH, "--count", std::to_string(n), "--baud", "9600",
                             "--once", "--link", link.string()},
                            dir / (name + ".log"));
    links.clear();
    for (unsigned k = 1; k <= n; ++k) {
        links.push_back(n == 1 ? link.string() : link.string() + "-" + std::to_string(k));
    }
    for (int i = 0; i < 300; ++i) {
        bool all = true;
        for (const std::string& l : links) {
            all = all && fs::exists(l);
        }
        if (all) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned n = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0)) : 8;
    const std::uint32_t size =
        argc > 2 ? static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0)) : 0x8000;
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-parallel-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // The runs' history records go with the rest of the bench's files, never to the user's.
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    FirmwareRecipe recipe;
    recipe.size = size;
    Firmware fw;
    std::string error;
    if (n < 1 || !MakeFirmware(recipe, fw, error)) {
        std::fprintf(stderr, "%s\n", n < 1 ? "at least one inverter" : error.c_str());
        return 2;
    }
    const fs::path file = dir / "Master_bench.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(fw.image.data()), fw.image.size());

    std::vector<std::string> links;
    pid_t sims = StartSims(1, dir, "alone", links);
    const Timed one = Flash(links, file, dir / "alone-cli.log");
    waitpid(sims, nullptr, 0);
    sims = StartSims(n, dir, "inverter", links);
    const Timed all = Flash(links, file, dir / "all-cli.log");
    int simStatus = 0;
    waitpid(sims, &simStatus, 0);
    fs::remove_all(dir);
    if (one.exit != 0 || all.exit != 0) {
        std::fprintf(stderr, "a run failed: alone exit %d, %u at once exit %d\n", one.exit, n,
                     all.exit);
        return 1;
    }
    std::printf("image: %u bytes per inverter, emulated 9600 baud\n", size);
    std::printf("one inverter alone: %.3f s wall\n", one.wall);
    std::printf("%u inverters in one command: %.3f s wall, %.3f s CPU (user + system)\n", n,
                all.wall, all.cpu);
    std::printf("ratio %u at once / one alone: %.5f (goal <= 1.05)\n", n, all.wall / one.wall);
    std::printf("simulators' verdict: %s\n", WIFEXITED(simStatus) && WEXITSTATUS(simStatus) == 0
                                                 ? "every run correct"
                                                 : "a run was incorrect");
    return 0;
}
