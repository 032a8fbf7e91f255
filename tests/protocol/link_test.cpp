// What only the link shows: each step's result codes, what it keeps for the front ends, and the
// reply rules of Exchange. The bytes of a whole handshake are the simulator's to check, in
// the flash run's successful runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <thread>

#include "fast_timing.h"
#include "protocol/boot_link.h"
#include "pty_pair.h"
#include "serial/serial_port.h"
#include "sim_runner.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

SimOptions Sim(std::initializer_list<const char*> faults, bool slave = false,
               std::optional<std::uint8_t> chip = std::nullopt) {
    SimOptions o;
    o.faults = CSimRunner::Faults(faults);
    o.slave = slave;
    o.chipVersion = chip;
    return o;
}

TEST(ResultMessage, ElevenTexts) {
    const char* expected[] = {
        "Common Error!",
        "Common Success!",
        "Can't open serial port,\nplease check your device!",
        "Can't open serial port again,\nplease check your device!",
        "Time out, can't receive data from inverter,\nplease check the connection!",
        "Serial port exception, \nplease check your device and connection!",
        "Time out, can't receive data from inverter,\nplease check the connection!",
        "The Bootload version of MOT is older than current chip!",
        "Not get Ack Signal!",
        "Not get Xon Signal!",
        "Not get All Flash Signal",
    };
    for (int code = 0; code <= 10; ++code) {
        EXPECT_STREQ(ResultMessage(static_cast<ResultCode>(code)), expected[code]) << code;
    }
    EXPECT_STREQ(ResultMessage(static_cast<ResultCode>(-1)), "Common Error!");
    EXPECT_STREQ(ResultMessage(static_cast<ResultCode>(11)), "Common Error!");
}

TEST(BootLink, SelectTargetTriesFiveTimes) {
    struct Case {
        const char* name;
        SimOptions sim;
        ResultCode rc;
        int attempts;  // as the device counted them
        int lastReply;
    };
    const Case cases[] = {
        {"silence", Sim({"select=silence"}), ResultTargetTimeout, 5, -1},
        {"S to Master", Sim({}, true), ResultTargetTimeout, 5, 'S'},
        {"second answers", Sim({"select:1=silence"}), ResultSuccess, 2, 'M'},
        {"hang-up", Sim({"select=hangup"}), ResultTargetTimeout, 1, -1},  // the rest: a dead line
    };
    for (const Case& c : cases) {
        CSimRunner sim(c.sim);
        CSerialPort port;
        ASSERT_NO_THROW(port.Open(sim.Port()));
        CBootLink link(port, sim.Port(), FastTiming());
        EXPECT_EQ(link.SelectTarget(0), c.rc) << c.name;
        EXPECT_EQ(sim.Count(SimStep::Select), c.attempts) << c.name;
        EXPECT_EQ(link.State().lastReply, c.lastReply) << c.name;
    }
}

TEST(BootLink, AllFlashRequestBranches) {
    struct Case {
        const char* name;
        SimOptions sim;
        std::uint8_t imageVersion;
        ResultCode rc;
        const char* sentAfterSelect;
        const char* chipReply;
        bool realPolls = false;
    };
    const Case cases[] = {
        {"equal versions: write", Sim({}, false, 5), 5, ResultSuccess, "AW", "0x05"},
        {"image 0xFF: write", Sim({}, false, 5), 0xFF, ResultSuccess, "AW", "0x05"},
        {"second answer missing", Sim({"allflash:2=silence"}, false, 5), 7, ResultNoAllFlash, "AA",
         "0x05, then no answer"},
        // The buffer is not cleared for the second request: "A" over "\x01LL FLASH" matches.
        {"uncleared buffer",
         Sim({"allflash:1=byte:01,4C,4C,20,46,4C,41,53,48", "allflash:2=byte:41"}), 2,
         ResultSuccess, "AA", "0x01, then ALL FLASH"},
        {"first request unanswered", Sim({"allflash=silence"}), 1, ResultTimeout, "A", ""},
        // With the real 50 ms polls: a reply in pieces is read whole while each poll brings
        // more of "ALL FLASH"; a poll that stays quiet ends it.
        {"in pieces", Sim({"allflash:1=split:60:1,4"}), 0x10, ResultSuccess, "A", "ALL FLASH",
         true},
        {"rest after a quiet poll", Sim({"allflash:1=split:150"}), 0x10, ResultSuccess, "AW",
         "0x41", true},
    };
    for (const Case& c : cases) {
        CSimRunner sim(c.sim);
        LinkTiming timing = FastTiming();
        timing.pollMs = c.realPolls ? LinkTiming{}.pollMs : timing.pollMs;
        CSerialPort port;
        ASSERT_NO_THROW(port.Open(sim.Port()));
        CBootLink link(port, sim.Port(), timing);
        ASSERT_EQ(link.SelectTarget(0), ResultSuccess) << c.name;
        EXPECT_EQ(link.RequestAllFlash(c.imageVersion), c.rc) << c.name;
        EXPECT_EQ(link.State().chipReply, c.chipReply) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let a 'W' arrive
        const Bytes got = sim.Received();
        EXPECT_EQ(Bytes(got.begin() + 6, got.end()), B(c.sentAfterSelect)) << c.name;
    }
}

TEST(BootLink, BlockTableAndImageSizeReplies) {
    struct Case {
        const char* fault;
        ResultCode table;
        ResultCode size;  // ResultCommonError: not sent
        int lastReply;
    };
    const Case cases[] = {
        {"table=byte:06,11,11", ResultSuccess, ResultSuccess, 0x11},  // the first byte counts
        {"table=silence", ResultTimeout, ResultCommonError, -1},
        {"table=hangup", ResultPortException, ResultCommonError, -1},
        {"size=silence", ResultSuccess, ResultTimeout, -1},
    };
    for (const Case& c : cases) {
        CSimRunner sim(Sim({c.fault}, true));
        CSerialPort port;
        ASSERT_NO_THROW(port.Open(sim.Port()));
        CBootLink link(port, sim.Port(), FastTiming());
        ASSERT_EQ(link.SelectTarget(1), ResultSuccess);
        ASSERT_EQ(link.SendWriteCommand(), ResultSuccess);
        EXPECT_EQ(link.SendBlockTable(), c.table) << c.fault;
        if (c.size != ResultCommonError) {
            EXPECT_EQ(link.SendImageSize(0x20000), c.size) << c.fault;
        }
        EXPECT_EQ(link.State().lastReply, c.lastReply) << c.fault;
        EXPECT_EQ(IsHangUpError(link.State().lastError), c.table == ResultPortException) << c.fault;
        EXPECT_EQ(link.State().lastError == 0, c.table != ResultPortException) << c.fault;
    }
}

TEST(BootLink, ExchangeReopensAClosedPortOrGivesCode2) {
    CSimRunner sim(SimOptions{});
    CSerialPort port;
    ASSERT_NO_THROW(port.Open(sim.Port()));
    CBootLink link(port, sim.Port(), FastTiming());
    port.Close();
    EXPECT_EQ(link.SelectTarget(0), ResultSuccess);  // only a reopened port gets the 'M'

    const std::size_t sent = sim.Received().size();
    EXPECT_ANY_THROW(port.Open("/nonexistent/ttyQ7"));
    EXPECT_EQ(link.SendBlockTable(), ResultPortOpenFailed);
    EXPECT_EQ(link.State().lastError, static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(link.SendWriteCommand(), ResultPortException);  // a plain write: no reopen
    EXPECT_EQ(sim.Received().size(), sent);
    EXPECT_NO_THROW(port.Open(sim.Port()));
}

TEST(BootLink, ExchangeKeepsOnlyWhatFitsAndPurgesWhatCameBefore) {
    CPtyPair pty;
    CSerialPort port;
    ASSERT_NO_THROW(port.Open(pty.SlavePath()));
    CBootLink link(port, pty.SlavePath(), FastTiming());

    // Input that arrived before the request is never taken for its reply.
    pty.Write(std::string("stale"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(link.Exchange("?", 1, reply, 2, 50), ResultTimeout);
    EXPECT_EQ(pty.Read(1, 1000), B("?"));

    // A longer reply loses its extra bytes; the caller's buffer past them is untouched.
    std::thread peer([&] {
        if (pty.Read(2, 2000) == B("hi")) {
            pty.Write(std::string("XYZ"));
        }
    });
    EXPECT_EQ(link.Exchange("hi", 2, reply, 2, 2000), ResultSuccess);
    peer.join();
    EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{'X', 'Y', 0xEE, 0xEE}));
    EXPECT_EQ(link.State().lastReply, 'X');
}

}  // namespace
