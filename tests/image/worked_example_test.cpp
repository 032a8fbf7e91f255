// The worked example: four records, one out of order, two sharing a line, one far off.
#include <gtest/gtest.h>

#include <cstdio>

#include "image/convert.h"
#include "test_util.h"

namespace {

const std::string kExampleMot =
    "S00600004844521B\n" +
    Rec("S1", 0x0000, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}) + "\n" +
    Rec("S1", 0x0018, {0x11, 0x22, 0x33, 0x44}) + "\n" +
    Rec("S1", 0x0014, {0xAA, 0xBB, 0xCC, 0xDD}) + "\n" + Rec("S1", 0x0100, {0x55, 0x66}) +
    "\nS9030000FC\n";

std::string ExpectedImage() {
    std::string image =
        Bytes({0,  1,  2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,
               14, 15, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC, 0xDD, 0x11, 0x22, 0x33, 0x44});
    image.resize(0x100, '\xFF');
    return image + Bytes({0x55, 0x66}) + std::string(62, '\xFF');
}

// The image in lines of 16; a fill line carries the offset of the line before it.
std::string ExpectedFullImageTrace() {
    std::string text =
        "00-00000000-10-000102030405060708090A0B0C0D0E0F\n"
        "08-00000010-10-FFFFFFFFAABBCCDD11223344FFFFFFFF\n";
    for (unsigned at = 0x20; at < 0x140; at += 0x10) {
        char head[16];
        std::snprintf(head, sizeof head, "%s-%08x-10-", at < 0x100 ? "08" : "00", at);
        text += head + (at == 0x100 ? "5566" + std::string(28, 'F') : std::string(32, 'F')) + "\n";
    }
    return text;
}

// Over longer files from an earlier conversion: each is replaced, not partly overwritten.
TEST(WorkedExample, ImageAndAllSixTraceFilesExactly) {
    ScratchDir dir;
    WriteFile(dir / "fw.mot", kExampleMot);
    const fs::path work = dir / "work";
    fs::create_directory(work);
    for (const char* name : kTraceFileNames) {
        WriteFile(work / name, std::string(100000, 'x'));
    }
    WriteFile(work / "tmp.bin", std::string(5000, 'x'));
    RecordingSink sink;

    ASSERT_TRUE(ConvertMotToBin(dir / "fw.mot", work, sink));
    EXPECT_TRUE(sink.messages.empty());
    EXPECT_EQ(ReadFile(work / "tmp.bin"), ExpectedImage());

    const struct {
        const char* file;
        std::string text;
    } traces[] = {
        {"Rtmps19.txt",
         "10-00000000-000102030405060708090A0B0C0D0E0F\n04-00000014-AABBCCDD\n"
         "04-00000018-11223344\n02-00000100-5566\n"},
        {"Ttmps19.txt", "04-00000014-AABBCCDD\n"},
        {"Rawtmps19.txt",
         "00-00000000-000102030405060708090A0B0C0D0E0F\n"
         "04-00000010-FFFFFFFFAABBCCDDFFFFFFFFFFFFFFFF\n"
         "08-00000010-FFFFFFFFFFFFFFFF11223344FFFFFFFF\n00-00000100-5566" +
             std::string(28, 'F') + "\n"},
        {"tmp.txt",
         "00-00000000-10-000102030405060708090A0B0C0D0E0F\n"
         "04-00000010-10-FFFFFFFFAABBCCDDFFFFFFFFFFFFFFFF\n"
         "08-00000010-10-FFFFFFFFFFFFFFFF11223344FFFFFFFF\n00-00000100-10-5566" +
             std::string(28, 'F') + "\n"},
        {"mottmp.txt",
         "00-00000000-10-000102030405060708090A0B0C0D0E0F\n"
         "08-00000010-10-FFFFFFFFAABBCCDD11223344FFFFFFFF\n00-00000100-10-5566" +
             std::string(28, 'F') + "\n"},
        {"fullmottmp.txt", ExpectedFullImageTrace()},
    };
    for (const auto& trace : traces) {
        EXPECT_EQ(ReadFile(work / trace.file), trace.text) << trace.file;
    }
    EXPECT_EQ(FilesIn(work).size(), 7u);
}

}  // namespace
