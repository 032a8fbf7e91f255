#include "image/convert.h"

#include <new>

bool ConvertMotToBin(const std::filesystem::path& motPath, const std::filesystem::path& workDir,
                     IMessageSink& sink, std::vector<std::uint8_t>* image) {
    try {
        CXfer xfer(sink, workDir);
        // Each list is dropped once the stage after the one reading it has run, so the
        // memory of one is reused by the next.
        if (!xfer.LoadMotFile(motPath) || !xfer.SortRecords()) {
            return false;
        }
        xfer.DropRecords();
        if (!xfer.DumpSorted() || !xfer.DumpUnordered() || !xfer.BuildLines()) {
            return false;
        }
        xfer.DropSortedAndUnordered();
        if (!xfer.DumpRawLines() || !xfer.DumpLines() || !xfer.MergeLines()) {
            return false;
        }
        xfer.DropLines();
        if (!xfer.DumpMerged() || !xfer.FillImage()) {
            return false;
        }
        xfer.DropMerged();
        return xfer.DumpImage() && xfer.WriteBinFile(workDir / kImageFileName, image);
    } catch (const std::bad_alloc&) {
        sink.ShowMessage(xfer_msg::kOutOfMemory, std::string(), MsgIcon::None);
        return false;
    }
}
