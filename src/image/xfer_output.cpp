// Trace files and the image file.
#include <fstream>
#include <new>
#include <string>

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
void FormatLine(std::string& out, const CRawblock& line) {
    char head[40];
    char* p = PutHex(head, static_cast<std::uint32_t>(line.m_nOffset), 2);
    *p++ = '-';
    p = PutAddress(p, line.m_nAddress);
    *p++ = '-';
    p = PutHex(p, static_cast<std::uint32_t>(line.m_nLength), 2);
    *p++ = '-';
    out.append(head, static_cast<std::size_t>(p - head));
    out += line.Text();
    out.push_back('\n');
}

// Writes one line per element through a small reused buffer, format(text) appending the
// next one or returning false after the last. False when the file could not be created or
// written.
template <typename Format>
bool WriteTrace(const std::filesystem::path& path, Format format) {
    // Text mode: each "\n" becomes the platform's line end.
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out) {
        return false;
    }
    constexpr std::size_t kChunk = 32 * 1024;
    std::string text;
    text.reserve(kChunk + 1024);
    while (format(text)) {
        if (text.size() >= kChunk) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

// The records of a list, each as count, address and data.
auto Records(const CRecordList& list) {
    return [&list, i = std::size_t{0}](std::string& out) mutable {
        if (i == list.size()) {
            return false;
        }
        const PackedRecord& r = list[i++];
        AppendRecordFormat(out, r.count, r.address, list.Store().Data(r));
        return true;
    };
}

// The lines of a list, in the given format.
template <typename Cursor>
auto Lines(const CLineList<Cursor>& list, void (*format)(std::string&, const CRawblock&)) {
    return [it = list.begin(), end = list.end(), format](std::string& out) mutable {
        if (it == end) {
            return false;
        }
        format(out, *it);
        ++it;
        return true;
    };
}

void FormatRawLine(std::string& out, const CRawblock& line) {
    AppendRecordFormat(out, line.m_nOffset, line.m_nAddress, line.Text());
}

}  // namespace

template <typename Format>
bool CXfer::Dump(const char* name, Format format, const char* errorMessage) {
    try {
        if (!WriteTrace(m_workDir / name, format)) {
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
    return Dump(kTraceFileNames[0], Records(m_listSorted), xfer_msg::kTxtWrite);
}

bool CXfer::DumpUnordered() {
    return Dump(kTraceFileNames[1], Records(m_listUnordered), xfer_msg::kTxtWrite);
}

bool CXfer::DumpRawLines() {
    return Dump(kTraceFileNames[2], Lines(m_listLines, FormatRawLine), xfer_msg::kTxtWrite);
}

bool CXfer::DumpLines() {
    return Dump(kTraceFileNames[3], Lines(m_listLines, FormatLine), xfer_msg::kTxtWrite);
}

bool CXfer::DumpMerged() {
    return Dump(kTraceFileNames[4], Lines(m_listMerged, FormatLine), xfer_msg::kMotTxtWrite);
}

bool CXfer::DumpImage() {
    return Dump(kTraceFileNames[5], Lines(m_listImage, FormatLine), xfer_msg::kFullMotTxtWrite);
}

// Decoded a line at a time into a small buffer: the image is held whole only where the caller
// asks for the bytes written.
bool CXfer::WriteBinFile(const std::filesystem::path& path, std::vector<std::uint8_t>* written) {
    if (written != nullptr) {
        written->clear();
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    char bytes[4096];
    std::size_t used = 0;
    const auto flush = [&] {
        out.write(bytes, static_cast<std::streamsize>(used));
        if (written != nullptr) {
            written->insert(written->end(), bytes, bytes + used);
        }
        used = 0;
    };
    for (const CRawblock& line : m_listImage) {
        if (!out) {
            break;
        }
        const std::string_view text = line.Text();
        for (std::size_t i = 0; i < text.size(); i += 2) {
            const int high = hex_digits::Value(text[i]);
            const int low = hex_digits::Value(text[i + 1]);
            // As HexToByte: a pair that is not hexadecimal gives 0.
            bytes[used++] = high < 0 || low < 0 ? '\0' : static_cast<char>(high * 16 + low);
        }
        if (used == sizeof bytes) {
            flush();
        }
    }
    if (out) {
        flush();
        out.close();
    }
    if (!out) {
        Show(xfer_msg::kBinWrite);
        return false;
    }
    return true;
}
