// quillon-cli convert IN.mot OUT.bin [--traces DIR]: one conversion in a private folder.
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "commands.h"
#include "image/convert.h"
#include "image/work_dir.h"

namespace fs = std::filesystem;

namespace {

class StderrSink : public IMessageSink {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon) override {
        if (!caption.empty()) {
            std::cerr << caption << ": ";
        }
        std::cerr << text << '\n';
    }
};

struct ConvertOptions {
    std::string in;
    std::string out;
    std::string traces;
};

// The working folder is removed afterwards, so its files can be moved out instead of
// copied; a move across file systems falls back to a copy.
void MoveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    // Removing the old file first makes the rename cheap: renaming over an existing file
    // makes some file systems (ext4) write the new one out at once.
    fs::remove(to, ec);
    fs::rename(from, to, ec);
    if (ec) {
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    }
}

// The image reaches OUT only complete: it is placed next to OUT first and renamed over it,
// so a failure never leaves a partial OUT behind.
void PublishImage(const fs::path& image, const fs::path& out) {
    std::error_code ec;
    fs::rename(image, out, ec);
    if (!ec) {
        return;
    }
    fs::path part = out;
    part += ".part";
    try {
        fs::copy_file(image, part, fs::copy_options::overwrite_existing);
        fs::rename(part, out);
    } catch (...) {
        fs::remove(part, ec);
        throw;
    }
}

void CopyTraces(const fs::path& workDir, const fs::path& traces) {
    fs::create_directories(traces);
    for (const char* name : kTraceFileNames) {
        const fs::path trace = workDir / name;
        if (fs::exists(trace)) {
            MoveFile(trace, traces / name);
        }
    }
}

int RunConvert(const ConvertOptions& options) {
    StderrSink sink;
    try {
        CWorkDir work;
        const bool converted = ConvertMotToBin(options.in, work.Path(), sink);
        if (!options.traces.empty()) {
            CopyTraces(work.Path(), options.traces);
        }
        if (!converted) {
            return kExitFileRefused;
        }
        PublishImage(work.Path() / kImageFileName, options.out);
        return kExitOk;
    } catch (const std::exception& e) {
        std::cerr << "convert: " << e.what() << '\n';
        return kExitFileRefused;
    }
}

void AddConvert(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<ConvertOptions>();
    CLI::App* cmd =
        app.add_subcommand("convert", "Convert an S-record file into a flat firmware image");
    cmd->footer(
        "The image holds address k at offset k from 0, gaps 0xFF, length a multiple of 64. "
        "Messages go to stderr. Exit codes: 0 converted, 2 bad command line, 3 the file was "
        "refused (OUT is then neither created nor changed).");
    cmd->add_option("IN", options->in, "S-record file (S1/S2 records below 0x20000)")->required();
    cmd->add_option("OUT", options->out, "image file to write")->required();
    cmd->add_option("--traces", options->traces,
                    "folder that receives the conversion's trace files");
    cmd->callback([options, &exitCode] { exitCode = RunConvert(*options); });
}

const CommandRegistration kRegisterConvert{20, AddConvert};

}  // namespace
