// The conversion of an S-record file into a flat image: the record and line types, the
// conversion object with its lists, and the stages that rebuild one list from another.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "common/job_ui.h"
#include "image/arena.h"

// One data record of the S-record file. Allocator-aware so that a conversion's lists keep
// their elements in one arena (thousands of small texts per conversion).
class CS19block {
public:
    using allocator_type = std::pmr::polymorphic_allocator<char>;

    CS19block() = default;
    explicit CS19block(const allocator_type& alloc) : m_strType(alloc), m_strData(alloc) {}
    CS19block(const CS19block&) = default;
    CS19block(const CS19block& other, const allocator_type& alloc)
        : m_strType(other.m_strType, alloc),
          m_nCount(other.m_nCount),
          m_nAddress(other.m_nAddress),
          m_strData(other.m_strData, alloc),
          m_nChecksum(other.m_nChecksum) {}
    CS19block(CS19block&&) noexcept = default;
    CS19block& operator=(const CS19block&) = default;
    CS19block& operator=(CS19block&&) = default;
    virtual ~CS19block() = default;

    std::pmr::string m_strType;    // "S0", "S1" or "S2"
    std::int32_t m_nCount = 0;     // data bytes
    std::uint32_t m_nAddress = 0;  // address of the first data byte
    std::pmr::string m_strData;    // data field as written, two characters per byte
    std::uint32_t m_nChecksum = 0;
};

// One 16-byte line of the image, as hexadecimal text.
class CRawblock {
public:
    using allocator_type = std::pmr::polymorphic_allocator<char>;

    CRawblock() = default;
    explicit CRawblock(const allocator_type& alloc) : m_strData(alloc) {}
    CRawblock(std::int32_t offset, std::uint32_t address, std::int32_t length,
              std::string_view data, const allocator_type& alloc = {})
        : CRawblock(offset, address, length, data, 16, alloc) {}
    CRawblock(std::int32_t offset, std::uint32_t address, std::int32_t length,
              std::string_view data, std::int32_t end, const allocator_type& alloc = {})
        : m_nOffset(offset),
          m_nAddress(address),
          m_nLength(length),
          m_strData(data, alloc),
          m_nEnd(end) {}
    CRawblock(const CRawblock&) = default;
    CRawblock(const CRawblock& other, const allocator_type& alloc)
        : m_nOffset(other.m_nOffset),
          m_nAddress(other.m_nAddress),
          m_nLength(other.m_nLength),
          m_strData(other.m_strData, alloc),
          m_nEnd(other.m_nEnd) {}
    CRawblock(CRawblock&&) noexcept = default;
    CRawblock& operator=(const CRawblock&) = default;
    CRawblock& operator=(CRawblock&&) = default;
    virtual ~CRawblock() = default;

    std::int32_t m_nOffset = 0;    // where the record's data begins in the line (merging uses it)
    std::uint32_t m_nAddress = 0;  // multiple of 16
    std::int32_t m_nLength = 0;
    std::pmr::string m_strData;  // 32 characters for a complete line, fill bytes "FF"
    // Where the record's data ends in the line (16: at the line's end). Merging takes only
    // the bytes from m_nOffset to here from a later record.
    std::int32_t m_nEnd = 16;
};

// What one line of an S-record file is to the loader.
enum class ParseStatus {
    Ok,           // "S0", "S1" or "S2" line, well formed; the block is filled
    Stop,         // any other line: loading ends here
    Malformed,    // an "S1"/"S2" line whose fields do not fit together
    BadChecksum,  // an "S1"/"S2" line whose checksum does not match its bytes
};

// Records starting at or above this address are left out of the image.
inline constexpr std::uint32_t kImageAddressLimit = 0x20000;

inline constexpr const char* kImageFileName = "tmp.bin";
// The trace files, in the order a caller deletes them.
inline constexpr std::array<const char*, 6> kTraceFileNames = {
    "Rtmps19.txt", "Ttmps19.txt", "Rawtmps19.txt", "tmp.txt", "mottmp.txt", "fullmottmp.txt"};

// One conversion. Each stage empties its output list, rebuilds it from its input list and
// returns false after reporting a failure to the sink. Trace files go into workDir.
class CXfer {
public:
    CXfer(IMessageSink& sink, std::filesystem::path workDir);
    CXfer(const CXfer&) = delete;
    CXfer& operator=(const CXfer&) = delete;
    virtual ~CXfer() = default;

    // Loading: the file's "S1" and "S2" records into m_listRecords.
    bool LoadMotFile(const std::filesystem::path& path);
    static ParseStatus ParseLine(std::string_view line, CS19block& block);
    // Two hexadecimal characters (either case) to a byte; anything else gives 0.
    static std::uint8_t HexToByte(std::string_view text);

    // Address stages: m_listRecords -> m_listSorted/m_listUnordered -> m_listLines ->
    // m_listMerged -> m_listImage.
    bool SortRecords();
    bool BuildLines();
    bool MergeLines();  // fails only when memory runs out
    bool FillImage();

    // Trace files, one line per list element.
    bool DumpSorted();     // Rtmps19.txt
    bool DumpUnordered();  // Ttmps19.txt
    bool DumpRawLines();   // Rawtmps19.txt
    bool DumpLines();      // tmp.txt
    bool DumpMerged();     // mottmp.txt
    bool DumpImage();      // fullmottmp.txt

    // m_listImage as bytes into the file at path; written, when given, receives those bytes
    // once the file holds them.
    bool WriteBinFile(const std::filesystem::path& path,
                      std::vector<std::uint8_t>* written = nullptr);

    // Memory economy for the driver: empties lists that no later stage reads and reuses
    // their memory. Loading, line building and filling share one arena, ordering and
    // merging the other, so each stage's input can go once the next stage has run.
    void DropRecords();             // m_listRecords
    void DropSortedAndUnordered();  // m_listSorted, m_listUnordered
    void DropLines();               // m_listLines
    void DropMerged();              // m_listMerged

private:
    // Declared before the lists: their elements live there, so they must outlive them.
    CBlockPool m_blocks;
    CArena m_arenaA{m_blocks};
    CArena m_arenaB{m_blocks};

public:
    std::pmr::list<CRawblock> m_listLines{&m_arenaA};
    std::pmr::list<CRawblock> m_listMerged{&m_arenaB};
    std::pmr::list<CRawblock> m_listImage{&m_arenaA};
    std::pmr::list<CS19block> m_listRecords{&m_arenaA};
    std::pmr::list<CS19block> m_listSorted{&m_arenaB};
    std::pmr::list<CS19block> m_listUnordered{&m_arenaB};

private:
    void ReleaseIfUnused(CArena& arena);
    void Show(const std::string& text);
    template <typename List, typename Format>
    bool Dump(const List& list, const char* name, Format format, const char* errorMessage);

    IMessageSink& m_sink;
    std::filesystem::path m_workDir;
};

// Message texts shown by the stages.
namespace xfer_msg {
inline constexpr const char* kReadFile = "Read File Error !";
inline constexpr const char* kParseMemory = "S19 File Error (A) !";
// These two name the line: AtLine(kFormat, n).
inline constexpr const char* kFormat = "Mot File Format Error !";
inline constexpr const char* kChecksum = "Mot File Checksum Error !";
inline constexpr const char* kTooLarge = "Mot File Error (larger than 64 MiB) !";
inline constexpr const char* kNoRecords = "Mot File Error! (S19 not format) !";
inline constexpr const char* kRange = "Mot File Data Range Error !";
inline constexpr const char* kMaxRange = "Mot File Error (Execute the max range) !";
inline constexpr const char* kOrder = "Mot File Error(2) !";
inline constexpr const char* kOutOfMemory = "Mot File Error (Out of memory) !";
inline constexpr const char* kTxtWrite = "TXT File Write Error !";
inline constexpr const char* kMotTxtWrite = "motTXT File Write Error !";
inline constexpr const char* kFullMotTxtWrite = "fullmotTXT File Write Error !";
inline constexpr const char* kBinWrite = "BIN File Write Error !";

// text followed by " (line N)", N counted from 1.
inline std::string AtLine(const char* text, std::size_t lineNo) {
    return std::string(text) + " (line " + std::to_string(lineNo) + ")";
}
}  // namespace xfer_msg
