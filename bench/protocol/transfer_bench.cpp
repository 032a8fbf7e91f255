// Runs one Master flash of a 128 KiB image through quillon-sim emulating a 9600-baud wire and
// compares the time from the first data block to the final ACK with the wire time of those
// bytes. Goal: at most 1.005 on the simulator's terminal; through ser2net on 127.0.0.1 at most
// 1.01. Usage: transfer_bench [image bytes, default 131072] [rfc2217|socket [OPTION...]]
// where OPTION is a line of ser2net's connection options, e.g. "chardelay: false".
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/flash_run.h"
#include "app/session.h"
#include "firmware_gen.h"
#include "ser2net_server.h"

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class TimingUi : public JobUi {
public:
    void ShowMessage(const std::string& text, const std::string&, MsgIcon) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void SetBusy(bool) override {}
    void TransferProgressed(const TransferProgress& p) override {
        if (!started) {
            started = true;
            first = Clock::now() - p.elapsed;  // just before the first block was written
        }
    }
    void TransferFinished(bool ok) override {
        last = Clock::now();
        success = ok;
    }
    bool started = false;
    bool success = false;
    Clock::time_point first, last;
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint32_t size =
        argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 0)) : 0x20000;
    const fs::path dir = fs::temp_directory_path() / ("quillon-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    FirmwareRecipe recipe;
    recipe.size = size;
    Firmware fw;
    std::string error;
    if (!MakeFirmware(recipe, fw, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    const fs::path file = dir / "Master_bench.bin";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(fw.image.data()), fw.image.size());
    const fs::path link = dir / "port";

    const std::string linkArg = link.string();
    const char* simArgs[] = {QUILLON_SIM_PATH, "--baud",        "9600", "--once",
                             "--link",         linkArg.c_str(), nullptr};
    pid_t sim = 0;
    if (posix_spawn(&sim, QUILLON_SIM_PATH, nullptr, nullptr, const_cast<char**>(simArgs),
                    environ) != 0) {
        std::perror("quillon-sim");
        return 2;
    }
    for (int i = 0; i < 200 && !fs::exists(link); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string port = link.string();
    std::string goal = "1.005";
    std::unique_ptr<CSer2net> server;
    if (argc > 2) {
        std::string options;
        for (int i = 3; i < argc; ++i) {
            options += std::string("    ") + argv[i] + "\n";
        }
        server = std::make_unique<CSer2net>(fs::read_symlink(link).string(),
                                            std::string(argv[2]) == "rfc2217", "9600n81", options);
        port = server->Url();
        goal = "1.01";
        std::printf("through ser2net: %s%s%s\n", port.c_str(), options.empty() ? "" : ", ",
                    options.empty() ? "" : options.substr(4, options.size() - 5).c_str());
    }

    FlashJob job;
    job.filePath = file.string();
    job.fileExt = "bin";
    job.targetType = kTargetMaster;
    job.historyFile = dir / "history.jsonl";  // never the user's own history
    TimingUi ui;
    const FlashResult result = RunPort(port, job, ui);
    if (result.outcome == FlashOutcome::PortNotOpened) {
        std::fprintf(stderr, "cannot open %s\n", port.c_str());
        kill(sim, SIGTERM);
        return 2;
    }
    int status = 0;
    waitpid(sim, &status, 0);
    fs::remove_all(dir);
    if (result.outcome != FlashOutcome::Success || !ui.started) {
        std::fprintf(stderr, "the run failed: %s\n", result.message.c_str());
        return 1;
    }

    const double blocks = static_cast<double>(fw.image.size() / 64);
    const double wire = (blocks * 66 + 3) * 10.0 / 9600.0;
    const double measured = std::chrono::duration<double>(ui.last - ui.first).count();
    std::printf("image: %zu bytes, %.0f blocks\n", fw.image.size(), blocks);
    std::printf("wire time (blocks x 66 + 3 bytes at 9600 baud): %.3f s\n", wire);
    std::printf("first data block to final ACK: %.3f s\n", measured);
    std::printf("ratio measured / wire: %.5f (goal <= %s)\n", measured / wire, goal.c_str());
    std::printf("simulator exit status: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
