// The run history file, the SHA-256 of the sent image and the progress figures: the pieces
// both front ends share. Runs on Linux and, under Wine, on Windows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/history.h"
#include "app/progress_figures.h"
#include "app/run_detail.h"
#include "app/sha256.h"

// After the project's headers: its IDOK and PURGE_* are not the system's macros.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string g_self;  // this program, for the child processes

fs::path TempDir() {
#ifdef _WIN32
    const unsigned long pid = GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return fs::temp_directory_path() / ("quillon-history-test-" + std::to_string(pid));
}

fs::path TempFile(const std::string& name) {
    const fs::path dir = TempDir();
    fs::create_directories(dir);
    const fs::path file = dir / (name + ".jsonl");
    fs::remove(file);
    return file;
}

void Write(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

RunRecord Sample() {
    RunRecord r;
    r.start = "2025-03-01T09:30:00Z";
    r.end = "2025-03-01T09:32:31Z";
    r.frontEnd = "desktop";
    r.port = "/dev/serial/by-id/usb-FTDI, \"A\"";
    r.file = "C:\\fw\\Master ü\t1.mot";
    r.sha256 = std::string(64, 'a');
    r.target = "Master";
    r.imageVersion = 2;
    r.chipReply = "0x01, then ALL FLASH";
    r.bytesSent = 1280;
    r.bytesTotal = 131072;
    r.outcome = "transfer-failed";
    r.ending = "Programming Process Error.\nPlease try again after 40 seconds!";
    r.detail = std::string("ctl \x01\x1f end");
    return r;
}

TEST(Sha256, KnownVectorsInAnyChunking) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sha256Hex(c.input.data(), c.input.size()), c.digest) << c.input.size();
        // Pieces that straddle the 64-byte blocks give the same digest.
        CSha256 sha;
        for (std::size_t at = 0, step = 1; at < c.input.size(); at += step, step = step % 97 + 13)
            sha.Update(c.input.data() + at, std::min(step, c.input.size() - at));
        std::string hex;
        for (const std::uint8_t b : sha.Final()) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        EXPECT_EQ(hex, c.digest) << c.input.size();
    }
}

TEST(ProgressFigures, AnsweredBlocksOnly) {
    using namespace std::chrono;
    const struct {
        std::uint32_t sent, total;
        milliseconds elapsed;
        const char* rate;
        const char* left;
    } cases[] = {
        {64, 6400, 500ms, "-- B/s", "-:-- left"},       // the first block is not answered yet
        {128, 6400, 0ms, "-- B/s", "-:-- left"},        // no time has passed
        {128, 6400, 1000ms, "64 B/s", "1:39 left"},     // 6336 bytes still to go at 64 B/s
        {6400, 6400, 2000ms, "3168 B/s", "0:00 left"},  // the last block awaits its answer
    };
    for (const auto& c : cases) {
        TransferProgress p;
        p.sent = c.sent;
        p.total = c.total;
        p.elapsed = c.elapsed;
        const ProgressFigures f = ComputeProgressFigures(p);
        EXPECT_EQ(FormatRate(f), c.rate) << c.sent;
        EXPECT_EQ(FormatTimeLeft(f), c.left) << c.sent;
    }
    EXPECT_EQ(FormatSeconds(5000), "5 s");
    EXPECT_EQ(FormatSeconds(1616), "1.6 s");
}

TEST(History, RecordsSurviveTheRoundTrip) {
    const RunRecord in = Sample();
    const std::string line = RecordToJson(in);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    RunRecord out;
    ASSERT_TRUE(RecordFromJson(line, out)) << line;
    EXPECT_EQ(RecordToJson(out), line);
    EXPECT_EQ(out.port, in.port);
    EXPECT_EQ(out.file, in.file);
    EXPECT_EQ(out.ending, in.ending);
    EXPECT_EQ(out.detail, in.detail);
    EXPECT_EQ(out.bytesTotal, 131072u);
    RunRecord zero = Sample();
    zero.imageVersion = 0;  // a real version byte, not "none"
    ASSERT_TRUE(RecordFromJson(RecordToJson(zero), out));
    EXPECT_EQ(out.imageVersion, 0);
    // Nothing known is null, and reads back as nothing.
    RunRecord bare;
    bare.start = "s";
    bare.outcome = "file-refused";
    const std::string bareLine = RecordToJson(bare);
    EXPECT_NE(bareLine.find("\"sha256\":null"), std::string::npos) << bareLine;
    EXPECT_NE(bareLine.find("\"image_version\":null"), std::string::npos) << bareLine;
    ASSERT_TRUE(RecordFromJson(bareLine, out));
    EXPECT_EQ(out.imageVersion, -1);
    EXPECT_TRUE(out.sha256.empty());
    // Escapes written by other tools, and fields of a later version.
    ASSERT_TRUE(RecordFromJson(R"( {"start":"\u00fc\ud83d\ude00\/","outcome":"x","n":-5} )", out));
    EXPECT_EQ(out.start, "\xc3\xbc\xf0\x9f\x98\x80/");
}

TEST(History, DamagedLinesAreSkippedWithAWarning) {
    const std::string good = RecordToJson(Sample());
    const std::vector<std::string> damaged = {
        good.substr(0, good.size() / 2),  // cut short by a crash
        good + "x",                       // trailing bytes
        R"({"start":"s"})",               // no outcome
        R"({"start":5,"outcome":"x"})",   // wrong type
        R"({"start":"s","outcome":"x","bytes_sent":-1})",
        R"({"start":"s","outcome":"x","bytes_sent":1.5})",
        R"({"start":"s","outcome":"x","image_version":256})",
        R"({"start":"s\q","outcome":"x"})",  // bad escape
        R"({"start":"\u12G4","outcome":"x"})",
        R"({"start":"s","outcome":"x","ending":"\ud800"})",  // lone surrogate
        R"({"start":"s","outcome":"x",})",
        "[1,2]",
    };
    std::string file = good + "\n\n" + good + "\r\n";
    for (const std::string& d : damaged) {
        RunRecord r;
        EXPECT_FALSE(RecordFromJson(d, r)) << d;
        file += d + "\n";
    }
    file += good;  // the last line without its line end still counts
    const fs::path path = TempFile("damaged");
    Write(path, file);
    const HistoryContents h = ReadHistory(path);
    EXPECT_TRUE(h.exists);
    EXPECT_EQ(h.records.size(), 3u);
    ASSERT_EQ(h.warnings.size(), damaged.size());
    EXPECT_NE(h.warnings[0].find("line 4 is damaged"), std::string::npos) << h.warnings[0];
    EXPECT_FALSE(ReadHistory(TempFile("missing")).exists);
}

// A crash left half a line: the next record starts on a line of its own.
TEST(History, AppendAfterACutLineStartsAFreshLine) {
    const fs::path path = TempFile("cut");
    fs::remove_all(path.parent_path() / "sub");
    const fs::path nested = path.parent_path() / "sub" / "quillon" / "history.jsonl";
    std::string error;
    ASSERT_TRUE(AppendRunRecord(nested, Sample(), error)) << error;  // makes the folders
    const std::string good = RecordToJson(Sample());
    Write(path, good + "\n" + good.substr(0, 40));
    ASSERT_TRUE(AppendRunRecord(path, Sample(), error)) << error;
    const HistoryContents h = ReadHistory(path);
    EXPECT_EQ(h.records.size(), 2u);
    EXPECT_EQ(h.warnings.size(), 1u);
    EXPECT_EQ(ReadHistory(nested).records.size(), 1u);
    EXPECT_FALSE(AppendRunRecord(fs::path(), Sample(), error));
}

// Two processes append at once; large records would be torn apart by anything but one
// locked write per line.
TEST(History, ParallelProcessesNeverInterleave) {
    const fs::path path = TempFile("parallel");
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
    EXPECT_EQ(next[0], kEach);
    EXPECT_EQ(next[1], kEach);
}

TEST(History, CsvQuotesWhatNeedsIt) {
    const std::string csv = HistoryCsv({Sample()});
    const std::size_t header = csv.find("\r\n");
    ASSERT_NE(header, std::string::npos);
    EXPECT_EQ(csv.substr(0, header),
              "Start (UTC),End (UTC),Front end,Outcome,Target,Bytes sent,Bytes total,Port,File,"
              "Image version,Chip reply,SHA-256,Ending,Detail");
    EXPECT_EQ(
        csv.substr(header + 2),
        "2025-03-01T09:30:00Z,2025-03-01T09:32:31Z,desktop,transfer-failed,Master,1280,131072,"
        "\"/dev/serial/by-id/usb-FTDI, \"\"A\"\"\",C:\\fw\\Master ü\t1.mot,0x02,"
        "\"0x01, then ALL FLASH\"," +
            std::string(64, 'a') +
            ",\"Programming Process Error.\nPlease try again after 40 seconds!\","
            "ctl \x01\x1f end\r\n");
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
    if (saved != nullptr)
        ::setenv("XDG_DATA_HOME", keep.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
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
    const int rc = RUN_ALL_TESTS();
    std::error_code ec;
    fs::remove_all(TempDir(), ec);
    return rc;
}
