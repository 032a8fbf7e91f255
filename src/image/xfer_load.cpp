// Loading: S-record lines into m_listRecords, refusing damaged records by line number.
#include <fstream>
#include <new>
#include <string>
#include <system_error>

#include "image/xfer.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

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

std::string WithLine(const char* text, std::size_t lineNo) {
    return std::string(text) + " (line " + std::to_string(lineNo) + ")";
}

}  // namespace

std::uint8_t CXfer::HexToByte(std::string_view text) {
    if (text.size() != 2) {
        return 0;
    }
    const int high = HexValue(text[0]);
    const int low = HexValue(text[1]);
    if (high < 0 || low < 0) {
        return 0;
    }
    return static_cast<std::uint8_t>(high * 16 + low);
}

ParseStatus CXfer::ParseLine(std::string_view line, CS19block& block) {
    const std::string_view type = TypeOf(line);
    block.m_strType.assign(type);
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
        if (HexValue(line[i]) < 0) {
            return ParseStatus::Malformed;
        }
    }
    const int addressBytes = type == "S1" ? 2 : 3;
    const int byteCount = HexToByte(line.substr(2, 2));
    // Address, at least no data, and the checksum byte; and exactly as many bytes as the line
    // holds.
    if (byteCount < addressBytes + 1 ||
        line.size() != 4 + 2 * static_cast<std::size_t>(byteCount)) {
        return ParseStatus::Malformed;
    }
    unsigned sum = 0;
    for (std::size_t i = 2; i < line.size(); i += 2) {
        sum += HexToByte(line.substr(i, 2));
    }
    if ((sum & 0xFF) != 0xFF) {
        return ParseStatus::BadChecksum;
    }

    std::uint32_t address = 0;
    for (int i = 0; i < addressBytes; ++i) {
        address = address * 256 + HexToByte(line.substr(4 + 2 * i, 2));
    }
    const std::size_t dataPos = 4 + 2 * static_cast<std::size_t>(addressBytes);
    block.m_nCount = byteCount - addressBytes - 1;
    block.m_nAddress = address;
    block.m_strData.assign(line.substr(dataPos, 2 * static_cast<std::size_t>(block.m_nCount)));
    block.m_nChecksum = HexToByte(line.substr(line.size() - 2, 2));
    return ParseStatus::Ok;
}

bool CXfer::LoadMotFile(const std::filesystem::path& path) {
    try {
        m_listRecords.clear();
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        std::string line;
        CS19block work;
        std::size_t lineNo = 0;
        while (std::getline(in, line)) {
            ++lineNo;
            switch (ParseLine(line, work)) {
                case ParseStatus::Ok:
                    // A record without data bytes adds nothing to the image; as a line of
                    // its own it would shift every byte behind it.
                    if (work.m_strType != "S0" && work.m_nCount > 0) {
                        m_listRecords.push_back(work);
                    }
                    continue;
                case ParseStatus::Malformed:
                    Show(WithLine(xfer_msg::kFormat, lineNo));
                    return false;
                case ParseStatus::BadChecksum:
                    Show(WithLine(xfer_msg::kChecksum, lineNo));
                    return false;
                case ParseStatus::Stop:
                    break;
            }
            // Loading ends here. An end record closes the file; after any other line a
            // data record would be lost silently, so it makes the file unusable.
            if (IsEndRecord(TypeOf(line))) {
                return true;
            }
            const std::size_t stopLine = lineNo;
            while (std::getline(in, line)) {
                const std::string_view type = TypeOf(line);
                if (IsEndRecord(type)) {
                    break;
                }
                if (IsDataRecord(type)) {
                    Show(WithLine(xfer_msg::kFormat, stopLine));
                    return false;
                }
            }
            break;
        }
        if (in.bad()) {
            Show(xfer_msg::kReadFile);
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kParseMemory);
        return false;
    }
}
