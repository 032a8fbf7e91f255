#include "image/convert.h"

#include <new>

bool ConvertMotToBin(const std::filesystem::path& motPath, const std::filesystem::path& workDir,
                     IMessageSink& sink, std::vector<std::uint8_t>* image, std::size_t* records) {
    try {
        CXfer xfer(sink, workDir);
        const bool loaded = xfer.LoadMotFile(motPath);
        if (records != nullptr) {
            *records = xfer.m_listRecords.size();
        }
        return loaded && xfer.SortRecords() && xfer.DumpSorted() && xfer.DumpUnordered() &&
               xfer.BuildLines() && xfer.DumpRawLines() && xfer.DumpLines() && xfer.MergeLines() &&
               xfer.DumpMerged() && xfer.FillImage() && xfer.DumpImage() &&
               xfer.WriteBinFile(workDir / kImageFileName, image);
    } catch (const std::bad_alloc&) {
        sink.ShowMessage(xfer_msg::kOutOfMemory, std::string(), MsgIcon::None);
        return false;
    }
}
