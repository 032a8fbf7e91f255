// One whole conversion of an S-record file into the flat image "tmp.bin".
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "common/job_ui.h"
#include "image/xfer.h"

// Runs every stage in order and stops at the first that fails (its message has then gone
// to sink, with an empty caption and MsgIcon::None). tmp.bin and the trace files are
// written into workDir only; an earlier tmp.bin there is replaced only when the image is
// written. True means workDir/tmp.bin holds the complete image; image, when given, then holds
// the same bytes, so a caller need not read the file back. records, when given, receives the
// number of data records loaded.
bool ConvertMotToBin(const std::filesystem::path& motPath, const std::filesystem::path& workDir,
                     IMessageSink& sink, std::vector<std::uint8_t>* image = nullptr,
                     std::size_t* records = nullptr);
