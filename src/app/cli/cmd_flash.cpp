// quillon-cli flash --port NAME FILE: one whole run with the GUI's rules and texts.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/flash_run.h"
#include "app/progress_figures.h"
#include "commands.h"
#include "common/stop_request.h"

namespace {

#ifdef _WIN32
constexpr const char* kClearLine = "   ";  // the console may not know escape sequences
#else
constexpr const char* kClearLine = "\033[K";
#endif

// Prints what the GUI would show in boxes: success on stdout, everything else on stderr.
class CliUi : public JobUi {
public:
    CliUi() : m_tty(isatty(STDERR_FILENO) != 0) {}

    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        EndProgressLine();
        (void)caption;
        std::ostream& out = icon == MsgIcon::Information ? std::cout : std::cerr;
        out << text << std::endl;
    }
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override {
        ShowMessage(text, caption, icon);
        if (!detail.empty()) {
            std::cerr << detail << std::endl;
        }
    }
    void SetBusy(bool) override {}
    void TransferStarted(std::uint32_t total) override {
        m_lastDecile = -1;
        std::fprintf(stderr, "Programming %u bytes...\n", total);
    }
    void TransferProgressed(const TransferProgress& p) override {
        const int decile = p.percent / 10;
        if (!m_tty) {
            if (decile == m_lastDecile)
                return;
            m_lastDecile = decile;
        }
        const ProgressFigures figures = ComputeProgressFigures(p);
        std::fprintf(stderr, "%s%5s  %u/%u bytes  %s  %s%s", m_tty ? "\r" : "", p.text.c_str(),
                     p.sent, p.total, FormatRate(figures).c_str(), FormatTimeLeft(figures).c_str(),
                     m_tty ? kClearLine : "\n");
        m_lineOpen = m_tty;
    }
    void TransferFinished(bool) override { EndProgressLine(); }

private:
    void EndProgressLine() {
        if (m_lineOpen) {
            std::fputc('\n', stderr);
            m_lineOpen = false;
        }
    }
    bool m_tty;
    bool m_lineOpen = false;
    int m_lastDecile = -1;
};

int RunFlash(const std::string& port, const std::string& file) {
    if (file.empty()) {
        std::cerr << "Please select mot|bin file!" << std::endl;
        return kExitUsage;
    }
    const FileCheck check = CheckFirmwareFile(file);
    if (!check.message.empty()) {
        std::cerr << check.message << std::endl;
        return kExitFileRefused;
    }
    FlashJob job;
    job.filePath = file;
    job.fileExt = FileExtension(file);
    job.targetType = check.targetType;
    job.frontEnd = "cli";
    CBootLink link;
    if (!link.OpenPort(port)) {
        link.ClosePort();
        const FlashResult failed = PortOpenFailure(link, job);
        std::cerr << failed.message << std::endl << failed.detail << std::endl;
        return kExitPortNotOpened;
    }
    CliUi ui;
    const FlashResult result = FlashThreadProc(link, job, ui);
    switch (result.outcome) {
        case FlashOutcome::Success:
            return kExitOk;
        case FlashOutcome::TransferFailed:
            return kExitTransferFailed;
        case FlashOutcome::FileRefused:
            return kExitFileRefused;
        case FlashOutcome::HandshakeFailed:
            return kExitHandshakeFailed;
        case FlashOutcome::PortNotOpened:
            return kExitPortNotOpened;
        case FlashOutcome::Stopped:
            return 128 + StopRequested();
    }
    return kExitTransferFailed;
}

void AddFlashCommand(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand("flash", "Write a firmware file (mot or bin) into the device");
    auto* port =
        cmd->add_option("--port", "Serial port to use (device path or link)")
            ->required()
            ->check(CLI::Validator(
                [](const std::string& name) {
                    return name.empty() ? std::string("a port name is needed") : std::string();
                },
                "NAME"));
    auto* file =
        cmd->add_option("FILE", "Firmware file; its name must contain Master or Slave")->required();
    cmd->callback([&exitCode, port, file] {
        exitCode = RunFlash(port->as<std::string>(), file->as<std::string>());
    });
}

const CommandRegistration kRegistration(20, AddFlashCommand);

}  // namespace
