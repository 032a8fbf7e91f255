// quillon-cli station as a line runs it: units arriving on simulators that serve one unit
// after another, serial numbers scanned, the firmware file changed under it, stop signals
// during a transfer. Every wait is for a line the programs print, never a fixed time.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <set>
#include <thread>

#include "app/history.h"
#include "app/sha256.h"
#include "child_process.h"
#include "firmware_gen.h"
#include "private_data_home.h"
#include "run_program.h"
#include "sim_runner.h"
#include "test_util.h"

namespace {

class CliStation : public ::testing::Test {
protected:
    void SetUp() override {
        const FirmwareRecipe recipe{.size = 0x4400, .bootVersion = 0x02};
        std::string error;
        ASSERT_TRUE(MakeFirmware(recipe, m_fw, error)) << error;
        WriteFile(m_dir / "Master.bin", std::string(m_fw.image.begin(), m_fw.image.end()));
        fs::create_directories(m_dir / "tmp");
        fs::remove(g_privateDataHome.HistoryFile());
    }

    // quillon-sim on a link in the scratch folder, once it serves.
    std::unique_ptr<CChild> Sim(const std::string& link, std::vector<std::string> args) {
        args.insert(args.begin(), {QUILLON_SIM_PATH, "--link", (m_dir / link).string()});
        auto sim = std::make_unique<CChild>(args);
        EXPECT_TRUE(sim->AwaitLine(1, "link: "));
        return sim;
    }

    std::unique_ptr<CChild> Station(std::vector<std::string> args) {
        args.insert(args.begin(), {QUILLON_CLI_PATH, "station"});
        args.push_back("Master.bin");
        return std::make_unique<CChild>(
            args, std::vector<std::string>{"TMPDIR=" + (m_dir / "tmp").string()},
            m_dir.Path().string());
    }

    std::vector<RunRecord> Records() const {
        return ReadHistory(g_privateDataHome.HistoryFile()).records;
    }

    std::string Sha256Prefix() const {
        return Sha256Hex(m_fw.image.data(), m_fw.image.size()).substr(0, 12);
    }

    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
            ++n;
        return n;
    }

    ScratchDir m_dir;
    Firmware m_fw;
};

// Two slots, three units each: one simulator brings its next unit back at once (while the
// slot is still busy with the last), the other after a pause, and its second unit refuses
// the block table.
TEST_F(CliStation, ArrivalFlashesEveryUnitAndRecordsIt) {
    const auto a = Sim("a", {"--units", "3", "--unit-gap", "0"});
    const auto b =
        Sim("b", {"--units", "3", "--unit-gap", "300", "--unit-fault", "2:table=byte:15"});
    const auto station = Station({"--port", "a", "--port", "b", "--operator", "Ann", "--work-order",
                                  "WO-7", "--station", "line-3"});
    EXPECT_EQ(a->Wait(), 0) << a->Err();
    EXPECT_EQ(b->Wait(), 1) << b->Err();  // its second unit was not flashed
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(station->AwaitLine(1, " s  ")) << station->Out() << station->Err();
    }
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait(), 5) << station->Err();  // the handshake failure's code
    const std::string& out = station->Out();
    EXPECT_EQ(Count(out, "  success  "), 5u) << out;
    EXPECT_EQ(Count(out, "  handshake-failed  "), 1u) << out;
    const std::string sha = Sha256Prefix();
    EXPECT_EQ(Count(out, " s  " + sha + "\n"), 6u) << out;
    EXPECT_NE(out.find("\n6 units: 5 passed, 1 failed; first-pass yield 83.3 %; "),
              std::string::npos)
        << out;
    EXPECT_NE(station->Err().find("b: Not get Ack Signal!"), std::string::npos);
    const std::vector<RunRecord> records = Records();
    ASSERT_EQ(records.size(), 6u);
    for (const RunRecord& r : records) {
        EXPECT_EQ(r.operatorName, "Ann");
        EXPECT_EQ(r.workOrder, "WO-7");
        EXPECT_EQ(r.station, "line-3");
        EXPECT_EQ(r.unit, "");
        EXPECT_EQ(r.outcome == "success" ? r.bytesSent : 17408u, 17408u);
    }
    EXPECT_TRUE(fs::is_empty(m_dir / "tmp"));
}

// Scanned serial numbers go to the first free slot, each recorded as its run's unit; lines
// that are no serial number are refused; a changed firmware file stops the station before
// its next unit.
TEST_F(CliStation, ScannedUnitsAndAChangedFile) {
    CSimRunner one, two;
    fs::create_symlink(one.Port(), m_dir / "a");
    fs::create_symlink(two.Port(), m_dir / "b");
    const auto station = Station({"--trigger", "scan", "--port", "a", "--port", "b", "--json"});
    ASSERT_TRUE(station->AwaitLine(2, "Ctrl+C ends it"));
    station->Write("SN-1\n  SN-2\r\nSN-3\n\n");  // the third waits for a free slot
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(station->AwaitLine(1, "\"outcome\":\"success\"")) << station->Err();
    }
    station->Write("\x1b[2J\n" + std::string(65, '7') + "\n");
    EXPECT_TRUE(station->AwaitLine(2, "Ignored a scan that holds a control character."));
    EXPECT_TRUE(station->AwaitLine(2, "Ignored a scan that is longer than 64 characters."));
    WriteFile(m_dir / "Master.bin", std::string(m_fw.image.begin(), m_fw.image.end()) + "x");
    station->Write("SN-4\n");
    EXPECT_TRUE(station->AwaitLine(2, "Master.bin changed on disk since the station started"));
    EXPECT_EQ(station->Wait(), 3) << station->Err();
    EXPECT_NE(station->Err().find("\n3 units: 3 passed, 0 failed; first-pass yield 100.0 %"),
              std::string::npos);

    std::set<std::string> units;
    for (const RunRecord& r : Records()) {
        units.insert(r.unit);
        EXPECT_EQ(r.outcome, "success");
        EXPECT_NE(station->Out().find(RecordToJson(r) + "\n"), std::string::npos);
    }
    EXPECT_EQ(units, (std::set<std::string>{"SN-1", "SN-2", "SN-3"}));
    EXPECT_EQ(one.Runs().size() + two.Runs().size(), 3u);  // SN-4 was never flashed

    // The history picks out a unit, a work order, a time.
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::size_t lines;
    };
    const Case cases[] = {
        {{"--unit", "SN-2"}, 0, 1},        {{"--work-order", "WO-1"}, 0, 0},
        {{"--since", "2000-01-01"}, 0, 3}, {{"--since", "2999-01-01T00:00Z"}, 0, 0},
        {{"--since", "yesterday"}, 2, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"history", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProgramRun r = RunCli(args);
        EXPECT_EQ(r.exit, c.exit) << c.args.back();
        EXPECT_EQ(Count(r.out, "\n"), c.lines) << c.args.back();
        if (c.lines == 1) {
            EXPECT_NE(r.out.find("\"unit\":\"SN-2\""), std::string::npos);
        }
    }
}

// A stop signal during a transfer lets it finish; a second one stops it, as it stops any run.
TEST_F(CliStation, StopSignalsDuringATransfer) {
    struct Case {
        int signals;
        int exit;
        const char* outcome;
    };
    for (const Case& c : {Case{1, 0, "success"}, Case{2, 130, "stopped"}}) {
        SCOPED_TRACE(c.signals);
        fs::remove(g_privateDataHome.HistoryFile());
        const auto sim = Sim("a", {"--fault", "block:3=delay:1500"});
        const auto station = Station({"--port", "a"});
        ASSERT_TRUE(sim->AwaitLine(2, "injecting block:3=delay:1500 at block 3"));
        station->Signal(SIGINT);
        if (c.signals == 2) {
            ASSERT_TRUE(station->AwaitLine(2, "Stopping: no new unit starts"));
            station->Signal(SIGINT);
        }
        EXPECT_EQ(station->Wait(), c.exit) << station->Err();
        const std::vector<RunRecord> records = Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].outcome, c.outcome);
        EXPECT_NE(station->Out().find(std::string("  ") + c.outcome + "  "), std::string::npos);
        EXPECT_TRUE(fs::is_empty(m_dir / "tmp"));
        sim->Signal(SIGTERM);
        sim->Wait();
    }
}

// The end of the scanned input ends the station, once the serials given have been flashed.
TEST_F(CliStation, EndOfInputFlashesWhatWasScanned) {
    CSimRunner sim;
    fs::create_symlink(sim.Port(), m_dir / "a");
    const auto station = Station({"--trigger", "scan", "--port", "a"});
    station->Write("SN-8\nSN-9\n");
    station->CloseInput();
    EXPECT_EQ(station->Wait(), 0) << station->Err();
    std::vector<std::string> units;
    for (const RunRecord& r : Records())
        units.push_back(r.unit + " " + r.outcome);
    EXPECT_EQ(units, (std::vector<std::string>{"SN-8 success", "SN-9 success"}));
}

// A network port arrives when it accepts a connection (the probe's connection closed before
// the run opens its own), goes when it no longer does, and its next unit is flashed again.
TEST_F(CliStation, NetworkPortArrivesWhenItAccepts) {
    auto sim = std::make_unique<CChild>(
        std::vector<std::string>{QUILLON_SIM_PATH, "--listen", "socket:0"});
    ASSERT_TRUE(sim->AwaitLine(1, "listen: "));
    const std::string out = sim->Out();
    const std::string url = out.substr(
        out.find("socket://"), out.find('\n', out.find("socket://")) - out.find("socket://"));
    const auto station = Station({"--port", url});
    ASSERT_TRUE(station->AwaitLine(1, "  success  ")) << station->Err();
    sim->Signal(SIGTERM);
    EXPECT_EQ(sim->Wait(), 0) << sim->Err();  // the probes were no client errors
    // Nothing tells when a port that no longer accepts was looked at: it is looked at every
    // 2 s, so it stays away for longer (back within one look, it never went).
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    sim = std::make_unique<CChild>(std::vector<std::string>{
        QUILLON_SIM_PATH, "--listen", "socket:" + url.substr(url.rfind(':') + 1)});
    ASSERT_TRUE(sim->AwaitLine(1, "listen: ")) << sim->Err();
    ASSERT_TRUE(station->AwaitLine(1, "  success  ")) << station->Err();
    station->Signal(SIGINT);
    EXPECT_EQ(station->Wait(), 0) << station->Err();
    EXPECT_EQ(Records().size(), 2u);
}

// The firmware is refused before any slot is touched.
TEST_F(CliStation, UnapprovedFirmwareTouchesNoPort) {
    CSimRunner sim;
    fs::create_symlink(sim.Port(), m_dir / "a");
    const auto station = Station({"--port", "a", "--expect-sha256", std::string(64, 'f')});
    EXPECT_EQ(station->Wait(), 3);
    EXPECT_NE(station->Err().find("This is not the approved firmware"), std::string::npos);
    EXPECT_TRUE(sim.Received().empty());
}

}  // namespace
