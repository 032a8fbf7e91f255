// Trace files and the image file.
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "image/xfer.h"

namespace {

// "%0Nx" of a 32-bit value: lower case, at least minDigits digits (a negative count prints
// as eight digits, as printf does).
void AppendHex(std::string& out, std::uint32_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char buffer[8];
    int n = 0;
    do {
        buffer[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    while (n < minDigits) {
        buffer[n++] = '0';
    }
    while (n > 0) {
        out.push_back(buffer[--n]);
    }
}

// "%02x-%08x-%s\n"
void AppendRecordFormat(std::string& out, std::int32_t first, std::uint32_t address,
                        const std::string& data) {
    AppendHex(out, static_cast<std::uint32_t>(first), 2);
    out.push_back('-');
    AppendHex(out, address, 8);
    out.push_back('-');
    out += data;
    out.push_back('\n');
}

// "%02x-%08x-%02x-%s\n"
void AppendLineFormat(std::string& out, const CRawblock& line) {
    AppendHex(out, static_cast<std::uint32_t>(line.m_nOffset), 2);
    out.push_back('-');
    AppendHex(out, line.m_nAddress, 8);
    out.push_back('-');
    AppendHex(out, static_cast<std::uint32_t>(line.m_nLength), 2);
    out.push_back('-');
    out += line.m_strData;
    out.push_back('\n');
}

template <typename List>
std::size_t EstimatedSize(const List& list) {
    return list.size() * 56;
}

}  // namespace

bool CXfer::WriteTextFile(const char* name, const std::string& text, const char* errorMessage) {
    // Text mode: each "\n" becomes the platform's line end.
    std::ofstream out(m_workDir / name, std::ios::out | std::ios::trunc);
    if (out) {
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
    }
    if (!out) {
        Show(errorMessage);
        return false;
    }
    return true;
}

bool CXfer::DumpRecords(const std::list<CS19block>& list, const char* name) {
    try {
        std::string text;
        text.reserve(EstimatedSize(list));
        for (const CS19block& record : list) {
            AppendRecordFormat(text, record.m_nCount, record.m_nAddress, record.m_strData);
        }
        return WriteTextFile(name, text, xfer_msg::kTxtWrite);
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::DumpLineList(const std::list<CRawblock>& list, const char* name,
                         const char* errorMessage) {
    try {
        std::string text;
        text.reserve(EstimatedSize(list));
        for (const CRawblock& line : list) {
            AppendLineFormat(text, line);
        }
        return WriteTextFile(name, text, errorMessage);
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::DumpSorted() {
    return DumpRecords(m_listSorted, kTraceFileNames[0]);
}

bool CXfer::DumpUnordered() {
    return DumpRecords(m_listUnordered, kTraceFileNames[1]);
}

bool CXfer::DumpRawLines() {
    try {
        std::string text;
        text.reserve(EstimatedSize(m_listLines));
        for (const CRawblock& line : m_listLines) {
            AppendRecordFormat(text, line.m_nOffset, line.m_nAddress, line.m_strData);
        }
        return WriteTextFile(kTraceFileNames[2], text, xfer_msg::kTxtWrite);
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::DumpLines() {
    return DumpLineList(m_listLines, kTraceFileNames[3], xfer_msg::kTxtWrite);
}

bool CXfer::DumpMerged() {
    return DumpLineList(m_listMerged, kTraceFileNames[4], xfer_msg::kMotTxtWrite);
}

bool CXfer::DumpImage() {
    return DumpLineList(m_listImage, kTraceFileNames[5], xfer_msg::kFullMotTxtWrite);
}

bool CXfer::WriteBinFile(const std::filesystem::path& path) {
    std::vector<char> bytes;
    try {
        bytes.reserve(m_listImage.size() * 16);
        for (const CRawblock& line : m_listImage) {
            const std::string_view text = line.m_strData;
            for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
                bytes.push_back(static_cast<char>(HexToByte(text.substr(i, 2))));
            }
        }
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
    }
    if (!out) {
        Show(xfer_msg::kBinWrite);
        return false;
    }
    return true;
}
