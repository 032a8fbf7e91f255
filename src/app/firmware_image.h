// The firmware file before any port is touched: the Flash command's name checks, then the
// image as a run reads it (the kind from the extension, a .mot converted in a working folder,
// padded to whole blocks), its signature and its SHA-256. The run, the command line's check
// for several ports and the window's summary all go through here, so they judge a file alike.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/job_ui.h"

constexpr int kTargetMaster = 0;
constexpr int kTargetSlave = 1;

// "Master" or "Slave".
const char* TargetName(int targetType);

// The Flash command's file checks, in order: empty path, unreadable file, no "Master" or
// "Slave" in the file's name part. On success targetType is set and message is empty.
struct FileCheck {
    std::string message;  // the warning to show, or empty
    std::string detail;   // why, and what to do about it
    int targetType = kTargetMaster;
};
FileCheck CheckFirmwareFile(const std::string& path);

// The extension as a file dialog reports it: the part after the last dot of the name part,
// without the dot, case kept; empty when there is none.
std::string FileExtension(const std::string& path);

// True for the extension of an S-record file ("mot" in any case), which is converted.
bool NeedsConversion(const std::string& ext);

// The image of a firmware file as a run would send it.
struct FirmwareImage {
    std::vector<std::uint8_t> bytes;  // padded with 0xFF to whole blocks
    std::string sha256;               // of bytes; empty when the file could not be read
    std::array<std::uint8_t, 4> signature{};
    int bootVersion = -1;             // a Master image's bootloader version byte (offset 0x4003)
    std::filesystem::path converted;  // the tmp.bin a conversion wrote; empty for a .bin
    // A refused file: the fixed text and what is known about it. Empty when the image is fit.
    std::string refusal;
    std::string detail;
};

// Reads (or converts) path as a run does and checks its signature for targetType. A .mot is
// converted in workDir (null: no folder could be made), whose tmp.bin is the caller's to
// remove; the conversion's messages go to sink as they come. False when the file is refused.
bool LoadFirmwareImage(const std::string& path, const std::string& ext, int targetType,
                       const std::filesystem::path* workDir, IMessageSink& sink,
                       FirmwareImage& image);

// What the window shows under the file box and the command line prints first:
// "Master image · 32,832 bytes · boot version 5 · SHA-256 1a2b3c4d…"; with wholeSha256 the
// hash is given whole, to be compared with an approved one.
std::string FirmwareSummaryText(int targetType, const FirmwareImage& image,
                                bool wholeSha256 = false);

struct FirmwareSummary {
    bool fit = false;
    // A fit file's summary; else the refusal, a line break and its detail. Empty for an
    // empty path.
    std::string text;
    std::string sha256;  // of a fit image
};

// Every check a run makes on the file, with nothing shown or recorded: the name, the kind,
// the conversion (in a private folder removed again), the length and the signature.
FirmwareSummary SummarizeFirmware(const std::string& path);
