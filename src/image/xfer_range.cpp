// Address stages: ordering, cutting into 16-byte lines, merging, filling.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "image/xfer.h"

namespace {

constexpr int kLineBytes = 16;

const std::string& FillText() {
    static const std::string fill(2 * kLineBytes, 'F');
    return fill;
}

}  // namespace

bool CXfer::SortRecords() {
    try {
        m_listUnordered.clear();
        m_listSorted.clear();
        if (m_listRecords.empty()) {
            Show(xfer_msg::kNoRecords);
            return false;
        }
        std::uint32_t lastKept = 0;
        for (const CS19block& record : m_listRecords) {
            if (record.m_nAddress >= kImageAddressLimit) {
                continue;
            }
            if (record.m_nAddress >= lastKept) {
                m_listSorted.push_back(record);
                lastKept = record.m_nAddress;
            } else {
                m_listUnordered.push_back(record);
            }
        }
        if (m_listSorted.empty()) {
            Show(xfer_msg::kRange);
            return false;
        }
        if (m_listUnordered.empty()) {
            return true;
        }
        // Each out-of-order record goes in front of the first sorted record whose address is
        // not lower than its own, in file order. So per address the out-of-order records end
        // up in reverse file order, in front of the in-order ones: sorting them that way and
        // merging them in with one walk gives the same list without a walk per record.
        std::vector<const CS19block*> pending;
        pending.reserve(m_listUnordered.size());
        for (auto it = m_listUnordered.rbegin(); it != m_listUnordered.rend(); ++it) {
            pending.push_back(&*it);
        }
        std::stable_sort(
            pending.begin(), pending.end(),
            [](const CS19block* a, const CS19block* b) { return a->m_nAddress < b->m_nAddress; });
        auto at = m_listSorted.begin();
        for (const CS19block* record : pending) {
            while (at != m_listSorted.end() && at->m_nAddress < record->m_nAddress) {
                ++at;
            }
            m_listSorted.insert(at, *record);
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::BuildLines() {
    try {
        if (m_listSorted.empty()) {
            Show(xfer_msg::kMaxRange);
            return false;
        }
        m_listLines.clear();
        std::string text;
        for (const CS19block& record : m_listSorted) {
            const auto offset = static_cast<std::int32_t>(record.m_nAddress % kLineBytes);
            const std::uint32_t address = record.m_nAddress - static_cast<std::uint32_t>(offset);
            text.assign(2 * static_cast<std::size_t>(offset), 'F');
            std::int32_t length = offset;
            text += record.m_strData;
            length += record.m_nCount;
            if (length % kLineBytes != 0) {
                const std::int32_t pad = kLineBytes - length % kLineBytes;
                text.append(2 * static_cast<std::size_t>(pad), 'F');
                length += pad;
            }
            const std::int32_t dataEnd = offset + record.m_nCount;
            if (length <= kLineBytes) {
                m_listLines.emplace_back(offset, address, length, text, dataEnd);
                continue;
            }
            // A record reaching into further lines is cut into consecutive full lines; each
            // line after the first carries the part of its line the record did not start in.
            const std::int32_t lines = length / kLineBytes;
            for (std::int32_t i = 0; i < lines; ++i) {
                const std::size_t pos = 2 * kLineBytes * static_cast<std::size_t>(i);
                const std::string_view part =
                    pos < text.size() ? std::string_view(text).substr(pos, 2 * kLineBytes)
                                      : std::string_view();
                m_listLines.emplace_back(i == 0 ? offset : kLineBytes - offset,
                                         address + static_cast<std::uint32_t>(kLineBytes * i),
                                         kLineBytes, part,
                                         std::min(kLineBytes, dataEnd - kLineBytes * i));
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::MergeLines() {
    try {
        m_listMerged.clear();
        // No line address (a multiple of 16) equals this, so the first line is never merged.
        std::uint32_t previousAddress = 1500;
        for (const CRawblock& line : m_listLines) {
            if (line.m_nAddress != previousAddress) {
                m_listMerged.push_back(line);
            } else {
                // This record's own bytes replace those of the line so far; every other byte
                // of the line, in front of them or behind them, stays as it was.
                CRawblock& previous = m_listMerged.back();
                const auto from = static_cast<std::size_t>(2 * std::max(line.m_nOffset, 0));
                const auto to = static_cast<std::size_t>(2 * std::min(line.m_nEnd, kLineBytes));
                if (to > from && line.m_strData.size() >= to && previous.m_strData.size() >= to) {
                    previous.m_strData.replace(from, to - from, line.m_strData, from, to - from);
                }
                previous.m_nOffset = line.m_nOffset;
                previous.m_nAddress = line.m_nAddress;
                previous.m_nLength = line.m_nLength;
                previous.m_nEnd = line.m_nEnd;
            }
            previousAddress = m_listMerged.back().m_nAddress;
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::FillImage() {
    try {
        m_listImage.clear();
        bool first = true;
        std::uint32_t previousAddress = 0;
        std::int32_t previousOffset = 0;
        for (const CRawblock& line : m_listMerged) {
            std::uint32_t address = previousAddress + kLineBytes;
            if (first) {
                address = 0;
            } else if (line.m_nAddress < previousAddress) {
                Show(xfer_msg::kOrder);
                return false;
            }
            for (; address < line.m_nAddress; address += kLineBytes) {
                m_listImage.emplace_back(previousOffset, address, kLineBytes, FillText());
            }
            m_listImage.push_back(line);
            previousAddress = line.m_nAddress;
            previousOffset = line.m_nOffset;
            first = false;
        }
        // The image ends on a 64-byte boundary.
        while (!m_listImage.empty() && (m_listImage.back().m_nAddress & 0x30) != 0x30) {
            const CRawblock& last = m_listImage.back();
            m_listImage.emplace_back(last.m_nOffset, last.m_nAddress + kLineBytes, kLineBytes,
                                     FillText());
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}
