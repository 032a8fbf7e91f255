// A station of 4 slots at an emulated 9600 baud, 5 units per slot with a 32 KiB image each:
// quillon-sim --count 4 --units 5 brings each slot's next unit half a second after the last
// left. Prints the time per unit beyond its image's wire time (arrival to ending, the
// handshake's pauses and the arrival's detection included; the half second between units is
// the operator's, left out) and the units per hour against the wire limit of the slots used.
// Goals: at most 1.5 s beyond the wire time, at least 0.95 of the wire limit.
// Usage: station_bench [slots, default 4] [units per slot, default 5] [image bytes, 32768]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware_gen.h"

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kBaud = 9600;
constexpr unsigned kGapMs = 500;

pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

std::string Read(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned slots = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0)) : 4;
    const unsigned units = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)) : 5;
    const std::uint32_t size =
        argc > 3 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0)) : 0x8000;
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-station-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    setenv("XDG_DATA_HOME", dir.c_str(), 1);  // the records stay with the bench's files
    FirmwareRecipe recipe;
    recipe.size = size;
    Firmware fw;
    std::string error;
    if (slots < 1 || units < 1 || !MakeFirmware(recipe, fw, error)) {
        std::fprintf(stderr, "%s\n",
                     error.empty() ? "at least one slot and one unit" : error.c_str());
        return 2;
    }
    const fs::path file = dir / "Master_bench.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(fw.image.data()), fw.image.size());

    const fs::path link = dir / "slot";
    const pid_t sims = Spawn({QUILLON_SIM_PATH, "--count", std::to_string(slots), "--baud",
                              std::to_string(kBaud), "--units", std::to_string(units), "--unit-gap",
                              std::to_string(kGapMs), "--link", link.string()},
                             dir / "sim.out", dir / "sim.err");
    std::vector<std::string> args = {QUILLON_CLI_PATH, "station"};
    std::vector<std::string> links;
    for (unsigned k = 1; k <= slots; ++k) {
        links.push_back(slots == 1 ? link.string() : link.string() + "-" + std::to_string(k));
        args.insert(args.end(), {"--port", links.back()});
    }
    args.push_back(file.string());
    for (int i = 0; i < 500; ++i) {
        bool all = true;
        for (const std::string& l : links)
            all = all && fs::exists(l);
        if (all)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // From the station's start, with every first unit there, to the last unit served.
    const auto start = Clock::now();
    const pid_t station = Spawn(args, dir / "station.out", dir / "station.err");
    int simStatus = 0;
    waitpid(sims, &simStatus, 0);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(station, SIGINT);
    int stationStatus = 0;
    waitpid(station, &stationStatus, 0);
    const std::string out = Read(dir / "station.out");
    const std::string simErr = Read(dir / "sim.err");
    fs::remove_all(dir);

    const unsigned total = slots * units;
    const std::size_t passed = Count(out, "  success  ");
    if (!WIFEXITED(stationStatus) || WEXITSTATUS(stationStatus) != 0 || passed != total ||
        !WIFEXITED(simStatus) || WEXITSTATUS(simStatus) != 0) {
        std::fprintf(stderr, "the station did not pass every unit (%zu of %u):\n%s%s\n", passed,
                     total, out.c_str(), simErr.c_str());
        return 1;
    }
    // One unit's bytes on the wire, both ways: the image alone, and as the run frames it (each
    // 64-byte block goes out behind its 0x11 and is answered by one byte; the handshake's 64
    // bytes and the end's three around them).
    const double image = size * 10.0 / kBaud;
    const double wire = ((size + 63) / 64 * 66.0 + 67) * 10.0 / kBaud;
    const double perUnit = (wall - (units - 1) * kGapMs / 1000.0) / units;
    const double beyond = perUnit - wire;
    const double perHour = total * 3600.0 / (wall - (units - 1) * kGapMs / 1000.0);
    const double limit = slots * 3600.0 / wire;
    std::printf(
        "station: %u slots x %u units, %u-byte image, emulated %u baud, %u ms between "
        "units\n",
        slots, units, size, kBaud, kGapMs);
    std::printf(
        "wall time %.3f s; per unit %.3f s, of which on the wire %.3f s (the image "
        "alone %.3f s)\n",
        wall, perUnit, wire, image);
    std::printf(
        "per unit beyond the wire time (arrival to ending): %.3f s (goal <= 1.5); "
        "beyond the image alone %.3f s\n",
        beyond, perUnit - image);
    std::printf(
        "units per hour %.1f against the wire limit %.1f: ratio %.4f (goal >= 0.95); "
        "against the image alone %.4f\n",
        perHour, limit, perHour / limit, perHour / (slots * 3600.0 / image));
    return 0;
}
