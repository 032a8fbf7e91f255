// quillon-cli flash --port NAME FILE: one whole run with the GUI's rules and texts.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "app/flash_run.h"
#include "commands.h"
#include "common/stop_request.h"
#include "serial/serial_port.h"

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
        // The rate counts blocks already answered: the one just written has not crossed the
        // line yet, so the first block gives no rate at all.
        const double seconds = std::chrono::duration<double>(p.elapsed).count();
        const double answered = p.sent > 64 ? p.sent - 64.0 : 0.0;
        char pace[48] = "-- B/s  -:-- left";
        if (seconds > 0 && answered > 0) {
            const double rate = answered / seconds;
            const int left = static_cast<int>((p.total - p.sent + 64) / rate);
            std::snprintf(pace, sizeof pace, "%.0f B/s  %d:%02d left", rate, left / 60, left % 60);
        }
        std::fprintf(stderr, "%s%5s  %u/%u bytes  %s%s", m_tty ? "\r" : "", p.text.c_str(), p.sent,
                     p.total, pace, m_tty ? kClearLine : "\n");
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

// Why the port did not open, in the system's words, with the usual remedy for EACCES.
void ExplainOpenFailure(const std::string& port, std::uint32_t error) {
    if (error == 0)
        return;
    char text[256];
    if (CSerialException(error).GetErrorMessage(text, sizeof text)) {
        std::string reason = text;
        // Windows' texts end with a line break of their own.
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
            reason.pop_back();
        }
        std::cerr << port << ": " << reason << std::endl;
    }
    const std::string hint = PortAccessHint(port, error);
    if (!hint.empty()) {
        std::cerr << hint << std::endl;
    }
}

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
    CBootLink link;
    if (!link.OpenPort(port)) {
        link.ClosePort();
        std::cerr << "Can't open serial port,\nplease check your device!" << std::endl;
        ExplainOpenFailure(port, link.m_dwOpenError);
        return kExitPortNotOpened;
    }
    FlashJob job;
    job.filePath = file;
    job.fileExt = FileExtension(file);
    job.targetType = check.targetType;
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
