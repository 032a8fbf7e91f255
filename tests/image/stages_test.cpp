// Single stages driven through their lists: ordering against the description's insertion
// rule, line cutting, fill lines, and the trace formats of odd values.
#include <gtest/gtest.h>

#include <random>

#include "image/xfer.h"
#include "test_util.h"

namespace {

CS19block Record(std::uint32_t address, const std::string& tag) {
    CS19block r;
    r.m_strType = "S1";
    r.m_nAddress = address;
    r.m_strData = tag;
    r.m_nCount = static_cast<std::int32_t>(tag.size() / 2);
    return r;
}

// The ordering as first described: in-order records are kept in file order, then every
// other record is inserted before the first kept one whose address is not lower, found
// by walking the list.
std::vector<std::string> ReferenceOrder(const std::vector<CS19block>& records) {
    std::list<CS19block> sorted, unordered;
    std::uint32_t last = 0;
    for (const auto& r : records) {
        if (r.m_nAddress >= 0x20000) {
            continue;
        }
        if (r.m_nAddress >= last) {
            sorted.push_back(r);
            last = r.m_nAddress;
        } else {
            unordered.push_back(r);
        }
    }
    for (const auto& u : unordered) {
        auto it = sorted.begin();
        while (it != sorted.end() && it->m_nAddress < u.m_nAddress) {
            ++it;
        }
        sorted.insert(it, u);
    }
    std::vector<std::string> tags;
    for (const auto& r : sorted) {
        tags.emplace_back(r.m_strData);
    }
    return tags;
}

TEST(SortRecords, MatchesTheInsertionRuleWithManyEqualAddresses) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<CS19block> records;
        const int n = 1 + static_cast<int>(random() % 60);
        for (int i = 0; i < n; ++i) {
            // Few distinct addresses, so equal addresses and their order matter; some out of
            // range.
            std::uint32_t address = (random() % 8) * 0x10 + (random() % 3);
            if (random() % 10 == 0) {
                address += 0x20000;
            }
            char tag[16];
            std::snprintf(tag, sizeof tag, "%04X", i);
            records.push_back(Record(address, tag));
        }
        RecordingSink sink;
        CXfer xfer(sink, ".");
        for (const auto& r : records) {
            xfer.m_listRecords.push_back(r);
        }
        const std::vector<std::string> expected = ReferenceOrder(records);
        if (expected.empty()) {
            EXPECT_FALSE(xfer.SortRecords());
            continue;
        }
        ASSERT_TRUE(xfer.SortRecords());
        std::vector<std::string> got;
        for (const auto& r : xfer.m_listSorted) {
            got.emplace_back(r.m_strData);
        }
        EXPECT_EQ(got, expected) << "round " << round;
        EXPECT_EQ(xfer.m_listRecords.size(), records.size());  // input left alone
    }
}

TEST(SortRecords, LowestRecordLastInFileComesFirst) {
    RecordingSink sink;
    CXfer xfer(sink, ".");
    for (auto [address, tag] : {std::pair{0x30u, "A0"}, {0x40u, "B0"}, {0x10u, "C0"}}) {
        xfer.m_listRecords.push_back(Record(address, tag));
    }
    ASSERT_TRUE(xfer.SortRecords());
    EXPECT_EQ(xfer.m_listSorted.front().m_strData, "C0");
    ASSERT_EQ(xfer.m_listUnordered.size(), 1u);
    EXPECT_EQ(xfer.m_listUnordered.front().m_strData, "C0");
}

TEST(BuildLines, CutsRecordsIntoAlignedLines) {
    const struct {
        std::uint32_t address;
        int bytes;
        std::vector<std::tuple<int, std::uint32_t>> lines;  // offset, address
    } cases[] = {
        {0x08, 16, {{8, 0x00}, {8, 0x10}}},
        {0x0C, 4, {{12, 0x00}}},
        {0x20, 32, {{0, 0x20}, {16, 0x30}}},
        {0x48, 64, {{8, 0x40}, {8, 0x50}, {8, 0x60}, {8, 0x70}, {8, 0x80}}},
        {0x1F, 33, {{15, 0x10}, {1, 0x20}, {1, 0x30}}},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        CXfer xfer(sink, ".");
        xfer.m_listSorted.push_back(Record(c.address, std::string(2 * c.bytes, 'A')));
        ASSERT_TRUE(xfer.BuildLines());
        ASSERT_EQ(xfer.m_listLines.size(), c.lines.size()) << c.address;
        std::string all;
        auto expected = c.lines.begin();
        for (const auto& line : xfer.m_listLines) {
            EXPECT_EQ(line.m_nOffset, std::get<0>(*expected)) << c.address;
            EXPECT_EQ(line.m_nAddress, std::get<1>(*expected)) << c.address;
            EXPECT_EQ(line.m_nLength, 16);
            EXPECT_EQ(line.m_strData.size(), 32u);
            all += line.m_strData;
            ++expected;
        }
        const std::size_t at = 2 * (c.address % 16);
        EXPECT_EQ(all, std::string(at, 'F') + std::string(2 * c.bytes, 'A') +
                           std::string(all.size() - at - 2 * c.bytes, 'F'));
    }
}

TEST(FillImage, FillLinesCarryTheOffsetBeforeThem) {
    RecordingSink sink;
    CXfer xfer(sink, ".");
    xfer.m_listMerged.emplace_back(4, 0x20, 16, std::string(32, '0'));
    xfer.m_listMerged.emplace_back(9, 0x50, 16, std::string(32, '1'));
    ASSERT_TRUE(xfer.FillImage());
    std::vector<std::pair<int, std::uint32_t>> got;
    for (const auto& line : xfer.m_listImage) {
        got.emplace_back(line.m_nOffset, line.m_nAddress);
    }
    const std::vector<std::pair<int, std::uint32_t>> expected = {
        {0, 0x00}, {0, 0x10}, {4, 0x20}, {4, 0x30}, {4, 0x40}, {9, 0x50}, {9, 0x60}, {9, 0x70}};
    EXPECT_EQ(got, expected);
}

TEST(Traces, PrintOddValuesLikePrintf) {
    ScratchDir dir;
    RecordingSink sink;
    CXfer xfer(sink, dir.Path());
    CS19block negative = Record(0x1FF30, "");
    negative.m_nCount = -3;
    xfer.m_listSorted.push_back(negative);
    xfer.m_listSorted.push_back(Record(0xABCDEF12u, "0102"));
    xfer.m_listImage.emplace_back(0x123, 0x1FF30, 0x10, "ab");
    ASSERT_TRUE(xfer.DumpSorted());
    ASSERT_TRUE(xfer.DumpUnordered());
    ASSERT_TRUE(xfer.DumpImage());
    EXPECT_EQ(ReadFile(dir / "Rtmps19.txt"), "fffffffd-0001ff30-\n02-abcdef12-0102\n");
    EXPECT_EQ(ReadFile(dir / "Ttmps19.txt"), "");
    EXPECT_EQ(ReadFile(dir / "fullmottmp.txt"), "123-0001ff30-10-ab\n");
}

TEST(Lists, ElementsAreCopies) {
    CS19block a = Record(0x10, "AA");
    CS19block b = a;
    b.m_strData = "BB";
    EXPECT_EQ(a.m_strData, "AA");
    RecordingSink sink;
    CXfer xfer(sink, ".");
    xfer.m_listRecords.push_back(a);
    a.m_strData = "CC";
    EXPECT_EQ(xfer.m_listRecords.front().m_strData, "AA");
}

}  // namespace
