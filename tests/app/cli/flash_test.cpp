// quillon-cli flash and history as a production line scripts them: exit codes, what goes to
// which stream, the history written. The endings themselves are the flash run's to test.
// Runs start in a scratch folder on the port "inverter" (a link to the simulator), so every
// text is known in advance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <regex>

#include "app/history.h"
#include "app/sha256.h"
#include "firmware_gen.h"
#include "private_data_home.h"
#include "pty_pair.h"
#include "run_program.h"
#include "ser2net_server.h"
#include "sim_runner.h"
#include "test_util.h"

namespace {

// Progress lines ("  0 %  64/17408 bytes ...") that begin with prefix.
std::ptrdiff_t ProgressLines(const std::string& err, const std::string& prefix) {
    const std::regex line("(^|\n)" + prefix + "[ 0-9]{3} %  [0-9]+/[0-9]+ bytes  ");
    return std::distance(std::sregex_iterator(err.begin(), err.end(), line),
                         std::sregex_iterator());
}

// The end line's time and rate as T and R.
std::string Untimed(const std::string& text) {
    const std::regex seconds("(Done in|Ended after) [0-9]+\\.[0-9] s"), rate(" at [0-9]+ B/s");
    return std::regex_replace(std::regex_replace(text, seconds, "$1 T s"), rate, " at R B/s");
}

class CliFlash : public ::testing::Test {
protected:
    void SetUp() override {
        const FirmwareRecipe recipe{.size = 0x4400, .bootVersion = 0x00};  // 0 is still a version
        std::string error;
        ASSERT_TRUE(MakeFirmware(recipe, m_fw, error)) << error;
        WriteFile(m_dir / "Master.bin", std::string(m_fw.image.begin(), m_fw.image.end()));
        WriteFile(m_dir / "Master.txt", "");
        WriteFile(m_dir / "Master_bad.mot", "S1130000000102030405060708090A0B0C0D0E0F74\nS1zz\n");
        Firmware slave;
        ASSERT_TRUE(MakeFirmware({.target = FwTarget::Slave, .size = 0x10040}, slave, error));
        m_slave = slave.image;
        WriteFile(m_dir / "Slave.bin", std::string(m_slave.begin(), m_slave.end()));
        fs::create_directories(m_dir / "tmp");
    }

    // The simulator behind the link name, in the scratch folder.
    std::unique_ptr<CSimRunner> Device(const std::string& name, std::vector<SimFault> faults = {},
                                       unsigned baud = 0) {
        SimOptions options;
        options.faults = std::move(faults);
        options.baud = baud;
        auto sim = std::make_unique<CSimRunner>(std::move(options));
        fs::remove(m_dir / name);
        fs::create_symlink(sim->Port(), m_dir / name);
        return sim;
    }

    ProgramRun Cli(std::vector<std::string> args, int signal = 0) {
        return RunCli(std::move(args), {.env = {"TMPDIR=" + (m_dir / "tmp").string()},
                                        .cwd = m_dir.Path(),
                                        .signal = signal,
                                        .signalAfterMs = 500});
    }

    ScratchDir m_dir;
    Firmware m_fw;
    std::vector<std::uint8_t> m_slave;
};

TEST_F(CliFlash, ExitCodesAndStreams) {
    const std::string mot = (m_dir / "\xc3\xbc 'quote' $x" / "Master fw.MOT").string();
    WriteFile(mot, m_fw.mot);  // odd characters in the path do not matter
    fs::create_symlink("inverter", m_dir / "by-id");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<SimFault> faults;
        int exit;
        std::string out;
        std::string err;  // ending in "*": what stderr begins with
        int signal = 0;
    };
    // A transfer failure's exit code and texts are shown with several ports. A run's line
    // names the image first and ends with its time, bytes and SHA-256; each failure says
    // what happened and what to do.
    const std::string sha = Sha256Hex(m_fw.image.data(), m_fw.image.size());
    const std::string master =
        "Master image \xC2\xB7 17,408 bytes \xC2\xB7 boot version 0 "
        "\xC2\xB7 SHA-256 " +
        sha.substr(0, 8) + "\xE2\x80\xA6\n";
    const std::string slave = Sha256Hex(m_slave.data(), m_slave.size());
    const std::string cycle = " Power-cycle the inverter, then try again.\n";
    std::string upper = sha;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::string other(64, '0');
    // clang-format off
    const Case cases[] = {
        {"empty file name", {"flash", "--port", "inverter", ""}, {}, 2, "", "Please select mot|bin file!\n"},
        {"empty port name", {"flash", "--port", "", "Master.bin"}, {}, 2, "", "--port: a port name is needed\n*"},
        {"one device through two names", {"flash", "--port", "inverter", "--port", "by-id", "Master.bin"}, {}, 2, "",
         "--port by-id is named twice (also as --port inverter): each port takes one run\n"},
        {"one server through two names", {"flash", "--port", "socket://127.0.0.1:4000", "--port", "rfc2217://LOCALHOST:4000", "Master.bin"}, {}, 2, "",
         "--port rfc2217://LOCALHOST:4000 is named twice (also as --port socket://127.0.0.1:4000): each port takes one run\n"},
        {"malformed URL", {"flash", "--port", "rfc2217://host", "Master.bin"}, {}, 2, "", "--port rfc2217://host: no port: add :PORT after the host\n"},
        {"URL with a blank before it", {"flash", "--port", " socket://127.0.0.1:4000", "Master.bin"}, {}, 2, "",
         "--port  socket://127.0.0.1:4000: blanks or control characters before or after the URL\n"},
        {"unreadable file", {"flash", "--port", "inverter", "Master_gone.bin"}, {}, 3, "",
         "Can't open this mot|bin file!\nMaster_gone.bin: No such file or directory. Check the path, or pick the file with \"...\".\n"},
        {"unknown kind", {"flash", "--port", "inverter", "Master.txt"}, {}, 3, "",
         "Unknown firmware file type: choose a mot or bin file.\nMaster.txt is neither a .mot nor a .bin file. Pick the firmware's own file.\n"},
        {"damaged S-record file", {"flash", "--port", "inverter", "Master_bad.mot"}, {}, 3, "",
         "Mot File Format Error ! (line 2)\nTransfer mot file to bin file error.\nMaster_bad.mot: Mot File Format Error ! (line 2). "
         "The file is damaged or no S-record file: copy it again from its source.\n"},
        {"no such port", {"flash", "--port", "no-port", "Master.bin"}, {}, 4, "",
         master + "Can't open serial port,\nplease check your device!\nno-port: No such file or directory. "
         "Check that the adapter is plugged in and that this is its port.\nEnded after T s: no image data sent\n"},
        {"Slave file on a Master inverter", {"flash", "--port", "inverter", "Slave.bin"}, {}, 5, "",
         "Slave image \xC2\xB7 65,600 bytes \xC2\xB7 SHA-256 " + slave.substr(0, 8) + "\xE2\x80\xA6\n"
         "Time out, can't receive data from inverter,\nplease check the connection!\nThe inverter answered as Master ('M'); "
         "this file is for the Slave. Pick the Master's file for it, or connect the Slave.\nEnded after T s: no image data sent, SHA-256 " + slave + "\n"},
        {"handshake refused", {"flash", "--port", "inverter", "Master.bin"}, CSimRunner::Faults({"table=byte:11"}), 5, "",
         master + "Not get Ack Signal!\ninverter answered the block table with 0x11 instead of ACK (0x06)." + cycle +
         "Ended after T s: no image data sent, SHA-256 " + sha + "\n"},
        {"trace path is a link", {"flash", "--trace", "by-id", "--port", "inverter", "Master.bin"}, {}, 2, "",
         "--trace: by-id is a symbolic link\n"},
        {"SIGINT", {"flash", "--port", "inverter", mot}, CSimRunner::Faults({"table=silence"}), 130, "",
         master + "stopped by SIGINT during the handshake; nothing was written to the inverter\n", SIGINT},
        {"not the approved firmware", {"flash", "--expect-sha256", other, "--port", "inverter", "Master.bin"}, {}, 3, "",
         "This is not the approved firmware: its SHA-256 differs. Nothing was sent.\nThe image of Master.bin has SHA-256 " + sha +
         "; the approved one is " + other + ".\n"},
        {"approval is not a digest", {"flash", "--expect-sha256", sha.substr(1), "--port", "inverter", "Master.bin"}, {}, 2, "",
         "--expect-sha256: expected 64 hexadecimal digits\n*"},
        {"approved, in capitals", {"flash", "--expect-sha256", upper, "--unit", "SN-1", "--port", "inverter", "Master.bin"}, {}, 0,
         "Master Programming successfully !\nDone in T s: 17,408 bytes at R B/s, SHA-256 " + sha + "\n",
         master + "Programming 17408 bytes...\n*"},
        {"success", {"flash", "--port", "inverter", mot}, {}, 0,
         "Master Programming successfully !\nDone in T s: 17,408 bytes at R B/s, SHA-256 " + sha + "\n",
         master + "Programming 17408 bytes...\n  0 %  64/17408 bytes  -- B/s  -:-- left\n*"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto sim = Device("inverter", c.faults);
        ProgramRun r = Cli(c.args, c.signal);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        r.out = Untimed(r.out);
        r.err = Untimed(r.err);
        EXPECT_EQ(r.out, c.out);
        const bool prefix = !c.err.empty() && c.err.back() == '*';
        EXPECT_EQ(prefix ? r.err.substr(0, c.err.size() - 1) + "*" : r.err, c.err);
        // Whatever the ending, a signal included: no working folder left, and the port free
        // for the next run of any user (its exclusive mark cleared).
        EXPECT_TRUE(fs::is_empty(m_dir / "tmp"));
        if (c.exit == 3) {  // a refused file reaches no device
            EXPECT_TRUE(sim->Received().empty());
        }
        const int fd = open(sim->Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        EXPECT_TRUE(ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0);
        close(fd);
        if (c.exit == 0) {  // not a terminal: one progress line per 10 %
            EXPECT_EQ(ProgressLines(r.err, ""), 11) << r.err;
        }
    }
}

// The history: the run's record as JSON and as text; a damaged line is reported and the rest
// still listed.
TEST_F(CliFlash, HistoryOfTheRuns) {
    const ProgramRun none =
        RunCli({"history"}, {.env = {"XDG_DATA_HOME=" + m_dir.Path().string()}, .cwd = {}});
    EXPECT_EQ(none.exit, 0);
    EXPECT_EQ(none.err,
              "No runs recorded yet in " + (m_dir / "quillon/history.jsonl").string() + "\n");

    const auto sim = Device("inverter");
    ASSERT_EQ(Cli({"flash", "--port", "inverter", "Master.bin"}).exit, 0);
    const fs::path file = g_privateDataHome.HistoryFile();
    const std::vector<RunRecord> records = ReadHistory(file).records;
    const RunRecord& r = records.back();
    EXPECT_EQ(Cli({"history", "--json", "--last", "1"}).out, RecordToJson(r) + "\n");

    WriteFile(file, ReadFile(file) + "{\n");
    const ProgramRun text = Cli({"history", "--last", "1"});
    EXPECT_EQ(text.exit, 0);
    EXPECT_EQ(text.err, "warning: " + file.string() + ": line " +
                            std::to_string(records.size() + 1) + " is damaged and was skipped\n");
    EXPECT_EQ(text.out, r.start +
                            "  cli      success           Master  17408/17408 bytes  inverter  "
                            "Master.bin\n    sha256 " +
                            r.sha256 + ", image version 0x00, chip replied ALL FLASH\n    ended " +
                            r.end + ": Master Programming successfully !\n");
}

// A name may hold any bytes. In every command they reach the terminal escaped, and a line break
// in a name never starts an output line of its own.
TEST_F(CliFlash, NamesReachTheTerminalEscaped) {
    const std::string name = "a\x1b]0;x\a\r\n\t\x7f\xc2\x85\xe2\x80\xae\xff.b";
    const std::string shown = "a\\x1b]0;x\\x07\\r\\n\\t\\x7f\\u0085\\u202e\\xff.b";
    const std::string notOpened = "Can't open serial port,\nplease check your device!";
    RunRecord r;
    r.start = "2025-03-01T09:30:00Z";
    r.end = "2025-03-01T09:30:01Z";
    r.frontEnd = "cli";
    r.port = r.file = name;
    r.outcome = "port-not-opened";
    r.ending = notOpened;
    r.detail = name + ": No such file or directory";
    WriteFile(m_dir / "data/quillon/history.jsonl", RecordToJson(r) + "\n");
    EXPECT_EQ(
        RunCli({"history"}, {.env = {"XDG_DATA_HOME=" + (m_dir / "data").string()}, .cwd = {}}).out,
        "2025-03-01T09:30:00Z  cli      port-not-opened   -       0/0 bytes  " + shown + "  " +
            shown +
            "\n    sha256 -\n    ended 2025-03-01T09:30:01Z: Can't open serial port, please "
            "check your device!\n    a\\x1b]0;x\\x07  \\t\\x7f\\u0085\\u202e\\xff.b: No such "
            "file or directory\n");

    const ProgramRun one = Cli({"flash", "--port", name, "Master.bin"});
    const std::string advice = ". Check that the adapter is plugged in and that this is its port.";
    EXPECT_NE(Untimed(one.err).find(notOpened + "\n" + shown + ": No such file or directory" +
                                    advice + "\nEnded after T s: no image data sent\n"),
              std::string::npos)
        << one.err;
    const ProgramRun two = Cli({"flash", "--port", name, "--port", "no-port", "Master.bin"});
    EXPECT_EQ((two.out + two.err).find_first_of("\x1b\a\r\xff"), std::string::npos);
    EXPECT_NE(two.err.find("\n" + shown + ": No such file or directory" + advice),
              std::string::npos)
        << two.err;
    EXPECT_NE(two.out.find("\n" + shown + "  port-not-opened"), std::string::npos) << two.out;
    EXPECT_EQ(std::count(two.out.begin(), two.out.end(), '\n'), 5) << two.out;

    ASSERT_EQ(mkfifo((m_dir / name).c_str(), 0600), 0);
    EXPECT_EQ(RunCli({"convert", "in.mot", name}, {.env = {}, .cwd = m_dir.Path()}).err,
              "convert: " + shown + ": exists and is not a regular file\n");

    const fs::path ports = m_dir / "run/quillon/ports";
    fs::create_directories(ports);
    fs::permissions(m_dir / "run/quillon", fs::perms::owner_all);
    fs::permissions(ports, fs::perms::owner_all);
    CPtyPair pty;
    fs::create_symlink(pty.SlavePath(), ports / name);
    const std::string listed =
        RunCli({"ports"}, {.env = {"XDG_RUNTIME_DIR=" + (m_dir / "run").string()}, .cwd = {}}).out;
    EXPECT_NE(listed.find(shown + " (virtual)\t" + ports.string() + "/" + shown + "\n"),
              std::string::npos)
        << listed;
}

// Several ports at once, one of which refuses a block, one across the network (through
// ser2net) and one that does not exist: the exit code of the worst, one JSON object per port,
// a summary.
TEST_F(CliFlash, SeveralPortsAtOnce) {
    std::vector<std::unique_ptr<CSimRunner>> sims;
    for (const char* fault : {"", "block:3=byte:15", ""}) {
        const auto faults = *fault != '\0' ? CSimRunner::Faults({fault}) : std::vector<SimFault>{};
        // At a real line's pace, so that the runs overlap in time.
        sims.push_back(Device("inverter-" + std::to_string(sims.size() + 1), faults, 57600));
    }
    const CSer2net server(sims[2]->Port(), true);
    const ProgramRun r =
        Cli({"flash", "--json", "--trace", "trace.log", "--port", "inverter-1", "--port",
             "inverter-2", "--port", server.Url(), "--port", "no-port", "Master.bin"});
    EXPECT_EQ(r.exit, 4) << r.err;  // the highest: the port that did not open
    const std::string json[] = {
        R"({"port": "inverter-1", "outcome": "success", "exit": 0, "message": "Master Programming successfully !", "bytes": 17408, "seconds": )",
        R"({"port": "inverter-2", "outcome": "transfer-failed", "exit": 1, "message": "Programming Process Error.\nPlease try again after 40 seconds!", "bytes": 192, "seconds": )",
        R"({"port": ")" + server.Url() +
            R"(", "outcome": "success", "exit": 0, "message": "Master Programming successfully !", "bytes": 17408, "seconds": )",
        R"({"port": "no-port", "outcome": "port-not-opened", "exit": 4, "message": "Can't open serial port,\nplease check your device!", "bytes": 0, "seconds": )",
    };
    std::size_t at = 0;
    for (const std::string& line : json) {
        EXPECT_EQ(r.out.compare(at, line.size(), line), 0) << r.out;
        at = r.out.find('\n', at) + 1;
    }
    EXPECT_EQ(at, r.out.size());
    EXPECT_NE(r.err.find("inverter-2: Receive Error!\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\n2 of 4 ports succeeded. Image SHA-256 " +
                         Sha256Hex(m_fw.image.data(), m_fw.image.size()) + "\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ProgressLines(r.err, "inverter-1: "), 11) << r.err;  // one per 10 %
    // One wire trace per port, named after it; the port that did not open says why.
    std::string url = server.Url();
    std::replace_if(
        url.begin(), url.end(), [](char c) { return c == ':' || c == '/'; }, '_');
    for (const std::string& name :
         {std::string("inverter-1"), std::string("inverter-2"), url, std::string("no-port")}) {
        const std::string trace = ReadFile(m_dir / ("trace-" + name + ".log"));
        const bool opened = name != "no-port";
        EXPECT_EQ(trace.find("  step   ending ") != std::string::npos, opened) << name;
        EXPECT_EQ(trace.find("# not opened after ") != std::string::npos, !opened) << name;
    }
}

}  // namespace
