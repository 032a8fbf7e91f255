#include "app/session.h"

#include <chrono>
#include <memory>

#include "app/history.h"
#include "app/trace_line.h"
#include "serial/serial_port.h"

namespace fs = std::filesystem;

FlashResult RunPort(const std::string& portName, const FlashJob& job, JobUi& ui,
                    const StopToken& stop, const RunOptions& options) {
    RunTrace trace;
    std::unique_ptr<CTraceFile> traceFile;
    if (!options.trace.empty()) {
        // Made before the port is touched, so that a slow or failed open is on record too.
        traceFile = CTraceFile::Create(options.trace, trace.error);
        if (traceFile) {
            std::error_code ec;
            trace.file = fs::absolute(options.trace, ec);  // as the history will name it
            if (ec) {
                trace.file = options.trace;
            }
            traceFile->Comment("wire trace of " + portName + ", started " +
                               IsoUtc(std::chrono::system_clock::now()));
            traceFile->Comment("milliseconds since the port opened, event, bytes in hex");
        }
    }

    ui.HandshakeStep("Opening " + portName);
    CSerialPort port;
    const auto opening = RealClock().Now();
    const auto openMs = [&] {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(RealClock().Now() - opening)
                .count());
    };
    try {
        port.Open(portName);
        port.SetTimeouts(0xFFFFFFFFu, 0, 0, 0, 0);  // reads return at once with what came
    } catch (const CSerialException& e) {
        port.Close();
        if (traceFile) {
            traceFile->Comment("not opened after " + openMs() + " ms: " + e.what());
            traceFile->Flush();
        }
        const FlashResult failed =
            PortOpenFailure(portName, e.m_dwError, e.m_operation, job, trace);
        ui.ShowDetailedMessage(failed.message, kCaptionWarning, MsgIcon::Warning, failed.detail);
        ui.SetBusy(false);
        return failed;
    }
    if (!traceFile) {
        CBootLink link(port, portName, options.timing, stop);
        return FlashThreadProc(link, job, ui, trace);
    }
    traceFile->Comment("opened in " + openMs() + " ms");
    CTraceLine traced(port, *traceFile);
    CBootLink link(traced, portName, options.timing, stop);
    return FlashThreadProc(link, job, ui, trace);
}

fs::path TracePathForPort(const fs::path& file, const std::string& portName) {
    fs::path name = file.stem();
    name += "-" + FileNamePart(portName);
    name += file.extension();
    return file.parent_path() / name;
}
