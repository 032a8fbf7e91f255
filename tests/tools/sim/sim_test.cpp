// The simulator end to end: a plain client (the data phase written out here) against it, on
// the simulated line, and the program itself over its pseudo-terminals and TCP.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fast_timing.h"
#include "protocol/boot_link.h"
#include "serial/serial_port.h"
#include "sim_line_helpers.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes that a line with flow control or translation would eat or change are all in here.
Bytes MakeImage(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8)) & 0xFF);
    }
    return image;
}

int WaitReply(CBootLink& port) {
    std::uint8_t buf[200];
    return port.Receive(buf, sizeof buf, 5000) > 0 ? buf[0] : -1;
}

// The data phase: each block answered by XON, the end message by ACK. Returns the reply that
// ended it, or -1 when none came. The defaults: every whole block, the right checksum and
// marker.
int SendData(CBootLink& port, const Bytes& image, std::size_t blocks = SIZE_MAX,
             std::optional<std::uint8_t> checksum = std::nullopt,
             std::uint8_t marker = CBootLink::XON) {
    std::uint8_t sum = 0;
    blocks = std::min(blocks, image.size() / 64);
    for (std::size_t b = 0; b < blocks; ++b) {
        Bytes msg{marker};
        for (std::size_t i = b * 64; i < b * 64 + 64; ++i) {
            msg.push_back(image[i]);
            sum = static_cast<std::uint8_t>(sum + image[i]);
        }
        port.Send(msg.data(), static_cast<std::uint32_t>(msg.size()));
        if (const int r = WaitReply(port); r != CBootLink::XON) {
            return r;
        }
    }
    const std::uint8_t end[2] = {CBootLink::XON,
                                 checksum ? *checksum : static_cast<std::uint8_t>(0xFF - sum)};
    port.Send(end, 2);
    return WaitReply(port);
}

int Handshake(CBootLink& link, bool slave, std::uint32_t size, std::uint8_t version) {
    int rc = link.SelectTarget(slave ? 1 : 0);
    rc = rc != ResultSuccess ? rc : slave ? link.SendWriteCommand() : link.RequestAllFlash(version);
    rc = rc != ResultSuccess ? rc : link.SendBlockTable();
    return rc != ResultSuccess ? rc : link.SendImageSize(size);
}

using Client = std::function<int(CBootLink&)>;

// A client's outcome: the reply that ended it (NAK), or kHungUp when no reply came because
// the simulator, having lost the framing, ended the run and closed the line.
constexpr int kHungUp = -2;

// A client that does the whole handshake, then the data phase with these options.
Client DataClient(std::size_t blocks, std::optional<std::uint8_t> checksum = std::nullopt,
                  std::uint8_t marker = CBootLink::XON) {
    return [=, img = MakeImage(0x1000)](CBootLink& l) {
        Handshake(l, false, static_cast<std::uint32_t>(img.size()), 1);
        return SendData(l, img, blocks, checksum, marker);
    };
}

// A Master client that does the handshake up to the block table (or past it), then sends msg.
Client RawClient(bool pastTable, Bytes msg) {
    return [pastTable, msg](CBootLink& l) {
        l.SelectTarget(0);
        l.RequestAllFlash(1);
        if (pastTable) {
            l.SendBlockTable();
        }
        std::uint8_t reply = 0;
        const auto size = static_cast<std::uint32_t>(msg.size());
        return l.Exchange(msg.data(), size, &reply, 1, 5000) == ResultSuccess ? reply : kHungUp;
    };
}

TEST(SimTest, WrongClientsGetAPlainReport) {
    const ScratchDir dir;
    struct Case {
        const char* name;
        Client client;
        const char* report;
        int outcome = 0x15;
        std::optional<std::uint8_t> chip = std::nullopt;
    };
    const Bytes table = {0x08, 0, 0, 0,    0, 0x01, 0, 0x04, 0, 0, 0, 0x08, 0, 0, 0, 0x0C, 0,
                         0,    0, 0, 0x10, 0, 0,    0, 0x80, 0, 0, 1, 0,    0, 0, 1, 0x80, 0};
    const std::vector<Case> cases = {
        {"bad checksum", DataClient(SIZE_MAX, 0x42), "checksum 0x42"},
        {"short image", DataClient(32),
         "after 32 of 64 announced blocks: the image is short by 2048 bytes"},
        {"wrong block marker", DataClient(SIZE_MAX, std::nullopt, 0x12),
         "data block 1 starts with 0x12, not the marker 0x11", kHungUp},
        {"wrong table byte", RawClient(false, table), "byte 5 is 0x01 instead of 0x00"},
        {"size without its zero bytes", RawClient(true, {0, 0, 1, 0, 0, 0, 0x10, 0}),
         "does not start with four zero bytes"},
        {"'W' after ALL FLASH", RawClient(false, {'W'}),
         "unexpected 'W' (0x57) while waiting for the block table", kHungUp},
        // The image says version 7, the chip 5: the client must ask again, not send 'W'.
        {"'W' where the version calls for 'A'",
         [](CBootLink& l) {
             Bytes img = MakeImage(0x4040);
             img[0x4003] = 7;
             Handshake(l, false, static_cast<std::uint32_t>(img.size()), 3);
             return SendData(l, img);
         },
         "calls for 'A'", 0x15, 5},
    };
    for (const Case& c : cases) {
        SimOptions o;
        o.once = true;
        o.saveImage = (dir / "image.bin").string();
        o.chipVersion = c.chip;
        CSimLine line(o);
        CBootLink link(line, "sim");
        int outcome;
        try {
            outcome = c.client(link);
        } catch (const CSerialException&) {
            outcome = kHungUp;
        }
        EXPECT_EQ(outcome, c.outcome) << c.name;
        line.Close();
        line.RunUntil(line.Clock().Now() + std::chrono::seconds(1));
        EXPECT_EQ(line.Device().Status(), 1) << c.name;
        const std::vector<SimRun> runs = line.Device().Runs();
        ASSERT_FALSE(runs.empty() || runs[0].errors.empty()) << c.name;
        EXPECT_NE(runs[0].errors[0].find(c.report), std::string::npos) << runs[0].errors[0];
        EXPECT_FALSE(fs::exists(o.saveImage))
            << c.name << ": nothing is saved from an incomplete run";
    }
}

TEST(SimFaultGrammar, ParsesAndRefuses) {
    // What each fault parses to, as the simulator names it when injecting it. Silence,
    // hang-up and plain replies take effect in the link and flash tests.
    std::vector<std::pair<std::string, std::string>> good = {
        {"end:1=byte:0x11", "end:1=byte:11"}, {"table=byte:06,11,ff", "table=byte:06,11,FF"}};
    for (const char* same : {"allflash:2=byte:41", "write=byte:00", "block:17=silence",
                             "select=hangup", "allflash:1=split:200", "allflash:1=split:60:3,5",
                             "size=byte:41,4C+split:9:1", "table=delay:1500"}) {
        good.emplace_back(same, same);
    }
    for (const auto& [text, canonical] : good) {
        SimFault f;
        std::string error;
        ASSERT_TRUE(ParseSimFault(text, f, error)) << text << ": " << error;
        EXPECT_EQ(SimFaultText(f), canonical);
    }
    for (const char* bad :
         {"", "select", "select=", "nothing=silence", "block:0=silence", "block:-1=silence",
          "block:x=silence", "end=byte:", "end=byte:100", "end=byte:1,,2", "end=byte:GG",
          "table=silence:3", "table=split", "table=delay:x", "table=delay:5:2", "table=split:5:0",
          "size=shout", "table=split:5:1,", "size=byte:41+split:x"}) {
        SimFault f;
        std::string error;
        EXPECT_FALSE(ParseSimFault(bad, f, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

// The program itself: its output lines, runs through its links and the images it saves, its
// exit codes.
struct Child {
    pid_t pid = -1;
    int out = -1;  // stdout and stderr
};

Child Spawn(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);  // the copies on 1 and 2 stay open
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, out[1], 2);
    std::vector<char*> argv{const_cast<char*>(QUILLON_SIM_PATH)};
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Child c{-1, out[0]};
    EXPECT_EQ(posix_spawn(&c.pid, QUILLON_SIM_PATH, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    return c;
}

// One line, or what came before the end of the output.
std::string ReadLine(const Child& c) {
    std::string line;
    char ch;
    while (read(c.out, &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    return line;
}

// The exit status (128 + 9: killed after 5 s); the child's pipe is closed.
int WaitExit(const Child& c) {
    int status = 0;
    for (int waited = 0; waitpid(c.pid, &status, WNOHANG) == 0; waited += 10) {
        if (waited == 5000) {
            kill(c.pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(c.out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(SimTest, ProgramServesStopsOnSigtermAndRefusesBadOptions) {
    const ScratchDir dir;
    const Bytes image = MakeImage(0x800);  // every byte value, 0xFF among them
    const std::string saved(image.begin(), image.end());
    const std::string link = (dir / "port").string();
    // A client that fails stops in this lambda: WaitExit still ends the simulator.
    auto flash = [&image](const std::string& port, bool slave) {
        CSerialPort line;
        ASSERT_NO_THROW(line.Open(port));
        CBootLink l(line, port, FastTiming());
        ASSERT_EQ(Handshake(l, slave, 0x800, 0), ResultSuccess);
        EXPECT_EQ(SendData(l, image), CBootLink::ACK);
    };
    // --count: several inverters, each on its own link and saving its own image.
    Child c = Spawn(
        {"--count", "2", "--once", "--link", link, "--save-image", (dir / "got.bin").string()});
    for (const std::string k : {"-1", "-2"}) {
        const std::string pty = ReadLine(c);
        ASSERT_EQ(ReadLine(c), "link: " + link + k);
        EXPECT_EQ(pty, "pty: " + fs::read_symlink(link + k).string());
        flash(link + k, false);
    }
    EXPECT_EQ(WaitExit(c), 0);
    for (const std::string k : {"-1", "-2"}) {
        EXPECT_EQ(ReadFile(dir / ("got" + k + ".bin")), saved);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link + k))) << "the link is removed on exit";
    }

    Child t = Spawn({"--link", link});
    ASSERT_EQ(ReadLine(t).rfind("pty: ", 0), 0u);
    ReadLine(t);  // the link line
    const fs::path served = fs::read_symlink(link);
    // Its process id beside the link: the port list leaves the link out once it has ended.
    EXPECT_EQ(ReadFile(link + ".lock"), std::to_string(t.pid) + "\n");
    // A second simulator leaves a link that a running one owns alone.
    Child second = Spawn({"--link", link});
    EXPECT_NE(ReadLine(second).find("in use by another running simulator"), std::string::npos);
    EXPECT_EQ(WaitExit(second), 3);
    EXPECT_EQ(fs::read_symlink(link), served);
    // What a client sent wrong goes to stderr; serving on, the simulator then exits 1.
    CSerialPort wrongLine;
    ASSERT_NO_THROW(wrongLine.Open(link));
    CBootLink wrong(wrongLine, link, FastTiming());
    wrong.Send("hello", 5);
    EXPECT_EQ(ReadLine(t),
              "quillon-sim: client error: unexpected 68 65 6C 6C 6F while waiting for a target "
              "select (\" fMast\" or \" fSlav\"); ignoring input until the line is quiet");
    kill(t.pid, SIGTERM);
    EXPECT_EQ(WaitExit(t), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed on SIGTERM";

    // --listen: the same simulator reached over TCP, raw and as an RFC 2217 server, by the
    // project's own client.
    for (const std::string mode : {"rfc2217", "socket"}) {
        SCOPED_TRACE(mode);
        Child n = Spawn({"--listen", mode + ":0", "--once", "--target", "slave", "--save-image",
                         (dir / "net.bin").string()});
        const std::string listen = ReadLine(n);
        EXPECT_EQ(listen.rfind("listen: " + mode + "://127.0.0.1:", 0), 0u) << listen;
        flash(listen.substr(std::min<std::size_t>(8, listen.size())), true);
        EXPECT_EQ(WaitExit(n), 0);
        EXPECT_EQ(ReadFile(dir / "net.bin"), saved);
    }

    // The fault grammar's refusals are checked above; here only that the program says so.
    const std::vector<std::pair<std::vector<std::string>, const char*>> bad = {
        {{"--fault", "table=shout"}, "unknown action"},
        {{"--chip-version", "256"}, "--chip-version"},
        {{"--listen", "tcp:1"}, "rfc2217:[HOST:]PORT"},
        {{"--count", "2", "--listen", "socket:0"}, "one simulator"},
        {{"--link", "/tmp/x", "--listen", "socket:0"}, "leave out --link"},
    };
    for (const auto& [args, says] : bad) {
        Child p = Spawn(args);
        const std::string err = ReadLine(p);
        EXPECT_EQ(WaitExit(p), 2) << args[1];
        EXPECT_NE(err.find(says), std::string::npos) << err;
    }

    // A virtual ports folder that others may write to is one the port list ignores: refused.
    const fs::path runtime = dir / "runtime";
    fs::create_directories(runtime / "quillon/ports");
    fs::permissions(runtime / "quillon", fs::perms::owner_all);
    fs::permissions(runtime / "quillon/ports", fs::perms::all);
    const char* env = getenv("XDG_RUNTIME_DIR");
    const std::string keep = env != nullptr ? env : "";
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    Child open = Spawn({});
    env != nullptr ? setenv("XDG_RUNTIME_DIR", keep.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ReadLine(open), "quillon-sim: " + (runtime / "quillon/ports").string() +
                                  " is not private: it and the folder it is in must be folders "
                                  "of this user that no one else can write to (the port list "
                                  "ignores it otherwise); fix it or use --link");
    EXPECT_EQ(WaitExit(open), 3);
    EXPECT_TRUE(fs::is_empty(runtime / "quillon/ports"));
}

}  // namespace
