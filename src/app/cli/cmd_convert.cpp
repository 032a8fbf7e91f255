// quillon-cli convert IN.mot OUT.bin [--traces DIR]: one conversion in a private folder.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "app/run_detail.h"
#include "app/sha256.h"
#include "app/terminal_text.h"
#include "commands.h"
#include "common/stop_request.h"
#include "image/convert.h"
#include "image/work_dir.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace fs = std::filesystem;

namespace {

class StderrSink : public IMessageSink {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon) override {
        if (!caption.empty()) {
            std::cerr << TerminalText(caption) << ": ";
        }
        std::cerr << TerminalText(text, true) << '\n';
    }
};

struct ConvertOptions {
    std::string in;
    std::string out;
    std::string traces;
};

// Writes a copy of from into the new file at to, which must not exist yet. Throws with the
// system's own reason (a full disk says so), removing what it made.
void CopyToNewFile(const fs::path& from, const fs::path& to) {
    std::ifstream in(from, std::ios::binary);
    const int fd = ::open(to.string().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0666);
    if (!in || fd < 0) {
        throw fs::filesystem_error("cannot copy", from, to,
                                   std::error_code(fd < 0 ? errno : EIO, std::generic_category()));
    }
    char buffer[64 * 1024];
    int error = 0;
    while (error == 0 && in.read(buffer, sizeof buffer).gcount() > 0) {
        for (std::streamsize done = 0; error == 0 && done < in.gcount();) {
            const auto n = ::write(fd, buffer + done, static_cast<unsigned>(in.gcount() - done));
            error = n < 0 ? errno : 0;
            done += n < 0 ? 0 : n;
        }
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && in.bad()) {
        error = EIO;
    }
    if (error != 0) {
        std::error_code ignored;
        fs::remove(to, ignored);
        throw fs::filesystem_error("cannot copy", from, to,
                                   std::error_code(error, std::generic_category()));
    }
}

// The working folder is removed afterwards, so its files can be moved out instead of
// copied; a move across file systems falls back to a copy.
void MoveFile(const fs::path& from, const fs::path& to) {
    std::error_code ec;
    // Removing the old file first makes the rename cheap: renaming over an existing file
    // makes some file systems (ext4) write the new one out at once.
    fs::remove(to, ec);
    fs::rename(from, to, ec);
    if (ec) {
        CopyToNewFile(from, to);
    }
}

// The image reaches OUT only complete: it is placed next to OUT first, under a name of its
// own that no file had, and renamed over it; a failure never leaves a partial OUT behind.
void PublishImage(const fs::path& image, const fs::path& out) {
    std::error_code ec;
    fs::rename(image, out, ec);
    if (!ec) {
        return;
    }
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0;; ++attempt) {
        fs::path part = out;
        part += "." + std::to_string(random() % 1000000000u) + ".part";
        try {
            CopyToNewFile(image, part);
        } catch (const fs::filesystem_error& e) {
            if (e.code() == std::errc::file_exists && attempt < 100) {
                continue;
            }
            throw;
        }
        fs::rename(part, out, ec);
        if (ec) {
            fs::remove(part, ec);
            throw fs::filesystem_error("cannot replace", out, ec);
        }
        return;
    }
}

// OUT may be replaced only when it is a regular file (or missing), and never by the image of
// itself. Empty when it may, else why not.
std::string RefuseOut(const fs::path& in, const fs::path& out) {
    std::error_code ec;
    const fs::file_status status = fs::status(out, ec);
    if (!fs::exists(status)) {
        return {};
    }
    if (!fs::is_regular_file(status)) {
        return out.string() + ": exists and is not a regular file";
    }
    if (fs::equivalent(in, out, ec)) {
        return out.string() + ": is the input file";
    }
    return {};
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
    if (const std::string refusal = RefuseOut(options.in, options.out); !refusal.empty()) {
        std::cerr << "convert: " << TerminalText(refusal) << '\n';
        return kExitFileRefused;
    }
    try {
        CWorkDir work;
        std::vector<std::uint8_t> image;
        std::size_t records = 0;
        const bool converted = ConvertMotToBin(options.in, work.Path(), sink, &image, &records);
        if (!options.traces.empty()) {
            CopyTraces(work.Path(), options.traces);
        }
        if (!converted) {
            return kExitFileRefused;
        }
        // Looked at again: OUT may have changed while the conversion ran.
        if (const std::string refusal = RefuseOut(options.in, options.out); !refusal.empty()) {
            std::cerr << "convert: " << TerminalText(refusal) << '\n';
            return kExitFileRefused;
        }
        ThrowIfStopRequested();
        PublishImage(work.Path() / kImageFileName, options.out);
        // One line that tells what was written, for a log or a comparison by hand.
        std::cout << TerminalText(options.out) << ": " << FormatCount(image.size())
                  << " bytes from " << FormatCount(records)
                  << (records == 1 ? " record" : " records") << ", SHA-256 "
                  << Sha256Hex(image.data(), image.size()) << std::endl;
        return kExitOk;
    } catch (const CStopRequested&) {
        return 128 + StopRequested();
    } catch (const std::exception& e) {
        std::cerr << "convert: " << TerminalText(e.what()) << '\n';
        return kExitFileRefused;
    }
}

void AddConvert(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<ConvertOptions>();
    CLI::App* cmd =
        app.add_subcommand("convert", "Convert an S-record file into a flat firmware image");
    cmd->footer(
        "The image holds address k at offset k from 0, gaps 0xFF, length a multiple of 64. On "
        "success one line on stdout names OUT, its bytes, the records read and the image's "
        "SHA-256; messages go to stderr. Exit codes: 0 converted, 2 bad command line, 3 the file "
        "was refused, or OUT (the input file itself, or not a regular file); OUT is then neither "
        "created nor changed. 128+N: stopped by signal N.");
    cmd->add_option("IN", options->in, "S-record file (S1/S2 records below 0x20000)")
        ->required()
        ->type_name("");
    cmd->add_option("OUT", options->out, "Image file to write")->required()->type_name("");
    cmd->add_option("--traces", options->traces,
                    "Folder that receives the conversion's trace files")
        ->type_name("DIR");
    cmd->callback([options, &exitCode] { exitCode = RunConvert(*options); });
}

const CommandRegistration kRegisterConvert{20, AddConvert};

}  // namespace
