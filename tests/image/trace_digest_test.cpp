// Every file a conversion leaves (the six trace files and tmp.bin) for a few varied inputs,
// against digests of what these inputs gave when the lists were still kept element by
// element: a change in how the lists are held must not change a single byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "image/convert.h"
#include "test_util.h"

namespace {

using Random = std::independent_bits_engine<std::mt19937, 32, std::uint32_t>;

std::vector<std::uint8_t> RandomBytes(Random& random, std::uint32_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

// Hexadecimal letters in either case, chosen letter by letter; CR LF line ends.
std::string MixedCase(Random& random, std::string line) {
    for (std::size_t i = 2; i < line.size(); ++i) {
        if (random() % 2 != 0) {
            line[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i])));
        }
    }
    return line + "\r\n";
}

// Unaligned records of 1 to 48 bytes from 0x24 on, some crossing lines, some with another
// record inside them, gaps, records past the address limit; shuffled.
std::string Varied() {
    Random random(7);
    std::vector<std::string> lines;
    for (std::uint32_t at = 0x24; at < 0x400;) {
        const std::uint32_t length = 1 + random() % 48;
        const bool s2 = random() % 2 != 0;
        lines.push_back(Rec(s2 ? "S2" : "S1", at, RandomBytes(random, length)));
        // Only inside a record of one line: in front of a record's second line they would
        // be refused.
        const bool oneLine = at % 16 + length <= 16;
        if (oneLine && length > 1 && random() % 2 != 0) {
            const std::uint32_t skip = 1 + random() % (length - 1);
            lines.push_back(
                Rec("S1", at + skip, RandomBytes(random, 1 + random() % (length - skip))));
        }
        if (oneLine && random() % 4 == 0) {
            lines.push_back(Rec("S1", at, RandomBytes(random, 1)));  // the same address again
        }
        at += length + (random() % 5 == 0 ? random() % 100 : 0);
    }
    lines.push_back(Rec("S2", 0x20000, {1, 2, 3}));
    lines.push_back(Rec("S2", 0x3FFF0, {4}));
    for (std::size_t i = lines.size(); i > 1; --i) {
        std::swap(lines[i - 1], lines[random() % i]);
    }
    std::string mot = "S00600004844521B\r\n";
    for (const std::string& line : lines) {
        mot += MixedCase(random, line);
    }
    return mot + "S9030000FC\r\n";
}

// A 256-byte image written three times over (the third time in part, with other bytes), then
// one long record in lower case that covers sixteen lines.
std::string Repeated() {
    Random random(11);
    const std::vector<std::uint8_t> image = RandomBytes(random, 0x100);
    std::string mot;
    for (int pass = 0; pass < 3; ++pass) {
        for (std::uint32_t at = 0; at < 0x100; at += 16) {
            std::vector<std::uint8_t> data(image.begin() + at, image.begin() + at + 16);
            if (pass == 2 && at % 48 == 0) {
                mot += Rec("S1", at + 5, RandomBytes(random, 7)) + "\n";
            } else {
                mot += Rec("S1", at, data) + "\n";
            }
        }
    }
    std::string tail = Rec("S2", 0x1F3, RandomBytes(random, 250));
    for (char& c : tail) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    tail[0] = 'S';
    return mot + tail + "\nS9030000FC\n";
}

// Out-of-order records, then a record that crosses a line with a later one in its first line:
// filling fails after five trace files were written.
std::string OverlapAcrossLines() {
    Random random(3);
    std::string mot;
    for (std::uint32_t at : {0x90u, 0x13u, 0x70u, 0x40u, 0x48u, 0x05u, 0x16u, 0x60u}) {
        const std::uint32_t length = at == 0x40 ? 20 : 1 + random() % 12;
        mot += Rec(at % 2 ? "S2" : "S1", at, RandomBytes(random, length)) + "\n";
    }
    return mot;
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

struct Case {
    const char* name;
    std::string mot;
    std::string message;
    std::string files;  // "name size hash" per file left in the work folder, sorted by name
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class TraceDigestTest : public testing::TestWithParam<Case> {};

TEST_P(TraceDigestTest, EveryFileByteForByte) {
    const Case& c = GetParam();
    ScratchDir dir;
    WriteFile(dir / "fw.mot", c.mot);
    const fs::path work = dir / "work";
    fs::create_directory(work);
    RecordingSink sink;
    EXPECT_EQ(ConvertMotToBin(dir / "fw.mot", work, sink), c.message.empty());
    std::string messages;
    for (const auto& m : sink.messages) {
        messages += m.text;
    }
    EXPECT_EQ(messages, c.message);
    std::string files;
    for (const std::string& name : FilesIn(work)) {
        files += name + " " + Digest(ReadFile(work / name)) + "\n";
    }
    EXPECT_EQ(files, c.files);
}

INSTANTIATE_TEST_SUITE_P(Inputs, TraceDigestTest,
                         testing::Values(Case{"Varied", Varied(), "",
                                              "Rawtmps19.txt 3555 f7f5d3a7b98977d8\n"
                                              "Rtmps19.txt 1947 e6568fc84d392b79\n"
                                              "Ttmps19.txt 1609 f8246ba50b7f225b\n"
                                              "fullmottmp.txt 3072 e2a9c8af782400cd\n"
                                              "mottmp.txt 2400 55bd5592738d06e2\n"
                                              "tmp.bin 1024 037ebba1d4b13038\n"
                                              "tmp.txt 3792 9c892b73683549dc\n"},
                                         Case{"Repeated", Repeated(), "",
                                              "Rawtmps19.txt 2880 a1c6883febd37aa8\n"
                                              "Rtmps19.txt 2565 1e74fc1ea3a00815\n"
                                              "Ttmps19.txt 1260 e062afc33a4cb21a\n"
                                              "fullmottmp.txt 2304 d056f9251a612b7b\n"
                                              "mottmp.txt 1536 95b49f52db7fcc8d\n"
                                              "tmp.bin 768 eeb91b10f07e099f\n"
                                              "tmp.txt 3072 e99479eb62feba2a\n"},
                                         Case{"OverlapAcrossLines", OverlapAcrossLines(),
                                              "Mot File Error(2) !",
                                              "Rawtmps19.txt 450 0538f003a8eba773\n"
                                              "Rtmps19.txt 234 54ed3bc564def5d4\n"
                                              "Ttmps19.txt 199 22d832698e12bb73\n"
                                              "mottmp.txt 432 4306670c375464af\n"
                                              "tmp.txt 480 91934017d51b8369\n"}),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
