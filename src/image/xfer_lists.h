// The lists of a conversion in compact form. A 64 MiB file holds a million records and
// more, so each record is kept once: a few numbers and its data text, as written, in one
// shared buffer. The sorted and out-of-order lists are positions of records; the lists of
// lines are never stored, they are computed while they are walked, since each line is a
// function of one record and each merged line of a run of lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kLineBytes = 16;

// One data record of the S-record file, as read out of a list.
class CS19block {
public:
    virtual ~CS19block() = default;

    std::string m_strType;         // "S1" or "S2"
    std::int32_t m_nCount = 0;     // data bytes
    std::uint32_t m_nAddress = 0;  // address of the first data byte
    std::string m_strData;         // data field as written, two characters per byte
    std::uint32_t m_nChecksum = 0;
};

// One 16-byte line of the image, as hexadecimal text.
class CRawblock {
public:
    virtual ~CRawblock() = default;

    std::int32_t m_nOffset = 0;    // where the record's data begins in the line (merging uses it)
    std::uint32_t m_nAddress = 0;  // multiple of 16
    std::int32_t m_nLength = 0;
    std::array<char, 2 * kLineBytes> m_strData{};  // a whole line; fill bytes "FF"
    // Where the record's data ends in the line (16: at the line's end). Merging takes only
    // the bytes from m_nOffset to here from a later record.
    std::int32_t m_nEnd = kLineBytes;

    std::string_view Text() const { return {m_strData.data(), m_strData.size()}; }
};

// Range-for over a record list: each element is read out as a copy.
template <typename List>
class RecordIterator {
public:
    RecordIterator(const List& list, std::size_t i) : m_list(&list), m_i(i) {}
    CS19block operator*() const { return m_list->Copy(m_i); }
    RecordIterator& operator++() {
        ++m_i;
        return *this;
    }
    bool operator==(const RecordIterator& other) const { return m_i == other.m_i; }

private:
    const List* m_list;
    std::size_t m_i;
};

// What a record costs: 12 bytes and its text.
struct PackedRecord {
    std::uint32_t address = 0;
    std::uint32_t text = 0;  // where its data text starts in the store's buffer
    std::uint8_t count = 0;  // data bytes, 1 to 252
    std::uint8_t checksum = 0;
    bool s2 = false;
};

// The loaded records in file order (m_listRecords).
class CRecordStore {
public:
    // Room for what a file of this size can hold; pages never written cost nothing.
    void Reserve(std::size_t fileSize);
    void Add(bool s2, std::uint32_t address, std::string_view data, std::uint8_t checksum);
    void clear();
    std::size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    const PackedRecord& operator[](std::size_t i) const { return m_records[i]; }
    std::string_view Data(const PackedRecord& r) const {
        return {m_text.data() + r.text, 2 * static_cast<std::size_t>(r.count)};
    }
    CS19block Copy(std::size_t i) const;
    RecordIterator<CRecordStore> begin() const { return {*this, 0}; }
    RecordIterator<CRecordStore> end() const { return {*this, size()}; }

private:
    std::vector<PackedRecord> m_records;
    std::vector<char> m_text;
};

// Records of a store by their position in it (m_listSorted, m_listUnordered).
class CRecordList {
public:
    explicit CRecordList(const CRecordStore& store) : m_store(store) {}
    void clear() { m_positions.clear(); }
    std::size_t size() const { return m_positions.size(); }
    bool empty() const { return m_positions.empty(); }
    const PackedRecord& operator[](std::size_t i) const { return m_store[m_positions[i]]; }
    CS19block Copy(std::size_t i) const { return m_store.Copy(m_positions[i]); }
    const CRecordStore& Store() const { return m_store; }
    RecordIterator<CRecordList> begin() const { return {*this, 0}; }
    RecordIterator<CRecordList> end() const { return {*this, size()}; }

    std::vector<std::uint32_t> m_positions;  // filled by ordering

private:
    const CRecordStore& m_store;
};

// The lines of the sorted records in order (m_listLines): a record is cut at multiples of 16
// into as many lines as it touches, 0xFF around its data.
class LineCursor {
public:
    explicit LineCursor(const CRecordList& sorted) : m_sorted(&sorted) {}
    bool Next(CRawblock& line);

private:
    const CRecordList* m_sorted;
    std::size_t m_record = 0;
    std::int32_t m_part = 0;  // which line of the record comes next
};

// The lines after neighbouring lines of one address were merged (m_listMerged).
class MergedCursor {
public:
    explicit MergedCursor(const CRecordList& sorted)
        : m_lines(sorted), m_ahead(m_lines.Next(m_next)) {}
    bool Next(CRawblock& line);

private:
    LineCursor m_lines;
    CRawblock m_next;  // the line after those merged so far, when m_ahead
    bool m_ahead;
};

// Every line of the image from address 0, gaps and end filled (m_listImage). Stops at a
// merged line below the one before it, which is then Misordered().
class ImageCursor {
public:
    explicit ImageCursor(const CRecordList& sorted)
        : m_merged(sorted), m_ahead(m_merged.Next(m_next)) {}
    bool Next(CRawblock& line);
    bool Misordered() const { return m_misordered; }

private:
    MergedCursor m_merged;
    CRawblock m_next;  // the next merged line, when m_ahead
    bool m_ahead;
    bool m_any = false;  // a line went out; m_address and m_offset are the last one's
    bool m_misordered = false;
    std::uint32_t m_address = 0;
    std::int32_t m_offset = 0;
};

// A list of lines computed from the sorted records.
template <typename Cursor>
class CLineList {
public:
    explicit CLineList(const CRecordList& sorted) : m_sorted(sorted) {}
    // Range-for: each line is read out as a copy.
    class Iterator {
    public:
        Iterator() = default;
        explicit Iterator(Cursor cursor) : m_cursor(cursor) { ++*this; }
        const CRawblock& operator*() const { return m_line; }
        Iterator& operator++() {
            if (!m_cursor->Next(m_line)) {
                m_cursor.reset();
            }
            return *this;
        }
        bool operator==(const Iterator& other) const {
            return m_cursor.has_value() == other.m_cursor.has_value();
        }

    private:
        std::optional<Cursor> m_cursor;
        CRawblock m_line;
    };
    Iterator begin() const { return Iterator(Cursor(m_sorted)); }
    Iterator end() const { return {}; }
    Cursor Walk() const { return Cursor(m_sorted); }

private:
    const CRecordList& m_sorted;
};
