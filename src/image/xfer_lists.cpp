#include "image/xfer_lists.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

void CRecordStore::Reserve(std::size_t fileSize) {
    // The shortest line that gives a record ("S1", count, address, one byte, checksum) has
    // 12 characters and its line end; the data text is shorter than the file.
    m_records.reserve(fileSize / 12 + 1);
    m_text.reserve(fileSize);
}

void CRecordStore::Add(bool s2, std::uint32_t address, std::string_view data,
                       std::uint8_t checksum) {
    // Positions are 32 bits wide: far beyond a 64 MiB file, but a file may grow while read.
    if (m_text.size() + data.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::bad_alloc();
    }
    PackedRecord record;
    record.address = address;
    record.text = static_cast<std::uint32_t>(m_text.size());
    record.count = static_cast<std::uint8_t>(data.size() / 2);
    record.checksum = checksum;
    record.s2 = s2;
    m_records.push_back(record);
    m_text.insert(m_text.end(), data.begin(), data.end());
}

void CRecordStore::clear() {
    m_records.clear();
    m_text.clear();
}

CS19block CRecordStore::Copy(std::size_t i) const {
    const PackedRecord& r = m_records[i];
    CS19block block;
    block.m_strType = r.s2 ? "S2" : "S1";
    block.m_nCount = r.count;
    block.m_nAddress = r.address;
    block.m_strData = Data(r);
    block.m_nChecksum = r.checksum;
    return block;
}

bool LineCursor::Next(CRawblock& line) {
    if (m_record == m_sorted->size()) {
        return false;
    }
    const PackedRecord& r = (*m_sorted)[m_record];
    const auto offset = static_cast<std::int32_t>(r.address % kLineBytes);
    const std::int32_t dataEnd = offset + r.count;
    const std::int32_t start = kLineBytes * m_part;  // of this line, counted from the first
    // Each line after the first carries the part of its line the record did not start in.
    line.m_nOffset = m_part == 0 ? offset : kLineBytes - offset;
    line.m_nAddress =
        r.address - static_cast<std::uint32_t>(offset) + static_cast<std::uint32_t>(start);
    line.m_nLength = kLineBytes;
    line.m_nEnd = std::min(kLineBytes, dataEnd - start);
    line.m_strData.fill('F');
    const std::int32_t from = std::max(offset, start);
    const std::int32_t to = std::min(dataEnd, start + kLineBytes);
    std::memcpy(line.m_strData.data() + 2 * (from - start),
                m_sorted->Store().Data(r).data() + 2 * (from - offset),
                2 * static_cast<std::size_t>(to - from));
    if (start + kLineBytes >= dataEnd) {
        m_part = 0;
        ++m_record;
    } else {
        ++m_part;
    }
    return true;
}

bool MergedCursor::Next(CRawblock& line) {
    if (!m_ahead) {
        return false;
    }
    line = m_next;
    while ((m_ahead = m_lines.Next(m_next)) && m_next.m_nAddress == line.m_nAddress) {
        // This record's own bytes replace those of the line so far; every other byte of the
        // line, in front of them or behind them, stays as it was.
        const auto from = static_cast<std::size_t>(2 * m_next.m_nOffset);
        const auto to = static_cast<std::size_t>(2 * m_next.m_nEnd);
        if (to > from) {
            std::memcpy(line.m_strData.data() + from, m_next.m_strData.data() + from, to - from);
        }
        line.m_nOffset = m_next.m_nOffset;
        line.m_nLength = m_next.m_nLength;
        line.m_nEnd = m_next.m_nEnd;
    }
    return true;
}

bool ImageCursor::Next(CRawblock& line) {
    if (m_misordered) {
        return false;
    }
    // From address 0, then behind the last line: a merged line where it is due, else fill.
    const std::uint32_t address = m_any ? m_address + kLineBytes : 0;
    if (m_ahead && m_next.m_nAddress <= address) {
        line = m_next;
        m_ahead = m_merged.Next(m_next);
        if (m_ahead && m_next.m_nAddress < line.m_nAddress) {
            m_misordered = true;  // a line this one has already passed
            m_ahead = false;
        }
    } else if (m_ahead || (m_any && (m_address & 0x30) != 0x30)) {
        // A gap, or the end padded to a multiple of 64; a fill line carries the offset of the
        // line before it.
        line.m_nOffset = m_offset;
        line.m_nAddress = address;
        line.m_nLength = kLineBytes;
        line.m_nEnd = kLineBytes;
        line.m_strData.fill('F');
    } else {
        return false;
    }
    m_any = true;
    m_address = line.m_nAddress;
    m_offset = line.m_nOffset;
    return true;
}
