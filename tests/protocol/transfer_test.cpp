// The data phase on its own, with the test playing the device on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <numeric>
#include <thread>

#include "flash_support.h"
#include "protocol/transfer.h"
#include "pty_pair.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_file = fs::temp_directory_path() /
                 ("quillon-transfer-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
        ASSERT_TRUE(m_link.OpenPort(m_pty.SlavePath()));
    }
    void TearDown() override {
        m_link.ClosePort();
        fs::remove(m_file);
    }

    // Runs the transfer of image on a thread; the test answers as the device.
    std::future<int> Start(const Bytes& image) {
        WriteFile(m_file, image);
        return std::async(std::launch::async,
                          [this] { return CImageTransfer(m_link, m_ui).DoModal(m_file.string()); });
    }

    static Bytes Block(const Bytes& image, std::size_t n) {
        Bytes b(65, 0x11);
        std::copy_n(image.begin() + n * 64, 64, b.begin() + 1);
        return b;
    }
    static std::uint8_t Checksum(const Bytes& image) {
        return static_cast<std::uint8_t>(0xFF -
                                         std::accumulate(image.begin(), image.end(), 0u) % 256);
    }

    CPtyPair m_pty;
    CBootLink m_link;
    RecordingUi m_ui;
    fs::path m_file;
};

TEST_F(TransferTest, BlocksPercentagesAndChecksumOnTheWire) {
    struct Case {
        const char* name;
        Bytes image;
        std::vector<std::string> progress;
        std::uint8_t checksum;
        bool xonToEnd = false;  // the device asks for the end message again
    };
    Bytes counting(64);
    std::iota(counting.begin(), counting.end(), 0);
    Bytes odd(100, 0x5A);
    const std::vector<Case> cases = {
        {"one block", counting, {"100 %"}, Checksum(counting)},
        {"two blocks", Bytes(128, 0x01), {"50 %", "100 %"}, 0x7F},
        {"0xFF wraps", Bytes(64, 0xFF), {"100 %"}, 0x3F},
        {"padded last block", odd, {"50 %", "100 %"}, 0},
        {"XON to the end message resends it unchanged", Bytes(64, 0x10), {"100 %"}, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_ui.Reset();
        Bytes sent = c.image;
        sent.resize((sent.size() + 63) / 64 * 64, 0xFF);
        auto result = Start(c.image);
        for (std::size_t n = 0; n < sent.size() / 64; ++n) {
            EXPECT_EQ(m_pty.Read(65, 3000), Block(sent, n));
            m_pty.Write(Bytes{0x11});
        }
        const std::uint8_t sum = c.checksum ? c.checksum : Checksum(sent);
        EXPECT_EQ(m_pty.Read(2, 3000), (Bytes{0x11, sum}));
        if (c.xonToEnd) {
            m_pty.Write(Bytes{0x11});
            EXPECT_EQ(m_pty.Read(2, 3000), (Bytes{0x11, sum}));
        }
        m_pty.Write(Bytes{0x06});
        EXPECT_EQ(result.get(), IDOK);
        EXPECT_EQ(m_ui.progress, c.progress);
        EXPECT_TRUE(m_ui.messages.empty());
        EXPECT_EQ(m_ui.events,
                  (std::vector<std::string>{"start:" + std::to_string(sent.size()), "finish:ok"}));
    }
}

TEST_F(TransferTest, RepliesDecideTheEnding) {
    struct Case {
        const char* name;
        std::uint8_t firstReply;  // to block 1 of a two-block image
        int result;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"ACK to a data block", 0x06, IDOK, {}},
        {"NAK", 0x15, IDCANCEL, {"Receive Error!"}},
        {"any other byte", 0x41, IDCANCEL, {"Receive Error!"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_ui.Reset();
        const Bytes image(128, 0x22);
        auto result = Start(image);
        EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
        m_pty.Write(Bytes{c.firstReply});
        EXPECT_EQ(result.get(), c.result);
        EXPECT_TRUE(m_pty.ReadUntilQuiet(100).empty());  // nothing more was sent
        std::vector<std::string> texts;
        for (const auto& m : m_ui.messages) {
            texts.push_back(m.text);
            EXPECT_EQ(m.caption, "Error");
        }
        EXPECT_EQ(texts, c.messages);
    }
}

TEST_F(TransferTest, XonToEveryEndMessageGivesUpAfterTenResends) {
    auto result = Start(Bytes(64, 1));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    for (int end = 0; end <= 11; ++end) {  // the block, the end message, 10 resends
        m_pty.Write(Bytes{0x11});
        EXPECT_EQ(m_pty.Read(2, end < 11 ? 3000 : 100).size(), end < 11 ? 2u : 0u) << end;
    }
    EXPECT_EQ(result.get(), IDCANCEL);
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].text, "Receive Error!");
}

TEST_F(TransferTest, SilenceTimesOutAfter101EmptyPollsButALateReplyIsTaken) {
    const unsigned pollMs = m_link.Timing().transferPollMs;
    // 80 polls late: still in time.
    auto late = Start(Bytes(64, 1));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    std::this_thread::sleep_for(std::chrono::milliseconds(80 * pollMs));
    m_pty.Write(Bytes{0x11});
    EXPECT_EQ(m_pty.Read(2, 3000).size(), 2u);
    m_pty.Write(Bytes{0x06});
    EXPECT_EQ(late.get(), IDOK);
    EXPECT_TRUE(m_ui.messages.empty());

    // Never answered: every empty poll waits its full period, so the time-out cannot come
    // before 101 of them.
    const auto start = Clock::now();
    auto silent = Start(Bytes(64, 1));
    EXPECT_EQ(silent.get(), IDCANCEL);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(101 * pollMs));
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].text, "Time out!");
    EXPECT_EQ(m_ui.messages[0].caption, "Error");
}

TEST_F(TransferTest, HangUpEndsTheTransferWithoutWaitingForTheTimeOut) {
    auto result = Start(Bytes(256, 3));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    m_pty.HangUp();
    EXPECT_EQ(result.get(), IDCANCEL);
    EXPECT_TRUE(m_ui.messages.empty());  // no "Time out!": the failure was seen at once
    EXPECT_EQ(m_ui.events.back(), "finish:failed");
}

TEST_F(TransferTest, UnreadableImagesSendNothing) {
    struct Case {
        const char* name;
        bool create;
    };
    for (const Case& c : {Case{"empty file", true}, Case{"missing file", false}}) {
        SCOPED_TRACE(c.name);
        m_ui.Reset();
        fs::remove(m_file);
        if (c.create)
            WriteFile(m_file, std::string());
        EXPECT_EQ(CImageTransfer(m_link, m_ui).DoModal(m_file.string()), IDCANCEL);
        ASSERT_EQ(m_ui.messages.size(), 1u);
        EXPECT_EQ(m_ui.messages[0].text, "BIN file read error!");
        EXPECT_EQ(m_ui.messages[0].caption, "Warning");
        EXPECT_TRUE(m_ui.events.size() == 1u);  // no progress window
        EXPECT_TRUE(m_pty.ReadUntilQuiet(100).empty());
    }
}

}  // namespace
