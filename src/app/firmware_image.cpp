#include "app/firmware_image.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <new>
#include <system_error>

#include "app/run_detail.h"
#include "app/sha256.h"
#include "common/hex.h"
#include "image/convert.h"
#include "image/work_dir.h"
#include "protocol/transfer.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnknownKindText = "Unknown firmware file type: choose a mot or bin file.";
constexpr const char* kConversionErrorText = "Transfer mot file to bin file error.";
constexpr const char* kNotMasterText = "The file you selected is not for 3064 CPU.";
constexpr const char* kNotSlaveText = "The file you selected is not correct salve file.";
constexpr const char* kNoFileText = "Please select mot|bin file!";
constexpr const char* kCannotOpenFileText = "Can't open this mot|bin file!";
constexpr const char* kNoTypeText = "Can't get master/slave type from the file name!";

constexpr const char* kPickRightFile = "Pick the right firmware file.";

enum class ImageKind { Mot, Bin, Unknown };

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerText(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), Lower);
    return text;
}

// Exactly "mot" or "bin" first, as the browse dialog records them; then ignoring case, so a
// file picked as Master.MOT is still converted.
ImageKind KindOf(const std::string& ext) {
    const std::string lower = LowerText(ext);
    if (lower == "mot")
        return ImageKind::Mot;
    if (lower == "bin")
        return ImageKind::Bin;
    return ImageKind::Unknown;
}

constexpr std::uint32_t kMasterSignatureOffset = 0x4000;
constexpr std::uint32_t kSlaveSignatureOffset = 0x10000;
constexpr std::array<std::uint8_t, 4> kSlaveSignature = {0x60, 0x49, 0x00, 0x01};

constexpr std::uint64_t kMaxImageLength =
    static_cast<std::uint64_t>(std::numeric_limits<int>::max()) - kTransferBlockSize;

// Pads the image with 0xFF to whole blocks. False when it is too long for the size message (a
// signed 32-bit count). An empty image stays empty (its signature check refuses it).
bool PadImage(std::vector<std::uint8_t>& image) {
    if (image.size() > kMaxImageLength) {
        return false;
    }
    image.resize(PaddedImageLength(image.size()), 0xFF);
    return true;
}

// The image file whole; reason: why not, when it cannot be read.
bool LoadImage(const fs::path& path, std::vector<std::uint8_t>& image, std::string& reason) {
    errno = 0;
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) {
        reason = std::generic_category().message(errno != 0 ? errno : EIO);
        return false;
    }
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<std::uint64_t>(size) > kMaxImageLength) {
        reason = "it is too large to be firmware";
        return false;
    }
    image.resize(static_cast<std::size_t>(size));
    file.seekg(0);
    // A file that shrank under us is a read error, not a shorter image.
    if (!file.read(reinterpret_cast<char*>(image.data()), size)) {
        reason = std::generic_category().message(EIO);
        return false;
    }
    return true;
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

bool IsMasterImage(const std::vector<std::uint8_t>& image, std::uint64_t length) {
    std::array<std::uint8_t, 4> s{};
    return ReadSignature(image, length, kMasterSignatureOffset, s) && s[0] == 0x30 && s[1] == 0x64;
}

bool IsSlaveImage(const std::vector<std::uint8_t>& image, std::uint64_t length) {
    std::array<std::uint8_t, 4> s{};
    return ReadSignature(image, length, kSlaveSignatureOffset, s) && s == kSlaveSignature;
}

// Why the signature does not fit: above all the other target's image under this name.
std::string SignatureDetail(const std::string& path, int targetType,
                            const std::vector<std::uint8_t>& image, std::uint64_t length, bool read,
                            const std::array<std::uint8_t, 4>& found) {
    const bool master = targetType == kTargetMaster;
    const std::string named = TargetName(targetType);
    if (master ? IsSlaveImage(image, length) : IsMasterImage(image, length)) {
        const std::string other = TargetName(master ? kTargetSlave : kTargetMaster);
        return "This file holds a " + other + " image (" +
               (master ? "0x60 0x49 0x00 0x01 at 0x10000" : "0x30 0x64 at 0x4000") +
               "), but its name says " + named + ". Pick the " + named +
               "'s file; this one is for the " + other + ".";
    }
    const std::string file = "The image of " + path;
    if (!read) {
        return file + " is only " + FormatCount(length) + " bytes long, too short for a " + named +
               " image. " + kPickRightFile;
    }
    const int compared = master ? 2 : 4;
    std::string bytes;
    for (int i = 0; i < compared; ++i) {
        bytes += (i > 0 ? " " : "") + HexText(found[static_cast<std::size_t>(i)]);
    }
    return file + " holds " + bytes + " at " +
           HexText(master ? kMasterSignatureOffset : kSlaveSignatureOffset) + ", where " +
           (master ? "0x30 0x64" : "0x60 0x49 0x00 0x01") + " is expected: it is no " + named +
           " firmware. " + kPickRightFile;
}

// Passes the conversion's messages on and keeps the last, for the ending's detail.
class CRememberingSink : public IMessageSink {
public:
    explicit CRememberingSink(IMessageSink* next) : m_next(next) {}
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        m_last = text;
        if (m_next != nullptr) {
            m_next->ShowMessage(text, caption, icon);
        }
    }
    const std::string& Last() const { return m_last; }

private:
    IMessageSink* m_next;
    std::string m_last;
};

bool Refuse(FirmwareImage& image, const char* text, std::string detail) {
    image.refusal = text;
    image.detail = std::move(detail);
    return false;
}

// "slave_v2.bin" -> "Slave_v2.bin": the name with the target spelt as the rule wants it.
std::string CapitalisedName(const std::string& name) {
    const std::string lower = LowerText(name);
    for (const char* target : {"master", "slave"}) {
        const std::size_t at = lower.find(target);
        if (at != std::string::npos) {
            std::string fixed = name;
            const std::string proper = TargetName(*target == 'm' ? kTargetMaster : kTargetSlave);
            fixed.replace(at, proper.size(), proper);
            return fixed;
        }
    }
    return {};
}

}  // namespace

bool NeedsConversion(const std::string& ext) {
    return KindOf(ext) == ImageKind::Mot;
}

const char* TargetName(int targetType) {
    return targetType == kTargetMaster ? "Master" : "Slave";
}

bool LoadFirmwareImage(const std::string& path, const std::string& ext, int targetType,
                       const fs::path* workDir, IMessageSink& sink, FirmwareImage& image) {
    const ImageKind kind = KindOf(ext);
    if (kind == ImageKind::Unknown) {
        return Refuse(image, kUnknownKindText,
                      path + " is neither a .mot nor a .bin file. Pick the firmware's own file.");
    }
    std::uint64_t fileLength = 0;
    try {
        if (kind == ImageKind::Mot) {
            if (workDir == nullptr) {
                return Refuse(image, kConversionErrorText,
                              "No working folder could be made in the temporary folder. Free "
                              "some space there (or set TMPDIR), then try again.");
            }
            CRememberingSink remembering(&sink);
            const bool converted =
                ConvertMotToBin(fs::path(path), *workDir, remembering, &image.bytes);
            std::error_code ec;
            for (const char* name : kTraceFileNames) {
                fs::remove(*workDir / name, ec);
            }
            if (!converted) {
                return Refuse(image, kConversionErrorText,
                              path + ": " + remembering.Last() +
                                  ". The file is damaged or no S-record file: copy it again from "
                                  "its source.");
            }
            image.converted = *workDir / kImageFileName;
        } else if (std::string reason; !LoadImage(path, image.bytes, reason)) {
            return Refuse(image, kImageReadErrorText,
                          "The image of " + path + " could not be read: " + reason +
                              ". Check that the file is still there, then try again.");
        }
        fileLength = image.bytes.size();
        if (!PadImage(image.bytes)) {
            return Refuse(
                image, kImageReadErrorText,
                "The image of " + path + " is too large to be firmware. " + kPickRightFile);
        }
    } catch (const std::bad_alloc&) {
        return Refuse(image, kImageReadErrorText,
                      "The image of " + path +
                          " does not fit in memory. Close other programs, "
                          "then try again.");
    }
    image.sha256 = Sha256Hex(image.bytes.data(), image.bytes.size());
    const bool master = targetType == kTargetMaster;
    const bool read =
        ReadSignature(image.bytes, fileLength,
                      master ? kMasterSignatureOffset : kSlaveSignatureOffset, image.signature);
    const bool fits = read && (master ? image.signature[0] == 0x30 && image.signature[1] == 0x64
                                      : image.signature == kSlaveSignature);
    if (!fits) {
        return Refuse(
            image, master ? kNotMasterText : kNotSlaveText,
            SignatureDetail(path, targetType, image.bytes, fileLength, read, image.signature));
    }
    if (master) {
        image.bootVersion = image.signature[3];
    }
    return true;
}

std::string FirmwareSummaryText(int targetType, const FirmwareImage& image, bool wholeSha256) {
    const std::string dot = " \xC2\xB7 ";  // U+00B7, a middle dot
    std::string text = std::string(TargetName(targetType)) + " image" + dot +
                       FormatCount(image.bytes.size()) + " bytes";
    if (image.bootVersion >= 0) {
        text += dot + "boot version " + std::to_string(image.bootVersion);
    }
    text += dot + "SHA-256 ";
    return wholeSha256 ? text + image.sha256
                       : text + image.sha256.substr(0, 8) + "\xE2\x80\xA6";  // U+2026
}

FirmwareSummary SummarizeFirmware(const std::string& path) {
    FirmwareSummary summary;
    if (path.empty()) {
        return summary;
    }
    const FileCheck check = CheckFirmwareFile(path);
    if (!check.message.empty()) {
        summary.text = check.message + "\n" + check.detail;
        return summary;
    }
    CRememberingSink quiet(nullptr);
    FirmwareImage image;
    bool fit = false;
    try {
        const CWorkDir work;
        fit = LoadFirmwareImage(path, FileExtension(path), check.targetType, &work.Path(), quiet,
                                image);
    } catch (const fs::filesystem_error&) {
        fit = LoadFirmwareImage(path, FileExtension(path), check.targetType, nullptr, quiet, image);
    }
    summary.fit = fit;
    summary.text =
        fit ? FirmwareSummaryText(check.targetType, image) : image.refusal + "\n" + image.detail;
    summary.sha256 = fit ? image.sha256 : std::string();
    return summary;
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
        const fs::file_status status = fs::status(fs::path(path), ec);
        std::ifstream file;
        errno = 0;
        if (fs::is_regular_file(status)) {
            file.open(path, std::ios::binary);
        }
        if (!file.is_open()) {
            check.message = kCannotOpenFileText;
            if (fs::is_directory(status)) {
                check.detail = path + " is a folder. Pick the firmware file in it with \"...\".";
            } else if (fs::exists(status) && !fs::is_regular_file(status)) {
                check.detail = path + " is no regular file. Pick the firmware file with \"...\".";
            } else if (fs::exists(status)) {
                check.detail = path + ": " +
                               std::generic_category().message(errno != 0 ? errno : EACCES) +
                               ". Copy the file to a folder of your own, then pick that copy.";
            } else {
                check.detail = path + ": " +
                               (ec ? ec.message() : std::string("No such file or directory")) +
                               ". Check the path, or pick the file with \"...\".";
            }
            return check;
        }
    }
    const std::string name = fs::path(path).filename().string();
    if (name.find(TargetName(kTargetMaster)) != std::string::npos) {
        check.targetType = kTargetMaster;
    } else if (name.find(TargetName(kTargetSlave)) != std::string::npos) {
        check.targetType = kTargetSlave;
    } else {
        check.message = kNoTypeText;
        const std::string fixed = CapitalisedName(name);
        check.detail = "Its name, " + name +
                       ", holds neither \"Master\" nor \"Slave\" (capital first letter). " +
                       (fixed.empty() ? std::string("Rename it to say which target it is for.")
                                      : "Rename it to " + fixed + " if that is its target.");
    }
    return check;
}

std::string FileExtension(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}
