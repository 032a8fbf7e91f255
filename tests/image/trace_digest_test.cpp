// Every file a conversion leaves (the six trace files and tmp.bin), against digests of what
// the same inputs gave when the lists were still kept element by element: a change in how
// the lists are held must not change a single byte.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>

#include "image/convert.h"
#include "test_util.h"

namespace {

// Unaligned records of 1 to 48 bytes from 0x24 on, some crossing lines, some with another
// record inside them or at their address again; 16 aligned records three times over (the
// last time in part); a record of 250 bytes; records past the address limit. Shuffled,
// letters in either case, CR LF.
std::string Varied() {
    std::independent_bits_engine<std::mt19937, 32, std::uint32_t> random(7);
    std::vector<std::string> lines;
    auto add = [&](const char* type, std::uint32_t at, std::uint32_t length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(random());
        }
        lines.push_back(Rec(type, at, bytes));
    };
    for (std::uint32_t at = 0x24; at < 0x400;) {
        const std::uint32_t length = 1 + random() % 48;
        add(random() % 2 != 0 ? "S2" : "S1", at, length);
        // Only inside a record of one line: in its second line filling would refuse it.
        if (at % 16 + length <= 16 && random() % 2 != 0) {
            const std::uint32_t skip = random() % length;
            add("S1", at + skip, 1 + random() % (length - skip));
        }
        at += length + (random() % 5 == 0 ? random() % 100 : 0);
    }
    for (int pass = 0; pass < 3; ++pass) {
        for (std::uint32_t at = 0x500; at < 0x600; at += 16) {
            const bool part = pass == 2 && at % 48 == 0;
            add("S1", part ? at + 5 : at, part ? 7 : 16);
        }
    }
    add("S2", 0x803, 250);
    add("S2", 0x20000, 3);
    add("S2", 0x3FFF0, 1);
    for (std::size_t i = lines.size(); i > 1; --i) {
        std::swap(lines[i - 1], lines[random() % i]);
    }
    std::string mot = "S00600004844521B\r\n";
    for (std::string& line : lines) {
        for (std::size_t i = 2; i < line.size(); ++i) {
            if (random() % 2 != 0) {
                line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
            }
        }
        mot += line + "\r\n";
    }
    return mot + "S9030000FC\r\n";
}

// FNV-1a: enough to tell any change of a file's bytes.
std::string Digest(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[40];
    std::snprintf(text, sizeof text, "%zu %016llx", bytes.size(),
                  static_cast<unsigned long long>(hash));
    return text;
}

TEST(TraceDigest, EveryFileByteForByte) {
    ScratchDir dir;
    WriteFile(dir / "fw.mot", Varied());
    fs::create_directory(dir / "work");
    RecordingSink sink;
    EXPECT_TRUE(ConvertMotToBin(dir / "fw.mot", dir / "work", sink));
    EXPECT_TRUE(sink.messages.empty());
    std::string files;  // "name size hash" per file, by name
    for (const std::string& name : FilesIn(dir / "work")) {
        files += name + " " + Digest(ReadFile(dir / "work" / name)) + "\n";
    }
    EXPECT_EQ(files,
              "Rawtmps19.txt 5535 9b43502c334cddf9\nRtmps19.txt 4016 aba4cdfc3b545012\n"
              "Ttmps19.txt 3413 cf24ed0840f1b454\nfullmottmp.txt 6912 a3f6baeb46fb5606\n"
              "mottmp.txt 3552 0031a18909ef01d7\ntmp.bin 2304 6e9fcd2f3aef57f2\n"
              "tmp.txt 5904 27f3f51203dc9b3f\n");
}

}  // namespace
