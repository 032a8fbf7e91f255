// Loading: S-record lines into m_listRecords, refusing damaged records by line number.
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "common/stop_request.h"
#include "image/hex_digits.h"
#include "image/xfer.h"

namespace {

std::string_view TypeOf(std::string_view line) {
    return line.substr(0, 2);
}

// Lines that end the file: nothing after them is looked at.
bool IsEndRecord(std::string_view type) {
    return type == "S7" || type == "S8" || type == "S9";
}

bool IsDataRecord(std::string_view type) {
    return type == "S1" || type == "S2";
}

// Larger than any image as S-records (a full 128 KiB image is under 1 MiB), and small
// enough that loading it cannot exhaust memory.
constexpr std::uintmax_t kMaxMotFileSize = 64u << 20;

}  // namespace

std::uint8_t CXfer::HexToByte(std::string_view text) {
    if (text.size() != 2) {
        return 0;
    }
    const int high = hex_digits::Value(text[0]);
    const int low = hex_digits::Value(text[1]);
    if (high < 0 || low < 0) {
        return 0;
    }
    return static_cast<std::uint8_t>(high * 16 + low);
}

ParseStatus CXfer::ParseLine(std::string_view line, ParsedLine& parsed) {
    const std::string_view type = TypeOf(line);
    parsed.type = type;
    if (type == "S0") {
        return ParseStatus::Ok;
    }
    if (!IsDataRecord(type)) {
        return ParseStatus::Stop;
    }
    // A CR left by a CR LF line end and trailing blanks are not part of the record.
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
        line.remove_suffix(1);
    }
    if (line.size() < 4 || line.size() % 2 != 0) {
        return ParseStatus::Malformed;
    }
    for (std::size_t i = 2; i < line.size(); ++i) {
        if (hex_digits::Value(line[i]) < 0) {
            return ParseStatus::Malformed;
        }
    }
    const int addressBytes = type == "S1" ? 2 : 3;
    const int byteCount = static_cast<int>(hex_digits::Pair(&line[2]));
    // Address, at least no data, and the checksum byte; and exactly as many bytes as the line
    // holds.
    if (byteCount < addressBytes + 1 ||
        line.size() != 4 + 2 * static_cast<std::size_t>(byteCount)) {
        return ParseStatus::Malformed;
    }
    unsigned sum = 0;
    for (std::size_t i = 2; i < line.size(); i += 2) {
        sum += hex_digits::Pair(&line[i]);
    }
    if ((sum & 0xFF) != 0xFF) {
        return ParseStatus::BadChecksum;
    }

    std::uint32_t address = 0;
    for (int i = 0; i < addressBytes; ++i) {
        address = address * 256 + hex_digits::Pair(&line[4 + 2 * static_cast<std::size_t>(i)]);
    }
    const std::size_t dataPos = 4 + 2 * static_cast<std::size_t>(addressBytes);
    parsed.address = address;
    parsed.data = line.substr(dataPos, line.size() - 2 - dataPos);
    parsed.checksum = static_cast<std::uint8_t>(hex_digits::Pair(&line[line.size() - 2]));
    return ParseStatus::Ok;
}

namespace {

// Lines up to LF, CR LF or a lone CR, without the line end; a last line without one counts,
// an empty tail does not. Reads in chunks and hands out views into its buffer, so a line
// costs no copy unless it straddles two chunks.
class LineReader {
public:
    explicit LineReader(std::istream& in) : m_in(in) {}

    bool Next(std::string_view& line) {
        for (;;) {
            if (m_skipLf && m_pos < m_chunk.size()) {
                // The LF of a CR LF whose CR ended the previous chunk.
                m_skipLf = false;
                m_pos += m_chunk[m_pos] == '\n' ? 1 : 0;
            }
            const std::size_t end = m_chunk.find_first_of("\r\n", m_pos);
            if (end != std::string_view::npos) {
                line = Take(end);
                m_pos = end + 1;
                if (m_chunk[end] == '\r') {
                    m_skipLf = true;
                }
                return true;
            }
            // The rest of this chunk starts a line that goes on in the next one.
            m_carry.append(m_chunk.substr(m_pos));
            m_chunk = {};
            m_pos = 0;
            if (!Fill()) {
                if (m_carry.empty()) {
                    return false;
                }
                m_line.swap(m_carry);
                m_carry.clear();
                line = m_line;
                return true;
            }
        }
    }

    bool Failed() const { return m_in.bad(); }

private:
    bool Fill() {
        ThrowIfStopRequested();
        m_in.read(m_buffer, sizeof m_buffer);
        const auto got = static_cast<std::size_t>(m_in.gcount());
        m_chunk = std::string_view(m_buffer, got);
        return got > 0;
    }

    std::string_view Take(std::size_t end) {
        if (m_carry.empty()) {
            return m_chunk.substr(m_pos, end - m_pos);
        }
        m_carry.append(m_chunk.substr(m_pos, end - m_pos));
        m_line.swap(m_carry);
        m_carry.clear();
        return m_line;
    }

    std::istream& m_in;
    char m_buffer[64 * 1024];
    std::string_view m_chunk;
    std::size_t m_pos = 0;
    std::string m_carry;
    std::string m_line;
    bool m_skipLf = false;
};

}  // namespace

bool CXfer::LoadMotFile(const std::filesystem::path& path) {
    try {
        // The later lists point into the records: they go with them.
        m_listRecords.clear();
        m_listSorted.clear();
        m_listUnordered.clear();
        // Only a regular file: a FIFO or a device would block the open or never end.
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        const std::uintmax_t size = std::filesystem::file_size(path, ec);
        if (size > kMaxMotFileSize) {
            Show(xfer_msg::kTooLarge);
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        m_listRecords.Reserve(static_cast<std::size_t>(size));
        auto reader = std::make_unique<LineReader>(in);
        std::string_view line;
        ParsedLine work;
        std::size_t lineNo = 0;
        bool sawData = false;  // an S1 or S2 record, with or without data bytes
        while (reader->Next(line)) {
            ++lineNo;
            switch (ParseLine(line, work)) {
                case ParseStatus::Ok:
                    sawData |= work.type != "S0";
                    // A record without data bytes adds nothing to the image; as a line of
                    // its own it would shift every byte behind it.
                    if (work.type != "S0" && !work.data.empty()) {
                        m_listRecords.Add(work.type == "S2", work.address, work.data,
                                          work.checksum);
                    }
                    continue;
                case ParseStatus::Malformed:
                    Show(xfer_msg::AtLine(xfer_msg::kFormat, lineNo));
                    return false;
                case ParseStatus::BadChecksum:
                    Show(xfer_msg::AtLine(xfer_msg::kChecksum, lineNo));
                    return false;
                case ParseStatus::Stop:
                    break;
            }
            // Loading ends here, and any data record behind this line would be lost
            // silently: such a file is refused. Data behind an end record (a second file
            // joined on) is named by its own line, data behind any other line by the line
            // that stopped loading. S3 data counts as soon as the file holds S1/S2 data; a
            // file of S3 records only is no file of ours and keeps its own message.
            const std::size_t stopLine = lineNo;
            bool ended = IsEndRecord(TypeOf(line));
            if (TypeOf(line) == "S3" && sawData) {
                Show(xfer_msg::AtLine(xfer_msg::kFormat, stopLine));
                return false;
            }
            while (reader->Next(line)) {
                ++lineNo;
                const std::string_view type = TypeOf(line);
                if (IsDataRecord(type) || (type == "S3" && sawData)) {
                    Show(xfer_msg::AtLine(xfer_msg::kFormat, ended ? lineNo : stopLine));
                    return false;
                }
                ended |= IsEndRecord(type);
            }
            break;
        }
        if (reader->Failed()) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kParseMemory);
        return false;
    }
}
