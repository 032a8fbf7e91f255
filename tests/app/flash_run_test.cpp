// Whole runs through FlashThreadProc against the simulator: every ending, what it shows, what
// it leaves on disk, and that the port and the button always come back.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/flash_run.h"
#include "app/run_detail.h"
#include "app/sha256.h"
#include "firmware_gen.h"
#include "flash_support.h"
#include "sim_runner.h"

namespace fs = std::filesystem;

namespace {

const char* const kCode6 =
    "Time out, can't receive data from inverter,\nplease check the connection!";
const char* const kProgError = "Programming Process Error.\nPlease try again after 40 seconds!";
const char* const kTraceFiles[] = {"Rtmps19.txt", "Ttmps19.txt", "Rawtmps19.txt",
                                   "tmp.txt",     "mottmp.txt",  "fullmottmp.txt"};

Firmware Make(FwTarget target, std::uint32_t size, std::uint8_t version = 0x02) {
    FirmwareRecipe recipe;
    recipe.target = target;
    recipe.size = size;
    recipe.bootVersion = version;
    recipe.recordBytes = 32;
    recipe.order = FwOrder::Shuffled;
    Firmware fw;
    std::string error;
    EXPECT_TRUE(MakeFirmware(recipe, fw, error)) << error;
    return fw;
}

std::vector<std::string> Names(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class FlashRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("quillon-flash-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "work");
    }
    void TearDown() override { fs::remove_all(m_dir); }

    struct Outcome {
        FlashResult result;
        RecordingUi ui;
        std::vector<SimRun> runs;
        int selects = 0;
        int blocks = 0;
        std::vector<SimMessage> ends;
        bool reopened = false;
        bool closedAfter = false;
        std::string port;  // as the run opened it
        RunRecord record;  // the last one in the history
    };

    // One run of file against a simulator with options; the work folder is m_dir/work.
    void Flash(const fs::path& file, int target, SimOptions options, Outcome& out,
               std::optional<std::string> ext = std::nullopt) {
        CSimRunner sim(options);
        CBootLink link(FastTiming());
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        FlashJob job;
        job.filePath = file.string();
        job.fileExt = ext ? *ext : FileExtension(file.string());
        job.targetType = target;
        job.workDir = m_dir / "work";
        job.historyFile = m_dir / "history.jsonl";
        out.port = sim.Port();
        out.result = FlashThreadProc(link, job, out.ui);
        out.closedAfter = !link.m_port.IsOpen();
        out.reopened = link.OpenPort(sim.Port());  // nobody holds the port any more
        link.ClosePort();
        if (options.once)
            sim.Wait(3000);
        out.runs = sim.Runs();
        out.selects = sim.Count(SimStep::Select);
        out.blocks = sim.Count(SimStep::Block);
        out.ends = sim.Messages(SimStep::End);
        const HistoryContents history = ReadHistory(m_dir / "history.jsonl");
        EXPECT_TRUE(history.warnings.empty());
        ASSERT_FALSE(history.records.empty());
        out.record = history.records.back();
    }

    static void ExpectCleanEnding(const Outcome& out) {
        EXPECT_TRUE(out.closedAfter);
        EXPECT_TRUE(out.reopened);
        ASSERT_GE(out.ui.events.size(), 3u);
        EXPECT_EQ(out.ui.events.front(), "busy");
        EXPECT_EQ(out.ui.events.back(), "idle");
        // The final message comes before the button is given back.
        EXPECT_EQ(out.ui.events[out.ui.events.size() - 2].rfind("msg:", 0), 0u);
    }

    fs::path m_dir;
};

TEST_F(FlashRunTest, SuccessfulRunsWriteTheImageTheDeviceSaves) {
    struct Case {
        const char* name;
        FwTarget target;
        bool mot;
        std::optional<std::uint8_t> chip;
        std::uint8_t version;
        std::uint32_t size;
        const char* ext;  // nullptr: from the name
        std::vector<const char*> faults;
        int ends;
        const char* chipReply;  // as the history records it
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"master mot, ALL FLASH", FwTarget::Master, true, std::nullopt, 2, 0x8000, nullptr, {}, 1, "ALL FLASH"},
        {"master mot, same version", FwTarget::Master, true, 2, 2, 0x4800, nullptr, {}, 1, "0x02"},
        {"master mot, chip newer", FwTarget::Master, true, 5, 2, 0x4800, nullptr, {}, 1, "0x05"},
        {"master mot, image newer", FwTarget::Master, true, 1, 2, 0x4800, nullptr, {}, 1, "0x01, then ALL FLASH"},
        {"master mot, image 0xFF", FwTarget::Master, true, 5, 0xFF, 0x4800, nullptr, {}, 1, "0x05"},
        {"master mot picked as MOT", FwTarget::Master, true, std::nullopt, 2, 0x4400, "MOT", {}, 1, "ALL FLASH"},
        {"master bin", FwTarget::Master, false, std::nullopt, 2, 0x4400, nullptr, {}, 1, "ALL FLASH"},
        {"slave bin", FwTarget::Slave, false, std::nullopt, 0, 0x10040, nullptr, {}, 1, ""},
        {"slave mot", FwTarget::Slave, true, std::nullopt, 0, 0x10040, nullptr, {}, 1, ""},
        {"XON to the end message", FwTarget::Master, false, std::nullopt, 2, 0x4040, nullptr, {"end:1=byte:11"}, 2, "ALL FLASH"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool slave = c.target == FwTarget::Slave;
        const Firmware fw = Make(c.target, c.size, c.version);
        const fs::path file =
            m_dir / (std::string(slave ? "Slave" : "Master") + "_fw." + (c.mot ? "mot" : "bin"));
        if (c.mot) {
            WriteFile(file, fw.mot);
        } else {
            WriteFile(file, fw.image);
        }
        SimOptions o;
        o.slave = slave;
        o.chipVersion = c.chip;
        o.once = true;
        for (const char* f : c.faults)
            o.faults.push_back(CSimRunner::Fault(f));
        Outcome out;
        Flash(file, slave ? kTargetSlave : kTargetMaster, o, out,
              c.ext ? std::optional<std::string>(c.ext) : std::nullopt);

        EXPECT_EQ(out.result.exitCode, 1u);
        EXPECT_EQ(out.result.outcome, FlashOutcome::Success);
        ASSERT_EQ(out.ui.messages.size(), 1u);
        EXPECT_EQ(out.ui.messages[0].text,
                  slave ? "Slave Programming successfully !" : "Master Programming successfully !");
        EXPECT_EQ(out.ui.messages[0].caption, "OK");
        EXPECT_EQ(out.ui.messages[0].icon, MsgIcon::Information);
        ExpectCleanEnding(out);
        ASSERT_EQ(out.runs.size(), 1u);
        EXPECT_TRUE(out.runs[0].Correct());
        EXPECT_EQ(out.runs[0].image, fw.image);
        EXPECT_EQ(out.ui.progress.back(), "100 %");
        ASSERT_EQ(static_cast<int>(out.ends.size()), c.ends);
        EXPECT_EQ(out.ends.front().bytes, out.ends.back().bytes);  // resent unchanged
        // Neither tmp.bin nor any trace file is left behind; a bin file stays where it was.
        EXPECT_TRUE(Names(m_dir / "work").empty());
        EXPECT_TRUE(fs::exists(file));
        // The record names the image the device saved, by its digest.
        const RunRecord& r = out.record;
        EXPECT_EQ(r.sha256, Sha256Hex(out.runs[0].image.data(), out.runs[0].image.size()));
        EXPECT_EQ(r.bytesSent, fw.image.size());
        EXPECT_EQ(r.bytesTotal, fw.image.size());
        EXPECT_EQ(r.imageVersion, slave ? -1 : c.version);
        EXPECT_EQ(r.chipReply, c.chipReply);
        EXPECT_EQ(r.target, slave ? "Slave" : "Master");
        EXPECT_EQ(r.file, file.string());
        EXPECT_EQ(r.port, out.port);
        EXPECT_EQ(r.outcome, "success");
        EXPECT_EQ(r.ending, out.ui.messages[0].text);
        EXPECT_TRUE(r.detail.empty());
        EXPECT_LE(r.start, r.end);
    }
}

TEST_F(FlashRunTest, BinImageOfOddLengthIsPaddedAndAnnouncedPadded) {
    Firmware fw = Make(FwTarget::Master, 0x4040);
    fw.image.resize(0x4005);  // cut inside the last block
    const fs::path file = m_dir / "Master_odd.bin";
    WriteFile(file, fw.image);
    SimOptions o;
    o.once = true;
    Outcome out;
    Flash(file, kTargetMaster, o, out);
    ASSERT_EQ(out.result.outcome, FlashOutcome::Success);
    ASSERT_EQ(out.runs.size(), 1u);
    Bytes expected = fw.image;
    expected.resize(0x4040, 0xFF);
    EXPECT_EQ(out.runs[0].announcedSize, 0x4040u);
    EXPECT_EQ(out.runs[0].image, expected);
    EXPECT_EQ(ReadBytes(file).size(), 0x4005u);  // the user's file is not touched
    EXPECT_EQ(out.record.sha256, Sha256Hex(expected.data(), expected.size()));
}

TEST_F(FlashRunTest, AckToADataBlockEndsAtOnceWithSuccess) {
    const Firmware fw = Make(FwTarget::Master, 0x4400);
    const fs::path file = m_dir / "Master.bin";
    WriteFile(file, fw.image);
    SimOptions o;
    o.faults = CSimRunner::Faults({"block:1=byte:06"});
    Outcome out;
    Flash(file, kTargetMaster, o, out);
    EXPECT_EQ(out.result.outcome, FlashOutcome::Success);
    EXPECT_EQ(out.blocks, 1);
    EXPECT_TRUE(out.ends.empty());
}

TEST_F(FlashRunTest, EveryFailureEndsWithItsTextAndCleansUp) {
    enum class File {
        MasterMot,
        MasterBin,
        SlaveShortBin,
        NoSignatureMot,
        BadChecksumMot,
        OverlapMot,
        Missing,
        Text
    };
    using O = FlashOutcome;
    struct Case {
        const char* name;
        File file;
        const char* fault;
        int chip;              // -1: the simulator has no version
        std::string messages;  // every message in order, joined by '|'; the last is the run's own
        std::string caption;   // of the first message
        FlashOutcome outcome;
        int code;
        std::string
            detail;  // "@" stands for the port, "#" for the bytes at 0x4000, "*" for anything
    };
    const std::string c4 = ResultMessage(4), c5 = ResultMessage(5), c8 = ResultMessage(8),
                      c9 = ResultMessage(9), c10 = ResultMessage(10), noAck = kProgError;
    // clang-format off
    const std::vector<Case> cases = {
        {"silent device", File::MasterMot, "select=silence", -1, kCode6, "Warning", O::HandshakeFailed, 6, "No answer from @ to the target announcement (5 tries of 0.2 s)."},
        {"wrong target letter", File::MasterMot, "select=byte:53", -1, kCode6, "Warning", O::HandshakeFailed, 6, "@ answered the target announcement with 0x53, not with the target's letter."},
        {"damaged mot", File::BadChecksumMot, nullptr, -1, "Mot File Checksum Error ! (line 3)|Transfer mot file to bin file error.", "", O::FileRefused, 1, ""},
        {"overlapping records", File::OverlapMot, nullptr, -1, "Mot File Error(2) !|Transfer mot file to bin file error.", "", O::FileRefused, 1, ""},
        {"no master signature", File::NoSignatureMot, nullptr, -1, "The file you selected is not for 3064 CPU.", "Warning", O::FileRefused, 1, "The image of * holds # at 0x4000, where 0x30 0x64 is expected."},
        {"slave file too short", File::SlaveShortBin, nullptr, -1, "The file you selected is not correct salve file.", "Warning", O::FileRefused, 1, "The image of * ends before 0x10004."},
        {"bin file gone", File::Missing, nullptr, -1, "BIN file read error!", "Warning", O::FileRefused, 1, "The image of * could not be read."},
        {"unknown kind", File::Text, nullptr, -1, "Unknown firmware file type: choose a mot or bin file.", "Warning", O::FileRefused, 1, ""},
        {"all-flash unanswered", File::MasterMot, "allflash=silence", -1, c4, "Warning", O::HandshakeFailed, 4, "No answer from @ to the all-flash request within 0.6 s."},
        {"second all-flash refused", File::MasterMot, "allflash:2=byte:00", 1, c10, "Warning", O::HandshakeFailed, 10, "@ answered the all-flash request with 0x01, then 0x00 instead of ALL FLASH."},
        {"table answered by XON", File::MasterMot, "table=byte:11", -1, c8, "Warning", O::HandshakeFailed, 8, "@ answered the block table with 0x11 instead of ACK (0x06)."},
        {"size answered by ACK", File::MasterBin, "size=byte:06", -1, c9, "Warning", O::HandshakeFailed, 9, "@ answered the image size with 0x06 instead of XON (0x11)."},
        {"hang-up at the table", File::MasterMot, "table=hangup", -1, c5, "Warning", O::HandshakeFailed, 5, "The line to @ hung up during the block table."},
        {"NAK to a block", File::MasterMot, "block:3=byte:15", -1, "Receive Error!|" + noAck, "Error", O::TransferFailed, 1, "192 of 17408 bytes were sent to @, then a wrong byte came back: 0x15 instead of XON or ACK."},
        {"silence after a block", File::MasterBin, "block:2=silence", -1, "Time out!|" + noAck, "Error", O::TransferFailed, 1, "128 of 17408 bytes were sent to @, then no answer came for 1.6 s."},
        {"hang-up mid-transfer", File::MasterMot, "block:4=hangup", -1, noAck, "Warning", O::TransferFailed, 1, "256 of 17408 bytes were sent to @, then the line hung up."},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_dir / "work");
        fs::create_directories(m_dir / "work");
        const Firmware fw = Make(FwTarget::Master, 0x4400);
        fs::path file;
        switch (c.file) {
            case File::MasterMot:
                WriteFile(file = m_dir / "Master.mot", fw.mot);
                break;
            case File::MasterBin:
                WriteFile(file = m_dir / "Master.bin", fw.image);
                break;
            case File::SlaveShortBin:
                WriteFile(file = m_dir / "Slave.bin", Make(FwTarget::None, 0x10000).image);
                break;
            case File::NoSignatureMot:
                WriteFile(file = m_dir / "Master_plain.mot", Make(FwTarget::None, 0x4400).mot);
                break;
            case File::BadChecksumMot:
                WriteFile(file = m_dir / "Master_bad.mot",
                          "S00600004844521B\nS1130000000102030405060708090A0B0C0D0E0F74\n"
                          "S1130010000102030405060708090A0B0C0D0E0F00\nS9030000FC\n");
                break;
            case File::OverlapMot:
                WriteFile(file = m_dir / "Master_overlap.mot",
                          "S1170000000102030405060708090A0B0C0D0E0F101112132A\n"
                          "S1070008AABBCCDDE2\nS9030000FC\n");
                break;
            case File::Missing:
                file = m_dir / "Master_gone.bin";
                break;
            case File::Text:
                WriteFile(file = m_dir / "Master.txt", fw.image);
                break;
        }
        // A tmp.bin from before must outlive a conversion that never wrote one.
        WriteFile(m_dir / "work" / "tmp.bin", std::string("earlier"));
        SimOptions o;
        o.slave = c.file == File::SlaveShortBin;
        if (c.chip >= 0)
            o.chipVersion = static_cast<std::uint8_t>(c.chip);
        if (c.fault)
            o.faults.push_back(CSimRunner::Fault(c.fault));
        Outcome out;
        Flash(file, c.file == File::SlaveShortBin ? kTargetSlave : kTargetMaster, o, out);

        EXPECT_EQ(out.result.exitCode, 0u);
        EXPECT_EQ(out.result.outcome, c.outcome);
        if (c.outcome == FlashOutcome::HandshakeFailed) {
            EXPECT_EQ(out.result.resultCode, c.code);
        }
        std::string texts;
        for (const auto& m : out.ui.messages)
            texts += (texts.empty() ? "" : "|") + m.text;
        EXPECT_EQ(texts, c.messages);
        ASSERT_FALSE(out.ui.messages.empty());
        EXPECT_EQ(out.ui.messages.front().caption, c.caption);
        EXPECT_EQ(out.ui.messages.back().caption, "Warning");
        EXPECT_EQ(out.ui.messages.back().icon, MsgIcon::Warning);
        // The detail names the port and says what happened; the history has the same.
        std::string detail = c.detail;
        if (const auto at = detail.find('@'); at != std::string::npos)
            detail.replace(at, 1, out.port);
        if (const auto hash = detail.find('#'); hash != std::string::npos) {
            const Bytes image = Make(FwTarget::None, 0x4400).image;
            char found[16];
            std::snprintf(found, sizeof found, "0x%02X 0x%02X", image[0x4000], image[0x4001]);
            detail.replace(hash, 1, found);
        }
        if (const auto star = detail.find('*'); star != std::string::npos) {
            const std::string& got = out.result.detail;
            EXPECT_EQ(got.rfind(detail.substr(0, star), 0), 0u) << got;
            const std::string tail = detail.substr(star + 1);
            EXPECT_TRUE(got.size() >= tail.size() && got.substr(got.size() - tail.size()) == tail)
                << got;
        } else {
            EXPECT_EQ(out.result.detail, detail);
        }
        EXPECT_EQ(out.record.detail, out.result.detail);
        EXPECT_EQ(out.record.ending, out.ui.messages.back().text);
        EXPECT_EQ(out.record.outcome, c.outcome == O::TransferFailed    ? "transfer-failed"
                                      : c.outcome == O::HandshakeFailed ? "handshake-failed"
                                                                        : "file-refused");
        // A file fault ends the run before the first byte goes out.
        EXPECT_EQ(out.selects > 0, c.outcome != FlashOutcome::FileRefused);
        ExpectCleanEnding(out);

        // No trace file survives a run. tmp.bin is gone once a conversion wrote one, and an
        // earlier one stays when the conversion never got that far.
        const auto left = Names(m_dir / "work");
        const bool convertedOk = c.file == File::MasterMot || c.file == File::NoSignatureMot;
        if (convertedOk) {
            EXPECT_TRUE(left.empty());
        } else {
            EXPECT_EQ(left, std::vector<std::string>{"tmp.bin"});
            EXPECT_EQ(ReadBytes(m_dir / "work" / "tmp.bin"),
                      Bytes({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
        }
    }
}

TEST_F(FlashRunTest, PrivateFolderLeavesCurrentDirectoryAndTempAlone) {
    const Firmware fw = Make(FwTarget::Master, 0x4400);
    const fs::path cwd = m_dir / "cwd";
    const fs::path tmp = m_dir / "tmp";
    fs::create_directories(cwd);
    fs::create_directories(tmp);
    WriteFile(cwd / "tmp.bin", std::string("the user's own file"));
    WriteFile(cwd / "Master.mot", fw.mot);
    const fs::path before = fs::current_path();
    fs::current_path(cwd);
    ::setenv("TMPDIR", tmp.c_str(), 1);

    CSimRunner sim(SimOptions{});
    CBootLink link(FastTiming());
    ASSERT_TRUE(link.OpenPort(sim.Port()));
    RecordingUi ui;
    FlashJob job;
    job.filePath = "Master.mot";
    job.fileExt = "mot";
    const FlashResult result = FlashThreadProc(link, job, ui);
    fs::current_path(before);
    ::unsetenv("TMPDIR");

    EXPECT_EQ(result.outcome, FlashOutcome::Success);
    EXPECT_EQ(Names(cwd), (std::vector<std::string>{"Master.mot", "tmp.bin"}));
    EXPECT_EQ(ReadBytes(cwd / "tmp.bin").size(), std::string("the user's own file").size());
    EXPECT_TRUE(Names(tmp).empty());  // the private folder went with the run

    // No private folder can be made: the conversion's ending, before anything is sent.
    ::setenv("TMPDIR", (m_dir / "missing").c_str(), 1);
    job.filePath = (cwd / "Master.mot").string();
    const std::size_t sent = sim.Received().size();
    EXPECT_EQ(FlashThreadProc(link, job, ui).message, "Transfer mot file to bin file error.");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(sim.Received().size(), sent);
}

TEST(FlashCommandChecks, InOrderWithTheirTexts) {
    const fs::path dir = fs::temp_directory_path() / ("quillon-check-" + std::to_string(getpid()));
    fs::create_directories(dir / "Master");
    WriteFile(dir / "slave_v2.bin", std::string("x"));
    WriteFile(dir / "MasterSlave.mot", std::string("x"));
    WriteFile(dir / "Slave.bin", std::string("x"));
    WriteFile(dir / "Master" / "fw.bin", std::string("x"));
    WriteFile(dir / "Master.txt", std::string("x"));
    struct Case {
        std::string path;
        std::string message;
        int target;
    };
    ASSERT_EQ(mkfifo((dir / "Master_fifo.mot").c_str(), 0600), 0);
    fs::create_symlink(dir / "Master_fifo.mot", dir / "Master_link.mot");
    const int writer = open((dir / "Master_fifo.mot").c_str(), O_RDWR);  // an open cannot hang
    const std::vector<Case> cases = {
        {"", "Please select mot|bin file!", 0},
        {(dir / "missing_Master.mot").string(), "Can't open this mot|bin file!", 0},
        {(dir / "Master").string(), "Can't open this mot|bin file!", 0},
        // Only regular files: these would block the open or never end.
        {(dir / "Master_fifo.mot").string(), "Can't open this mot|bin file!", 0},
        {(dir / "Master_link.mot").string(), "Can't open this mot|bin file!", 0},
        {"/dev/null", "Can't open this mot|bin file!", 0},
        {(dir / "slave_v2.bin").string(), "Can't get master/slave type from the file name!", 0},
        {(dir / "Master" / "fw.bin").string(), "Can't get master/slave type from the file name!",
         0},
        {(dir / "MasterSlave.mot").string(), "", kTargetMaster},
        {(dir / "Slave.bin").string(), "", kTargetSlave},
        {(dir / "Master.txt").string(), "", kTargetMaster},
    };
    for (const Case& c : cases) {
        const FileCheck check = CheckFirmwareFile(c.path);
        EXPECT_EQ(check.message, c.message) << c.path;
        if (c.message.empty()) {
            EXPECT_EQ(check.targetType, c.target) << c.path;
        }
    }
    EXPECT_EQ(FileExtension("/a/Master_v2.MOT"), "MOT");
    EXPECT_EQ(FileExtension("/a.b/Master.tar.mot"), "mot");
    EXPECT_EQ(FileExtension("/a.b/Master"), "");
    close(writer);

    // A refused open names the device's own group as the remedy, and none for root's.
    for (const std::string name : {"uucp", "dialout", "root"}) {
        const struct group* g = getgrnam(name.c_str());
        if (g != nullptr && chown((dir / "Slave.bin").c_str(), getuid(), g->gr_gid) == 0) {
            const std::string hint = PortAccessHint((dir / "Slave.bin").string(), EACCES);
            EXPECT_EQ(hint.find("-aG " + name + " $USER") == std::string::npos, name == "root");
            EXPECT_EQ(hint.empty(), name == "root") << hint;
        }
    }
    EXPECT_EQ(PortAccessHint((dir / "Slave.bin").string(), ENOENT), "");
    fs::remove_all(dir);
}

}  // namespace
