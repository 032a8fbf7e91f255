// quillon-cli flash --port NAME [--port NAME...] FILE: one whole run per port with the GUI's
// rules and texts. Several ports run at once, each on its own thread with its own link,
// working folder and output.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "app/flash_run.h"
#include "app/history.h"
#include "app/session.h"
#include "app/terminal_text.h"
#include "app/trace_line.h"
#include "commands.h"
#include "common/stop_request.h"
#include "flash_common.h"
#include "flash_output.h"
#include "serial/net_port.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- several ports at once --------------------------------------------------------------

struct PortRun {
    std::string port;
    int exit = kExitTransferFailed;
    std::string outcome;      // as the history names it: success, transfer-failed, ...
    std::string message;      // the run's final message
    std::string detail;       // what else is known about its ending
    std::uint32_t bytes = 0;  // image bytes that went out on the line
    double seconds = 0;
};

std::vector<std::string> Shown(const std::vector<std::string>& ports) {
    std::vector<std::string> shown;
    for (const std::string& port : ports)
        shown.push_back(TerminalText(port));
    return shown;
}

// Everything the port threads print goes through here. On a terminal: one live line per port,
// redrawn in place. Otherwise: plain lines prefixed with the port. Port names and texts are
// escaped, so that none can move the cursor or start a line of its own.
class Board {
public:
    Board(const std::vector<std::string>& ports, bool json)
        : m_names(ports),
          m_ports(Shown(ports)),
          m_lines(ports.size()),
          m_messages(ports.size()),
          m_json(json) {
#ifndef _WIN32
        m_live = isatty(STDERR_FILENO) != 0;
#endif
        for (const std::string& p : m_ports)
            m_width = std::max(m_width, p.size());
    }

    void SetLine(std::size_t index, const std::string& text, bool now = false) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines[index] = text;
        const auto t = Clock::now();
        // Redrawing for every block of every port would only flicker.
        if (m_live && (now || t - m_lastDraw >= std::chrono::milliseconds(100))) {
            Draw();
            m_lastDraw = t;
        }
    }

    // A message box's text: on a terminal it becomes the port's line; otherwise it is printed,
    // success on stdout (on stderr with --json, whose stdout is the JSON alone), failures on
    // stderr, each line prefixed with the port.
    void Message(std::size_t index, const std::string& text, bool success) {
        if (m_live) {
            std::lock_guard<std::mutex> lock(m_mutex);
            std::string line = TerminalMessage(text, {m_names[index]});
            std::replace(line.begin(), line.end(), '\n', ' ');
            m_messages[index] += (m_messages[index].empty() ? "" : " ") + line;
            m_lines[index] = m_messages[index];
            Draw();
            return;
        }
        Print(index, text, success && !m_json ? stdout : stderr);
    }

    void Print(std::size_t index, const std::string& text, FILE* stream) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::istringstream lines(TerminalMessage(text, {m_names[index]}));
        std::string line;
        const std::string prefix = m_ports[index] + ": ";
        while (std::getline(lines, line)) {
            // A detail that begins with the port's name already says whose line it is.
            std::fprintf(stream, "%s%s\n", line.rfind(prefix, 0) == 0 ? "" : prefix.c_str(),
                         line.c_str());
        }
        std::fflush(stream);
    }

    bool Live() const {
        return m_live;
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_live)
            Draw();
    }

private:
    void Draw() {
        const std::string out = LiveRows(m_ports, m_width, m_lines, m_drawn);
        m_drawn = true;
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_names;  // the ports as given
    std::vector<std::string> m_ports;  // as shown
    std::vector<std::string> m_lines;
    std::vector<std::string> m_messages;
    bool m_json;
    bool m_live = false;
    bool m_drawn = false;
    std::size_t m_width = 0;
    Clock::time_point m_lastDraw{};
};

// One port's JobUi.
class PortUi : public JobUi {
public:
    PortUi(Board& board, std::size_t index) : m_board(board), m_index(index) {}

    void ShowMessage(const std::string& text, const std::string&, MsgIcon icon) override {
        m_board.Message(m_index, text, icon == MsgIcon::Information);
    }
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override {
        ShowMessage(text, caption, icon);
        if (!detail.empty() && !m_board.Live()) {
            m_board.Print(m_index, detail, stderr);
        }
    }
    void SetBusy(bool busy) override {
        if (busy)
            m_board.SetLine(m_index, kBusyText);
    }
    void HandshakeStep(const std::string& text) override {
        if (m_board.Live())
            m_board.SetLine(m_index, text, true);
    }
    void TransferStarted(std::uint32_t total) override {
        m_lastDecile = -1;
        const std::string text = "Programming " + std::to_string(total) + " bytes...";
        if (m_board.Live())
            m_board.SetLine(m_index, text, true);
        else
            m_board.Print(m_index, text, stderr);
    }
    void TransferProgressed(const TransferProgress& p) override {
        if (m_board.Live()) {
            m_board.SetLine(m_index, ProgressText(p));
            return;
        }
        if (p.percent / 10 != m_lastDecile) {
            m_lastDecile = p.percent / 10;
            m_board.Print(m_index, ProgressText(p), stderr);
        }
    }

private:
    Board& m_board;
    std::size_t m_index;
    int m_lastDecile = -1;
};

PortRun FlashOnePort(const std::string& port, const FlashJob& job, Board& board, std::size_t index,
                     const RunOptions& options) {
    PortRun run;
    run.port = port;
    const auto start = Clock::now();
    PortUi ui(board, index);
    board.SetLine(index, "opening...", true);
    const FlashResult result = RunPort(port, job, ui, StopToken{}, options);
    if (result.outcome == FlashOutcome::Stopped) {
        ui.ShowMessage(result.detail, kCaptionWarning, MsgIcon::Warning);
    }
    run.exit = ExitCodeOf(result.outcome);
    run.outcome = result.record.outcome;
    run.message = result.message;
    run.detail = result.detail;
    run.bytes = static_cast<std::uint32_t>(result.record.bytesSent);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

void PrintSummary(const std::vector<PortRun>& runs, const std::string& sha256, FILE* out) {
    std::size_t width = 4;
    for (const PortRun& r : runs)
        width = std::max(width, TerminalText(r.port).size());
    std::fprintf(out, "\n%-*s  %-16s  %4s  %8s  %8s  %s\n", static_cast<int>(width), "PORT",
                 "OUTCOME", "EXIT", "BYTES", "SECONDS", "MESSAGE");
    int succeeded = 0;
    for (const PortRun& r : runs) {
        succeeded += r.exit == kExitOk;
        std::fprintf(out, "%-*s  %-16s  %4d  %8u  %8.1f  %s\n", static_cast<int>(width),
                     TerminalText(r.port).c_str(), r.outcome.c_str(), r.exit, r.bytes, r.seconds,
                     OneLine(r.message).c_str());
    }
    std::fprintf(out, "%d of %zu ports succeeded. Image SHA-256 %s\n", succeeded, runs.size(),
                 sha256.c_str());
    std::fflush(out);
}

int FlashPorts(const std::vector<std::string>& ports, const FlashJob& job, bool json,
               const std::vector<std::filesystem::path>& traces, const std::string& sha256) {
    Board board(ports, json);
    std::vector<PortRun> runs(ports.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        threads.emplace_back([&, i] {
            RunOptions options;
            options.trace = traces[i];
            runs[i] = FlashOnePort(ports[i], job, board, i, options);
        });
    }
    for (std::thread& t : threads)
        t.join();
    board.Finish();
    PrintSummary(runs, sha256, json ? stderr : stdout);
    int exitCode = kExitOk;
    for (const PortRun& r : runs) {
        exitCode = std::max(exitCode, r.exit);
        if (json) {
            std::printf(
                "{\"port\": %s, \"outcome\": %s, \"exit\": %d, \"message\": %s, \"bytes\": %u, "
                "\"seconds\": %.3f, \"detail\": %s}\n",
                JsonString(r.port).c_str(), JsonString(r.outcome).c_str(), r.exit,
                JsonString(r.message).c_str(), r.bytes, r.seconds, JsonString(r.detail).c_str());
        }
    }
    std::fflush(stdout);
    return exitCode;
}

// --- the command ------------------------------------------------------------------------

// The trace file of each port: FILE itself for one port, else FILE with each port's name in it
// (numbered when two names come out the same). Each is created here, before any port is
// touched, so that a path that may not be written ends the command as a usage error.
bool TraceFiles(const std::string& file, const std::vector<std::string>& ports,
                std::vector<std::filesystem::path>& traces) {
    traces.assign(ports.size(), {});
    if (file.empty()) {
        return true;
    }
    std::set<std::filesystem::path> taken;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        traces[i] =
            ports.size() == 1 ? std::filesystem::path(file) : TracePathForPort(file, ports[i]);
        if (!taken.insert(traces[i]).second) {
            traces[i] = TracePathForPort(file, ports[i] + "-" + std::to_string(i + 1));
            taken.insert(traces[i]);
        }
        std::string error;
        if (!CTraceFile::Create(traces[i], error)) {
            std::cerr << "--trace: " << error << std::endl;
            return false;
        }
    }
    return true;
}

int RunFlash(const std::vector<std::string>& ports, const std::string& file, bool json,
             const std::string& trace, FlashJob job) {
    const FileCheck check = CheckFirmwareFile(file);
    const auto refuse = [&check, &file] {
        std::cerr << check.message << std::endl;
        if (!check.detail.empty())
            std::cerr << TerminalMessage(check.detail, {file}) << std::endl;
    };
    if (file.empty()) {  // no file named is a usage error
        std::cerr << check.message << std::endl;
        return kExitUsage;
    }
    std::vector<std::filesystem::path> traces;
    if (!CheckPorts(ports) || !TraceFiles(trace, ports, traces)) {
        return kExitUsage;
    }
    if (!check.message.empty()) {
        refuse();
        return kExitFileRefused;
    }
    job.filePath = file;
    job.fileExt = FileExtension(file);
    job.targetType = check.targetType;
    job.frontEnd = "cli";
    std::vector<std::string> names = ports;  // escaped in full wherever the texts hold them
    names.push_back(file);

    // The whole file is checked before any port is touched: a faulty file reaches no device.
    // What is about to be written comes first.
    std::string sha256;
    {
        CliUi ui(names);
        // Its image is what every run then sends: the file is read once.
        const FlashResult checked = CheckFirmwareImage(job, ports, ui, &job.image);
        if (checked.outcome != FlashOutcome::Success) {
            return ExitCodeOf(checked.outcome);
        }
        std::cerr << checked.summary << std::endl;
        sha256 = checked.record.sha256;
    }
    if (ports.size() > 1 || json) {
        return FlashPorts(ports, job, json, traces, sha256);
    }

    CliUi ui(names);
    RunOptions options;
    options.trace = traces.front();
    const FlashResult result = RunPort(ports.front(), job, ui, StopToken{}, options);
    if (result.outcome == FlashOutcome::Stopped) {
        std::cerr << TerminalMessage(result.detail, names) << std::endl;
    } else {
        ui.PrintEnd(result);
    }
    return ExitCodeOf(result.outcome);
}

void AddFlashCommand(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand(
        "flash",
        "Write a firmware file (mot or bin) into the device; with several --port options, into "
        "every one of them at once");
    auto* port =
        cmd->add_option("--port",
                        "Serial port to use (device path or link, rfc2217://HOST:PORT or "
                        "socket://HOST:PORT); repeat it to flash several ports")
            ->type_name("NAME")
            ->required()
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->check(CLI::Validator(
                [](const std::string& name) {
                    return name.empty() ? std::string("a port name is needed") : std::string();
                },
                ""));
    auto* json = cmd->add_flag("--json")->description(
        "Print one JSON object per port at the end (port, outcome, exit, message, bytes, "
        "seconds, detail); every other line goes to stderr");
    auto* trace =
        cmd->add_option("--trace",
                        "Write every byte on the wire, with its time, into this file (with several "
                        "ports: one file each, named after the port)")
            ->type_name("FILE");
    auto tags = std::make_shared<FlashJob>();
    AddRecordOptions(*cmd, tags, true);
    auto* file = cmd->add_option("FILE", "Firmware file; its name must contain Master or Slave")
                     ->required()
                     ->type_name("");
    cmd->footer(std::string("First the image is summed up (target, bytes, boot version, "
                            "SHA-256); the run ends with a line that gives its time, bytes, rate "
                            "and the image's full SHA-256.\n\n") +
                kFlashExitCodes);
    cmd->callback([&exitCode, port, json, trace, file, tags] {
        exitCode =
            RunFlash(port->as<std::vector<std::string>>(), file->as<std::string>(),
                     json->count() > 0, trace->count() > 0 ? trace->as<std::string>() : "", *tags);
    });
}

const CommandRegistration kRegistration(20, AddFlashCommand);

}  // namespace
