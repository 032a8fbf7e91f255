// One fuzz input: an S-record file, loaded and converted in a private folder. Aborts when
// an invariant of the conversion does not hold.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/convert.h"
#include "image/work_dir.h"
#include "image/xfer.h"

namespace {

class CountingSink : public IMessageSink {
public:
    void ShowMessage(const std::string& text, const std::string& caption, MsgIcon icon) override {
        ++count;
        last = text;
        if (!caption.empty() || icon != MsgIcon::None) {
            Fail("conversion message with a caption or an icon");
        }
    }
    int count = 0;
    std::string last;

    [[noreturn]] static void Fail(const char* what) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
};

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Span {
    std::uint32_t address;
    std::vector<std::uint8_t> bytes;
};

// The records the loader took, as bytes; false when loading refused the file.
bool LoadedRecords(const std::filesystem::path& mot, std::vector<Span>& spans) {
    CountingSink sink;
    CXfer xfer(sink, mot.parent_path());
    if (!xfer.LoadMotFile(mot)) {
        return false;
    }
    for (const CS19block& r : xfer.m_listRecords) {
        if (r.m_nCount <= 0 || r.m_strData.size() != 2 * static_cast<std::size_t>(r.m_nCount)) {
            CountingSink::Fail("a loaded record whose data does not match its count");
        }
        Span span{r.m_nAddress, {}};
        for (std::size_t i = 0; i < r.m_strData.size(); i += 2) {
            span.bytes.push_back(CXfer::HexToByte(std::string_view(r.m_strData).substr(i, 2)));
        }
        spans.push_back(std::move(span));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static CWorkDir work;
    const std::filesystem::path mot = work.Path() / "in.mot";
    const std::filesystem::path out = work.Path() / "out";
    {
        std::ofstream file(mot, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // Trace files of the previous input are simply replaced; only the image must not linger.
    std::filesystem::create_directory(out);
    std::filesystem::remove(out / kImageFileName);

    CountingSink sink;
    const bool ok = ConvertMotToBin(mot, out, sink);
    if (ok != (sink.count == 0) || sink.count > 1) {
        CountingSink::Fail("a conversion shows exactly one message when, and only when, it fails");
    }
    if (!ok && std::filesystem::exists(out / kImageFileName)) {
        CountingSink::Fail("a failed conversion left an image");
    }

    std::vector<Span> spans;
    const bool loaded = LoadedRecords(mot, spans);
    if (!loaded && ok) {
        CountingSink::Fail("converted a file that loading refuses");
    }
    spans.erase(std::remove_if(spans.begin(), spans.end(),
                               [](const Span& s) { return s.address >= kImageAddressLimit; }),
                spans.end());
    std::stable_sort(spans.begin(), spans.end(),
                     [](const Span& a, const Span& b) { return a.address < b.address; });
    bool overlap = false;
    std::uint32_t end = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        if (i > 0 && spans[i].address < end) {
            overlap = true;
        }
        end = std::max<std::uint32_t>(
            end, spans[i].address + static_cast<std::uint32_t>(spans[i].bytes.size()));
    }
    if (loaded && !spans.empty() && !overlap && !ok) {
        CountingSink::Fail("refused a file of separate records below the limit");
    }
    if (!ok) {
        return 0;
    }

    const std::string image = ReadAll(out / kImageFileName);
    if (image.empty() || image.size() % 64 != 0 || image.size() > kImageAddressLimit + 0x100) {
        CountingSink::Fail("image length is not a positive multiple of 64 within the range");
    }
    if (!overlap) {
        // Every record's bytes at their address, 0xFF everywhere else, and no more than the
        // 64-byte block holding the last byte.
        std::string expected((end + 63) / 64 * 64, '\xFF');
        for (const Span& s : spans) {
            std::copy(s.bytes.begin(), s.bytes.end(), expected.begin() + s.address);
        }
        if (image != expected) {
            CountingSink::Fail("image differs from the records");
        }
    }
    return 0;
}
