// Peak memory of quillon-cli convert against the size of its input: a 360 KB file holding a
// 128 KiB image, and a 60 MB file of the same records repeated (near the 64 MiB limit). The
// peak is the child's maximum resident set (wait4, ru_maxrss) less that of the same program
// converting a file of one record, so what is left is the conversion's own memory. A child
// started from this process takes this process's peak as its own starting figure (the
// kernel counts the memory it shared until exec), so this process stays small: the files
// are made by a child of their own, and this process checks that its own peak stays below
// every figure it takes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "firmware_gen.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// Maximum resident set of one run, in KiB; exits the benchmark if the process fails.
long PeakKiB(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    return usage.ru_maxrss;  // KiB on Linux
}

// The median of a few runs: the figure barely moves, but one run may be disturbed.
long MedianPeakKiB(const std::vector<std::string>& args, int runs) {
    std::vector<long> peaks;
    for (int i = 0; i < runs; ++i) {
        peaks.push_back(PeakKiB(args));
    }
    std::sort(peaks.begin(), peaks.end());
    return peaks[peaks.size() / 2];
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The 128 KiB image as S-records, the same records repeated to 60 MB, a file of one record
// and the image they convert to.
bool MakeFiles(const fs::path& dir) {
    FirmwareRecipe recipe;  // Master, 0x20000 bytes in 8192 records of 16 bytes
    Firmware firmware;
    std::string error;
    if (!MakeFirmware(recipe, firmware, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    WriteFile(dir / "image.mot", firmware.mot);
    // The data records between the header and the end record, again and again.
    const std::size_t first = firmware.mot.find('\n') + 1;
    const std::size_t last = firmware.mot.rfind("S9");
    const std::string records = firmware.mot.substr(first, last - first);
    {
        std::ofstream big(dir / "repeated.mot", std::ios::binary);
        big << firmware.mot.substr(0, first);
        for (std::size_t size = first; size < 60'000'000; size += records.size()) {
            big << records;
        }
        big << firmware.mot.substr(last);
    }
    WriteFile(dir / "one.mot", "S1040000FFFC\n");
    WriteFile(dir / "expected.bin", std::string(firmware.image.begin(), firmware.image.end()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-bench-memory-" + std::to_string(getpid()));
    fs::create_directories(dir);

    // Made by a child, so that none of it counts in this process's peak.
    const pid_t maker = fork();
    if (maker == 0) {
        _exit(MakeFiles(dir) ? 0 : 1);
    }
    int status = 0;
    if (maker < 0 || waitpid(maker, &status, 0) != maker || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "cannot make the input files\n");
        return 1;
    }
    // Each run writes its own image, compared once every run is done.
    int run = 0;
    std::vector<fs::path> images;
    auto convert = [&](const char* in, bool traces) {
        images.push_back(dir / ("out" + std::to_string(run++) + ".bin"));
        std::vector<std::string> args = {QUILLON_CLI_PATH, "convert", (dir / in).string(),
                                         images.back().string()};
        if (traces) {
            args.insert(args.end(), {"--traces", (dir / "traces").string()});
        }
        return args;
    };
    const long empty = MedianPeakKiB(convert("one.mot", false), runs);
    images.pop_back();
    std::printf(
        "quillon-cli convert: peak resident set (ru_maxrss of the child) less that of the same\n"
        "program converting a one-record file (%ld KiB); median of %d runs\n",
        empty, runs);
    std::printf("  %-36s %9s %9s  %s\n", "input", "size KiB", "peak KiB", "peak/size");
    bool ok = true;
    for (const char* in : {"image.mot", "repeated.mot"}) {
        const double size = static_cast<double>(fs::file_size(dir / in)) / 1024;
        // Without --traces the trace files are written into the private folder and removed
        // with it, as in a flash run; with it they are moved out as well.
        for (bool traces : {false, true}) {
            const long peak = MedianPeakKiB(convert(in, traces), runs) - empty;
            const double ratio = static_cast<double>(peak) / size;
            const std::string name = std::string(in) + (traces ? " --traces" : " (as a flash run)");
            std::printf("  %-36s %9.0f %9ld  %.2f (goal <= 4)%s\n", name.c_str(), size, peak, ratio,
                        ratio <= 4 ? "" : " OVER");
            ok = ok && ratio <= 4;
        }
    }
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    if (self.ru_maxrss >= empty) {
        std::printf(
            "this benchmark's own peak (%ld KiB) is not below the empty run's: the "
            "figures above are too high\n",
            self.ru_maxrss);
        ok = false;
    }
    const std::string expected = ReadFile(dir / "expected.bin");
    bool same = true;
    for (const fs::path& image : images) {
        same = same && ReadFile(image) == expected;
    }
    std::printf("images as expected: %s\n", same ? "yes" : "NO");
    fs::remove_all(dir);
    return ok && same ? 0 : 1;
}
