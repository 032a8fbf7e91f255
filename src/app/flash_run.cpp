#include "app/flash_run.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <optional>

#include "app/run_cleanup.h"
#include "app/run_detail.h"
#include "common/stop_request.h"
#include "protocol/transfer.h"
#include "serial/serial_port.h"

namespace fs = std::filesystem;

namespace {

// The run's own texts; the steps' and the file's texts are the result-code table's and
// LoadFirmwareImage's.
constexpr const char* kSuccessTexts[] = {"Master Programming successfully !",
                                         "Slave Programming successfully !"};
constexpr const char* kProgrammingErrorText =
    "Programming Process Error.\nPlease try again after 40 seconds!";
constexpr const char* kNotApprovedText =
    "This is not the approved firmware: its SHA-256 differs. Nothing was sent.";

// Two hexadecimal texts alike, ignoring case.
bool SameHex(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

const char* OutcomeName(FlashOutcome outcome) {
    switch (outcome) {
        case FlashOutcome::Success:
            return "success";
        case FlashOutcome::HandshakeFailed:
            return "handshake-failed";
        case FlashOutcome::FileRefused:
            return "file-refused";
        case FlashOutcome::TransferFailed:
            return "transfer-failed";
        case FlashOutcome::PortNotOpened:
            return "port-not-opened";
        case FlashOutcome::Stopped:
            return "stopped";
    }
    return "unknown";
}

RunRecord StartRecord(const std::string& port, const FlashJob& job) {
    RunRecord record;
    record.start = IsoUtc(std::chrono::system_clock::now());
    record.frontEnd = job.frontEnd;
    record.port = port;
    record.file = job.filePath;
    record.target = TargetName(job.targetType);
    record.unit = job.unit;
    record.operatorName = job.operatorName;
    record.station = job.station.empty() ? HostName() : job.station;
    record.workOrder = job.workOrder;
    return record;
}

// Completes the result's record and appends it to the history. A record that cannot be
// written does not change the run's ending; the detail says so.
void Record(FlashResult& result, const FlashJob& job) {
    RunRecord& record = result.record;
    record.end = IsoUtc(std::chrono::system_clock::now());
    record.outcome = OutcomeName(result.outcome);
    record.ending = result.message;
    record.detail = result.detail;
    const fs::path file = job.historyFile.empty() ? DefaultHistoryFile() : job.historyFile;
    if (!AppendRunRecord(file, record, result.historyError)) {
        result.detail += result.detail.empty() ? "" : "\n\n";
        result.detail += "This run could not be recorded in the history: " + result.historyError;
    }
}

// How a run ends, before it is recorded and shown.
struct Ending {
    FlashOutcome outcome = FlashOutcome::TransferFailed;
    ResultCode code = ResultSuccess;
    std::string text;
    std::string detail;
    bool silent = false;  // a fit file in a check alone: nothing recorded or shown
};

class Run {
public:
    Run(CBootLink& link, const FlashJob& job, JobUi& ui, const RunTrace& trace)
        : m_link(link), m_job(job), m_ui(ui), m_trace(trace), m_image(job.image) {
        m_result.record = StartRecord(link.State().port, job);
    }

    // The file stages alone, with no port: a refused file ends as a run would (message,
    // history record naming ports); a fit one gives Success with nothing shown or recorded.
    FlashResult CheckOnly(const std::string& ports) {
        m_checkOnly = true;
        m_result.record.port = ports;
        return Execute();
    }

    FlashResult Execute() {
        m_ui.SetBusy(true);
        Ending ending;
        {
            RunCleanup cleanup(m_link.Line(), m_ui, m_job.workDir);
            try {
                ending = Steps(cleanup);
            } catch (const CStopRequested& stop) {
                ending = Stopped(stop.Reason());
            } catch (const std::exception& e) {
                // Whatever broke (no working folder, no memory), the run still ends cleanly.
                ending = {FlashOutcome::TransferFailed, ResultSuccess, kProgrammingErrorText,
                          e.what()};
            }
            if (!m_checkOnly) {
                m_link.Line().Mark(std::string("ending ") + OutcomeName(ending.outcome));
            }
        }
        return Finish(ending);
    }

private:
    Ending Steps(RunCleanup& cleanup) {
        // The file is read (or converted) once; those bytes are checked, sent and hashed. A
        // damaged file is named as such before the first byte goes out.
        if (!m_image) {
            const bool convert = NeedsConversion(m_job.fileExt);
            if (!m_checkOnly) {
                m_ui.HandshakeStep(convert ? "Converting the firmware file"
                                           : "Reading the firmware file");
            }
            auto loaded = std::make_shared<FirmwareImage>();
            const bool fit =
                LoadFirmwareImage(m_job.filePath, m_job.fileExt, m_job.targetType,
                                  convert ? cleanup.WorkDir() : nullptr, m_ui, *loaded);
            if (!loaded->converted.empty()) {
                cleanup.ConvertedImage(loaded->converted);
            }
            m_result.record.sha256 = loaded->sha256;
            if (!fit) {
                return {FlashOutcome::FileRefused, ResultSuccess, loaded->refusal, loaded->detail};
            }
            m_image = std::move(loaded);
        }
        const FirmwareImage& firmware = *m_image;
        m_result.record.sha256 = firmware.sha256;
        m_result.record.imageVersion = firmware.bootVersion;
        m_result.summary = FirmwareSummaryText(m_job.targetType, firmware);
        if (!m_job.expectSha256.empty() && !SameHex(m_job.expectSha256, firmware.sha256)) {
            return {FlashOutcome::FileRefused, ResultSuccess, kNotApprovedText,
                    "The image of " + m_job.filePath + " has SHA-256 " + firmware.sha256 +
                        "; the approved one is " + m_job.expectSha256 + "."};
        }
        const std::vector<std::uint8_t>& image = firmware.bytes;
        // The device is told the padded length: it receives whole blocks only.
        const auto imageLength = static_cast<std::uint32_t>(image.size());
        if (m_checkOnly) {
            return {FlashOutcome::Success, ResultSuccess, {}, {}, true};
        }

        // A cancel while the file was read sends nothing at all.
        m_link.Stop().ThrowIfRequested();
        m_link.SetStepObserver([this](const LinkStep& step) {
            m_stepName = LinkStepName(step);
            m_ui.HandshakeStep(LinkStepText(step));
        });
        m_step = "the target announcement";
        ResultCode r = m_link.SelectTarget(m_job.targetType);
        if (r == ResultSuccess) {
            if (m_job.targetType == kTargetMaster) {
                m_step = "the all-flash request";
                r = m_link.RequestAllFlash(firmware.signature[3]);
                m_result.record.chipReply = m_link.State().chipReply;
            } else {
                m_step = "the write command";
                r = m_link.SendWriteCommand();
            }
        }
        if (r == ResultSuccess) {
            m_step = "the block table";
            r = m_link.SendBlockTable();
        }
        if (r == ResultSuccess) {
            m_step = "the image size";
            r = m_link.SendImageSize(imageLength);
        }
        if (r != ResultSuccess) {
            return {FlashOutcome::HandshakeFailed, r, ResultMessage(r),
                    HandshakeDetail(m_link.State(), m_link.Timing(), m_step, r,
                                    TargetName(m_job.targetType))};
        }
        m_result.record.bytesTotal = imageLength;

        CImageTransfer& transfer = m_transfer.emplace(m_link, m_ui);
        cleanup.ProgressWindow(true);
        const TransferEnding ending = transfer.DoModal(image);
        const TransferReport& report = transfer.Report();
        m_result.record.bytesSent = report.bytesOut;
        // The transfer's own message goes over the open progress window, which then closes.
        if (report.text != nullptr) {
            m_ui.ShowMessage(report.text, report.caption, MsgIcon::Warning);
        }
        cleanup.ProgressWindow(false);
        if (report.imageLength > 0) {
            m_ui.TransferFinished(ending == TransferEnding::Acked);
        }
        if (ending == TransferEnding::Acked) {
            return {FlashOutcome::Success,
                    ResultSuccess,
                    kSuccessTexts[m_job.targetType == kTargetMaster ? 0 : 1],
                    {}};
        }
        return {FlashOutcome::TransferFailed, ResultSuccess, kProgrammingErrorText,
                TransferDetail(m_link.State().port, m_link.Timing(), report)};
    }

    // How far a stopped run got, in the one line the command line prints and the history
    // keeps: an image half sent must be flashed again.
    Ending Stopped(int reason) {
        StopPhase phase = *m_step == '\0' ? StopPhase::Preparing : StopPhase::Handshake;
        // Stopped before the first block went out, the data phase is still its start.
        if (m_transfer && m_transfer->Report().bytesOut > 0) {
            phase = StopPhase::Data;
            m_result.record.bytesSent = m_transfer->Report().bytesOut;
        } else if (m_transfer) {
            m_stepName = "the start of the transfer";
        }
        return {FlashOutcome::Stopped,
                ResultSuccess,
                {},
                StopDetail(reason, phase, m_result.record.bytesSent, m_result.record.bytesTotal,
                           m_stepName)};
    }

    // Recorded, then the message; the button comes back only once it was acknowledged.
    FlashResult Finish(const Ending& ending) {
        FlashResult& result = m_result;
        const bool ok = ending.outcome == FlashOutcome::Success;
        result.exitCode = ok ? 1 : 0;
        result.outcome = ending.outcome;
        result.resultCode = ending.code;
        result.message = ending.text;
        result.detail = ending.detail;
        if (ending.silent) {
            m_ui.SetBusy(false);
            return result;
        }
        const bool stopped = ending.outcome == FlashOutcome::Stopped;
        if (!stopped) {  // a stop's detail stays the one line that says how far it got
            AddTraceNote(result.detail, m_trace, ok);
        }
        result.record.trace = m_trace.file.string();
        Record(result, m_job);
        if (!stopped) {
            m_ui.ShowDetailedMessage(ending.text, ok ? kCaptionOk : kCaptionWarning,
                                     ok ? MsgIcon::Information : MsgIcon::Warning, result.detail);
        }
        m_ui.SetBusy(false);
        return result;
    }

    CBootLink& m_link;
    const FlashJob& m_job;
    JobUi& m_ui;
    const RunTrace& m_trace;
    FlashResult m_result;
    const char* m_step = "";
    std::string m_stepName;  // the step a cancel interrupts, as LinkStepName gives it
    bool m_checkOnly = false;
    std::optional<CImageTransfer> m_transfer;  // once the data phase began

public:
    const std::shared_ptr<const FirmwareImage>& Image() const { return m_image; }

private:
    std::shared_ptr<const FirmwareImage> m_image;  // the job's, or once read
};

}  // namespace

FlashResult FlashThreadProc(CBootLink& link, const FlashJob& job, JobUi& ui,
                            const RunTrace& trace) {
    return Run(link, job, ui, trace).Execute();
}

FlashResult CheckFirmwareImage(const FlashJob& job, const std::vector<std::string>& ports,
                               JobUi& ui, std::shared_ptr<const FirmwareImage>* kept) {
    std::string names;  // the record names the ports the run was meant for
    for (const std::string& port : ports) {
        names += (names.empty() ? "" : " ") + port;
    }
    CSerialPort none;  // never opened
    CBootLink link(none, names);
    const RunTrace noTrace;
    Run run(link, job, ui, noTrace);
    FlashResult result = run.CheckOnly(names);
    if (kept != nullptr && result.outcome == FlashOutcome::Success) {
        *kept = run.Image();
    }
    return result;
}

FlashResult PortOpenFailure(const std::string& port, std::uint32_t error,
                            const std::string& operation, const FlashJob& job,
                            const RunTrace& trace) {
    FlashResult result;
    result.outcome = FlashOutcome::PortNotOpened;
    result.resultCode = ResultPortOpenFailed;
    result.message = ResultMessage(ResultPortOpenFailed);
    result.detail = OpenFailureDetail(port, error, operation);
    AddTraceNote(result.detail, trace, false);
    result.record = StartRecord(port, job);
    result.record.trace = trace.file.string();
    Record(result, job);
    return result;
}
