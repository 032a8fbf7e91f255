#include "app/flash_run.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <new>
#include <optional>

#include "app/run_cleanup.h"
#include "app/run_detail.h"
#include "app/sha256.h"
#include "common/hex.h"
#include "common/stop_request.h"
#include "image/convert.h"
#include "protocol/transfer.h"
#include "serial/serial_port.h"

namespace fs = std::filesystem;

namespace {

// The run's own texts; the steps' texts are the result-code table's.
constexpr const char* kTargetNames[] = {"Master", "Slave"};
constexpr const char* kSuccessTexts[] = {"Master Programming successfully !",
                                         "Slave Programming successfully !"};
constexpr const char* kProgrammingErrorText =
    "Programming Process Error.\nPlease try again after 40 seconds!";
constexpr const char* kUnknownKindText = "Unknown firmware file type: choose a mot or bin file.";
constexpr const char* kConversionErrorText = "Transfer mot file to bin file error.";
constexpr const char* kNotMasterText = "The file you selected is not for 3064 CPU.";
constexpr const char* kNotSlaveText = "The file you selected is not correct salve file.";
constexpr const char* kNoFileText = "Please select mot|bin file!";
constexpr const char* kCannotOpenFileText = "Can't open this mot|bin file!";
constexpr const char* kNoTypeText = "Can't get master/slave type from the file name!";
constexpr const char* kNotApprovedText =
    "This is not the approved firmware: its SHA-256 differs. Nothing was sent.";

// Two hexadecimal texts alike, ignoring case.
bool SameHex(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

enum class ImageKind { Mot, Bin, Unknown };

// Exactly "mot" or "bin" first, as the browse dialog records them; then ignoring case, so a
// file picked as Master.MOT is still converted.
ImageKind KindOf(const std::string& ext) {
    if (ext == "mot")
        return ImageKind::Mot;
    if (ext == "bin")
        return ImageKind::Bin;
    std::string lower = ext;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    if (lower == "mot")
        return ImageKind::Mot;
    if (lower == "bin")
        return ImageKind::Bin;
    return ImageKind::Unknown;
}

constexpr std::uint32_t kMasterSignatureOffset = 0x4000;
constexpr std::uint32_t kSlaveSignatureOffset = 0x10000;

constexpr std::uint64_t kMaxImageLength =
    static_cast<std::uint64_t>(std::numeric_limits<int>::max()) - CImageTransfer::kBlockSize;

// Pads the image with 0xFF to whole blocks; length: its own bytes. False when it is too long for
// the size message (a signed 32-bit count). An empty image stays empty (its signature check
// refuses it).
bool PadImage(std::vector<std::uint8_t>& image, std::uint64_t& length) {
    length = image.size();
    if (length > kMaxImageLength) {
        return false;
    }
    image.resize(PaddedImageLength(length), 0xFF);
    return true;
}

// The image file whole, padded: the bytes that are checked are the bytes that go out.
bool LoadImage(const fs::path& path, std::vector<std::uint8_t>& image, std::uint64_t& length) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        return false;
    }
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxImageLength) {
        return false;
    }
    image.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    // A file that shrank under us is a read error, not a shorter image.
    return static_cast<bool>(file.read(reinterpret_cast<char*>(image.data()), size)) &&
           PadImage(image, length);
}

// The 4 bytes at offset of the file's own bytes (not the padding); false when it is shorter.
bool ReadSignature(const std::vector<std::uint8_t>& image, std::uint64_t length,
                   std::uint32_t offset, std::array<std::uint8_t, 4>& out) {
    if (length < offset + out.size()) {
        return false;
    }
    std::copy_n(image.begin() + offset, out.size(), out.begin());
    return true;
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
    record.target = kTargetNames[job.targetType == kTargetMaster ? 0 : 1];
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
        const ImageKind kind = KindOf(m_job.fileExt);
        if (kind == ImageKind::Unknown) {
            return Refused(kUnknownKindText);
        }

        // The file is read (or converted) once; those bytes are checked, sent and hashed. A
        // damaged file is named as such before the first byte goes out.
        if (!m_image) {
            auto loaded = std::make_shared<FirmwareImage>();
            if (const auto refused = Load(kind, cleanup, *loaded)) {
                return *refused;
            }
            loaded->sha256 = Sha256Hex(loaded->bytes.data(), loaded->bytes.size());
            m_image = std::move(loaded);
        }
        const std::vector<std::uint8_t>& image = m_image->bytes;
        const std::uint64_t fileLength = m_image->fileLength;
        m_result.record.sha256 = m_image->sha256;
        if (!m_job.expectSha256.empty() && !SameHex(m_job.expectSha256, m_image->sha256)) {
            return Refused(kNotApprovedText, "The image of " + m_job.filePath + " has SHA-256 " +
                                                 m_image->sha256 + "; the approved one is " +
                                                 m_job.expectSha256 + ".");
        }
        // The device is told the padded length: it receives whole blocks only.
        const auto imageLength = static_cast<std::uint32_t>(image.size());
        std::array<std::uint8_t, 4> signature{};
        if (m_job.targetType == kTargetMaster) {
            const bool read = ReadSignature(image, fileLength, kMasterSignatureOffset, signature);
            if (!read || signature[0] != 0x30 || signature[1] != 0x64) {
                return Refused(kNotMasterText, SignatureDetail(read, kMasterSignatureOffset,
                                                               signature, 2, "0x30 0x64"));
            }
            m_result.record.imageVersion = signature[3];
        } else {
            const bool read = ReadSignature(image, fileLength, kSlaveSignatureOffset, signature);
            if (!read || signature != std::array<std::uint8_t, 4>{0x60, 0x49, 0x00, 0x01}) {
                return Refused(kNotSlaveText, SignatureDetail(read, kSlaveSignatureOffset,
                                                              signature, 4, "0x60 0x49 0x00 0x01"));
            }
        }
        if (m_checkOnly) {
            return {FlashOutcome::Success, ResultSuccess, {}, {}, true};
        }

        m_step = "the target announcement";
        ResultCode r = m_link.SelectTarget(m_job.targetType);
        if (r == ResultSuccess) {
            if (m_job.targetType == kTargetMaster) {
                m_step = "the all-flash request";
                r = m_link.RequestAllFlash(signature[3]);
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
                    HandshakeDetail(m_link.State(), m_link.Timing(), m_step, r)};
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

    // The image of the file: converted (a .mot) or read whole, then padded.
    std::optional<Ending> Load(ImageKind kind, RunCleanup& cleanup, FirmwareImage& out) {
        try {
            if (kind == ImageKind::Mot) {
                const fs::path* dir = cleanup.WorkDir();
                bool converted = false;
                if (dir != nullptr) {
                    converted = ConvertMotToBin(fs::path(m_job.filePath), *dir, m_ui, &out.bytes);
                    std::error_code ec;
                    for (const char* name : kTraceFileNames) {
                        fs::remove(*dir / name, ec);
                    }
                }
                if (!converted) {
                    return Refused(kConversionErrorText);
                }
                cleanup.ConvertedImage(*dir / kImageFileName);
                if (!PadImage(out.bytes, out.fileLength)) {
                    return ReadError();
                }
            } else if (!LoadImage(m_job.filePath, out.bytes, out.fileLength)) {
                return ReadError();
            }
        } catch (const std::bad_alloc&) {
            return ReadError();
        }
        return std::nullopt;
    }

    // How far a stopped run got, in the one line the command line prints and the history
    // keeps: an image half sent must be flashed again.
    Ending Stopped(int reason) {
        StopPhase phase = *m_step == '\0' ? StopPhase::Preparing : StopPhase::Handshake;
        if (m_transfer) {
            phase = StopPhase::Data;
            m_result.record.bytesSent = m_transfer->Report().bytesOut;
        }
        return {FlashOutcome::Stopped,
                ResultSuccess,
                {},
                StopDetail(reason, phase, m_result.record.bytesSent, m_result.record.bytesTotal)};
    }

    Ending Refused(const char* text, std::string detail = {}) {
        return {FlashOutcome::FileRefused, ResultSuccess, text, std::move(detail)};
    }

    Ending ReadError() {
        return Refused(kImageReadErrorText,
                       "The image of " + m_job.filePath + " could not be read.");
    }

    std::string SignatureDetail(bool read, std::uint32_t offset,
                                const std::array<std::uint8_t, 4>& found, int compared,
                                const char* wanted) const {
        const std::string image = "The image of " + m_job.filePath;
        if (!read) {
            return image + " ends before " + HexText(offset + 4) + ".";
        }
        std::string bytes;
        for (int i = 0; i < compared; ++i) {
            bytes += (i > 0 ? " " : "") + HexText(found[i]);
        }
        return image + " holds " + bytes + " at " + HexText(offset) + ", where " + wanted +
               " is expected.";
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

FileCheck CheckFirmwareFile(const std::string& path) {
    FileCheck check;
    if (path.empty()) {
        check.message = kNoFileText;
        return check;
    }
    {
        // Only a regular file (links followed) is firmware. Looked at before it is opened:
        // opening a FIFO blocks, opening a serial device raises its modem lines.
        std::error_code ec;
        std::ifstream file;
        if (fs::is_regular_file(fs::path(path), ec)) {
            file.open(path, std::ios::binary);
        }
        if (!file.is_open()) {
            check.message = kCannotOpenFileText;
            return check;
        }
    }
    const std::string name = fs::path(path).filename().string();
    if (name.find(kTargetNames[kTargetMaster]) != std::string::npos) {
        check.targetType = kTargetMaster;
    } else if (name.find(kTargetNames[kTargetSlave]) != std::string::npos) {
        check.targetType = kTargetSlave;
    } else {
        check.message = kNoTypeText;
    }
    return check;
}

std::string FileExtension(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}
