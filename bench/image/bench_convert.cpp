// Times whole processes: quillon-cli convert (with trace files) on a 128 KiB, 8192-record
// file in ascending and in fully descending order, and srec_cat on the same files. Runs are
// interleaved so that load on the machine hits every contestant alike.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// Wall time of one process run, in milliseconds; exits the benchmark if the process fails.
double TimeRun(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const auto stop = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    return std::chrono::duration<double, std::milli>(stop - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    const fs::path dir = fs::temp_directory_path() / ("quillon-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);

    FirmwareRecipe recipe;  // Master, 0x20000 bytes, 16-byte records: S1 below 0x10000, S2 above
    Firmware firmware;
    std::string error;
    recipe.order = FwOrder::Ascending;
    if (!MakeFirmware(recipe, firmware, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    WriteFile(dir / "asc.mot", firmware.mot);
    const std::vector<std::uint8_t> expected = firmware.image;
    recipe.order = FwOrder::Descending;
    MakeFirmware(recipe, firmware, error);
    WriteFile(dir / "desc.mot", firmware.mot);

    auto ours = [&](const char* in) {
        return std::vector<std::string>{QUILLON_CLI_PATH,    "convert",
                                        (dir / in).string(), (dir / "out.bin").string(),
                                        "--traces",          (dir / "traces").string()};
    };
    auto srec = [&](const char* in) {
        const std::string path = (dir / in).string();
        return std::vector<std::string>{
            QUILLON_SREC_CAT_PATH,       path,     "-fill",     "0xFF", "0",
            "-maximum-address",          path,     "-round-up", "64",   "-o",
            (dir / "srec.bin").string(), "-binary"};
    };

    std::vector<double> oursAsc, oursDesc, srecAsc, srecDesc;
    TimeRun(ours("asc.mot"));  // warm the page cache and the loader
    TimeRun(srec("asc.mot"));
    for (int i = 0; i < runs; ++i) {
        oursAsc.push_back(TimeRun(ours("asc.mot")));
        srecAsc.push_back(TimeRun(srec("asc.mot")));
        oursDesc.push_back(TimeRun(ours("desc.mot")));
        srecDesc.push_back(TimeRun(srec("desc.mot")));
    }
    // The figures count only if both tools produced the same image.
    std::ifstream a(dir / "out.bin", std::ios::binary), b(dir / "srec.bin", std::ios::binary);
    const std::string outBytes{std::istreambuf_iterator<char>(a), {}};
    const std::string srecBytes{std::istreambuf_iterator<char>(b), {}};
    const bool same =
        outBytes == srecBytes && outBytes == std::string(expected.begin(), expected.end());
    fs::remove_all(dir);

    const double ma = Median(oursAsc), md = Median(oursDesc);
    const double sa = Median(srecAsc), sd = Median(srecDesc);
    std::printf("128 KiB, 8192 records of 16 bytes, %d runs each, median wall time per process\n",
                runs);
    std::printf("  quillon-cli convert --traces, ascending : %7.2f ms\n", ma);
    std::printf("  quillon-cli convert --traces, descending: %7.2f ms\n", md);
    std::printf("  srec_cat, ascending                     : %7.2f ms\n", sa);
    std::printf("  srec_cat, descending                    : %7.2f ms\n", sd);
    std::printf("ratio ours/srec_cat ascending  : %.2f (goal <= 0.5)\n", ma / sa);
    std::printf("ratio ours/srec_cat descending : %.2f (goal <= 0.5)\n", md / sd);
    std::printf("ratio descending/ascending     : %.2f (goal <= 1.5)\n", md / ma);
    std::printf("images identical: %s\n", same ? "yes" : "NO");
    return same ? 0 : 1;
}
