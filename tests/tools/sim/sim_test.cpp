// The simulator end to end: a plain client (the data phase written out here) against it.
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
#include "sim_runner.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes ReadBytes(const fs::path& path) {
    const std::string bytes = ReadFile(path);
    return Bytes(bytes.begin(), bytes.end());
}

// Bytes that a line with flow control or translation would eat or change are all in here.
Bytes MakeImage(std::size_t size, std::uint8_t version) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8)) & 0xFF);
    }
    if (size > 0x4003) {
        image[0x4003] = version;
    }
    return image;
}

int WaitReply(CBootLink& port) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        std::uint8_t buf[200];
        if (port.Receive(buf, sizeof buf, 16) > 0) {
            return buf[0];
        }
    }
    return -1;
}

struct DataOptions {
    std::size_t blocks = SIZE_MAX;         // default: every whole block of the image
    std::optional<std::uint8_t> checksum;  // default: the right one
    std::uint8_t marker = CBootLink::XON;
};

// The data phase: each block answered by XON, the end message by ACK (XON repeats it).
// Returns the reply that ended it, or -1 when none came.
int SendData(CBootLink& port, const Bytes& image, const DataOptions& o = {}) {
    std::uint8_t sum = 0;
    const std::size_t blocks = std::min(o.blocks, image.size() / 64);
    for (std::size_t b = 0; b < blocks; ++b) {
        Bytes msg{o.marker};
        msg.insert(msg.end(), image.begin() + static_cast<long>(b * 64),
                   image.begin() + static_cast<long>(b * 64 + 64));
        for (std::size_t i = 1; i < msg.size(); ++i) {
            sum = static_cast<std::uint8_t>(sum + msg[i]);
        }
        port.Send(msg.data(), static_cast<std::uint32_t>(msg.size()));
        const int r = WaitReply(port);
        if (r != CBootLink::XON) {
            return r;
        }
    }
    for (int ends = 0; ends < 5; ++ends) {
        const std::uint8_t end[2] = {
            CBootLink::XON, o.checksum ? *o.checksum : static_cast<std::uint8_t>(0xFF - sum)};
        port.Send(end, 2);
        const int r = WaitReply(port);
        if (r != CBootLink::XON) {
            return r;
        }
    }
    return -1;
}

int Handshake(CBootLink& link, bool slave, std::uint32_t size, std::uint8_t version) {
    int rc = link.SelectTarget(slave ? 1 : 0);
    rc = rc != ResultSuccess ? rc : slave ? link.SendWriteCommand() : link.RequestAllFlash(version);
    rc = rc != ResultSuccess ? rc : link.SendBlockTable();
    return rc != ResultSuccess ? rc : link.SendImageSize(size);
}

// A client that does the whole handshake, then the data phase with these options.
std::function<int(CBootLink&, const Bytes&)> DataClient(DataOptions o) {
    return [o](CBootLink& l, const Bytes& img) {
        Handshake(l, false, static_cast<std::uint32_t>(img.size()), 1);
        return SendData(l, img, o);
    };
}

class SimTest : public ::testing::Test {
protected:
    ScratchDir m_scratch;
    const fs::path& m_dir = m_scratch.Path();
};

TEST_F(SimTest, WrongClientsGetAPlainReport) {
    // outcome: the reply that ended the client (NAK), or kHungUp when no reply came because
    // the simulator, having lost the framing, ended the run and closed the line.
    constexpr int kHungUp = -2;
    struct Case {
        const char* name;
        std::function<int(CBootLink&, const Bytes&)> client;
        const char* report;
        int outcome = 0x15;
        std::optional<std::uint8_t> chip = std::nullopt;
    };
    const Bytes image = MakeImage(0x1000, 0);
    const std::vector<Case> cases = {
        {"bad checksum", DataClient({SIZE_MAX, 0x42, CBootLink::XON}), "checksum 0x42"},
        {"short image", DataClient({32, std::nullopt, CBootLink::XON}),
         "after 32 of 64 announced blocks: the image is short by 2048 bytes"},
        {"wrong block marker", DataClient({SIZE_MAX, std::nullopt, 0x12}),
         "data block 1 starts with 0x12, not the marker 0x11", kHungUp},
        {"wrong table byte",
         [](CBootLink& l, const Bytes&) {
             l.SelectTarget(0);
             l.RequestAllFlash(1);
             Bytes table = {0x08, 0,    0, 0, 0,    0x01, 0, 0x04, 0,    0,    0,
                            0x08, 0,    0, 0, 0x0C, 0,    0, 0,    0x10, 0,    0,
                            0,    0x80, 0, 0, 1,    0,    0, 0,    1,    0x80, 0};
             std::uint8_t reply = 0;
             l.Exchange(table.data(), 33, &reply, 1, 600);
             return static_cast<int>(reply);
         },
         "byte 5 is 0x01 instead of 0x00"},
        {"size without its zero bytes",
         [](CBootLink& l, const Bytes&) {
             l.SelectTarget(0);
             l.RequestAllFlash(1);
             l.SendBlockTable();
             const std::uint8_t size[8] = {0, 0, 1, 0, 0, 0, 0x10, 0};
             std::uint8_t reply = 0;
             l.Exchange(size, 8, &reply, 1, 600);
             return static_cast<int>(reply);
         },
         "does not start with four zero bytes"},
        {"garbage instead of a target select",
         [](CBootLink& l, const Bytes&) {
             std::uint8_t reply = 0;
             return l.Exchange("hello", 5, &reply, 1, 300) == ResultSuccess ? reply : -2;
         },
         "unexpected 68 65 6C 6C 6F while waiting for a target select", kHungUp},
        {"'W' after ALL FLASH",
         [](CBootLink& l, const Bytes&) {
             l.SelectTarget(0);
             l.RequestAllFlash(1);
             l.SendWriteCommand();
             std::this_thread::sleep_for(std::chrono::milliseconds(50));
             return 0x15;
         },
         "unexpected 'W' (0x57) while waiting for the block table"},
        // The image says version 7, the chip 5: the client must ask again, not send 'W'.
        {"'W' where the version calls for 'A'",
         [](CBootLink& l, const Bytes&) {
             const Bytes img = MakeImage(0x4040, 7);
             Handshake(l, false, static_cast<std::uint32_t>(img.size()), 3);
             return SendData(l, img);
         },
         "calls for 'A'", 0x15, 5},
    };
    for (const Case& c : cases) {
        const fs::path out = m_dir / "image.bin";
        SimOptions o;
        o.once = true;
        o.saveImage = out.string();
        o.idleGapMs = 100;
        o.chipVersion = c.chip;
        CSimRunner sim(o);
        CBootLink link(FastTiming());
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        int outcome;
        try {
            outcome = c.client(link, image);
        } catch (const CSerialException&) {
            outcome = kHungUp;
        }
        EXPECT_EQ(outcome, c.outcome) << c.name;
        link.ClosePort();
        EXPECT_EQ(sim.Wait(3000), 1) << c.name;
        const auto errors = sim.Errors();
        ASSERT_FALSE(errors.empty()) << c.name;
        EXPECT_NE(errors[0].find(c.report), std::string::npos) << errors[0];
        EXPECT_FALSE(fs::exists(out)) << c.name << ": nothing is saved from an incomplete run";
    }
}

TEST(SimFaultGrammar, ParsesAndRefuses) {
    // What each fault parses to, as the simulator names it when injecting it. Silence,
    // hang-up and plain replies take effect in the link and flash tests.
    const std::pair<const char*, const char*> good[] = {
        {"allflash:2=byte:41", "allflash:2=byte:41"},
        {"end:1=byte:0x11", "end:1=byte:11"},
        {"table=byte:06,11,ff", "table=byte:06,11,FF"},
        {"write=byte:00", "write=byte:00"},
        {"block:17=silence", "block:17=silence"},
        {"select=hangup", "select=hangup"},
        {"allflash:1=split:200", "allflash:1=split:200"},
        {"allflash:1=split:60:3,5", "allflash:1=split:60:3,5"},
        {"size=byte:41,4C+split:9:1", "size=byte:41,4C+split:9:1"},
        {"table=delay:1500", "table=delay:1500"},
    };
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

// The program itself: its output lines, a run through its link and the image it saves (a
// master here, slaves below), its exit codes.
struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child Spawn(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    std::vector<char*> argv;
    std::vector<std::string> all = {QUILLON_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    Child c;
    EXPECT_EQ(posix_spawn(&c.pid, QUILLON_SIM_PATH, &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

// One line, or what came before the end of the output.
std::string ReadLine(int fd) {
    std::string line;
    char ch;
    while (read(fd, &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    return line;
}

// The exit status (-1: killed after timeoutMs); the child's pipes are closed.
int WaitExit(Child& c, int timeoutMs) {
    int status = 0;
    int rc = -1;
    for (int waited = 0; rc < 0 && waited < timeoutMs; waited += 10) {
        if (waitpid(c.pid, &status, WNOHANG) == c.pid) {
            rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (rc < 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, &status, 0);
    }
    close(c.out);
    close(c.err);
    return rc;
}

TEST_F(SimTest, ProgramServesARunStopsOnSigtermAndRefusesBadOptions) {
    const std::string link = (m_dir / "port").string();
    const std::string out = (m_dir / "got.bin").string();
    Child c = Spawn({"--once", "--link", link, "--save-image", out});
    const std::string ptyLine = ReadLine(c.out);
    const std::string linkLine = ReadLine(c.out);
    ASSERT_EQ(ptyLine.rfind("pty: /dev/pts/", 0), 0u) << ptyLine;
    EXPECT_EQ(linkLine, "link: " + link);
    EXPECT_EQ(fs::read_symlink(link).string(), ptyLine.substr(5));

    CBootLink l(FastTiming());
    ASSERT_TRUE(l.OpenPort(link));
    const Bytes image = MakeImage(0x8000, 0x07);
    ASSERT_EQ(Handshake(l, false, 0x8000, 0x07), ResultSuccess);
    EXPECT_EQ(SendData(l, image), CBootLink::ACK);
    EXPECT_EQ(WaitExit(c, 5000), 0);
    EXPECT_EQ(ReadBytes(out), image);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed on exit";

    Child t = Spawn({"--link", link});
    ASSERT_EQ(ReadLine(t.out).rfind("pty: ", 0), 0u);
    const fs::path served = fs::read_symlink(link);
    // A second simulator leaves a link that a running one owns alone.
    Child second = Spawn({"--link", link});
    EXPECT_NE(ReadLine(second.err).find("in use by another running simulator"), std::string::npos);
    EXPECT_EQ(WaitExit(second, 5000), 3);
    EXPECT_EQ(fs::read_symlink(link), served);
    // What a client sent wrong goes to stderr; serving on, the simulator then exits 1.
    CBootLink wrong(FastTiming());
    ASSERT_TRUE(wrong.OpenPort(link));
    wrong.Send("hello", 5);
    EXPECT_EQ(ReadLine(t.err),
              "quillon-sim: client error: unexpected 68 65 6C 6C 6F while waiting for a target "
              "select (\" fMast\" or \" fSlav\"); ignoring input until the line is quiet");
    kill(t.pid, SIGTERM);
    EXPECT_EQ(WaitExit(t, 5000), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << "the link is removed on SIGTERM";

    struct Bad {
        std::vector<std::string> args;
        const char* says;
    };
    // The fault grammar's refusals are checked above; here only that the program says so.
    const std::vector<Bad> bad = {
        {{"--fault", "table=shout"}, "unknown action"},
        {{"--chip-version", "256"}, "--chip-version"},
        {{"--listen", "tcp:1"}, "rfc2217:[HOST:]PORT"},
        {{"--count", "2", "--listen", "socket:0"}, "one simulator"},
        {{"--link", "/tmp/x", "--listen", "socket:0"}, "leave out --link"},
    };
    for (const Bad& b : bad) {
        Child p = Spawn(b.args);
        const std::string err = ReadLine(p.err);
        EXPECT_EQ(WaitExit(p, 5000), 2) << b.args[1];
        EXPECT_NE(err.find(b.says), std::string::npos) << err;
    }
}

// --count: several inverters, each on its own link and saving its own image. --listen: the
// same simulator reached over TCP, raw and as an RFC 2217 server, by the project's own client.
TEST_F(SimTest, ProgramServesSeveralAndOverTheNetwork) {
    const Bytes image = MakeImage(0x800, 0);  // every byte value, 0xFF among them
    const std::string link = (m_dir / "port").string();
    // A client that fails stops in this lambda: WaitExit still ends the simulator.
    auto flash = [&image](const std::string& port) {
        CBootLink l(FastTiming());
        ASSERT_TRUE(l.OpenPort(port));
        ASSERT_EQ(Handshake(l, true, 0x800, 0), ResultSuccess);
        EXPECT_EQ(SendData(l, image), CBootLink::ACK);
    };
    Child c = Spawn({"--count", "2", "--once", "--target", "slave", "--link", link, "--save-image",
                     (m_dir / "got.bin").string()});
    for (const char* k : {"-1", "-2"}) {
        EXPECT_EQ(ReadLine(c.out).rfind("pty: /dev/pts/", 0), 0u);
        EXPECT_EQ(ReadLine(c.out), "link: " + link + k);
        flash(link + k);
    }
    EXPECT_EQ(WaitExit(c, 5000), 0);
    EXPECT_EQ(ReadBytes(m_dir / "got-1.bin"), image);
    EXPECT_EQ(ReadBytes(m_dir / "got-2.bin"), image);

    for (const std::string mode : {"rfc2217", "socket"}) {
        SCOPED_TRACE(mode);
        Child n = Spawn({"--listen", mode + ":0", "--once", "--target", "slave", "--save-image",
                         (m_dir / "net.bin").string()});
        const std::string listen = ReadLine(n.out);
        EXPECT_EQ(listen.rfind("listen: " + mode + "://127.0.0.1:", 0), 0u) << listen;
        flash(listen.substr(std::min<std::size_t>(8, listen.size())));
        EXPECT_EQ(WaitExit(n, 5000), 0);
        EXPECT_EQ(ReadBytes(m_dir / "net.bin"), image);
    }
}

}  // namespace
