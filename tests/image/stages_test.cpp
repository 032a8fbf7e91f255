// Record ordering against the insertion rule, with many equal addresses (which of two
// records at one address wins). Line cutting, merging and filling are checked end to end by
// the worked example, the accepted files and the differential test.
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
    std::independent_bits_engine<std::mt19937, 32, std::uint32_t> random(7);
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

}  // namespace
