// The run history: its JSON lines, the file both front ends append to and read, and its CSV.
// Runs on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "app/history.h"
#include "app/terminal_text.h"
#include "test_util.h"

// After the project's headers: its names are not the system's macros.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pty_pair.h"
#endif

namespace {

std::string g_self;  // this program, for the child processes

RunRecord Sample() {
    RunRecord r;
    r.start = "2025-03-01T09:30:00Z";
    r.end = "2025-03-01T09:32:31Z";
    r.frontEnd = "desktop";
    r.port = "/dev/serial/by-id/usb-FTDI, \"A\"";
    r.file = "C:\\fw\\Master \xc3\xbc\t1.mot";
    r.sha256 = std::string(64, 'a');
    r.target = "Master";
    r.imageVersion = 2;
    r.chipReply = "0x01, then ALL FLASH";
    r.bytesSent = 1280;
    r.bytesTotal = 131072;
    r.outcome = "transfer-failed";
    r.ending = "Programming Process Error.\nPlease try again after 40 seconds!";
    r.detail = "ctl \x01\x1f\r end";
    return r;
}

const std::string kSampleJson =
    R"({"start":"2025-03-01T09:30:00Z","end":"2025-03-01T09:32:31Z","front_end":"desktop",)"
    R"("port":"/dev/serial/by-id/usb-FTDI, \"A\"","file":"C:\\fw\\Master )"
    "\xc3\xbc"
    R"(\t1.mot","sha256":")" +
    std::string(64, 'a') +
    R"(","target":"Master","image_version":2,"chip_reply":"0x01, then ALL FLASH",)"
    R"("bytes_sent":1280,"bytes_total":131072,"outcome":"transfer-failed",)"
    R"("ending":"Programming Process Error.\nPlease try again after 40 seconds!",)"
    R"("detail":"ctl \u0001\u001f\r end"})";

TEST(History, RecordsAsJsonLines) {
    EXPECT_EQ(RecordToJson(Sample()), kSampleJson);
    RunRecord back;
    ASSERT_TRUE(RecordFromJson(kSampleJson, back));
    EXPECT_EQ(RecordToJson(back), kSampleJson);
    // What is not known is null, and reads back as nothing.
    RunRecord bare;
    bare.start = "s";
    bare.outcome = "file-refused";
    bare.imageVersion = -1;
    const std::string bareJson =
        R"({"start":"s","end":"","front_end":"","port":"","file":"","sha256":null,"target":"",)"
        R"("image_version":null,"chip_reply":null,"bytes_sent":0,"bytes_total":0,)"
        R"("outcome":"file-refused","ending":"","detail":null})";
    EXPECT_EQ(RecordToJson(bare), bareJson);
    ASSERT_TRUE(RecordFromJson(bareJson, back));
    EXPECT_EQ(RecordToJson(back), bareJson);
    // A run that wrote a wire trace names it; records without one stay as they were.
    RunRecord traced = Sample();
    traced.trace = "/tmp/run-dev_ttyUSB0.log";
    const std::string tracedJson =
        kSampleJson.substr(0, kSampleJson.size() - 1) + R"(,"trace":"/tmp/run-dev_ttyUSB0.log"})";
    EXPECT_EQ(RecordToJson(traced), tracedJson);
    ASSERT_TRUE(RecordFromJson(tracedJson, back));
    EXPECT_EQ(back.trace, traced.trace);
    // A name that is not UTF-8 (stray bytes, a sequence cut short, an encoded surrogate, an
    // overlong form, beyond U+10FFFF): U+FFFD for each stray byte, then the bytes in hex, which
    // read back as they were. The first and last code points of each length are UTF-8, and the
    // controls among them are escaped.
    bare.file =
        "\xff\xc3 \xed\xa0\x80\xc0\xaf\xe0\x9f\xbf\xf0\x8f\xbf\xbf\xf4\x90\x80\x80|\xc2\x80\xc2\x9f"
        "\xc2\xa0\x7f\xe0\xa0\x80\xed\x9f\xbf\xe2\x80\xa8\xe2\x80\xa9\xf0\x90\x80\x80\xf4\x8f\xbf"
        "\xbf";
    std::string file = R"("file":")";
    for (int i = 0; i < 18; ++i)
        file += i == 2 ? " \xef\xbf\xbd" : "\xef\xbf\xbd";
    file +=
        "|\\u0080\\u009f\xc2\xa0\\u007f\xe0\xa0\x80\xed\x9f\xbf\\u2028\\u2029\xf0\x90\x80\x80"
        "\xf4\x8f\xbf\xbf\",\"file_hex\":\"ffc320eda080c0afe09fbf";
    const std::string json = RecordToJson(bare);
    EXPECT_EQ(json.substr(json.find(R"("file":)"), file.size()), file);
    ASSERT_TRUE(RecordFromJson(json, back));
    EXPECT_EQ(back.file, bare.file);
}

// Names on a terminal: every control shown as an escape, all other text as it is; a message
// keeps its own line breaks, but not those of the names in it.
TEST(History, TerminalTextShowsControlsAsEscapes) {
    const std::string controls =
        "\x01\x1f ~\x7f\xc2\x80\xc2\x9f\xc2\xa0\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xa7\xe2\x80"
        "\xa8\xe2\x80\xae\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xa6\xe2\x81\xa9\xe2\x81\xaa\xf0\x9f\x98"
        "\x80\\"
        "\xc3\r\t\n";
    EXPECT_EQ(
        TerminalText(controls),
        "\\x01\\x1f ~\\x7f\\u0080\\u009f\xc2\xa0\\u061c\\u200e\\u200f\xe2\x80\xa7\\u2028\\u202e"
        "\xe2\x80\xaf\xe2\x81\xa5\\u2066\\u2069\xe2\x81\xaa\xf0\x9f\x98\x80\\\\xc3\\r\\t\\n");
    EXPECT_EQ(TerminalText("a\nb", true), "a\nb");
    EXPECT_EQ(TerminalMessage("ab\n: x\ny, ab\n, a", {"a", "ab\n", ""}), "ab\\n: x\ny, ab\\n, a");
}

// Lines as other tools may write them: the start field read back, or nothing where the line
// is refused.
TEST(History, ReadingIsStrict) {
    const auto line = [](const std::string& start, const std::string& more = "") {
        return " {\t\"start\" : " + start + ",\"outcome\":\"x\"" + more + "}\r\n";
    };
    // A refused line must not read as one whose start is empty.
    const char* const kRefused = "(refused)";
    struct Case {
        std::string json;
        const char* start;
    };
    const Case cases[] = {
        {line(R"("\u0041\u00e9\u20AC\ud83d\ude00")"), "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {line(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t"},
        {line(R"("s")", R"(,"later":[1],"n":-5,"f":true,"g":false,"image_version":null)"),
         kRefused},
        {line(R"("s")", R"(,"n":-5,"f":true,"g":false,"image_version":null,"port":null)"), "s"},
        {line(R"("s")", R"(,"image_version":255,"bytes_sent":9007199254740993)"), "s"},
        {line(R"("s")", R"(,"image_version":0)"), "s"},
        {line(R"("s")", R"(,"image_version":256)"), kRefused},
        {line(R"("s")", R"(,"bytes_sent":-1)"), kRefused},
        {line(R"("s")", R"(,"bytes_sent":1.5)"), kRefused},
        {line(R"("s")", R"(,"bytes_sent":01)"), kRefused},
        {line(R"("s")", R"(,"bytes_sent":99999999999999999999)"), kRefused},
        {line(R"("s")", R"(,"port":5)"), kRefused},
        // Bytes that are not UTF-8: as older versions wrote them, and as text plus hex.
        {line("\"s\xff\""), "s\xff"},
        {line("\"s\xef\xbf\xbd\"", R"(,"start_hex":"73ff")"), "s\xff"},
        {line(R"("s")", R"(,"later_hex":"zz")"), "s"},
        {line("\"t\xef\xbf\xbd\"", R"(,"start_hex":"73ff")"), kRefused},
        {line(R"("s")", R"(,"start_hex":"73")"), kRefused},
        {line("\"s\xef\xbf\xbd\"", R"(,"start_hex":"73FF")"), kRefused},
        {line("\"s\xef\xbf\xbd\"", R"(,"start_hex":"73f")"), kRefused},
        {line("\"s\xef\xbf\xbd\"", R"(,"start_hex":null)"), kRefused},
        {line("5"), kRefused},
        {line(R"("s\q")"), kRefused},
        {line(R"("\u12G4")"), kRefused},
        {line(R"("\ud800")"), kRefused},
        {line(R"("\udc00")"), kRefused},
        {line("\"a\x01\""), kRefused},
        {line(R"("s")", ","), kRefused},
        {line(R"("s")") + "x", kRefused},
        {R"({"start":"s"})", kRefused},
        {R"({"outcome":"s"})", kRefused},
        {R"({"start":"s","outcome":"x")", kRefused},
        {"[1,2]", kRefused},
    };
    for (const Case& c : cases) {
        RunRecord r;
        EXPECT_EQ(RecordFromJson(c.json, r) ? r.start : kRefused, c.start) << c.json;
    }
}

TEST(History, DamagedLinesAreSkippedWithAWarning) {
    ScratchDir dir;
    const fs::path file = dir / "history.jsonl";
    WriteFile(file, kSampleJson + "\n\n" + kSampleJson + "\r\n{damaged\n \t\n" + kSampleJson);
    const HistoryContents h = ReadHistory(file);
    EXPECT_TRUE(h.exists);
    EXPECT_EQ(h.records.size(), 3u);  // the last line counts without its line end
    EXPECT_EQ(h.warnings,
              std::vector<std::string>{file.string() + ": line 4 is damaged and was skipped"});
    EXPECT_FALSE(ReadHistory(dir / "missing").exists);
}

// Folders are made as needed; a line cut short by a crash gets its own line end first.
TEST(History, AppendMakesFoldersAndMendsACutLine) {
    ScratchDir dir;
    const fs::path nested = dir / "sub" / "quillon" / "history.jsonl";
    std::string error;
    ASSERT_TRUE(AppendRunRecord(nested, Sample(), error)) << error;
    EXPECT_EQ(ReadFile(nested), kSampleJson + "\n");
    WriteFile(nested, kSampleJson.substr(0, 40));
    ASSERT_TRUE(AppendRunRecord(nested, Sample(), error)) << error;
    EXPECT_EQ(ReadFile(nested), kSampleJson.substr(0, 40) + "\n" + kSampleJson + "\n");
    EXPECT_FALSE(AppendRunRecord(fs::path(), Sample(), error));
    EXPECT_EQ(error, "no folder for application data");
}

#ifndef _WIN32
// Only a regular file of its own is written and read: never through a link (into another
// file, or out on a serial line), never a FIFO, which would also hold a run for ever.
TEST(History, OnlyItsOwnRegularFileIsWrittenOrRead) {
    ScratchDir dir;
    const fs::path file = dir / "history.jsonl";
    const std::string theirs = kSampleJson + "\n";
    WriteFile(dir / "theirs.jsonl", theirs);
    CPtyPair line;
    const fs::path links[] = {dir / "theirs.jsonl", dir / "nowhere", "", line.SlavePath()};
    for (const fs::path& link : links) {
        SCOPED_TRACE(link.empty() ? "FIFO" : link.string());
        fs::remove(file);
        int fifo = -1;  // its reader: a write would land there
        if (link.empty()) {
            ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
            fifo = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        } else {
            fs::create_symlink(link, file);
        }
        std::string error;
        EXPECT_FALSE(AppendRunRecord(file, Sample(), error));
        EXPECT_EQ(error, file.string() + ": not a regular file (a link, a FIFO or a device)");
        char got = 0;
        EXPECT_LE(fifo >= 0 ? read(fifo, &got, 1) : 0, 0) << "written into the FIFO";
        EXPECT_TRUE(line.ReadUntilQuiet(50).empty()) << "sent out on the serial line";
        EXPECT_EQ(ReadFile(dir / "theirs.jsonl"), theirs);
        EXPECT_FALSE(fs::exists(dir / "nowhere"));
        if (fifo >= 0)
            close(fifo);
        if (HasFailure())
            return;  // a reader that follows it could now wait for ever
        const HistoryContents h = ReadHistory(file);
        EXPECT_TRUE(h.records.empty());
        EXPECT_EQ(h.warnings, std::vector<std::string>{error + "; not read"});
    }
}
#endif

// Two processes append at once; large records would be torn apart by anything but one
// locked write per line.
TEST(History, ParallelProcessesNeverInterleave) {
    ScratchDir dir;
    const fs::path path = dir / "parallel.jsonl";
    constexpr int kEach = 150;
    auto child = [&path](char tag) {
        std::string cmd = "\"" + g_self + "\" --append \"" + path.string() + "\" " + tag + " " +
                          std::to_string(kEach);
#ifdef _WIN32
        cmd = "\"" + cmd + "\"";  // cmd.exe drops the outer pair
#endif
        return std::system(cmd.c_str());
    };
    int rcA = -1, rcB = -1;
    std::thread a([&] { rcA = child('a'); });
    std::thread b([&] { rcB = child('b'); });
    a.join();
    b.join();
    ASSERT_EQ(rcA, 0);
    ASSERT_EQ(rcB, 0);
    const HistoryContents h = ReadHistory(path);
    EXPECT_TRUE(h.warnings.empty()) << h.warnings.front();
    ASSERT_EQ(h.records.size(), 2u * kEach);
    int next[2] = {0, 0};
    for (const RunRecord& r : h.records) {
        const int who = r.frontEnd == "a" ? 0 : 1;
        EXPECT_EQ(r.bytesSent, static_cast<std::uint64_t>(next[who]++));
        EXPECT_EQ(r.detail, std::string(20000, r.frontEnd[0]));
    }
}

TEST(History, CsvQuotesWhatNeedsItAndOnlyCountsSortByValue) {
    RunRecord bare;
    bare.start = "s";
    bare.imageVersion = -1;
    bare.file = "=1+2";  // a formula to a spreadsheet
    EXPECT_EQ(
        HistoryCsv({Sample(), bare}),
        "Start (UTC),End (UTC),Front end,Outcome,Target,Bytes sent,Bytes total,Port,File,"
        "Image version,Chip reply,SHA-256,Ending,Detail\r\n"
        "2025-03-01T09:30:00Z,2025-03-01T09:32:31Z,desktop,transfer-failed,Master,1280,"
        "131072,\"/dev/serial/by-id/usb-FTDI, \"\"A\"\"\",C:\\fw\\Master \xc3\xbc\t1.mot,0x02,"
        "\"0x01, then ALL FLASH\"," +
            std::string(64, 'a') +
            ",\"Programming Process Error.\nPlease try again after 40 seconds!\","
            "\"ctl \x01\x1f\r end\"\r\n"
            "s,,,,,0,0,,'=1+2,,,,,\r\n");
    // What a spreadsheet would run as a formula stays text.
    for (const std::string cell :
         {"=HYPERLINK(\"http://x\")", "+1", "-1", "@SUM(A1)", "\tx", "\rx"})
        EXPECT_EQ(SpreadsheetCell(cell), "'" + cell);
    EXPECT_EQ(SpreadsheetCell("a=b") + SpreadsheetCell(""), "a=b");
    // Only the byte counts sort by value; texts sort as texts.
    for (const HistoryColumn& column : HistoryColumns()) {
        EXPECT_EQ(column.numeric, std::string(column.title).rfind("Bytes ", 0) == 0)
            << column.title;
    }
}

TEST(History, DefaultFileFollowsThePlatformsDataFolder) {
#ifdef _WIN32
    _putenv_s("LOCALAPPDATA", "C:\\Users\\tech\\AppData\\Local");
    EXPECT_EQ(DefaultHistoryFile(),
              fs::path("C:\\Users\\tech\\AppData\\Local\\quillon\\history.jsonl"));
#else
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::string keep = saved != nullptr ? saved : "";
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "/";
    ::setenv("XDG_DATA_HOME", "/data/tech", 1);
    EXPECT_EQ(DefaultHistoryFile(), fs::path("/data/tech/quillon/history.jsonl"));
    ::setenv("XDG_DATA_HOME", "relative/dir", 1);  // not absolute: ignored
    ::setenv("HOME", "/home/tech", 1);
    EXPECT_EQ(DefaultHistoryFile(), fs::path("/home/tech/.local/share/quillon/history.jsonl"));
    ::setenv("HOME", home.c_str(), 1);
    saved != nullptr ? ::setenv("XDG_DATA_HOME", keep.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    // Child of ParallelProcessesNeverInterleave: append N large records tagged TAG.
    if (argc == 5 && std::string(argv[1]) == "--append") {
        RunRecord r = Sample();
        r.frontEnd = argv[3];
        r.detail = std::string(20000, argv[3][0]);
        std::string error;
        for (int i = 0; i < std::atoi(argv[4]); ++i) {
            r.bytesSent = static_cast<std::uint64_t>(i);
            if (!AppendRunRecord(argv[2], r, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
        return 0;
    }
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    g_self = fs::path(self).string();
#else
    g_self = fs::absolute(argv[0]).string();
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
