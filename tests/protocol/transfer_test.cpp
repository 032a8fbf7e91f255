// The data phase on its own, the test playing the device on a pseudo-terminal: the blocks,
// the percentages and the checksum on the wire, and the limits of its waits. How each ending
// reaches the user is the flash run's to show.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>

#include "fast_timing.h"
#include "protocol/transfer.h"
#include "pty_pair.h"
#include "recording_ui.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kXon = 0x11, kAck = 0x06;

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_link.OpenPort(m_pty.SlavePath())); }

    // Runs the transfer of image on a thread; the test answers as the device.
    std::future<TransferEnding> Start(const Bytes& image) {
        WriteFile(m_file, std::string(image.begin(), image.end()));
        return std::async(std::launch::async,
                          [this] { return m_transfer.DoModal(m_file.string()); });
    }

    CPtyPair m_pty;
    CBootLink m_link{FastTiming()};
    RecordingUi m_ui;
    CImageTransfer m_transfer{m_link, m_ui};
    ScratchDir m_dir;
    fs::path m_file = m_dir / "image.bin";
};

TEST_F(TransferTest, BlocksPercentagesAndChecksumOnTheWire) {
    struct Case {
        const char* name;
        Bytes image;
        Bytes replies;  // the device's answer to each message in turn
        std::vector<std::string> progress;
        int endMessages;
        std::uint8_t checksum;
    };
    Bytes counting(64);
    std::iota(counting.begin(), counting.end(), 0);
    const Case cases[] = {
        {"one block", counting, {kXon, kAck}, {"100 %"}, 1, 0x1F},
        {"two blocks", Bytes(128, 0x01), {kXon, kXon, kAck}, {"50 %", "100 %"}, 1, 0x7F},
        {"a short last block is padded",
         Bytes(100, 0x5A),
         {kXon, kXon, kAck},
         {"50 %", "100 %"},
         1,
         0xF3},
        {"XON to the end message resends it",
         Bytes(64, 0x10),
         {kXon, kXon, kAck},
         {"100 %"},
         2,
         0xFF},
        {"ACK to a data block ends at once", Bytes(128, 0x22), {kAck}, {"50 %"}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_ui = RecordingUi();
        Bytes sent = c.image;
        sent.resize((sent.size() + 63) / 64 * 64, 0xFF);
        auto ending = Start(c.image);
        const std::size_t blocks = c.replies.size() - static_cast<std::size_t>(c.endMessages);
        for (std::size_t n = 0; n < c.replies.size(); ++n) {
            Bytes expected = {kXon, c.checksum};
            if (n < blocks) {
                expected.assign(sent.begin() + static_cast<long>(n * 64),
                                sent.begin() + static_cast<long>(n * 64 + 64));
                expected.insert(expected.begin(), kXon);
            }
            EXPECT_EQ(m_pty.Read(expected.size(), 3000), expected) << n;
            m_pty.Write(Bytes{c.replies[n]});
        }
        EXPECT_EQ(ending.get(), TransferEnding::Acked);
        EXPECT_TRUE(m_pty.ReadUntilQuiet(50).empty());
        EXPECT_EQ(m_ui.progress, c.progress);
        EXPECT_EQ(m_ui.Events(), "start:" + std::to_string(sent.size()) + " finish:ok");
        EXPECT_EQ(m_transfer.Report().bytesOut, 64 * blocks);
        EXPECT_EQ(m_transfer.Image(), sent);
    }
}

TEST_F(TransferTest, GivesUpAfterTenResendsOfTheEndMessage) {
    auto ending = Start(Bytes(64, 1));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    for (int end = 0; end <= 11; ++end) {  // the block, the end message, 10 resends
        m_pty.Write(Bytes{kXon});
        EXPECT_EQ(m_pty.Read(2, end < 11 ? 3000 : 100).size(), end < 11 ? 2u : 0u) << end;
    }
    EXPECT_EQ(ending.get(), TransferEnding::EndRefused);
    EXPECT_EQ(m_ui.Events(), "start:64 msg:Error:Receive Error! finish:failed");
}

TEST_F(TransferTest, WaitsOnePollPastTheLimitAndTakesALateReply) {
    const unsigned pollMs = m_link.Timing().transferPollMs;
    auto late = Start(Bytes(64, 1));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    std::this_thread::sleep_for(std::chrono::milliseconds(80 * pollMs));
    m_pty.Write(Bytes{kXon});
    EXPECT_EQ(m_pty.Read(2, 3000).size(), 2u);
    m_pty.Write(Bytes{kAck});
    EXPECT_EQ(late.get(), TransferEnding::Acked);

    // Never answered: with a limit of 2 the third empty poll (each waiting its full period)
    // is the last.
    m_link.ClosePort();
    LinkTiming timing = FastTiming();
    timing.transferPollMs = 40;
    timing.transferMaxEmptyPolls = 2;
    CBootLink link(timing);
    ASSERT_TRUE(link.OpenPort(m_pty.SlavePath()));
    CImageTransfer transfer(link, m_ui);
    m_ui = RecordingUi();
    auto silent = std::async(std::launch::async, [&] { return transfer.DoModal(m_file.string()); });
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.get(), TransferEnding::NoAnswer);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
    EXPECT_EQ(m_ui.Events(), "start:64 msg:Error:Time out! finish:failed");
    EXPECT_EQ(transfer.Report().bytesOut, 64u);
}

// Empty, missing, and shorter than its size says (as if it shrank while read: a sysfs file
// states 4096 bytes and holds a few).
TEST_F(TransferTest, UnreadableImagesSendNothing) {
    WriteFile(m_file, "");
    for (const char* path :
         {m_file.c_str(), "/nonexistent/image.bin", "/sys/kernel/uevent_seqnum"}) {
        m_ui = RecordingUi();
        EXPECT_EQ(m_transfer.DoModal(path), TransferEnding::ImageUnreadable) << path;
        EXPECT_EQ(m_ui.Events(), "msg:Warning:BIN file read error!");
        EXPECT_TRUE(m_pty.ReadUntilQuiet(50).empty());
        EXPECT_TRUE(m_transfer.Image().empty());
    }
}

}  // namespace
