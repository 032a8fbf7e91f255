// quillon-cli station FILE --port NAME...: flashes unit after unit, each slot (port) when its
// unit arrives or when a serial number is scanned, with one line per unit ending and a
// summary at the end. The first SIGINT or SIGTERM lets running transfers finish; a second
// stops them as it stops any run.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "app/history.h"
#include "app/station.h"
#include "app/terminal_text.h"
#include "commands.h"
#include "common/stop_request.h"
#include "flash_common.h"

namespace {

std::atomic<int> g_stopSignals{0};

// The first stop signal ends the station gently; the next one stops the runs themselves.
extern "C" void OnStationSignal(int signal) {
#ifdef _WIN32
    std::signal(signal, OnStationSignal);
#endif
    if (g_stopSignals.fetch_add(1) > 0) {
        RequestStop(signal);
    }
}

void CatchStationSignals() {
#ifdef _WIN32
    std::signal(SIGINT, OnStationSignal);
    std::signal(SIGTERM, OnStationSignal);
#else
    struct sigaction action {};
    action.sa_handler = OnStationSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
#endif
}

std::string StateText(const SlotView& v) {
    const std::string unit = v.unit.empty() ? "" : TerminalText(v.unit) + "  ";
    switch (v.state) {
        case SlotState::Waiting:
            return "waiting for a unit";
        case SlotState::Connecting:
            return unit + "connecting...";
        case SlotState::Transferring:
            return unit + ProgressText(v.progress);
        case SlotState::Passed:
            return unit + "PASS";
        case SlotState::Failed:
            return unit + "FAIL  " + OneLine(v.ending);
    }
    return {};
}

// Prints the station's events: a line per unit ending on stdout (a JSON record with --json),
// and on a terminal a live line per slot on stderr, kept below the endings.
class CStationPrinter : public IStationView {
public:
    CStationPrinter(const std::vector<std::string>& ports, bool json)
        : m_lines(ports.size(), "waiting for a unit"), m_json(json) {
#ifndef _WIN32
        m_live = isatty(STDERR_FILENO) != 0;
#endif
        // Names reach the terminal escaped: none may move the cursor or forge a line.
        for (const std::string& p : ports) {
            m_ports.push_back(TerminalText(p));
            m_width = std::max(m_width, m_ports.back().size());
        }
    }

    void SlotChanged(std::size_t slot, const SlotView& view) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines[slot] = StateText(view);
        const auto now = std::chrono::steady_clock::now();
        if (m_live && (view.state != SlotState::Transferring || now - m_drawn >= kRedraw)) {
            Draw();
            m_drawn = now;
        }
    }

    void UnitEnded(const UnitEnding& e, const StationCounters&) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        Erase();
        const RunRecord& r = e.result.record;
        m_highest = std::max(m_highest, ExitCodeOf(e.result.outcome));
        if (m_json) {
            std::printf("%s\n", RecordToJson(r).c_str());
        } else {
            std::printf("%s  %-*s  %-12s  %-16s  %7.1f s  %s\n", r.end.c_str(),
                        static_cast<int>(m_width), m_ports[e.slot].c_str(),
                        e.unit.empty() ? "-" : TerminalText(e.unit).c_str(), r.outcome.c_str(),
                        e.seconds, r.sha256.empty() ? "-" : r.sha256.substr(0, 12).c_str());
        }
        std::fflush(stdout);
        if (e.result.outcome != FlashOutcome::Success) {
            const std::string text = e.result.message.empty()
                                         ? e.result.detail
                                         : e.result.message + "\n" + e.result.detail;
            std::fprintf(stderr, "%s: %s\n", m_ports[e.slot].c_str(), OneLine(text).c_str());
        }
        Draw();
    }

    void StationStopping(const std::string& why) override {
        Note(why);
    }

    void Note(const std::string& text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Erase();
        std::fprintf(stderr, "%s\n", TerminalText(text, true).c_str());
        Draw();
    }

    // The highest exit code of any unit's ending so far.
    int HighestExit() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_highest;
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_live = false;  // the last picture stays
    }

private:
    static constexpr std::chrono::milliseconds kRedraw{100};

    void Erase() {
        if (m_live && m_shown) {
            std::fprintf(stderr, "\033[%zuA\r\033[J", m_lines.size());
            m_shown = false;
        }
    }

    void Draw() {
        if (!m_live) {
            return;
        }
        const std::string out = LiveRows(m_ports, m_width, m_lines, m_shown);
        m_shown = true;
        std::fputs(out.c_str(), stderr);
        std::fflush(stderr);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_ports;
    std::vector<std::string> m_lines;
    bool m_json;
    bool m_live = false;
    bool m_shown = false;
    std::size_t m_width = 4;
    int m_highest = 0;
    std::chrono::steady_clock::time_point m_drawn{};
};

// The preparation's messages (a refused file) as flash prints them.
class CCheckUi : public JobUi {
public:
    void ShowMessage(const std::string& text, const std::string&, MsgIcon) override {
        std::cerr << text << std::endl;
    }
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override {
        ShowMessage(detail.empty() ? text : text + "\n" + detail, caption, icon);
    }
    void SetBusy(bool) override {}
};

// Standard input's lines, read on a thread of their own: a scanner in keyboard mode types a
// serial number and Enter. The thread may stay blocked in a read when the station ends.
struct ScanLines {
    std::mutex mutex;
    std::deque<std::string> lines;
    bool ended = false;
};

void ReadScans(const std::shared_ptr<ScanLines>& scans) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.size() > 4096)
            line.resize(4096);  // judged as too long below
        std::lock_guard<std::mutex> lock(scans->mutex);
        scans->lines.push_back(std::move(line));
    }
    std::lock_guard<std::mutex> lock(scans->mutex);
    scans->ended = true;
}

void PrintSummary(const StationCounters& c, FILE* out) {
    const auto seconds =
        static_cast<long long>(std::chrono::duration<double>(c.elapsed).count() + 0.5);
    std::fprintf(out,
                 "\n%u unit%s: %u passed, %u failed; first-pass yield %.1f %%; %.1f units per "
                 "hour over %lld:%02lld:%02lld\n",
                 c.units, c.units == 1 ? "" : "s", c.passed, c.failed, 100.0 * c.FirstPassYield(),
                 c.UnitsPerHour(), seconds / 3600, seconds / 60 % 60, seconds % 60);
    std::fflush(out);
}

struct StationArgs {
    std::vector<std::string> ports;
    std::string file;
    std::string trigger = "arrival";
    bool scan = false;
    bool json = false;
};

int RunStation(const StationArgs& args, FlashJob job) {
    if (args.file.empty()) {
        std::cerr << "Please select mot|bin file!" << std::endl;
        return kExitUsage;
    }
    if (!CheckPorts(args.ports)) {
        return kExitUsage;
    }
    job.filePath = args.file;
    job.frontEnd = "cli";
    StationConfig config;
    config.job = job;
    config.ports = args.ports;
    config.trigger = args.scan ? StationTrigger::Scan : StationTrigger::Arrival;

    CStationPrinter printer(args.ports, args.json);
    CStation station(config, printer);
    {
        CCheckUi ui;
        const FlashResult prepared = station.Prepare(ui);
        if (prepared.outcome != FlashOutcome::Success) {
            return ExitCodeOf(prepared.outcome);
        }
    }
    CatchStationSignals();
    const FirmwareImage& image = *station.Image();
    std::fprintf(stderr, "Station: %s, %llu bytes, SHA-256 %s; %zu slot%s, %s. Ctrl+C ends it.\n",
                 TerminalText(args.file).c_str(),
                 static_cast<unsigned long long>(image.bytes.size()), image.sha256.c_str(),
                 args.ports.size(), args.ports.size() == 1 ? "" : "s",
                 args.scan ? "a unit per serial number on standard input"
                           : "a unit whenever a port arrives");
    int exitCode = kExitOk;
    {
        auto scans = std::make_shared<ScanLines>();
        if (args.scan) {
            std::thread([scans] { ReadScans(scans); }).detach();
        }
        station.Start();
        bool draining = false;
        while (!station.Stopping() && !station.Finished()) {
            if (g_stopSignals.load() > 0) {
                station.Stop();
                printer.Note(
                    "Stopping: no new unit starts; running transfers finish (again to "
                    "stop them).");
                break;
            }
            std::deque<std::string> lines;
            bool ended = false;
            {
                std::lock_guard<std::mutex> lock(scans->mutex);
                lines.swap(scans->lines);
                ended = scans->ended;
            }
            for (const std::string& line : lines) {
                std::string serial, why;
                if (TakeSerial(line, serial, why)) {
                    station.Scan(serial);
                } else if (!why.empty()) {
                    printer.Note("Ignored a scan that " + why + ".");
                }
            }
            if (ended && !draining) {
                station.Drain();  // no more serial numbers: the batch ends with those given
                draining = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        station.Wait();
    }
    printer.Finish();
    if (!station.StopReason().empty()) {
        exitCode = kExitFileRefused;
    }
    PrintSummary(station.Counters(), args.json ? stderr : stdout);
    return std::max(exitCode, printer.HighestExit());
}

void AddStationCommand(CLI::App& app, int& exitCode) {
    auto* cmd = app.add_subcommand(
        "station",
        "Flash unit after unit: each --port is a slot that flashes the firmware when its unit "
        "arrives (or when a serial number is scanned), records it and waits for the next");
    auto args = std::make_shared<StationArgs>();
    cmd->add_option("--port", args->ports,
                    "a slot's port (device path or link, rfc2217://HOST:PORT or "
                    "socket://HOST:PORT); repeat it for each slot")
        ->required()
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](const std::string& name) {
                return name.empty() ? std::string("a port name is needed") : std::string();
            },
            "NAME"));
    cmd->add_option("--trigger", args->trigger,
                    "arrival: a slot flashes when its port appears (an adapter plugged in, a "
                    "network port accepting), then waits until it goes away; scan: each line on "
                    "standard input is a unit's serial number and starts the next idle slot")
        ->check(CLI::IsMember({"arrival", "scan"}))
        ->default_val(args->trigger);
    cmd->add_flag("--json", args->json,
                  "print each unit's ending as its history record (one JSON object a line); "
                  "every other line goes to stderr");
    auto tags = std::make_shared<FlashJob>();
    AddRecordOptions(*cmd, tags, false);
    cmd->add_option("FILE", args->file, "Firmware file; its name must contain Master or Slave")
        ->required();
    cmd->callback([&exitCode, args, tags] {
        args->scan = args->trigger == "scan";
        exitCode = RunStation(*args, *tags);
    });
}

const CommandRegistration kRegistration(30, AddStationCommand);

}  // namespace
