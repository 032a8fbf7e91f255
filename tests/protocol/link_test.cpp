#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fast_timing.h"
#include "protocol/boot_link.h"
#include "pty_pair.h"
#include "sim_runner.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

const Bytes kTable = {0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                      0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
                      0x00, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00};

SimOptions Sim(std::initializer_list<const char*> faults = {}, bool slave = false,
               std::optional<std::uint8_t> chip = std::nullopt) {
    SimOptions o;
    o.faults = CSimRunner::Faults(faults);
    o.slave = slave;
    o.chipVersion = chip;
    return o;
}

Bytes Tail(const Bytes& b, std::size_t from) {
    return from >= b.size() ? Bytes{} : Bytes(b.begin() + static_cast<long>(from), b.end());
}

TEST(ResultMessage, ElevenTextsExactly) {
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
        EXPECT_STREQ(ResultMessage(code), expected[code]) << code;
    }
    EXPECT_STREQ(ResultMessage(-1), "Common Error!");
    EXPECT_STREQ(ResultMessage(11), "Common Error!");
}

TEST(BootLink, HandshakeBytesAreExact) {
    struct Case {
        bool slave;
        std::uint32_t size;
        const char* start;
        Bytes sizeBytes;
    };
    const Case cases[] = {{false, 0x20000, " fMastA", {0, 0, 0, 0, 0x00, 0x02, 0x00, 0x00}},
                          {true, 0x01020304, " fSlavW", {0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04}}};
    for (const Case& c : cases) {
        CSimRunner sim(Sim({}, c.slave));
        CBootLink link(FastTiming());
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        EXPECT_EQ(link.m_portName, sim.Port());
        EXPECT_EQ(link.SelectTarget(c.slave ? 1 : 0), ResultSuccess);
        EXPECT_EQ(c.slave ? link.SendWriteCommand() : link.RequestAllFlash(3), ResultSuccess);
        EXPECT_EQ(link.SendBlockTable(), ResultSuccess);
        EXPECT_EQ(link.SendImageSize(c.size), ResultSuccess);
        Bytes expected = B(c.start);
        expected.insert(expected.end(), kTable.begin(), kTable.end());
        expected.insert(expected.end(), c.sizeBytes.begin(), c.sizeBytes.end());
        EXPECT_EQ(sim.Received(), expected) << c.start;
        // 0x01020304 is no whole number of blocks: the simulator says so.
        ASSERT_EQ(sim.Errors().size(), c.slave ? 1u : 0u);
        if (c.slave) {
            EXPECT_NE(sim.Errors()[0].find("16909060"), std::string::npos);
        }
    }
}

TEST(BootLink, SelectTargetAttemptsFiveTimes) {
    struct Case {
        const char* name;
        SimOptions sim;
        int type;
        int rc;
        int attempts;
    };
    const std::vector<Case> cases = {
        {"silence", Sim({"select=silence"}), 0, ResultTargetTimeout, 5},
        {"S to Master", Sim({}, true), 0, ResultTargetTimeout, 5},
        {"M to Slave", Sim({}, false), 1, ResultTargetTimeout, 5},
        {"NAK", Sim({"select=byte:15"}), 0, ResultTargetTimeout, 5},
        {"hang-up", Sim({"select=hangup"}), 0, ResultTargetTimeout, 5},
        {"fifth answers",
         Sim({"select:1=silence", "select:2=byte:53", "select:3=silence", "select:4=byte:00"}), 0,
         ResultSuccess, 5},
        {"second answers", Sim({"select:1=silence"}), 0, ResultSuccess, 2},
        {"slave at once", Sim({}, true), 1, ResultSuccess, 1},
    };
    for (const Case& c : cases) {
        CSimRunner sim(c.sim);
        CBootLink link(FastTiming());
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        EXPECT_EQ(link.SelectTarget(c.type), c.rc) << c.name;
        if (std::string(c.name) == "hang-up") {
            // The first attempt hangs the line up; the rest fail on the dead port.
            EXPECT_EQ(sim.Count(SimStep::Select), 1) << c.name;
            continue;
        }
        EXPECT_EQ(sim.Count(SimStep::Select), c.attempts) << c.name;
        for (const SimMessage& m : sim.Messages(SimStep::Select)) {
            EXPECT_EQ(m.bytes, B(c.type == 0 ? " fMast" : " fSlav")) << c.name;
        }
    }
}

TEST(BootLink, ExchangeReopensAClosedPortOrGivesCode2BeforeSending) {
    CSimRunner sim;
    CBootLink link(FastTiming());
    ASSERT_TRUE(link.OpenPort(sim.Port()));
    link.ClosePort();
    link.ClosePort();
    EXPECT_FALSE(link.m_port.IsOpen());
    EXPECT_EQ(link.SelectTarget(0), ResultSuccess);
    EXPECT_TRUE(link.m_port.IsOpen());
    const std::size_t sent = sim.Received().size();
    EXPECT_FALSE(link.OpenPort("/nonexistent/ttyQ7"));
    EXPECT_EQ(link.m_portName, "/nonexistent/ttyQ7");  // kept although the open failed
    std::uint8_t reply = 0;
    EXPECT_EQ(link.Exchange("A", 1, &reply, 1, 100), ResultPortOpenFailed);
    EXPECT_EQ(link.RequestAllFlash(1), ResultPortOpenFailed);
    EXPECT_EQ(link.SendBlockTable(), ResultPortOpenFailed);
    EXPECT_EQ(link.SendImageSize(64), ResultPortOpenFailed);
    EXPECT_EQ(link.SelectTarget(0), ResultTargetTimeout);
    EXPECT_EQ(link.SendWriteCommand(), ResultPortException);  // a plain write: no reopen
    EXPECT_EQ(sim.Received().size(), sent);
}

struct AllFlashCase {
    const char* name;
    SimOptions sim;
    std::uint8_t imageVersion;
    int rc;
    Bytes sentAfterSelect;
    bool realPolls = false;
};

TEST(BootLink, RequestAllFlashBranches) {
    const std::vector<AllFlashCase> cases = {
        {"ALL FLASH", Sim(), 9, ResultSuccess, B("A")},
        {"equal versions", Sim({}, false, 5), 5, ResultSuccess, B("AW")},
        {"chip newer", Sim({}, false, 7), 5, ResultSuccess, B("AW")},
        {"image newer", Sim({}, false, 5), 7, ResultSuccess, B("AA")},
        {"image 0xFF", Sim({}, false, 5), 0xFF, ResultSuccess, B("AW")},
        {"image 0xFE, chip 0", Sim({}, false, 0), 0xFE, ResultSuccess, B("AA")},
        {"second A wrong", Sim({"allflash:2=byte:00"}, false, 5), 7, ResultNoAllFlash, B("AA")},
        {"second A silent", Sim({"allflash:2=silence"}, false, 5), 7, ResultNoAllFlash, B("AA")},
        {"second A short", Sim({"allflash:2=byte:41"}, false, 1), 2, ResultNoAllFlash, B("AA")},
        // The buffer is not cleared for the second request: "A" over "\x01LL FLASH" matches.
        {"uncleared buffer",
         Sim({"allflash:1=byte:01,4C,4C,20,46,4C,41,53,48", "allflash:2=byte:41"}), 2,
         ResultSuccess, B("AA")},
        {"first A silent", Sim({"allflash=silence"}), 1, ResultTimeout, B("A")},
        {"first A hang-up", Sim({"allflash=hangup"}), 1, ResultPortException, B("A")},
        // With the real 50 ms polls: a reply that arrives in pieces is read whole while each
        // poll brings more of "ALL FLASH"; a poll that stays quiet ends it.
        {"two pieces", Sim({"allflash:1=split:60"}), 0x10, ResultSuccess, B("A"), true},
        {"three pieces", Sim({"allflash:1=split:60:1,4"}), 0x10, ResultSuccess, B("A"), true},
        {"repeated reply in pieces",
         Sim({"allflash:2=byte:41,4C,4C,20,46,4C,41,53,48+split:60:3"}, false, 1), 2, ResultSuccess,
         B("AA"), true},
        {"rest after a quiet poll", Sim({"allflash:1=split:150"}), 0x10, ResultSuccess, B("AW"),
         true},
    };
    for (const AllFlashCase& c : cases) {
        CSimRunner sim(c.sim);
        LinkTiming timing = FastTiming();
        timing.pollMs = c.realPolls ? LinkTiming{}.pollMs : timing.pollMs;
        CBootLink link(timing);
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        ASSERT_EQ(link.SelectTarget(0), ResultSuccess) << c.name;
        EXPECT_EQ(link.RequestAllFlash(c.imageVersion), c.rc) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let a 'W' arrive
        EXPECT_EQ(Tail(sim.Received(), 6), c.sentAfterSelect) << c.name;
    }
}

TEST(BootLink, BlockTableAndImageSizeResults) {
    struct Case {
        const char* name;
        SimStep step;
        const char* fault;
        int rc;
    };
    const std::vector<Case> cases = {
        {"table ACK", SimStep::Table, nullptr, ResultSuccess},
        {"table XON instead of ACK", SimStep::Table, "table=byte:11", ResultNoAck},
        {"table NAK", SimStep::Table, "table=byte:15", ResultNoAck},
        {"table ACK with more after it", SimStep::Table, "table=byte:06,11,11", ResultSuccess},
        {"table silence", SimStep::Table, "table=silence", ResultTimeout},
        {"table hang-up", SimStep::Table, "table=hangup", ResultPortException},
        {"table late ACK still in time", SimStep::Table, "table=delay:100", ResultSuccess},
        {"size XON", SimStep::Size, nullptr, ResultSuccess},
        {"size ACK instead of XON", SimStep::Size, "size=byte:06", ResultNoXon},
        {"size silence", SimStep::Size, "size=silence", ResultTimeout},
        {"size hang-up", SimStep::Size, "size=hangup", ResultPortException},
    };
    for (const Case& c : cases) {
        SimOptions o = Sim({}, true);
        if (c.fault) {
            o.faults = CSimRunner::Faults({c.fault});
        }
        CSimRunner sim(o);
        CBootLink link(FastTiming());
        ASSERT_TRUE(link.OpenPort(sim.Port()));
        ASSERT_EQ(link.SelectTarget(1), ResultSuccess);
        ASSERT_EQ(link.SendWriteCommand(), ResultSuccess);
        const int tableRc = link.SendBlockTable();
        ASSERT_EQ(sim.Count(SimStep::Table), 1) << c.name;
        EXPECT_EQ(sim.Messages(SimStep::Table)[0].bytes, kTable);
        if (c.step == SimStep::Table) {
            EXPECT_EQ(tableRc, c.rc) << c.name;
            continue;
        }
        ASSERT_EQ(tableRc, ResultSuccess);
        EXPECT_EQ(link.SendImageSize(0x20000), c.rc) << c.name;
        ASSERT_EQ(sim.Count(SimStep::Size), 1) << c.name;
        EXPECT_EQ(sim.Messages(SimStep::Size)[0].bytes, (Bytes{0, 0, 0, 0, 0, 2, 0, 0}));
    }
}

TEST(BootLink, ExchangeKeepsOnlyWhatFitsAndPurgesWhatCameBefore) {
    CPtyPair pty;
    CBootLink link(FastTiming());
    ASSERT_TRUE(link.OpenPort(pty.SlavePath()));

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
    EXPECT_EQ(reply[0], 'X');
    EXPECT_EQ(reply[1], 'Y');
    EXPECT_EQ(reply[2], 0xEE);
}

}  // namespace
