// quillon-cli flash as a production line would script it: texts, streams and exit codes.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>

#include "app/history.h"
#include "firmware_gen.h"
#include "flash_support.h"
#include "ser2net_server.h"
#include "sim_runner.h"

namespace fs = std::filesystem;

namespace {

struct CliResult {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path& p) {
    const Bytes b = ReadBytes(p);
    return std::string(b.begin(), b.end());
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

CliResult RunCli(const std::vector<std::string>& args, const fs::path& dir,
                 const std::string& prefix = "") {
    std::string cmd = prefix + QUILLON_CLI_PATH;
    for (const auto& a : args)
        cmd += " " + Quote(a);
    cmd += " >" + Quote((dir / "out").string()) + " 2>" + Quote((dir / "err").string()) +
           " </dev/null";
    CliResult r;
    const int status = std::system(cmd.c_str());
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = Slurp(dir / "out");
    r.err = Slurp(dir / "err");
    return r;
}

TEST(CliFlash, ExitCodesTextsAndStreams) {
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-cli-flash-" + std::to_string(getpid()));
    fs::create_directories(dir);
    FirmwareRecipe recipe;
    recipe.size = 0x4400;
    Firmware fw;
    std::string error;
    ASSERT_TRUE(MakeFirmware(recipe, fw, error)) << error;
    // Odd characters and a long path must not matter.
    const fs::path deep = dir / std::string(120, 'd') / "ü ß 'quote' $x" / std::string(120, 'e');
    fs::create_directories(deep);
    WriteFile(deep / "Master fw.MOT", fw.mot);
    WriteFile(dir / "Master.bin", fw.image);
    WriteFile(dir / "Master.txt", fw.image);

    struct Case {
        const char* name;
        std::vector<std::string> args;  // "@" is replaced by the simulator's port
        std::vector<const char*> faults;
        int exit;
        std::string out;          // expected substring of stdout ("" = stdout empty)
        std::string err;          // expected substring of stderr
        std::string signal = "";  // sent half a second into the run
    };
    const std::string ok = "Master Programming successfully !\n";
    const std::string bin = (dir / "Master.bin").string(), mot = (deep / "Master fw.MOT").string();
    fs::create_directories(dir / "tmp");
    // One case an exit code (endings and their texts are the flash run's own tests); messages
    // keep their line breaks, success goes to stdout, failures to stderr.
    // clang-format off
    const std::vector<Case> cases = {
        {"mot, long odd path, upper-case extension", {"flash", "--port", "@", mot}, {}, 0, ok, "100 %"},
        {"no file", {"flash", "--port", "@"}, {}, 2, "", "FILE"},
        {"empty path", {"flash", "--port", "@", ""}, {}, 2, "", "Please select mot|bin file!"},
        {"empty port name", {"flash", "--port", "", bin}, {}, 2, "", "--port"},
        {"unreadable", {"flash", "--port", "@", (dir / "Master_missing.bin").string()}, {}, 3, "", "Can't open this mot|bin file!"},
        {"unknown kind", {"flash", "--port", "@", (dir / "Master.txt").string()}, {}, 3, "", "Unknown firmware file type: choose a mot or bin file."},
        {"no such port", {"flash", "--port", (dir / "no-port").string(), bin}, {}, 4, "", "Can't open serial port,\nplease check your device!\n"},
        {"silent device", {"flash", "--port", "@", bin}, {"select=silence"}, 5, "", "Time out, can't receive data from inverter,\nplease"},
        {"NAK mid-transfer", {"flash", "--port", "@", bin}, {"block:5=byte:15"}, 1, "", "Receive Error!\nProgramming Process Error.\nPlease try again after 40 seconds!\n"},
        {"SIGINT while waiting", {"flash", "--port", "@", mot}, {"table=silence"}, 130, "", "", "INT"},
        {"SIGTERM while waiting", {"flash", "--port", "@", mot}, {"table=silence"}, 143, "", "", "TERM"},
        {"SIGHUP while waiting", {"flash", "--port", "@", mot}, {"table=silence"}, 129, "", "", "HUP"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimOptions o;
        for (const char* f : c.faults)
            o.faults.push_back(CSimRunner::Fault(f));
        CSimRunner sim(o);
        std::vector<std::string> args = c.args;
        for (auto& a : args) {
            if (a == "@")
                a = sim.Port();
        }
        const std::string signal =
            c.signal.empty() ? "" : "timeout --preserve-status -s " + c.signal + " 0.5 ";
        const CliResult r =
            RunCli(args, dir, "TMPDIR=" + Quote((dir / "tmp").string()) + " " + signal);
        EXPECT_EQ(r.exit, c.exit) << r.err;
        // Whatever the ending (a signal included): no working folder left, and the port
        // free for the next run of any user (its exclusive mark cleared).
        EXPECT_TRUE(fs::is_empty(dir / "tmp"));
        const int fd = open(sim.Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        int exclusive = -1;
        EXPECT_TRUE(ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0);
        close(fd);
        if (c.out.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        }
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
    // Not a terminal: one progress line per 10 %, not one per block.
    {
        CSimRunner sim;
        const CliResult r = RunCli({"flash", "--port", sim.Port(), bin}, dir);
        EXPECT_EQ(r.exit, 0);
        EXPECT_NE(r.out.find(ok), std::string::npos) << r.out;
        int lines = 0;
        for (std::size_t p = 0; (p = r.err.find(" %", p)) != std::string::npos; ++p)
            ++lines;
        EXPECT_GE(lines, 10);
        EXPECT_LE(lines, 11);
    }
    // The system's reason comes with a port that cannot be opened.
    {
        const CliResult r = RunCli({"flash", "--port", (dir / "no-port").string(), bin}, dir);
        EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
    }
    // The history: the digest of the image the device saved, as sha256sum sees it; a damaged
    // line is reported and the rest still listed.
    {
        SimOptions o;
        o.saveImage = (dir / "saved.bin").string();
        CSimRunner sim(o);
        ASSERT_EQ(RunCli({"flash", "--port", sim.Port(), bin}, dir).exit, 0);
        sim.Stop();
        const std::string sum =
            "sha256sum " + Quote(o.saveImage) + " >" + Quote((dir / "sum").string());
        ASSERT_EQ(std::system(sum.c_str()), 0);
        const CliResult last = RunCli({"history", "--json", "--last", "1"}, dir);
        EXPECT_EQ(last.exit, 0);
        RunRecord record;
        ASSERT_TRUE(RecordFromJson(last.out.substr(0, last.out.find('\n')), record)) << last.out;
        EXPECT_EQ(record.sha256, Slurp(dir / "sum").substr(0, 64));
        EXPECT_EQ(record.frontEnd, "cli");
        EXPECT_EQ(record.outcome, "success");
        std::ofstream(g_privateDataHome.HistoryFile(), std::ios::app) << "{\"start\":\n";
        const CliResult text = RunCli({"history", "--last", "2"}, dir);
        EXPECT_EQ(text.exit, 0);
        EXPECT_NE(text.err.find(" is damaged and was skipped"), std::string::npos) << text.err;
        int runs = 0;
        for (std::size_t p = 0; p != std::string::npos; p = text.out.find('\n', p + 1))
            runs += text.out.compare(p == 0 ? 0 : p + 1, 2, "20") == 0;
        EXPECT_EQ(runs, 2) << text.out;
        EXPECT_NE(text.out.find("cli      success"), std::string::npos) << text.out;
    }
    fs::remove_all(dir);
}

}  // namespace

namespace {

// quillon-cli flash through ser2net, in RFC 2217 and in raw mode: each ending that depends on
// the transport. The device is set to a line the bootloader cannot use (19200 baud, 2 stop bits,
// XON/XOFF, which would swallow every XON reply): RFC 2217 must set it right, raw TCP leaves it
// alone.
TEST(CliFlash, NetworkPortsThroughSer2net) {
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-cli-net-" + std::to_string(getpid()));
    fs::create_directories(dir);
    // 0xFF throughout, every byte value once, and 0xFF before every byte value: Telnet's
    // escape and every command code must pass as data.
    Bytes image(0x4400, 0xFF);
    for (int v = 0; v < 256; ++v) {
        image[0x100 + v] = static_cast<std::uint8_t>(v);
        image[0x201 + 2 * v] = static_cast<std::uint8_t>(v);
    }
    image[0x4000] = 0x30;
    image[0x4001] = 0x64;
    const std::string file = (dir / "Master_ff.bin").string();
    WriteFile(file, image);

    enum class End { Success, Silence, HangUp, Refused, UnknownHost };
    struct Case {
        bool rfc2217;
        End end;
        int exit;
        const char* err;
    };
    const std::vector<Case> cases = {
        {true, End::Success, 0, "100 %"},
        {false, End::Success, 0, "100 %"},
        {true, End::Silence, 1, "Time out!\nProgramming Process Error."},
        {false, End::Silence, 1, "Time out!\nProgramming Process Error."},
        {true, End::HangUp, 1, "Programming Process Error."},
        {false, End::HangUp, 1, "Programming Process Error."},
        {true, End::Refused, 4, "Connection refused"},
        {false, End::Refused, 4, "Connection refused"},
        {true, End::UnknownHost, 4, "quillon-test.invalid:1: "},
        {false, End::UnknownHost, 4, "quillon-test.invalid:1: "},
    };
    for (const Case& c : cases) {
        const std::string scheme = c.rfc2217 ? "rfc2217://" : "socket://";
        SCOPED_TRACE(scheme + " ending " + std::to_string(static_cast<int>(c.end)));
        SimOptions o;
        o.chipVersion = 0xFF;  // a reply byte that Telnet doubles on its way back
        if (c.end == End::Silence)
            o.faults = CSimRunner::Faults({"block:2=silence"});
        if (c.end == End::HangUp)  // the device holds still while ser2net is killed
            o.faults = CSimRunner::Faults({"block:20=delay:10000"});
        CSimRunner sim(o);
        std::optional<CSer2net> server;
        std::string url = scheme + "127.0.0.1:" + std::to_string(CSer2net::FreePort());
        if (c.end == End::UnknownHost) {
            url = scheme + "quillon-test.invalid:1";
        } else if (c.end != End::Refused) {
            server.emplace(sim.Port(), c.rfc2217, c.rfc2217 ? "19200n82,xonxoff" : "19200n82");
            url = server->Url();
        }
        CliResult r;
        std::thread run([&] { r = RunCli({"flash", "--port", url, file}, dir); });
        if (c.end == End::HangUp) {
            for (int i = 0; i < 1000 && sim.Count(SimStep::Block) < 20; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            server->Kill();
        }
        run.join();
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.end == End::HangUp) {  // noticed at once, not by the poll limit
            EXPECT_EQ(r.err.find("Time out!"), std::string::npos) << r.err;
        }
        if (c.end != End::Success)
            continue;
        const std::vector<SimRun> runs = sim.Runs();
        ASSERT_FALSE(runs.empty());
        EXPECT_TRUE(runs.back().Correct());
        EXPECT_TRUE(runs.back().image == image);
        EXPECT_EQ(runs.back().line, c.rfc2217 ? "9600 8N1" : "19200 8N2");
    }
    fs::remove_all(dir);
}

// Four devices at once, one of which refuses a block, and a port that does not exist: three
// successes, two failures, exit code of the worst, a summary of all, and no working folder
// left behind.
TEST(CliFlash, ParallelRunsAndTheirSummary) {
    const fs::path dir =
        fs::temp_directory_path() / ("quillon-cli-par-" + std::to_string(getpid()));
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp);
    FirmwareRecipe recipe;
    recipe.size = 0x4400;
    Firmware fw;
    std::string error;
    ASSERT_TRUE(MakeFirmware(recipe, fw, error)) << error;
    const std::string file = (dir / "Master_fw.mot").string();
    WriteFile(file, fw.mot);

    std::vector<std::unique_ptr<CSimRunner>> sims;
    std::vector<std::string> args = {"flash", "--json"};
    for (int i = 0; i < 4; ++i) {
        SimOptions o;
        o.baud = 57600;  // the runs overlap in time
        if (i == 2)
            o.faults = CSimRunner::Faults({"block:3=byte:15"});
        sims.push_back(std::make_unique<CSimRunner>(o));
        args.insert(args.end(), {"--port", sims.back()->Port()});
    }
    const std::string missing = (dir / "no-port").string();
    args.insert(args.end(), {"--port", missing, file});
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string keep = oldTmp ? oldTmp : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    const CliResult r = RunCli(args, dir);
    const CliResult twice =
        RunCli({"flash", "--port", sims[0]->Port(), "--port", sims[0]->Port(), file}, dir);
    const CliResult malformed = RunCli({"flash", "--port", "rfc2217://host", file}, dir);
    oldTmp ? setenv("TMPDIR", keep.c_str(), 1) : unsetenv("TMPDIR");

    EXPECT_EQ(r.exit, 4) << r.err;  // the highest: the port that did not open
    EXPECT_TRUE(fs::is_empty(tmp));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const std::string port = sims[i]->Port();
        const std::string json = i == 2 ? "{\"port\": \"" + port +
                                              "\", \"outcome\": \"transfer-failed\", \"exit\": 1, "
                                              "\"message\": \"Programming Process Error.\\nPlease "
                                              "try again after 40 seconds!\", \"bytes\": 192,"
                                        : "{\"port\": \"" + port +
                                              "\", \"outcome\": \"success\", \"exit\": 0, "
                                              "\"message\": \"Master Programming successfully "
                                              "!\", \"bytes\": 17408,";
        EXPECT_NE(r.out.find(json), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(port + ": Receive Error!"), i == 2 ? std::string::npos : 0) << r.err;
        EXPECT_NE(r.err.find(port + ":   0 %  64/17408 bytes"), std::string::npos) << r.err;
        const std::vector<SimRun> runs = sims[i]->Runs();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].Correct(), i != 2);
    }
    EXPECT_NE(r.out.find("{\"port\": \"" + missing +
                         "\", \"outcome\": \"port-not-opened\", \"exit\": 4, "
                         "\"message\": \"Can't open serial port,\\nplease check your device!\", "
                         "\"bytes\": 0,"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("3 of 5 ports succeeded."), std::string::npos) << r.err;
    EXPECT_EQ(twice.exit, 2);
    EXPECT_EQ(malformed.exit, 2);
    EXPECT_EQ(sims[0]->Runs().size(), 1u);  // the refused command touched no port
    fs::remove_all(dir);
}

}  // namespace
