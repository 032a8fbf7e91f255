// What only the link shows, on the simulated line with the real timing: each step's result
// codes and the exact time it takes, what it keeps for the front ends, and the reply rules of
// Exchange. The bytes of a whole handshake are the simulator's to check, in whole runs.
#include <gtest/gtest.h>

#include <optional>

#include "protocol/boot_link.h"
#include "sim_line_helpers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes B(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

SimOptions Sim(std::initializer_list<const char*> faults, bool slave = false,
               std::optional<std::uint8_t> chip = std::nullopt) {
    SimOptions o;
    o.faults = SimFaults(faults);
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

TEST(BootLink, SelectTargetTriesFiveTimesOfOneSecond) {
    struct Case {
        const char* name;
        SimOptions sim;
        bool stuckPurge;  // a purge the line never completes
        ResultCode rc;
        int attempts;
        int lastReply;
        double ms;     // the whole step
        double apart;  // from one attempt's write to the next
    };
    const Case cases[] = {
        {"silence", Sim({"select=silence"}), false, ResultTargetTimeout, 5, -1, 5000, 1000},
        {"S to Master", Sim({}, true), false, ResultTargetTimeout, 5, 'S', 250, 50},
        // A one-byte reply ends with the poll that reads it, even one that begins "ALL FLASH".
        {"A to Master", Sim({"select=byte:41"}), false, ResultTargetTimeout, 5, 'A', 250, 50},
        {"second answers", Sim({"select:1=silence"}), false, ResultSuccess, 2, 'M', 1050, 1000},
        // The rest of the attempts meet a dead line and cost nothing.
        {"hang-up", Sim({"select=hangup"}), false, ResultTargetTimeout, 1, -1, 50, 0},
        // A purge that is never answered costs each attempt its own second, no more.
        {"stuck purge", Sim({}), true, ResultTargetTimeout, 0, -1, 5000, 0},
    };
    for (const Case& c : cases) {
        CSimLine line(c.sim);
        line.Options().stallPurge = c.stuckPurge;
        CBootLink link(line, "sim");
        EXPECT_EQ(link.SelectTarget(0), c.rc) << c.name;
        EXPECT_EQ(Ms(line.Elapsed()), c.ms) << c.name;
        EXPECT_EQ(link.State().lastReply, c.lastReply) << c.name;
        const auto writes = SimWrites(line);
        ASSERT_EQ(writes.size(), static_cast<std::size_t>(c.attempts)) << c.name;
        for (std::size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].bytes, B(" fMast")) << c.name;
            EXPECT_EQ(Ms(writes[i].at - writes[0].at), c.apart * static_cast<double>(i)) << c.name;
        }
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
        // When the step returned, from the first 'A' (its reply leaves at once; the first poll
        // reads at 50 ms); -1: not checked.
        double doneMs = -1;
    };
    const Case cases[] = {
        {"equal versions: write", Sim({}, false, 5), 5, ResultSuccess, "AW", "0x05", 50},
        {"image 0xFF: write", Sim({}, false, 5), 0xFF, ResultSuccess, "AW", "0x05"},
        {"second answer missing", Sim({"allflash:2=silence"}, false, 5), 7, ResultNoAllFlash, "AA",
         "0x05, then no answer"},
        // The buffer is not cleared for the second request: "A" over "\x01LL FLASH" matches.
        {"uncleared buffer",
         Sim({"allflash:1=byte:01,4C,4C,20,46,4C,41,53,48", "allflash:2=byte:41"}), 2,
         ResultSuccess, "AA", "0x01, then ALL FLASH"},
        {"first request unanswered", Sim({"allflash=silence"}), 1, ResultTimeout, "A", "", 5000},
        // A reply in pieces is read whole, each piece taken as it comes.
        {"in pieces", Sim({"allflash:1=split:60:1,4"}), 0x10, ResultSuccess, "A", "ALL FLASH", 120},
        {"rest within the quiet", Sim({"allflash:1=split:290"}), 0x10, ResultSuccess, "A",
         "ALL FLASH", 290},
        // 300 ms without a byte after the first piece (read at 50 ms): its 0x41 is a version.
        {"rest too late", Sim({"allflash:1=split:400"}), 0x10, ResultSuccess, "AW", "0x41", 350},
        {"0x41 alone", Sim({}, false, 0x41), 0x10, ResultSuccess, "AW", "0x41", 350},
        // No longer a prefix of "ALL FLASH": over the moment it stops being one.
        {"stops being a prefix", Sim({"allflash:1=byte:41,4C,58+split:60:2"}), 0x10, ResultSuccess,
         "AW", "0x41", 60},
    };
    for (const Case& c : cases) {
        CSimLine line(c.sim);
        CBootLink link(line, "sim");
        ASSERT_EQ(link.SelectTarget(0), ResultSuccess) << c.name;
        const auto asked = line.Clock().Now();
        EXPECT_EQ(link.RequestAllFlash(c.imageVersion), c.rc) << c.name;
        if (c.doneMs >= 0) {
            EXPECT_EQ(Ms(line.Clock().Now() - asked), c.doneMs) << c.name;
        }
        EXPECT_EQ(link.State().chipReply, c.chipReply) << c.name;
        const Bytes got = line.Device().Received();
        EXPECT_EQ(Bytes(got.begin() + 6, got.end()), B(c.sentAfterSelect)) << c.name;
    }
}

// "ALL FLASH" in pieces is read whole wherever its first piece falls in a 50 ms poll; a real
// version byte still ends the request at the poll that reads it.
TEST(BootLink, AllFlashInPiecesIsReadWholeAtEveryPhaseOfThePolls) {
    struct Shape {
        const char* fault;
        std::optional<std::uint8_t> chip;
        const char* chipReply;
        const char* sentAfterSelect;
    };
    const Shape shapes[] = {
        {"allflash:1=split:60", std::nullopt, "ALL FLASH", "A"},  // "ALL F", 60 ms, "LASH"
        {"allflash:1=split:20:1,1,1,1,1,1,1,1", std::nullopt, "ALL FLASH", "A"},
        {nullptr, 0x05, "0x05", "AW"},
    };
    constexpr int kSteps = 200;  // a quarter of a millisecond apart
    for (const Shape& s : shapes) {
        std::string misread;
        for (int k = 0; k < kSteps; ++k) {
            const auto phase = std::chrono::microseconds(50000 * k / kSteps);
            SimOptions o;
            if (s.fault != nullptr) {
                o.faults = SimFaults({s.fault});
            }
            o.chipVersion = s.chip;
            SimLineOptions late;
            late.latency = phase;
            CSimLine line(o, late);
            CBootLink link(line, "sim");
            ASSERT_EQ(link.SelectTarget(0), ResultSuccess);
            const auto asked = line.Clock().Now();
            const ResultCode rc = link.RequestAllFlash(0x02);
            const Bytes got = line.Device().Received();
            // A version byte is taken at the first poll after it arrived, not later.
            if (rc != ResultSuccess || link.State().chipReply != s.chipReply ||
                Bytes(got.begin() + 6, got.end()) != B(s.sentAfterSelect) ||
                (s.chip && line.Clock().Now() - asked != std::chrono::milliseconds(50))) {
                misread += " " + std::to_string(phase.count()) + "us";
            }
        }
        EXPECT_EQ(misread, "") << (s.fault ? s.fault : "version byte") << ": misread at";
    }
}

TEST(BootLink, BlockTableAndImageSizeReplies) {
    struct Case {
        const char* fault;
        ResultCode table;
        ResultCode size;  // ResultCommonError: not sent
        int lastReply;
        double tableMs;  // from the block table's write to its result
    };
    const Case cases[] = {
        {"table=byte:06,11,11", ResultSuccess, ResultSuccess, 0x11, 50},  // the first byte counts
        {"table=silence", ResultTimeout, ResultCommonError, -1, 5000},
        {"table=hangup", ResultPortException, ResultCommonError, -1, 50},
        {"size=silence", ResultSuccess, ResultTimeout, -1, 50},
        // A stray byte after the write command arrives during the pause and is purged.
        {"write=byte:58", ResultSuccess, ResultSuccess, 0x11, 50},
    };
    for (const Case& c : cases) {
        CSimLine line(Sim({c.fault}, true));
        CBootLink link(line, "sim");
        ASSERT_EQ(link.SelectTarget(1), ResultSuccess);
        ASSERT_EQ(link.SendWriteCommand(), ResultSuccess);
        const auto written = line.Clock().Now();
        EXPECT_EQ(link.SendBlockTable(), c.table) << c.fault;
        const auto writes = SimWrites(line);
        ASSERT_EQ(writes.size(), 3u) << c.fault;
        EXPECT_EQ(Ms(writes[2].at - written), 500) << c.fault << ": the pause before the table";
        EXPECT_EQ(Ms(line.Clock().Now() - writes[2].at), c.tableMs) << c.fault;
        if (c.size != ResultCommonError) {
            EXPECT_EQ(link.SendImageSize(0x20000), c.size) << c.fault;
        }
        EXPECT_EQ(link.State().lastReply, c.lastReply) << c.fault;
        EXPECT_EQ(IsHangUpError(link.State().lastError), c.table == ResultPortException) << c.fault;
        EXPECT_EQ(link.State().lastError == 0, c.table != ResultPortException) << c.fault;
    }
}

TEST(BootLink, ExchangeReopensAClosedLineOrGivesCode2) {
    CSimLine line;
    CBootLink link(line, "sim");
    line.Close();
    EXPECT_EQ(link.SelectTarget(0), ResultSuccess);  // only a reopened line gets the 'M'

    line.Options().hangUpAt = line.Elapsed();  // pulled: it cannot be opened again
    line.Close();
    const std::size_t sent = line.Device().Received().size();
    EXPECT_EQ(link.SendBlockTable(), ResultPortOpenFailed);
    EXPECT_NE(link.State().openError, 0u);
    EXPECT_EQ(link.State().lastOperation, "open");
    EXPECT_EQ(link.SendWriteCommand(), ResultPortException);  // a plain write: no reopen
    EXPECT_EQ(line.Device().Received().size(), sent);
}

TEST(BootLink, ExchangeKeepsOnlyWhatFitsAndPurgesBeforeItWrites) {
    CSimLine line(Sim({"select=byte:4D,59,5A"}));
    CBootLink link(line, "sim");
    std::uint8_t reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(link.Exchange(" fMast", 6, reply, 2, 1000), ResultSuccess);
    EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{'M', 'Y', 0xEE, 0xEE}));
    EXPECT_EQ(link.State().lastReply, 'M');

    std::string order;
    for (const CSimLine::Event& e : line.Events()) {
        order += e.kind == CSimLine::Event::Kind::Purge
                     ? (e.flags == ILine::PURGE_TXCLEAR ? "tx " : "rx ")
                     : (e.kind == CSimLine::Event::Kind::Write ? "write " : "");
    }
    EXPECT_EQ(order, "tx rx write ");
}

}  // namespace
