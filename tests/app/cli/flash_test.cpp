// quillon-cli flash and history as a production line scripts them: exit codes, what goes to
// which stream, the history written. The endings themselves are the flash run's to test.
// Runs start in a scratch folder on the port "inverter" (a link to the simulator), so every
// text is known in advance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

#include "app/history.h"
#include "app/sha256.h"
#include "firmware_gen.h"
#include "private_data_home.h"
#include "run_program.h"
#include "ser2net_server.h"
#include "sim_runner.h"
#include "test_util.h"

namespace {

// Progress lines ("  0 %  64/17408 bytes ...") that begin with prefix.
std::size_t ProgressLines(const std::string& err, const std::string& prefix) {
    std::size_t lines = 0;
    for (std::size_t p = 0; (p = err.find(" bytes  ", p)) != std::string::npos; ++p) {
        const std::size_t newline = err.rfind('\n', p);
        const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
        lines += err.compare(start, prefix.size(), prefix) == 0 ? 1u : 0u;
    }
    return lines;
}

class CliFlash : public ::testing::Test {
protected:
    void SetUp() override {
        FirmwareRecipe recipe;
        recipe.size = 0x4400;
        recipe.bootVersion = 0x00;  // version 0 is still a version
        std::string error;
        ASSERT_TRUE(MakeFirmware(recipe, m_fw, error)) << error;
        WriteFile(m_dir / "Master.bin", std::string(m_fw.image.begin(), m_fw.image.end()));
        WriteFile(m_dir / "Master.txt", "");
        fs::create_directories(m_dir / "tmp");
    }

    // The simulator behind the link name, in the scratch folder.
    std::unique_ptr<CSimRunner> Device(const std::string& name, SimOptions options = {}) {
        auto sim = std::make_unique<CSimRunner>(std::move(options));
        fs::remove(m_dir / name);
        fs::create_symlink(sim->Port(), m_dir / name);
        return sim;
    }

    ProgramRun Cli(std::vector<std::string> args, int signal = 0) {
        ProgramOptions options;
        options.cwd = m_dir.Path();
        options.env = {"TMPDIR=" + (m_dir / "tmp").string()};
        options.signal = signal;
        options.signalAfterMs = 500;
        return RunCli(std::move(args), options);
    }

    ScratchDir m_dir;
    Firmware m_fw;
};

TEST_F(CliFlash, ExitCodesAndStreams) {
    // Odd characters and a long path do not matter; the kind is read ignoring case.
    const fs::path deep =
        m_dir / std::string(120, 'd') / "\xc3\xbc 'quote' $x" / std::string(120, 'e');
    fs::create_directories(deep);
    const std::string mot = (deep / "Master fw.MOT").string();
    WriteFile(mot, m_fw.mot);
    const std::string prog =
        "Programming 17408 bytes...\n  0 %  64/17408 bytes  -- B/s  -:-- left\n";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* fault;
        int exit;
        std::string out;
        std::string err;  // "*": anything but nothing
        int signal = 0;
    };
    // clang-format off
    const Case cases[] = {
        {"no file", {"flash", "--port", "inverter"}, nullptr, 2, "", "*"},
        {"empty file name", {"flash", "--port", "inverter", ""}, nullptr, 2, "", "Please select mot|bin file!\n"},
        {"empty port name", {"flash", "--port", "", "Master.bin"}, nullptr, 2, "", "*"},
        {"unreadable file", {"flash", "--port", "inverter", "Master_gone.bin"}, nullptr, 3, "", "Can't open this mot|bin file!\n"},
        {"unknown kind", {"flash", "--port", "inverter", "Master.txt"}, nullptr, 3, "", "Unknown firmware file type: choose a mot or bin file.\n"},
        {"no such port", {"flash", "--port", "no-port", "Master.bin"}, nullptr, 4, "",
         "Can't open serial port,\nplease check your device!\nno-port: No such file or directory\n"},
        {"handshake refused", {"flash", "--port", "inverter", "Master.bin"}, "table=byte:11", 5, "",
         "Not get Ack Signal!\ninverter answered the block table with 0x11 instead of ACK (0x06).\n"},
        {"transfer refused", {"flash", "--port", "inverter", "Master.bin"}, "block:5=byte:15", 1, "",
         prog + "Receive Error!\nProgramming Process Error.\nPlease try again after 40 seconds!\n"
         "320 of 17408 bytes were sent to inverter, then a wrong byte came back: 0x15 instead of XON or ACK.\n"},
        {"SIGINT", {"flash", "--port", "inverter", mot}, "table=silence", 130, "", "", SIGINT},
        {"success", {"flash", "--port", "inverter", mot}, nullptr, 0, "Master Programming successfully !\n", "*"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions o;
        if (c.fault != nullptr) {
            o.faults.push_back(CSimRunner::Fault(c.fault));
        }
        const auto sim = Device("inverter", o);
        const ProgramRun r = Cli(c.args, c.signal);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_EQ(r.out, c.out);
        if (std::string(c.err) == "*") {
            EXPECT_FALSE(r.err.empty());
        } else {
            EXPECT_EQ(r.err, c.err);
        }
        // Whatever the ending, a signal included: no working folder left, and the port free
        // for the next run of any user (its exclusive mark cleared).
        EXPECT_TRUE(fs::is_empty(m_dir / "tmp"));
        const int fd = open(sim->Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        EXPECT_TRUE(ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0);
        close(fd);
        if (c.exit == 0) {  // not a terminal: one progress line per 10 %
            EXPECT_EQ(ProgressLines(r.err, ""), 11u) << r.err;
        }
    }
}

// The history: the run's record as JSON and as text; a damaged line is reported and the rest
// still listed.
TEST_F(CliFlash, HistoryOfTheRuns) {
    ProgramOptions empty;
    empty.env = {"XDG_DATA_HOME=" + m_dir.Path().string()};
    const ProgramRun none = RunCli({"history"}, empty);
    EXPECT_EQ(none.exit, 0);
    EXPECT_EQ(none.err,
              "No runs recorded yet in " + (m_dir / "quillon/history.jsonl").string() + "\n");

    const auto sim = Device("inverter");
    ASSERT_EQ(Cli({"flash", "--port", "inverter", "Master.bin"}).exit, 0);
    const ProgramRun last = Cli({"history", "--json", "--last", "1"});
    EXPECT_EQ(last.exit, 0);
    RunRecord record;
    ASSERT_TRUE(RecordFromJson(last.out.substr(0, last.out.find('\n')), record)) << last.out;
    EXPECT_EQ(record.sha256, Sha256Hex(m_fw.image.data(), m_fw.image.size()));
    EXPECT_EQ(record.frontEnd, "cli");
    EXPECT_EQ(record.port, "inverter");
    EXPECT_EQ(record.outcome, "success");

    WriteFile(g_privateDataHome.HistoryFile(), ReadFile(g_privateDataHome.HistoryFile()) + "{\n");
    const ProgramRun text = Cli({"history", "--last", "1"});
    EXPECT_EQ(text.exit, 0);
    const std::string warning =
        "warning: " + g_privateDataHome.HistoryFile().string() + ": line " +
        std::to_string(ReadHistory(g_privateDataHome.HistoryFile()).records.size() + 1) +
        " is damaged and was skipped\n";
    EXPECT_EQ(text.err, warning);
    EXPECT_EQ(text.out.substr(20),
              "  cli      success           Master  17408/17408 bytes  inverter  Master.bin\n"
              "    sha256 " +
                  record.sha256 +
                  ", image version 0x00, chip replied ALL FLASH\n"
                  "    ended " +
                  record.end + ": Master Programming successfully !\n");
}

// Several ports at once, one of which refuses a block, and one that does not exist: the exit
// code of the worst, one JSON object per port, a summary; a port named twice is refused.
TEST_F(CliFlash, SeveralPortsAtOnce) {
    std::vector<std::unique_ptr<CSimRunner>> sims;
    std::vector<std::string> args = {"flash", "--json"};
    for (int i = 1; i <= 3; ++i) {
        SimOptions o;
        o.baud = 57600;  // the runs overlap in time
        if (i == 2) {
            o.faults = CSimRunner::Faults({"block:3=byte:15"});
        }
        const std::string name = "inverter-" + std::to_string(i);
        sims.push_back(Device(name, o));
        args.insert(args.end(), {"--port", name});
    }
    args.insert(args.end(), {"--port", "no-port", "Master.bin"});
    const ProgramRun r = Cli(args);
    EXPECT_EQ(r.exit, 4) << r.err;  // the highest: the port that did not open
    const char* const json[] = {
        R"({"port": "inverter-1", "outcome": "success", "exit": 0, "message": "Master Programming successfully !", "bytes": 17408, "seconds": )",
        R"({"port": "inverter-2", "outcome": "transfer-failed", "exit": 1, "message": "Programming Process Error.\nPlease try again after 40 seconds!", "bytes": 192, "seconds": )",
        R"({"port": "inverter-3", "outcome": "success", "exit": 0, "message": "Master Programming successfully !", "bytes": 17408, "seconds": )",
        R"({"port": "no-port", "outcome": "port-not-opened", "exit": 4, "message": "Can't open serial port,\nplease check your device!", "bytes": 0, "seconds": )",
    };
    std::size_t at = 0;
    for (const char* line : json) {
        EXPECT_EQ(r.out.compare(at, std::strlen(line), line), 0) << r.out;
        at = r.out.find('\n', at) + 1;
    }
    EXPECT_EQ(at, r.out.size());
    EXPECT_NE(r.err.find("inverter-2: Receive Error!\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n2 of 4 ports succeeded.\n"), std::string::npos) << r.err;
    EXPECT_EQ(ProgressLines(r.err, "inverter-1: "), 11u) << r.err;  // one per 10 %
    EXPECT_TRUE(fs::is_empty(m_dir / "tmp"));

    // The same device through two names, and a malformed URL: refused before any port.
    const std::string pty = sims[0]->Port();
    EXPECT_EQ(Cli({"flash", "--port", "inverter-1", "--port", pty, "Master.bin"}).err,
              "--port " + pty + " is named twice: each port takes one run\n");
    EXPECT_EQ(Cli({"flash", "--port", "rfc2217://host", "Master.bin"}).exit, 2);
    EXPECT_EQ(sims[0]->Runs().size(), 1u);
}

// A network port's URL reaches the device through ser2net (both of its modes are the serial
// port's to test).
TEST_F(CliFlash, NetworkPort) {
    CSimRunner sim{SimOptions{}};
    CSer2net server(sim.Port(), true);
    const ProgramRun r = Cli({"flash", "--port", server.Url(), "Master.bin"});
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(r.out, "Master Programming successfully !\n");
    ASSERT_EQ(sim.Runs().size(), 1u);
    EXPECT_EQ(sim.Runs()[0].image, m_fw.image);
}

}  // namespace
