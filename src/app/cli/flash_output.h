// What quillon-cli flash prints for one port: the messages of the run (success on stdout,
// everything else on stderr), on a terminal a live line for the handshake and the transfer,
// and the line that ends the run.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "app/flash_run.h"
#include "common/job_ui.h"

#ifdef _WIN32
inline constexpr const char* kClearLine = "   ";  // the console may not know escape sequences
#else
inline constexpr const char* kClearLine = "\033[K";
#endif

// A live line per port on stderr, each name padded to width: what redraws them (over the
// rows drawn before, when over), every row cut short of the terminal's width.
std::string LiveRows(const std::vector<std::string>& names, std::size_t width,
                     const std::vector<std::string>& lines, bool over);

// " 42 %  7040/16384 bytes  960 B/s  0:09 left"
std::string ProgressText(const TransferProgress& p);

// "Announcing the target, try 2 of 5  1.4 s": a handshake step and the time since the start.
std::string StepLine(const std::string& step, std::chrono::steady_clock::duration elapsed);

// The exit codes as flash --help lists them ("Exit codes:" and "  CODE  meaning" lines).
extern const char* const kFlashExitCodes;

// The texts reach the terminal escaped, the names in them (the ports, the file) in full.
class CliUi : public JobUi {
public:
    explicit CliUi(std::vector<std::string> names = {});

    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override;
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override;
    void SetBusy(bool) override {}
    // On a terminal only: a line that is replaced by the next step and by the progress.
    void HandshakeStep(const std::string& text) override;
    void TransferStarted(std::uint32_t total) override;
    void TransferProgressed(const TransferProgress& p) override;
    void TransferFinished(bool) override;

    // The run's last line, on the stream of its message: "Done in 21.3 s: 17,408 bytes at
    // 925 B/s, SHA-256 ..." or "Ended after 1.2 s: 192 of 17,408 bytes sent, SHA-256 ...".
    void PrintEnd(const FlashResult& result);

private:
    void EndLiveLine();

    using Clock = std::chrono::steady_clock;
    bool m_tty;
    std::vector<std::string> m_names;
    bool m_lineOpen = false;
    int m_lastDecile = -1;
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_transferStart{};
    Clock::duration m_transfer{};  // from the progress window's opening to its closing
};
