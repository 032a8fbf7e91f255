// Address stages: ordering, cutting into 16-byte lines, merging, filling.
#include <algorithm>
#include <new>
#include <vector>

#include "image/xfer.h"

bool CXfer::SortRecords() {
    try {
        m_listUnordered.clear();
        m_listSorted.clear();
        if (m_listRecords.empty()) {
            Show(xfer_msg::kNoRecords);
            return false;
        }
        std::vector<std::uint32_t>& sorted = m_listSorted.m_positions;
        std::vector<std::uint32_t>& unordered = m_listUnordered.m_positions;
        std::uint32_t lastKept = 0;
        for (std::uint32_t i = 0; i < m_listRecords.size(); ++i) {
            const std::uint32_t address = m_listRecords[i].address;
            if (address >= kImageAddressLimit) {
                continue;
            }
            if (address >= lastKept) {
                sorted.push_back(i);
                lastKept = address;
            } else {
                unordered.push_back(i);
            }
        }
        if (sorted.empty()) {
            Show(xfer_msg::kRange);
            return false;
        }
        if (unordered.empty()) {
            return true;
        }
        // Each out-of-order record goes in front of the first sorted record whose address is
        // not lower than its own, in file order. So per address the out-of-order records end
        // up in reverse file order, in front of the in-order ones: sorting them that way and
        // merging them in gives the same list without a walk per record.
        auto addressOf = [this](std::uint32_t i) { return m_listRecords[i].address; };
        std::vector<std::uint32_t> pending(unordered.rbegin(), unordered.rend());
        std::stable_sort(pending.begin(), pending.end(), [&](std::uint32_t a, std::uint32_t b) {
            return addressOf(a) < addressOf(b);
        });
        // Merged from the back, into the room behind the in-order records.
        std::size_t inOrder = sorted.size();
        std::size_t left = pending.size();
        sorted.resize(inOrder + left);
        for (std::size_t out = sorted.size(); left > 0;) {
            if (inOrder > 0 && addressOf(sorted[inOrder - 1]) >= addressOf(pending[left - 1])) {
                sorted[--out] = sorted[--inOrder];
            } else {
                sorted[--out] = pending[--left];
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

// The lines are computed from the sorted records whenever they are walked (xfer_lists.h).
bool CXfer::BuildLines() {
    if (m_listSorted.empty()) {
        Show(xfer_msg::kMaxRange);
        return false;
    }
    return true;
}

bool CXfer::MergeLines() {
    return true;
}

// The image is walked once here for its order alone.
bool CXfer::FillImage() {
    ImageCursor image = m_listImage.Walk();
    CRawblock line;
    while (image.Next(line)) {
    }
    if (image.Misordered()) {
        Show(xfer_msg::kOrder);
        return false;
    }
    return true;
}
