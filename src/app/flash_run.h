// One programming run from a firmware file to an acknowledged image, and the checks of the
// Flash command that come before it. UI-free: the front ends give a JobUi.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_image.h"
#include "app/history.h"
#include "common/job_ui.h"
#include "protocol/boot_link.h"

// How a run ended; front ends map it to exit codes.
enum class FlashOutcome {
    Success,
    HandshakeFailed,  // a handshake step returned a result code other than 1
    FileRefused,      // unknown kind, conversion failed, wrong signature, image unreadable
    TransferFailed,   // the progress window ended without ACK
    Stopped,          // a signal or the run's own stop source ended it; no message shown
    PortNotOpened,    // the port could not be opened (PortOpenFailure)
};

struct FlashJob {
    std::string filePath;  // m_strFilePath
    std::string fileExt;   // m_strFileExt: "mot" or "bin" (any case), without the dot
    int targetType = kTargetMaster;
    // Where tmp.bin and the trace files go. Empty: a private folder made for the run and
    // removed with it. A caller-given folder is left in place (tests inspect it).
    std::filesystem::path workDir;
    // For the run history: who ran it ("desktop", "cli") and where the record goes (empty:
    // DefaultHistoryFile()).
    std::string frontEnd;
    std::filesystem::path historyFile;
    // Recorded with the run; empty: not given (station: this computer's name).
    std::string unit{};  // the unit's serial number
    std::string operatorName{};
    std::string station{};
    std::string workOrder{};
    // The approved image's SHA-256 (hex, any case); empty: any image. Another image is
    // refused before anything is sent.
    std::string expectSha256{};
    // Already checked: the run sends these bytes instead of reading the file again.
    std::shared_ptr<const FirmwareImage> image{};
};

struct FlashResult {
    unsigned exitCode = 0;  // 1 after success, 0 otherwise
    FlashOutcome outcome = FlashOutcome::HandshakeFailed;
    ResultCode resultCode = ResultSuccess;  // the failing step's code, where a step failed
    std::string message;                    // the final message shown
    std::string detail;                     // what else is known, shown beneath the message
    RunRecord record;                       // as appended to the history
    std::string historyError;               // why the record could not be appended, if it could not
    std::string summary;  // FirmwareSummaryText of the image, once it was read and found fit
};

// The wire trace of a run, as the run names it in its detail and its record.
struct RunTrace {
    std::filesystem::path file;  // the trace written for this run; empty: none
    std::string error;           // why a trace that was asked for is not being written
};

// The run on a line its owner opened (RunPort's own, or a simulated one). Every ending closes
// the line, removes the working files, closes the progress window if it opened, shows one
// message (none when stopped) and gives the button back.
FlashResult FlashThreadProc(CBootLink& link, const FlashJob& job, JobUi& ui,
                            const RunTrace& trace = {});

// The file stages of a run without a port: kind, conversion (in a private folder removed
// again), length and signature. A front end that flashes several ports checks the file once
// this way before it touches any of them. A refused file ends as the run would (its message
// shown through ui, its record naming the ports); a fit one gives outcome Success with
// nothing shown or recorded, and its image in kept (when given) for the runs to send.
FlashResult CheckFirmwareImage(const FlashJob& job, const std::vector<std::string>& ports,
                               JobUi& ui, std::shared_ptr<const FirmwareImage>* kept = nullptr);

// The ending of a run whose port did not open (error: the system's code; operation: the call
// that failed): its message, its detail and its history record. Shows nothing.
FlashResult PortOpenFailure(const std::string& port, std::uint32_t error,
                            const std::string& operation, const FlashJob& job,
                            const RunTrace& trace = {});
