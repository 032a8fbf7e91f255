// quillon-cli convert as a process: exit codes, what it prints, which files it leaves. It runs
// in a scratch folder holding in.mot, so its texts are known in advance; nothing but OUT and
// the traces may appear there, and the temporary folder stays empty.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/sha256.h"
#include "run_program.h"
#include "test_util.h"

namespace {

TEST(CliConvert, ExitCodesTextsAndFiles) {
    const std::string good = Rec("S1", 0x10, {1, 2, 3}) + "\n";
    const std::string image = std::string(16, '\xFF') + Bytes({1, 2, 3}) + std::string(45, '\xFF');
    struct Case {
        const char* name;
        std::string mot;
        std::vector<std::string> args;
        std::string out;  // what out.bin is before: "" none, "fifo", or text
        int exit;
        std::string err;       // ending in "*": what stderr begins with
        std::size_t traces;    // files in traces/ afterwards
        bool otherFs = false;  // the working folder on another file system: OUT is copied
    };
    // clang-format off
    const Case cases[] = {
        {"converts over an older image, keeping the traces", good, {"convert", "in.mot", "out.bin", "--traces", "traces"}, "earlier", 0, "", 6},
        {"converts across file systems", good, {"convert", "in.mot", "out.bin"}, "", 0, "", 0, true},
        {"a refused file leaves OUT alone and keeps its traces", Rec("S1", 0, std::vector<std::uint8_t>(20, 1)) + "\n" + Rec("S1", 4, {2}) + "\n",
         {"convert", "in.mot", "out.bin", "--traces", "traces"}, "earlier", 3, "Mot File Error(2) !\n", 5},
        {"no OUT", good, {"convert", "in.mot"}, "", 2, "OUT is required\n*", 0},
        {"OUT in a missing folder", good, {"convert", "in.mot", "nowhere/out.bin"}, "", 3, "convert: *", 0},
        {"OUT is the input", good, {"convert", "in.mot", "in.mot"}, "", 3, "convert: in.mot: is the input file\n", 0},
        {"OUT is a FIFO", good, {"convert", "in.mot", "out.bin"}, "fifo", 3, "convert: out.bin: exists and is not a regular file\n", 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        ScratchDir work;
        fs::path tmp = work.Path();
        if (c.otherFs && fs::is_directory("/dev/shm")) {
            tmp = "/dev/shm" / dir.Path().filename();
        }
        fs::create_directories(tmp);
        WriteFile(dir / "in.mot", c.mot);
        WriteFile(dir / "out.bin.part", "the user's");  // never touched
        if (c.out == "fifo") {
            ASSERT_EQ(mkfifo((dir / "out.bin").c_str(), 0600), 0);
        } else if (!c.out.empty()) {
            WriteFile(dir / "out.bin", c.out);
        }
        const ProgramRun run =
            RunCli(c.args, {.env = {"TMPDIR=" + tmp.string()}, .cwd = dir.Path()});

        EXPECT_EQ(run.exit, c.exit);
        // A conversion says in one line what it wrote; a refusal says nothing on stdout.
        EXPECT_EQ(run.out, c.exit != 0 ? ""
                                       : "out.bin: 64 bytes from 1 record, SHA-256 " +
                                             Sha256Hex(image.data(), image.size()) + "\n");
        const bool prefix = !c.err.empty() && c.err.back() == '*';
        EXPECT_EQ(prefix ? run.err.substr(0, c.err.size() - 1) + "*" : run.err, c.err);
        EXPECT_EQ(fs::exists(dir / "traces") ? FilesIn(dir / "traces").size() : 0u, c.traces);
        EXPECT_TRUE(FilesIn(tmp).empty()) << "working folder left behind";
        if (tmp != work.Path()) {
            fs::remove_all(tmp);
        }
        EXPECT_EQ(ReadFile(dir / "out.bin.part"), "the user's");
        // Nothing but OUT (converted, or as it was) and the traces.
        std::vector<std::string> files = {"in.mot", "out.bin.part"};
        if (!c.out.empty() || c.exit == 0) {
            files.insert(files.begin() + 1, "out.bin");
        }
        if (c.traces > 0) {
            files.push_back("traces");
        }
        EXPECT_EQ(FilesIn(dir.Path()), files);
        if (c.out != "fifo" && fs::exists(dir / "out.bin")) {
            EXPECT_EQ(ReadFile(dir / "out.bin"), c.exit == 0 ? image : c.out);
        }
    }
}

}  // namespace
