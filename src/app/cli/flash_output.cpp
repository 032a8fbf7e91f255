#include "flash_output.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#endif
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <utility>

#include "app/progress_figures.h"
#include "app/run_detail.h"
#include "app/terminal_text.h"

std::string LiveRows(const std::vector<std::string>& names, std::size_t width,
                     const std::vector<std::string>& lines, bool over) {
    std::size_t columns = 0;
#ifndef _WIN32
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0)
        columns = ws.ws_col;
#endif
    std::string out = over ? "\033[" + std::to_string(lines.size()) + "A" : "";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = names[i];
        line.resize(width, ' ');
        line += "  " + lines[i];
        // A wrapped line would throw the redraw off by a row.
        if (columns > 1 && line.size() >= columns)
            line.resize(columns - 1);
        out += "\r" + line + kClearLine + "\n";
    }
    return out;
}

const char* const kFlashExitCodes =
    "Exit codes:\n"
    "  0  the device acknowledged the whole image\n"
    "  1  the transfer failed\n"
    "  2  bad command line\n"
    "  3  the firmware file was refused (unreadable, no type in its name, unknown kind, "
    "conversion failed, wrong signature)\n"
    "  4  the serial port could not be opened\n"
    "  5  the handshake failed (the bootloader did not answer, or answered wrongly)\n"
    "  128+N  stopped by signal N (SIGINT, SIGTERM, SIGHUP)\n"
    "With several ports: 0 only when every port succeeded, otherwise the highest code of any "
    "port.";

std::string ProgressText(const TransferProgress& p) {
    const ProgressFigures figures = ComputeProgressFigures(p);
    char text[128];
    std::snprintf(text, sizeof text, "%5s  %u/%u bytes  %s  %s", p.text.c_str(), p.sent, p.total,
                  FormatRate(figures).c_str(), FormatTimeLeft(figures).c_str());
    return text;
}

std::string StepLine(const std::string& step, std::chrono::steady_clock::duration elapsed) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(ms) / 1000.0);
    return step + "  " + seconds;
}

CliUi::CliUi(std::vector<std::string> names)
    : m_tty(isatty(STDERR_FILENO) != 0), m_names(std::move(names)) {}

void CliUi::ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) {
    EndLiveLine();
    (void)caption;
    std::ostream& out = icon == MsgIcon::Information ? std::cout : std::cerr;
    out << TerminalMessage(text, m_names) << std::endl;
}

void CliUi::ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                                const std::string& detail) {
    ShowMessage(text, caption, icon);
    if (!detail.empty()) {
        std::cerr << TerminalMessage(detail, m_names) << std::endl;
    }
}

void CliUi::HandshakeStep(const std::string& text) {
    // A log or a pipe gets the endings only; the steps are for someone watching.
    if (m_tty) {
        std::fprintf(stderr, "\r%s%s", StepLine(text, Clock::now() - m_start).c_str(), kClearLine);
        m_lineOpen = true;
    }
}

void CliUi::TransferStarted(std::uint32_t total) {
    EndLiveLine();
    m_lastDecile = -1;
    m_transferStart = Clock::now();
    std::fprintf(stderr, "Programming %u bytes...\n", total);
}

void CliUi::TransferProgressed(const TransferProgress& p) {
    const int decile = p.percent / 10;
    if (!m_tty) {
        if (decile == m_lastDecile)
            return;
        m_lastDecile = decile;
    }
    std::fprintf(stderr, "%s%s%s", m_tty ? "\r" : "", ProgressText(p).c_str(),
                 m_tty ? kClearLine : "\n");
    m_lineOpen = m_tty;
}

void CliUi::TransferFinished(bool) {
    m_transfer = Clock::now() - m_transferStart;
    EndLiveLine();
}

void CliUi::EndLiveLine() {
    if (m_lineOpen) {
        std::fputc('\n', stderr);
        m_lineOpen = false;
    }
}

void CliUi::PrintEnd(const FlashResult& result) {
    EndLiveLine();
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    const double transfer = std::chrono::duration<double>(m_transfer).count();
    const RunRecord& r = result.record;
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f s", seconds);
    std::string line;
    if (result.outcome == FlashOutcome::Success) {
        line = std::string("Done in ") + elapsed + ": " + FormatCount(r.bytesSent) + " bytes";
        if (transfer > 0) {
            char rate[32];
            std::snprintf(rate, sizeof rate, " at %.0f B/s",
                          static_cast<double>(r.bytesSent) / transfer);
            line += rate;
        }
    } else {
        line = std::string("Ended after ") + elapsed + ": " +
               (r.bytesTotal == 0 ? std::string("no image data sent")
                                  : FormatCount(r.bytesSent) + " of " + FormatCount(r.bytesTotal) +
                                        " bytes sent");
    }
    if (!r.sha256.empty()) {
        line += ", SHA-256 " + r.sha256;
    }
    (result.outcome == FlashOutcome::Success ? std::cout : std::cerr) << line << std::endl;
}
