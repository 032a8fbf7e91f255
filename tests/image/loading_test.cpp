// Loading and whole conversions: what is refused (message, line, files left behind) and
// what is accepted (the image it gives).
#include <gtest/gtest.h>

#include <fstream>

#include "image/convert.h"
#include "test_util.h"

namespace {

// A file converted over a work folder that holds an earlier tmp.bin.
struct Conversion {
    const char* name;
    std::string mot;
    std::string message;                               // empty: accepted
    std::string image{};                               // accepted: the new tmp.bin
    std::vector<std::string> filesLeft = {"tmp.bin"};  // refused: all the folder then holds
};

// The first five trace files and the earlier tmp.bin.
const std::vector<std::string> kFirstFiveTraces = {"Rawtmps19.txt", "Rtmps19.txt", "Ttmps19.txt",
                                                   "mottmp.txt",    "tmp.bin",     "tmp.txt"};

std::string Image(std::size_t length, std::size_t at, const std::string& bytes) {
    std::string image(length, '\xFF');
    image.replace(at, bytes.size(), bytes);
    return image;
}

std::vector<Conversion> Conversions() {
    const std::string ok = "S10701081122334445\n";
    const std::string fmt = "Mot File Format Error ! (line ",
                      noS19 = "Mot File Error! (S19 not format) !";
    const std::string two = Rec("S1", 0, {0x12, 0x34}) + "\n";
    const std::string two64 = Image(64, 0, Bytes({0x12, 0x34}));
    std::vector<std::uint8_t> twenty(20, 0x11);
    return {
        {"Checksum", "S0030000FC\n" + ok + "S10701081122334446\nS9030000FC\n",
         "Mot File Checksum Error ! (line 3)"},
        {"ShortLine", ok + "S107010811223344\n", fmt + "2)"},
        {"LongLine", "S1070108112233444500\n", fmt + "1)"},
        {"CountBelowThree", ok + ok + "S10200FD\n", fmt + "3)"},
        {"S2CountBelowFour", "S2030000FC\n", fmt + "1)"},
        {"NotHex", ok + "S1070108112G334445\n", fmt + "2)"},
        {"NotHexAndBadChecksum", "S1070108112G334446\n", fmt + "1)"},
        {"OddLength", ok + "S10701081122334\n", fmt + "2)"},
        {"TypeOnly", "S1\n", fmt + "1)"},
        {"LeadingBlankBeforeData", ok + " " + ok + ok, fmt + "2)"},
        {"CrLfEmptyLineBeforeData", "S10701081122334445\r\n\r\n" + ok, fmt + "2)"},
        {"S5BeforeData", ok + "S5030001FB\n\n" + ok + "S9030000FC\n", fmt + "2)"},
        {"LowerCaseTypeBeforeData", ok + "s10701081122334445\n" + ok, fmt + "2)"},
        {"S3Records", "S30900000000112233446E\nS70500000000FA\n", noS19},
        {"S3AfterS1", ok + "S30900000000112233446E\n", fmt + "2)"},
        {"SecondFileAfterEndRecord", ok + "S9030000FC\nS0030000FC\n\n" + ok, fmt + "5)"},
        {"DataAfterS7", ok + "S70500000000FA\n" + ok, fmt + "3)"},
        {"EmptyFile", "", noS19},
        {"OnlyEmptyRecords", "S1030100FB\n", noS19},
        {"AllAboveRange", Rec("S2", 0x20000, {1, 2}) + "\n" + Rec("S2", 0x30000, {1}) + "\n",
         "Mot File Data Range Error !"},
        {"OverlapAcrossLines", Rec("S1", 0x00, twenty) + "\n" + Rec("S1", 0x08, {0x22}) + "\n",
         "Mot File Error(2) !", "", kFirstFiveTraces},
        // Unaligned, line-crossing and mixed S1/S2 records are the differential test's.
        {"HeaderSkippedUnread", "S0garbage\n" + two, "", two64},
        {"TextAfterEndRecordIgnored", two + "S804000000FB\n\nnotes\nS5030001FB\n", "", two64},
        {"CrLfAcrossReadChunks", "S0" + std::string(65533, 'x') + "\r\n" + two, "", two64},
        {"LoneCrLineEnds", Rec("S1", 0, {0x12, 0x34}) + "\r" + Rec("S1", 2, {0x56}) + "\r", "",
         Image(64, 0, Bytes({0x12, 0x34, 0x56}))},
        {"NoFinalLineEnd", Rec("S1", 0, {0x12, 0x34}), "", two64},
        {"CrLfAndTrailingBlanks", Rec("S1", 0, {0x12, 0x34}) + "  \r\nS9030000FC\r\n", "", two64},
        {"HeaderInTheMiddle", two + "S00600004844521B\n" + Rec("S1", 2, {0x56}) + "\n", "",
         Image(64, 0, Bytes({0x12, 0x34, 0x56}))},
        {"EmptyRecordAddsNothing", two + "S1030100FB\n", "", two64},
        {"EndsJustBelowLimit",
         Rec("S2", 0x1FFFF, {0x5A}) + "\n" + Rec("S2", 0x20000, {0x77}) + "\n", "",
         Image(0x20000, 0x1FFFF, Bytes({0x5A}))},
        {"RunsPastLimit", Rec("S2", 0x1FFFE, {1, 2, 3, 4}) + "\n", "",
         Image(0x20040, 0x1FFFE, Bytes({1, 2, 3, 4}))},
        {"OverlapLaterWinsOnlyItsOwnBytes",
         Rec("S1", 0, {1, 2, 3, 4, 5, 6, 7, 8}) + "\n" + Rec("S1", 2, {9, 9}) + "\n", "",
         Image(64, 0, Bytes({1, 2, 9, 9, 5, 6, 7, 8}))},
        // Records behind a higher address go in front of the first at or above their own,
        // the later ones in front of the earlier: here D, C, then A, each merged over the last.
        {"OutOfOrderRecordsAtOneAddress",
         Rec("S1", 0x12, {0xA1, 0xA2, 0xA3, 0xA4}) + "\n" + Rec("S1", 0x30, {0xB0}) + "\n" +
             Rec("S1", 0x12, {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6}) + "\n" +
             Rec("S1", 0x12, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}) + "\n",
         "",
         Image(64, 0x12, Bytes({0xA1, 0xA2, 0xA3, 0xA4, 0xC5, 0xC6, 0xD7, 0xD8}))
             .replace(0x30, 1, "\xB0")},
        {"TwoLineRecordThenRecordInItsSecondLine",
         Rec("S1", 0, twenty) + "\n" + Rec("S1", 0x14, {0x22}) + "\n", "",
         Image(64, 0, std::string(20, '\x11') + "\x22")},
    };
}

class ConversionTest : public testing::TestWithParam<Conversion> {};

// A refusal shows one message and leaves exactly the files of the stages it reached, the
// earlier tmp.bin untouched; an accepted file shows none and replaces tmp.bin with its image.
TEST_P(ConversionTest, RefusesWithOneMessageOrGivesTheImage) {
    const Conversion& c = GetParam();
    ScratchDir dir;
    WriteFile(dir / "fw.mot", c.mot);
    const fs::path work = dir / "work";
    WriteFile(work / "tmp.bin", "earlier image");
    RecordingSink sink;

    EXPECT_EQ(ConvertMotToBin(dir / "fw.mot", work, sink), c.message.empty());
    EXPECT_EQ(ReadFile(work / "tmp.bin"), c.message.empty() ? c.image : "earlier image");
    ASSERT_EQ(sink.messages.size(), c.message.empty() ? 0u : 1u);
    if (!c.message.empty()) {
        EXPECT_EQ(sink.messages[0].text, c.message);
        EXPECT_EQ(sink.messages[0].caption, "");
        EXPECT_EQ(sink.messages[0].icon, MsgIcon::None);
        EXPECT_EQ(FilesIn(work), c.filesLeft);
    }
}

INSTANTIATE_TEST_SUITE_P(Conversion, ConversionTest, testing::ValuesIn(Conversions()),
                         [](const auto& row) { return std::string(row.param.name); });

// Records read out of their lists: every field as the line gave it, the data as written;
// a changed copy leaves the list as it was.
TEST(Loading, RecordsReadOutAsWritten) {
    ScratchDir dir;
    WriteFile(dir / "fw.mot", Rec("S2", 0x12345, {1}) + "\nS1070108aabbCC447A\n");
    RecordingSink sink;
    CXfer xfer(sink, dir.Path());
    ASSERT_TRUE(xfer.LoadMotFile(dir / "fw.mot") && xfer.SortRecords());
    for (CS19block r : xfer.m_listRecords) {
        r.m_strData = "changed";
    }
    std::string text;
    auto print = [&text](const auto& list) {
        for (const CS19block& r : list) {
            text += r.m_strType + " " + std::to_string(r.m_nCount) + " " +
                    std::to_string(r.m_nAddress) + " " + r.m_strData + " " +
                    std::to_string(r.m_nChecksum) + "; ";
        }
    };
    print(xfer.m_listRecords);
    print(xfer.m_listSorted);
    EXPECT_EQ(
        text,
        "S2 1 74565 01 144; S1 4 264 aabbCC44 122; S1 4 264 aabbCC44 122; S2 1 74565 01 144; ");
}

TEST(Loading, HexToByteTakesExactlyTwoDigits) {
    EXPECT_EQ(CXfer::HexToByte("7f"), 0x7F);
    EXPECT_EQ(CXfer::HexToByte("A0"), 0xA0);
    for (const char* bad : {"7G", "7", "7FF", ""}) {
        EXPECT_EQ(CXfer::HexToByte(bad), 0) << bad;
    }
}

TEST(Refusal, MissingFileIsAReadError) {
    ScratchDir dir;
    RecordingSink sink;
    EXPECT_FALSE(ConvertMotToBin(dir / "missing.mot", dir.Path(), sink));
    EXPECT_FALSE(ConvertMotToBin(dir.Path(), dir.Path(), sink));                 // a folder
    std::ofstream(dir / "big.mot", std::ios::binary).seekp(64 << 20).put('\n');  // sparse
    EXPECT_FALSE(ConvertMotToBin(dir / "big.mot", dir / "work", sink));
    ASSERT_EQ(sink.messages.size(), 3u);
    EXPECT_EQ(sink.messages[0].text, "Read File Error !");
    EXPECT_EQ(sink.messages[1].text, "Read File Error !");
    EXPECT_EQ(sink.messages[2].text, "Mot File Error (larger than 64 MiB) !");
}

// A file or folder in the way of one output stops the conversion there.
TEST(Refusal, UnwritableOutputStopsAtThatStage) {
    const std::vector<std::string> order = {"Rtmps19.txt", "Ttmps19.txt", "Rawtmps19.txt",
                                            "tmp.txt",     "mottmp.txt",  "fullmottmp.txt",
                                            "tmp.bin"};
    const char* messages[] = {"TXT File Write Error !",    "TXT File Write Error !",
                              "TXT File Write Error !",    "TXT File Write Error !",
                              "motTXT File Write Error !", "fullmotTXT File Write Error !",
                              "BIN File Write Error !"};
    for (std::size_t blocked = 0; blocked < order.size(); ++blocked) {
        ScratchDir dir;
        WriteFile(dir / "fw.mot", "S10701081122334445\n");
        fs::create_directory(dir / order[blocked]);
        RecordingSink sink;
        EXPECT_FALSE(ConvertMotToBin(dir / "fw.mot", dir.Path(), sink)) << order[blocked];
        ASSERT_EQ(sink.messages.size(), 1u) << order[blocked];
        EXPECT_EQ(sink.messages[0].text, messages[blocked]);
        for (std::size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(fs::is_regular_file(dir / order[i]), i < blocked)
                << order[i] << " with " << order[blocked] << " blocked";
        }
    }
}

}  // namespace
