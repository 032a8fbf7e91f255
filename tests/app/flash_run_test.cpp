// Whole runs through FlashThreadProc against the simulator: one row per ending, with what it
// shows and records, and that the port, the working files and the button always come back.
// The run starts in a scratch folder, on the port "inverter" (a link to the simulator), so
// every text is known in advance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <thread>

#include "app/flash_run.h"
#include "app/session.h"
#include "app/sha256.h"
#include "common/stop_request.h"
#include "fast_timing.h"
#include "firmware_gen.h"
#include "private_data_home.h"
#include "recording_ui.h"
#include "sim_runner.h"
#include "test_util.h"

namespace {

constexpr const char* kProgError = "Programming Process Error.\nPlease try again after 40 seconds!";

// Nobody holds the device: its exclusive lock can be taken at once.
bool PortIsFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

std::string Str(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Firmware Make(FwTarget target, std::uint32_t size) {
    const FirmwareRecipe recipe{
        .target = target, .size = size, .recordBytes = 32, .order = FwOrder::Shuffled};
    Firmware fw;
    std::string error;
    EXPECT_TRUE(MakeFirmware(recipe, fw, error)) << error;
    return fw;
}

SimOptions Sim(const char* fault = nullptr, std::optional<std::uint8_t> chip = std::nullopt,
               bool slave = false) {
    SimOptions o;
    if (fault != nullptr) {
        o.faults.push_back(CSimRunner::Fault(fault));
    }
    o.chipVersion = chip;
    o.slave = slave;
    return o;
}

// Asks for a stop once stopAt bytes went out.
struct StoppingUi : RecordingUi {
    std::uint32_t stopAt = 0;
    std::function<void()> stop;
    void TransferProgressed(const TransferProgress& p) override {
        RecordingUi::TransferProgressed(p);
        if (stop && p.sent == stopAt) {
            stop();
        }
    }
};

class FlashRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::current_path(m_dir.Path());
        fs::create_directories("work");
        const Firmware fw = Make(FwTarget::Master, 0x4400);  // signature at 0x4000, 272 blocks
        m_image = Str(fw.image);
        WriteFile("Master.mot", fw.mot);
        WriteFile("Master.bin", m_image);
        WriteFile("Master.txt", m_image);
        std::string half = m_image;
        half[0x4001] = 0;
        WriteFile("Master_half.bin", half);
        WriteFile("Master_empty.bin", "");
        WriteFile("Master_bad.mot",
                  "S00600004844521B\nS1130000000102030405060708090A0B0C0D0E0F74\n"
                  "S1130010000102030405060708090A0B0C0D0E0F00\nS9030000FC\n");
        WriteFile("Slave_zero.bin", std::string(0x10040, '\0'));
        WriteFile("Slave_master.bin", m_image);
        WriteFile("Slave.bin", Str(Make(FwTarget::Slave, 0x10040).image));
    }
    void TearDown() override { fs::current_path(m_before); }

    struct Outcome {
        FlashResult result;
        RecordingUi ui;
        bool portClosed = false;
        std::size_t received = 0;        // bytes the device got
        std::vector<std::uint8_t> wire;  // and which
        std::vector<SimRun> runs;        // as the device saw them
        RunRecord record;                // the history's last line
    };

    // One run of file on the port "inverter"; working files go to ./work unless private.
    Outcome Flash(const std::string& file, SimOptions sim, int target = kTargetMaster,
                  bool privateFolder = false, const fs::path& history = "history.jsonl",
                  RecordingUi* ui = nullptr, const fs::path& trace = {}) {
        Outcome out;
        CSimRunner device(std::move(sim));
        fs::remove("inverter");
        fs::create_symlink(device.Port(), "inverter");
        const FlashJob job{.filePath = file,
                           .fileExt = FileExtension(file),
                           .targetType = target,
                           .workDir = privateFolder ? fs::path() : fs::path("work"),
                           .frontEnd = "test",
                           .historyFile = history};
        out.result = RunPort("inverter", job, ui != nullptr ? *ui : out.ui, StopToken{},
                             {.timing = FastTiming(), .trace = trace});
        out.portClosed = PortIsFree(device.Port());
        device.Stop();
        out.wire = device.Received();
        out.received = out.wire.size();
        out.runs = device.Runs();
        const HistoryContents contents = ReadHistory("history.jsonl");
        if (!contents.records.empty()) {
            out.record = contents.records.back();
        }
        return out;
    }

    const fs::path m_before = fs::current_path();
    ScratchDir m_dir;
    std::string m_image;
};

TEST_F(FlashRunTest, EveryEndingWithItsTextsAndCleanUp) {
    using O = FlashOutcome;
    struct Case {
        const char* name;
        const char* file;
        SimOptions sim;
        O outcome;
        std::string events;    // RecordingUi::Events(); the last message is the run's own
        std::string detail;    // what happened, then what to do
        const char* recorded;  // the outcome in the history
        int target = kTargetMaster;
    };
    const std::string prog = kProgError;
    const std::string cycle = " Power-cycle the inverter, then try again.";
    const std::string again = " Check the cable, then flash again after 40 seconds.";
    const std::string pick = " Pick the right firmware file.";
    // clang-format off
    const Case cases[] = {
        {"silent device", "Master.bin", Sim("select=silence"), O::HandshakeFailed,
         "busy msg:Warning:Time out, can't receive data from inverter,\nplease check the connection! idle",
         "No answer from inverter to the target announcement (5 tries of 0.2 s). Check the cable and that this is the inverter's port, then power-cycle the inverter.", "handshake-failed"},
        {"Slave file on a Master inverter", "Slave.bin", Sim(), O::HandshakeFailed,
         "busy msg:Warning:Time out, can't receive data from inverter,\nplease check the connection! idle",
         "The inverter answered as Master ('M'); this file is for the Slave. Pick the Master's file for it, or connect the Slave.",
         "handshake-failed", kTargetSlave},
        {"second all-flash request refused", "Master.bin", Sim("allflash:2=byte:00", 1), O::HandshakeFailed,
         "busy msg:Warning:Not get All Flash Signal idle",
         "inverter answered the all-flash request with 0x01, then 0x00 instead of ALL FLASH: its bootloader did not take this image." + cycle, "handshake-failed"},
        {"size answered by ACK", "Master.mot", Sim("size=byte:06"), O::HandshakeFailed,
         "busy msg:Warning:Not get Xon Signal! idle",
         "inverter answered the image size with 0x06 instead of XON (0x11)." + cycle, "handshake-failed"},
        {"NAK to a block", "Master.mot", Sim("block:3=byte:15"), O::TransferFailed,
         "busy start:17408 msg:Error:Receive Error! finish:failed msg:Warning:" + prog + " idle",
         "192 of 17408 bytes were sent to inverter, then a wrong byte came back: 0x15 instead of XON or ACK. Flash again after 40 seconds; if it fails again, power-cycle the inverter first.",
         "transfer-failed"},
        {"silence after a block", "Master.bin", Sim("block:2=silence"), O::TransferFailed,
         "busy start:17408 msg:Error:Time out! finish:failed msg:Warning:" + prog + " idle",
         "128 of 17408 bytes were sent to inverter, then no answer came for 1.6 s." + again, "transfer-failed"},
        {"hang-up mid-transfer", "Master.mot", Sim("block:4=hangup"), O::TransferFailed,
         "busy start:17408 finish:failed msg:Warning:" + prog + " idle",
         "256 of 17408 bytes were sent to inverter, then the line hung up (read)." + again, "transfer-failed"},
        {"damaged S-record file", "Master_bad.mot", Sim(), O::FileRefused,
         "busy msg::Mot File Checksum Error ! (line 3) msg:Warning:Transfer mot file to bin file error. idle",
         "Master_bad.mot: Mot File Checksum Error ! (line 3). The file is damaged or no S-record file: copy it again from its source.",
         "file-refused"},
        {"unknown kind", "Master.txt", Sim(), O::FileRefused,
         "busy msg:Warning:Unknown firmware file type: choose a mot or bin file. idle",
         "Master.txt is neither a .mot nor a .bin file. Pick the firmware's own file.", "file-refused"},
        {"file gone", "Master_gone.bin", Sim(), O::FileRefused,
         "busy msg:Warning:BIN file read error! idle", "The image of Master_gone.bin could not be read: No such file or directory. Check that the file is still there, then try again.",
         "file-refused"},
        {"wrong Master signature", "Master_half.bin", Sim(), O::FileRefused,
         "busy msg:Warning:The file you selected is not for 3064 CPU. idle",
         "The image of Master_half.bin holds 0x30 0x00 at 0x4000, where 0x30 0x64 is expected: it is no Master firmware." + pick, "file-refused"},
        {"Master image too short", "Master_empty.bin", Sim(), O::FileRefused,
         "busy msg:Warning:The file you selected is not for 3064 CPU. idle",
         "The image of Master_empty.bin is only 0 bytes long, too short for a Master image." + pick, "file-refused"},
        {"no Slave signature", "Slave_zero.bin", Sim(nullptr, std::nullopt, true), O::FileRefused,
         "busy msg:Warning:The file you selected is not correct salve file. idle",
         "The image of Slave_zero.bin holds 0x00 0x00 0x00 0x00 at 0x10000, where 0x60 0x49 0x00 0x01 is expected: it is no Slave firmware." + pick,
         "file-refused", kTargetSlave},
        {"Master image under a Slave name", "Slave_master.bin", Sim(nullptr, std::nullopt, true), O::FileRefused,
         "busy msg:Warning:The file you selected is not correct salve file. idle",
         "This file holds a Master image (0x30 0x64 at 0x4000), but its name says Slave. Pick the Slave's file; this one is for the Master.",
         "file-refused", kTargetSlave},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome out = Flash(c.file, c.sim, c.target);
        EXPECT_EQ(out.result.outcome, c.outcome);
        EXPECT_EQ(out.result.exitCode, 0u);
        EXPECT_EQ(out.ui.Events(), c.events);
        EXPECT_EQ(out.result.detail, c.detail);
        EXPECT_EQ(out.record.outcome, c.recorded);
        EXPECT_EQ(out.record.ending, out.ui.messages.back().text);
        EXPECT_EQ(out.record.detail, c.detail);
        EXPECT_EQ(out.record.port, "inverter");
        // A file fault ends the run before the first byte goes out.
        EXPECT_EQ(out.received > 0, c.outcome != O::FileRefused);
        EXPECT_TRUE(out.portClosed);
        EXPECT_TRUE(FilesIn("work").empty());  // neither tmp.bin nor a trace file is left
    }
}

TEST_F(FlashRunTest, SuccessfulRunsDeliverTheImageAndRecordIt) {
    // The kind comes from the name ignoring case; a bin image of odd length is padded with
    // 0xFF and announced padded.
    fs::rename("Master.mot", "Master_fw.MOT");
    const std::string odd = Str(Make(FwTarget::Slave, 0x10040).image).substr(0, 0x10005);
    WriteFile("Slave_odd.bin", odd);
    struct Case {
        const char* file;
        int target;
        std::string image;  // as the device saved it
        const char* events;
        int imageVersion;
        const char* chipReply;
    };
    const Case cases[] = {
        {"Master_fw.MOT", kTargetMaster, m_image,
         "busy start:17408 finish:ok msg:OK:Master Programming successfully ! idle", 2,
         "ALL FLASH"},
        {"Slave_odd.bin", kTargetSlave, odd + std::string(0x3B, '\xFF'),
         "busy start:65600 finish:ok msg:OK:Slave Programming successfully ! idle", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string original = ReadFile(c.file);
        const Outcome out =
            Flash(c.file, Sim(nullptr, std::nullopt, c.target == kTargetSlave), c.target);
        EXPECT_EQ(out.result.exitCode, 1u);
        EXPECT_EQ(out.ui.Events(), c.events);
        ASSERT_EQ(out.runs.size(), 1u);
        EXPECT_TRUE(out.runs[0].Correct());
        EXPECT_EQ(Str(out.runs[0].image), c.image);
        EXPECT_EQ(out.runs[0].announcedSize, c.image.size());
        EXPECT_EQ(ReadFile(c.file), original);
        const RunRecord& r = out.record;
        EXPECT_EQ(r.sha256, Sha256Hex(c.image.data(), c.image.size()));
        EXPECT_EQ(r.bytesSent, c.image.size());
        EXPECT_EQ(r.bytesTotal, c.image.size());
        EXPECT_EQ(r.imageVersion, c.imageVersion);
        EXPECT_EQ(r.chipReply, c.chipReply);
        EXPECT_EQ(r.target, c.target == kTargetSlave ? "Slave" : "Master");
        EXPECT_EQ(r.outcome, "success");
        EXPECT_LE(r.start, r.end);
    }
}

// A stop request (a signal to quillon-cli) ends the run silently: port closed, progress
// window gone, button back, working files removed, the run recorded as stopped.
TEST_F(FlashRunTest, StopRequestEndsTheRunWithoutAMessage) {
    StoppingUi ui;
    ui.stopAt = 64;
    ui.stop = [] { RequestStop(SIGTERM); };
    const Outcome out = Flash("Master.mot", Sim(), kTargetMaster, false, "history.jsonl", &ui);
    RequestStop(0);
    EXPECT_EQ(ui.Events(), "busy start:17408 finish:failed idle");
    EXPECT_TRUE(out.portClosed);
    EXPECT_TRUE(FilesIn("work").empty());
    // Recorded as it happened: how much went out, of which image, and who stopped it.
    const std::string line =
        "stopped by SIGTERM after 64 of 17,408 bytes; the inverter must be flashed again";
    EXPECT_EQ(out.result.detail, line);
    EXPECT_EQ(out.record.outcome, "stopped");
    EXPECT_EQ(out.record.detail, line);
    EXPECT_EQ(out.record.bytesSent, 64u);
    EXPECT_EQ(out.record.bytesTotal, 17408u);
    EXPECT_EQ(out.record.sha256, Sha256Hex(m_image.data(), m_image.size()));
}

// A run's own stop source ends that run alone; a run beside it goes on to its end.
TEST_F(FlashRunTest, ItsOwnStopEndsOneRunAlone) {
    CSimRunner deviceA, deviceB;
    CStopSource stopA, stopB;
    StoppingUi uiA, uiB;
    uiA.stopAt = 6 * 64;
    uiA.stop = [&] { stopA.RequestStop(); };
    FlashResult a, b;
    const auto run = [&](CSimRunner& device, CStopSource& stop, StoppingUi& ui, FlashResult& r,
                         const char* work) {
        const FlashJob job{.filePath = "Master.bin",
                           .fileExt = "bin",
                           .targetType = kTargetMaster,
                           .workDir = work,
                           .frontEnd = "test",
                           .historyFile = "history.jsonl"};
        r = RunPort(device.Port(), job, ui, StopToken(stop), {.timing = FastTiming(), .trace = {}});
    };
    std::thread other([&] { run(deviceB, stopB, uiB, b, "work-b"); });
    run(deviceA, stopA, uiA, a, "work-a");
    other.join();
    EXPECT_EQ(a.outcome, FlashOutcome::Stopped);
    EXPECT_EQ(a.detail,
              "stopped by the user after 384 of 17,408 bytes; the inverter must be flashed again");
    EXPECT_EQ(a.record.bytesSent, 384u);
    EXPECT_EQ(b.outcome, FlashOutcome::Success) << b.detail;
    deviceB.Stop();
    ASSERT_EQ(deviceB.Runs().size(), 1u);
    EXPECT_TRUE(deviceB.Runs()[0].Correct());
}

// The wire trace of a short run: every byte the device got, in order, with the purges and the
// ending, times that never go back; a path that holds anything but a regular file is never
// written through, and the run goes on without its trace.
TEST_F(FlashRunTest, WireTrace) {
    WriteFile("run.trace", std::string(100000, 'x'));  // an earlier trace is replaced whole
    const Outcome out =
        Flash("Master.bin", Sim(), kTargetMaster, false, "history.jsonl", nullptr, "run.trace");
    EXPECT_EQ(out.record.trace, (m_dir / "run.trace").string());
    // "%10.3f  EVENT  BYTES": the time, the event in five columns, then its text.
    std::istringstream lines(ReadFile("run.trace"));
    std::string line, sent, wire, events;
    double time = 0;
    while (std::getline(lines, line)) {
        if (line[0] != '#') {
            const std::string event = line.substr(12, line.find(' ', 12) - 12);
            ASSERT_TRUE(line.size() >= 14 &&
                        std::string(" out in purge step close ").find(" " + event + " ") !=
                            std::string::npos)
                << line;
            EXPECT_GE(std::stod(line.substr(0, 10)), time) << line;
            time = std::stod(line.substr(0, 10));
            sent += event == "out" ? line.substr(19) + " " : "";
            events += line.substr(12) + "\n";
        }
    }
    for (const std::uint8_t b : out.wire) {
        wire += "0123456789ABCDEF"[b >> 4] + std::string(1, "0123456789ABCDEF"[b & 15]) + " ";
    }
    EXPECT_TRUE(sent == wire) << sent.size() << " of " << wire.size() << " hex characters";
    EXPECT_EQ(events.rfind("step   select\npurge  output\npurge  input\nout", 0), 0u);
    EXPECT_TRUE(events.ends_with("in     06\nstep   ending success\nclose\n"));

    WriteFile("victim", "keep");
    fs::create_symlink("victim", "link.trace");
    fs::create_directories("folder.trace");
    // A FIFO without a reader is refused, never waited on; one with a reader too.
    ASSERT_EQ(mkfifo("fifo.trace", 0600), 0);
    ASSERT_EQ(mkfifo("read.trace", 0600), 0);
    const int reader = open("read.trace", O_RDONLY | O_NONBLOCK);
    for (const auto& [path, why] : {std::pair{"link.trace", " is a symbolic link"},
                                    {"folder.trace", ": Is a directory"},
                                    {"fifo.trace", ": No such device or address"},
                                    {"read.trace", " is not a regular file"}}) {
        const Outcome refused =
            Flash("Master.bin", Sim(), kTargetMaster, false, "history.jsonl", nullptr, path);
        EXPECT_EQ(refused.result.outcome, FlashOutcome::Success) << path;
        EXPECT_EQ(refused.result.detail,
                  std::string("No wire trace was written: ") + path + why + ".");
        EXPECT_EQ(refused.record.trace, "");
    }
    close(reader);
    EXPECT_EQ(ReadFile("victim"), "keep");
}

// Working files live in a private folder under TMPDIR, removed with the run: the current
// directory and its own tmp.bin are never touched. Without such a folder a run from an
// S-record file ends before anything is sent. A history that cannot be written changes
// nothing but the detail, which says so.
TEST_F(FlashRunTest, PrivateFolderLeavesTheCurrentDirectoryAlone) {
    WriteFile("tmp.bin", "the user's own file");
    fs::create_directories("tmp");
    const char* saved = std::getenv("TMPDIR");
    const std::string keep = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", (m_dir / "tmp").c_str(), 1);
    const Outcome ok = Flash("Master.mot", Sim(), kTargetMaster, true, "Master.bin/history.jsonl");
    ::setenv("TMPDIR", (m_dir / "missing").c_str(), 1);
    const Outcome refused = Flash("Master.mot", Sim(), kTargetMaster, true);
    saved != nullptr ? ::setenv("TMPDIR", keep.c_str(), 1) : ::unsetenv("TMPDIR");

    EXPECT_EQ(ok.result.outcome, FlashOutcome::Success);
    EXPECT_EQ(ok.result.detail,
              "This run could not be recorded in the history: Master.bin: Not a directory");
    EXPECT_EQ(ok.ui.messages.back().detail, ok.result.detail);
    EXPECT_TRUE(FilesIn("tmp").empty());
    EXPECT_EQ(ReadFile("tmp.bin"), "the user's own file");
    EXPECT_EQ(refused.ui.Events(), "busy msg:Warning:Transfer mot file to bin file error. idle");
    EXPECT_EQ(refused.received, 0u);
}

// The file is checked once for several ports (the CLI): a fit file shows and records
// nothing, a refused one ends as a run would, its record naming every port. How a port that
// does not open ends is the CLI's and the window's to show.
TEST_F(FlashRunTest, FileCheckBeforeAnyPort) {
    FlashJob job;
    job.historyFile = "history.jsonl";
    for (const char* file : {"Master.mot", "Master_half.bin"}) {
        job.filePath = file;
        job.fileExt = FileExtension(file);
        RecordingUi ui;
        const bool fit = std::string(file) == "Master.mot";
        EXPECT_EQ(CheckFirmwareImage(job, {"a", "b"}, ui).outcome,
                  fit ? FlashOutcome::Success : FlashOutcome::FileRefused);
        EXPECT_EQ(ui.Events() == "busy idle", fit);
        EXPECT_EQ(ReadHistory("history.jsonl").records.size(), fit ? 0u : 1u);
    }
    EXPECT_EQ(ReadHistory("history.jsonl").records.back().port, "a b");
}

TEST_F(FlashRunTest, FileNameChecksInOrderWithTheirTexts) {
    for (const char* name : {"slave_v2.bin", "MasterSlave.mot", "Master/fw.bin"}) {
        WriteFile(name, "x");
    }
    struct Case {
        const char* path;
        const char* message;
        int target;
        const char* advice = "";  // the end of the detail
    };
    const Case cases[] = {
        {"", "Please select mot|bin file!", 0},
        {"missing_Master.mot", "Can't open this mot|bin file!", 0},
        {"Master", "Can't open this mot|bin file!", 0},  // a folder
        {"slave_v2.bin", "Can't get master/slave type from the file name!", 0,
         "Rename it to Slave_v2.bin if that is its target."},
        {"Master/fw.bin", "Can't get master/slave type from the file name!", 0,
         "Rename it to say which target it is for."},
        {"MasterSlave.mot", "", kTargetMaster},
        {"Slave_zero.bin", "", kTargetSlave},
    };
    for (const Case& c : cases) {
        const FileCheck check = CheckFirmwareFile(c.path);
        EXPECT_EQ(check.message, c.message) << c.path;
        EXPECT_EQ(check.targetType, c.target) << c.path;
        EXPECT_TRUE(check.detail.ends_with(c.advice)) << check.detail;
    }
    EXPECT_EQ(FileExtension("/a.b/Master.tar.MOT"), "MOT");
}

}  // namespace
