// Seeded random firmware files converted by us and by srec_cat, which must agree byte for
// byte (and with the image the generator meant). Generated firmware of full size is also
// converted and checked byte for byte by every flash test that starts from a .mot file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "image/convert.h"
#include "test_util.h"

namespace {

// srec_cat's image of the same file: 0xFF from 0 up to the data's end rounded up to 64.
std::string SrecCatImage(const fs::path& mot, const fs::path& out) {
    const std::string command = std::string(QUILLON_SREC_CAT_PATH) + " '" + mot.string() +
                                "' -fill 0xFF 0 -maximum-address '" + mot.string() +
                                "' -round-up 64 -o '" + out.string() + "' -binary 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadFile(out);
}

// Writes a file of records at random places with random gaps between them: unaligned starts,
// so records share lines and cross line boundaries. Returns the image it stands for.
std::string WriteRandomFile(std::uint32_t seed, const fs::path& path) {
    std::independent_bits_engine<std::mt19937, 32, std::uint32_t> random(seed);
    const std::uint32_t recordBytes = 16u << (random() % 3);  // 16, 32 or 64
    const std::uint32_t limits[] = {0x200, 0x4000, 0x20000};
    const std::uint32_t limit = limits[random() % 3];
    const bool lower = random() % 2, crlf = random() % 2;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> pieces;  // address, data
    std::string image;
    for (std::uint32_t at = random() % 40; at < limit;) {
        const std::uint32_t length = std::min<std::uint32_t>(
            random() % 4 == 0 ? 1 + random() % recordBytes : recordBytes, limit - at);
        std::vector<std::uint8_t> data(length);
        for (std::uint8_t& byte : data) {
            byte = static_cast<std::uint8_t>(random());
        }
        image.resize(at, '\xFF');
        image.append(data.begin(), data.end());
        pieces.emplace_back(at, std::move(data));
        at += length + (random() % 5 == 0 ? random() % 300 : 0);
    }
    image.resize((image.size() + 63) / 64 * 64, '\xFF');
    for (std::size_t i = pieces.size(); i > 1; --i) {
        std::swap(pieces[i - 1], pieces[random() % i]);
    }
    std::string mot = "S00600004844521B" + std::string(crlf ? "\r\n" : "\n");
    for (const auto& [address, data] : pieces) {
        const bool s2 = address + data.size() > 0x10000 || random() % 2;
        std::string line = Rec(s2 ? "S2" : "S1", address, data);
        if (lower) {
            std::transform(line.begin() + 2, line.end(), line.begin() + 2,
                           [](char c) { return static_cast<char>(std::tolower(c)); });
        }
        mot += line + (crlf ? "\r\n" : "\n");
    }
    WriteFile(path, mot + "S9030000FC\n");
    return image;
}

TEST(Differential, RandomRecordsAgreeWithSrecCat) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ScratchDir dir;
        const std::string image = WriteRandomFile(seed, dir / "fw.mot");
        RecordingSink sink;
        ASSERT_TRUE(ConvertMotToBin(dir / "fw.mot", dir.Path(), sink));
        const std::string ours = ReadFile(dir / "tmp.bin");
        EXPECT_EQ(ours, image);
        EXPECT_EQ(ours, SrecCatImage(dir / "fw.mot", dir / "srec.bin"));
    }
}

}  // namespace
