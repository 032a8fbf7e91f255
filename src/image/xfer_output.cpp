// Trace files and the image file.
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "image/hex_digits.h"
#include "image/xfer.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// "%0Nx" of a 32-bit value: lower case, at least minDigits digits (a negative count prints
// as eight digits, as printf does). Returns the end of what was written.
char* PutHex(char* out, std::uint32_t value, int minDigits) {
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
        *out++ = buffer[--n];
    }
    return out;
}

// Eight digits, always.
char* PutAddress(char* out, std::uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4) {
        *out++ = kDigits[(value >> shift) & 0xF];
    }
    return out;
}

// "%02x-%08x-%s\n"
void AppendRecordFormat(std::string& out, std::int32_t first, std::uint32_t address,
                        std::string_view data) {
    char head[32];
    char* p = PutHex(head, static_cast<std::uint32_t>(first), 2);
    *p++ = '-';
    p = PutAddress(p, address);
    *p++ = '-';
    out.append(head, static_cast<std::size_t>(p - head));
    out += data;
    out.push_back('\n');
}

// "%02x-%08x-%02x-%s\n"
void AppendLineFormat(std::string& out, const CRawblock& line) {
    char head[40];
    char* p = PutHex(head, static_cast<std::uint32_t>(line.m_nOffset), 2);
    *p++ = '-';
    p = PutAddress(p, line.m_nAddress);
    *p++ = '-';
    p = PutHex(p, static_cast<std::uint32_t>(line.m_nLength), 2);
    *p++ = '-';
    out.append(head, static_cast<std::size_t>(p - head));
    out += line.m_strData;
    out.push_back('\n');
}

// Writes one line per element through a small reused buffer. False when the file could
// not be created or written.
template <typename List, typename Format>
bool WriteTrace(const std::filesystem::path& path, const List& list, Format format) {
    // Text mode: each "\n" becomes the platform's line end.
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out) {
        return false;
    }
    constexpr std::size_t kChunk = 32 * 1024;
    std::string text;
    text.reserve(kChunk + 1024);
    for (const auto& element : list) {
        format(text, element);
        if (text.size() >= kChunk) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

void FormatRecord(std::string& out, const CS19block& record) {
    AppendRecordFormat(out, record.m_nCount, record.m_nAddress, record.m_strData);
}

void FormatRawLine(std::string& out, const CRawblock& line) {
    AppendRecordFormat(out, line.m_nOffset, line.m_nAddress, line.m_strData);
}

}  // namespace

template <typename List, typename Format>
bool CXfer::Dump(const List& list, const char* name, Format format, const char* errorMessage) {
    try {
        if (!WriteTrace(m_workDir / name, list, format)) {
            Show(errorMessage);
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        Show(xfer_msg::kOutOfMemory);
        return false;
    }
}

bool CXfer::DumpSorted() {
    return Dump(m_listSorted, kTraceFileNames[0], FormatRecord, xfer_msg::kTxtWrite);
}

bool CXfer::DumpUnordered() {
    return Dump(m_listUnordered, kTraceFileNames[1], FormatRecord, xfer_msg::kTxtWrite);
}

bool CXfer::DumpRawLines() {
    return Dump(m_listLines, kTraceFileNames[2], FormatRawLine, xfer_msg::kTxtWrite);
}

bool CXfer::DumpLines() {
    return Dump(m_listLines, kTraceFileNames[3], AppendLineFormat, xfer_msg::kTxtWrite);
}

bool CXfer::DumpMerged() {
    return Dump(m_listMerged, kTraceFileNames[4], AppendLineFormat, xfer_msg::kMotTxtWrite);
}

bool CXfer::DumpImage() {
    return Dump(m_listImage, kTraceFileNames[5], AppendLineFormat, xfer_msg::kFullMotTxtWrite);
}

bool CXfer::WriteBinFile(const std::filesystem::path& path, std::vector<std::uint8_t>* written) {
    std::vector<char> bytes;
    try {
        bytes.reserve(m_listImage.size() * 16);
        for (const CRawblock& line : m_listImage) {
            const std::string_view text = line.m_strData;
            for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
                const int high = hex_digits::Value(text[i]);
                const int low = hex_digits::Value(text[i + 1]);
                // As HexToByte: a pair that is not hexadecimal gives 0.
                bytes.push_back(high < 0 || low < 0 ? '\0' : static_cast<char>(high * 16 + low));
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
    if (written != nullptr) {
        try {
            written->assign(bytes.begin(), bytes.end());
        } catch (const std::bad_alloc&) {
            Show(xfer_msg::kOutOfMemory);
            return false;
        }
    }
    return true;
}
