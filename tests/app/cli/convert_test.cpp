// quillon-cli convert as a process: exit codes, what it prints, which files it creates, and
// that it leaves neither the current directory nor the temporary folder changed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace {

struct CliRun {
    int exitCode = -1;
    std::string err;
};

// Runs quillon-cli in cwd with TMPDIR set to tmp.
CliRun RunCli(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& tmp) {
    const fs::path errFile = tmp.parent_path() / "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDOUT_FILENO);
        if (chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        setenv("TMPDIR", tmp.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(QUILLON_CLI_PATH)};
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(QUILLON_CLI_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    CliRun run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = ReadFile(errFile);
    fs::remove(errFile);
    return run;
}

const std::string kGood = Rec("S1", 0x10, {1, 2, 3}) + "\n";

struct CliCase {
    const char* name;
    std::string mot;                // written to in.mot
    std::vector<std::string> args;  // after "convert"; "IN", "OUT", "TRACES" become paths
    bool outExistsBefore;
    int exitCode;
    std::string err;
    std::size_t traces;  // files expected in TRACES afterwards
    // "fifo": what OUT is before and must still be after. "part": the working folder
    // on another file system (where there is one), so that the image is copied beside OUT.
    std::string outKind = "";
};

std::vector<CliCase> CliCases() {
    const std::string badChecksum = kGood + "S1060020010203D5\n";
    const std::string overlap =
        Rec("S1", 0, std::vector<std::uint8_t>(20, 1)) + "\n" + Rec("S1", 4, {2}) + "\n";
    return {
        {"Converts", kGood, {"IN", "OUT"}, false, 0, "", 0},
        {"ConvertsWithTraces", kGood, {"IN", "OUT", "--traces", "TRACES"}, true, 0, "", 6},
        {"ChecksumRefused",
         badChecksum,
         {"IN", "OUT"},
         false,
         3,
         "Mot File Checksum Error ! (line 2)\n",
         0},
        {"RefusedLeavesOutUntouched",
         badChecksum,
         {"IN", "OUT"},
         true,
         3,
         "Mot File Checksum Error ! (line 2)\n",
         0},
        {"FillingRefusedKeepsItsTraces",
         overlap,
         {"IN", "OUT", "--traces", "TRACES"},
         true,
         3,
         "Mot File Error(2) !\n",
         5},
        {"MissingInput", "", {"missing.mot", "OUT"}, false, 3, "Read File Error !\n", 0},
        {"MissingOut", kGood, {"IN"}, false, 2, "*", 0},
        {"UnknownOption", kGood, {"IN", "OUT", "--bogus"}, false, 2, "*", 0},
        {"OutInMissingFolder", kGood, {"IN", "nowhere/out.bin"}, false, 3, "*", 0},
        {"OutIsIn", kGood, {"IN", "IN"}, false, 3, "*", 0},
        {"OutIsAFifo", kGood, {"IN", "OUT"}, true, 3, "*", 0, "fifo"},
        {"UsersPartFileKept", kGood, {"IN", "OUT"}, false, 0, "", 0, "part"},
    };
}

class CliTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliTest, ExitCodeOutputAndFiles) {
    const CliCase& c = GetParam();
    ScratchDir dir;
    const fs::path cwd = dir / "cwd", traces = dir / "traces";
    fs::path tmp = dir / "tmp";
    fs::create_directories(cwd);
    fs::create_directories(tmp);
    if (c.outKind == "part" && fs::is_directory("/dev/shm")) {
        tmp = "/dev/shm" / dir.Path().filename();
        fs::create_directories(tmp);
    }
    WriteFile(dir / "in.mot", c.mot);
    WriteFile(dir / "out.bin.part", "the user's");  // never touched
    const fs::path out = dir / "out.bin";
    if (c.outKind == "fifo") {
        ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    } else if (c.outExistsBefore) {
        WriteFile(out, "earlier");
    }
    std::vector<std::string> args = {"convert"};
    for (const auto& a : c.args) {
        args.push_back(a == "IN"       ? (dir / "in.mot").string()
                       : a == "OUT"    ? out.string()
                       : a == "TRACES" ? traces.string()
                                       : a);
    }
    const CliRun run = RunCli(args, cwd, tmp);
    EXPECT_EQ(run.exitCode, c.exitCode);
    if (c.err == "*") {
        EXPECT_FALSE(run.err.empty());
    } else {
        EXPECT_EQ(run.err, c.err);
    }
    EXPECT_EQ(ReadFile(dir / "in.mot"), c.mot);
    if (c.outKind == "fifo") {
        EXPECT_EQ(fs::status(out).type(), fs::file_type::fifo);
    } else if (c.exitCode == 0) {
        EXPECT_EQ(ReadFile(out),
                  std::string(16, '\xFF') + Bytes({1, 2, 3}) + std::string(45, '\xFF'));
    } else if (c.outExistsBefore) {
        EXPECT_EQ(ReadFile(out), "earlier");
    } else {
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(fs::exists(traces) ? FilesIn(traces).size() : 0u, c.traces);
    EXPECT_TRUE(FilesIn(cwd).empty());
    EXPECT_TRUE(FilesIn(tmp).empty()) << "working folder left behind";
    if (tmp.parent_path() != dir.Path()) {
        fs::remove_all(tmp);
    }
    EXPECT_EQ(ReadFile(dir / "out.bin.part"), "the user's");
    std::vector<std::string> expectedTop = {"cwd", "in.mot", "out.bin.part", "tmp"};
    if (c.outExistsBefore || c.exitCode == 0) {
        expectedTop.push_back("out.bin");
    }
    if (c.traces > 0) {
        expectedTop.push_back("traces");
    }
    std::sort(expectedTop.begin(), expectedTop.end());
    EXPECT_EQ(FilesIn(dir.Path()), expectedTop);
}

INSTANTIATE_TEST_SUITE_P(Convert, CliTest, testing::ValuesIn(CliCases()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
