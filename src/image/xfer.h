// The conversion of an S-record file into a flat image: the record and line types, the
// conversion object with its lists, and the stages that rebuild one list from another.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/job_ui.h"
#include "image/xfer_lists.h"

// What one line of an S-record file is to the loader.
enum class ParseStatus {
    Ok,           // "S0", "S1" or "S2" line, well formed; its fields are filled in
    Stop,         // any other line: loading ends here
    Malformed,    // an "S1"/"S2" line whose fields do not fit together
    BadChecksum,  // an "S1"/"S2" line whose checksum does not match its bytes
};

// The fields of one line; data views the line.
struct ParsedLine {
    std::string_view type;
    std::uint32_t address = 0;
    std::string_view data;  // two characters per byte, as written
    std::uint8_t checksum = 0;
};

// Records starting at or above this address are left out of the image.
inline constexpr std::uint32_t kImageAddressLimit = 0x20000;

inline constexpr const char* kImageFileName = "tmp.bin";
// The trace files, in the order a caller deletes them.
inline constexpr std::array<const char*, 6> kTraceFileNames = {
    "Rtmps19.txt", "Ttmps19.txt", "Rawtmps19.txt", "tmp.txt", "mottmp.txt", "fullmottmp.txt"};

// One conversion. Each stage rebuilds its output list from its input list (the lists of
// lines are views of the sorted records) and returns false after reporting a failure to
// the sink. Trace files go into workDir.
class CXfer {
public:
    CXfer(IMessageSink& sink, std::filesystem::path workDir);
    CXfer(const CXfer&) = delete;
    CXfer& operator=(const CXfer&) = delete;
    virtual ~CXfer() = default;

    // Loading: the file's "S1" and "S2" records into m_listRecords.
    bool LoadMotFile(const std::filesystem::path& path);
    static ParseStatus ParseLine(std::string_view line, ParsedLine& parsed);
    // Two hexadecimal characters (either case) to a byte; anything else gives 0.
    static std::uint8_t HexToByte(std::string_view text);

    // Address stages: m_listRecords -> m_listSorted/m_listUnordered -> m_listLines ->
    // m_listMerged -> m_listImage.
    bool SortRecords();
    bool BuildLines();
    bool MergeLines();
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

    CRecordStore m_listRecords;
    CRecordList m_listSorted{m_listRecords};
    CRecordList m_listUnordered{m_listRecords};
    // Views of m_listSorted: their stages only check them.
    CLineList<LineCursor> m_listLines{m_listSorted};
    CLineList<MergedCursor> m_listMerged{m_listSorted};
    CLineList<ImageCursor> m_listImage{m_listSorted};

private:
    void Show(const std::string& text);
    template <typename Format>
    bool Dump(const char* name, Format format, const char* errorMessage);

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
