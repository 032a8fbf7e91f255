#include "app/flash_run.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <optional>

#include "common/stop_request.h"
#include "image/convert.h"
#include "image/work_dir.h"
#include "protocol/transfer.h"

namespace fs = std::filesystem;

namespace {

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

// Reads 4 bytes at offset; false when the image is shorter.
bool ReadSignature(std::ifstream& image, std::uint32_t offset, std::array<std::uint8_t, 4>& out) {
    image.clear();
    image.seekg(offset);
    image.read(reinterpret_cast<char*>(out.data()), out.size());
    return image.gcount() == static_cast<std::streamsize>(out.size());
}

class Run {
public:
    Run(CBootLink& link, const FlashJob& job, JobUi& ui) : m_link(link), m_job(job), m_ui(ui) {}

    FlashResult Execute() {
        m_ui.SetBusy(true);
        try {
            return Steps();
        } catch (const CStopRequested&) {
            // A signal ends the run: the port and the working files go, nothing is said.
            DeleteConvertedImage();
            m_link.ClosePort();
            m_ui.SetBusy(false);
            FlashResult result;
            result.outcome = FlashOutcome::Stopped;
            return result;
        } catch (const std::exception&) {
            // Whatever broke (no working folder, no memory), the run still ends cleanly.
            DeleteConvertedImage();
            m_link.ClosePort();
            return Finish(FlashOutcome::TransferFailed, ResultSuccess,
                          "Programming Process Error.\nPlease try again after 40 seconds!");
        }
    }

private:
    FlashResult Steps() {
        const ImageKind kind = KindOf(m_job.fileExt);
        if (kind == ImageKind::Unknown) {
            m_link.ClosePort();
            return Finish(FlashOutcome::FileRefused, ResultSuccess,
                          "Unknown firmware file type: choose a mot or bin file.");
        }
        m_converted = kind == ImageKind::Mot;

        // The file is converted, sized and checked completely before the first byte goes
        // out: a damaged file is named as such, never reported as a silent device.
        fs::path imagePath = m_job.filePath;
        if (m_converted) {
            const fs::path* dir = WorkDir();
            bool converted = false;
            if (dir != nullptr) {
                converted = ConvertMotToBin(fs::path(m_job.filePath), *dir, m_ui);
                std::error_code ec;
                for (const char* name : kTraceFileNames) {
                    fs::remove(*dir / name, ec);
                }
            }
            if (!converted) {
                m_link.ClosePort();
                return Finish(FlashOutcome::FileRefused, ResultSuccess,
                              "Transfer mot file to bin file error.");
            }
            imagePath = *dir / kImageFileName;
            m_tmpBin = imagePath;
        }

        std::uint32_t imageLength = 0;
        std::array<std::uint8_t, 4> signature{};
        {
            std::ifstream image(imagePath, std::ios::binary | std::ios::ate);
            if (!image) {
                return ReadError();
            }
            const std::streamoff length = image.tellg();
            if (length < 0) {
                return ReadError();
            }
            // The device is told the padded length: it receives whole blocks only.
            imageLength = PaddedImageLength(static_cast<std::uint64_t>(length));

            if (m_job.targetType == kTargetMaster) {
                const bool read = ReadSignature(image, kMasterSignatureOffset, signature);
                if (!read || signature[0] != 0x30 || signature[1] != 0x64) {
                    return SignatureEnding("The file you selected is not for 3064 CPU.");
                }
            } else {
                const bool read = ReadSignature(image, kSlaveSignatureOffset, signature);
                if (!read || signature != std::array<std::uint8_t, 4>{0x60, 0x49, 0x00, 0x01}) {
                    return SignatureEnding("The file you selected is not correct salve file.");
                }
            }
        }

        int r = m_link.SelectTarget(m_job.targetType);
        if (r == ResultSuccess) {
            r = m_job.targetType == kTargetMaster ? m_link.RequestAllFlash(signature[3])
                                                  : m_link.SendWriteCommand();
        }
        if (r == ResultSuccess)
            r = m_link.SendBlockTable();
        if (r == ResultSuccess)
            r = m_link.SendImageSize(imageLength);
        if (r != ResultSuccess) {
            DeleteConvertedImage();
            m_link.ClosePort();
            return Finish(FlashOutcome::HandshakeFailed, r, ResultMessage(r));
        }

        CImageTransfer transfer(m_link, m_ui);
        const int modal = transfer.DoModal(imagePath.string());
        DeleteConvertedImage();
        m_link.ClosePort();
        if (modal == IDOK) {
            FlashResult result;
            result.exitCode = 1;
            result.outcome = FlashOutcome::Success;
            result.message = m_job.targetType != kTargetMaster
                                 ? "Slave Programming successfully !"
                                 : "Master Programming successfully !";
            m_ui.ShowMessage(result.message, "OK", MsgIcon::Information);
            m_ui.SetBusy(false);
            return result;
        }
        return Finish(FlashOutcome::TransferFailed, ResultSuccess,
                      "Programming Process Error.\nPlease try again after 40 seconds!");
    }

    // Null when no private folder can be made (TMPDIR missing or full).
    const fs::path* WorkDir() {
        if (!m_job.workDir.empty())
            return &m_job.workDir;
        if (!m_private) {
            try {
                m_private.emplace();
            } catch (const fs::filesystem_error&) {
                return nullptr;
            }
        }
        return &m_private->Path();
    }

    FlashResult ReadError() {
        DeleteConvertedImage();
        m_link.ClosePort();
        return Finish(FlashOutcome::FileRefused, ResultSuccess, "BIN file read error!");
    }

    FlashResult SignatureEnding(const char* text) {
        DeleteConvertedImage();
        m_link.ClosePort();
        return Finish(FlashOutcome::FileRefused, ResultSuccess, text);
    }

    void DeleteConvertedImage() {
        if (!m_tmpBin.empty()) {
            std::error_code ec;
            fs::remove(m_tmpBin, ec);
        }
    }

    // The message first; the button comes back only once it was acknowledged.
    FlashResult Finish(FlashOutcome outcome, int code, const std::string& text) {
        FlashResult result;
        result.exitCode = 0;
        result.outcome = outcome;
        result.resultCode = code;
        result.message = text;
        m_ui.ShowMessage(text, "Warning", MsgIcon::Warning);
        m_ui.SetBusy(false);
        return result;
    }

    CBootLink& m_link;
    const FlashJob& m_job;
    JobUi& m_ui;
    bool m_converted = false;
    fs::path m_tmpBin;  // set once a conversion wrote it
    std::optional<CWorkDir> m_private;
};

}  // namespace

FlashResult FlashThreadProc(CBootLink& link, const FlashJob& job, JobUi& ui) {
    return Run(link, job, ui).Execute();
}

FileCheck CheckFirmwareFile(const std::string& path) {
    FileCheck check;
    if (path.empty()) {
        check.message = "Please select mot|bin file!";
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
            check.message = "Can't open this mot|bin file!";
            return check;
        }
    }
    const std::string name = fs::path(path).filename().string();
    if (name.find("Master") != std::string::npos) {
        check.targetType = kTargetMaster;
    } else if (name.find("Slave") != std::string::npos) {
        check.targetType = kTargetSlave;
    } else {
        check.message = "Can't get master/slave type from the file name!";
    }
    return check;
}

std::string PortAccessHint(const std::string& port, std::uint32_t error) {
#ifdef _WIN32
    (void)port;
    (void)error;
    return {};
#else
    struct stat st {};
    if (error != EACCES || stat(port.c_str(), &st) != 0) {
        return {};
    }
    const struct group* g = getgrgid(st.st_gid);
    if (g == nullptr || std::string(g->gr_name) == "root") {
        return {};
    }
    const std::string group = g->gr_name;
    return "You must belong to the group that owns the device (" + group +
           "; dialout on Debian): sudo usermod -aG " + group + " $USER, then log in again.";
#endif
}

std::string FileExtension(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}
