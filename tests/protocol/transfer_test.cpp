// The data phase on its own, the test playing the device on a pseudo-terminal: the endings a
// whole run against the simulator does not reach, and the limits of its waits. The blocks, the
// padding, the checksum and the progress of whole runs are the flash run's to show, the
// simulator checking the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "fast_timing.h"
#include "protocol/transfer.h"
#include "pty_pair.h"
#include "recording_ui.h"
#include "serial/serial_port.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t kXon = 0x11, kAck = 0x06;

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_THROW(m_port.Open(m_pty.SlavePath())); }

    // Runs the transfer of image on a thread; the test answers as the device.
    std::future<TransferEnding> Start(const Bytes& image) {
        m_image = image;
        return std::async(std::launch::async, [this] { return m_transfer.DoModal(m_image); });
    }

    CPtyPair m_pty;
    CSerialPort m_port;
    CBootLink m_link{m_port, "pty", FastTiming()};
    RecordingUi m_ui;
    CImageTransfer m_transfer{m_link, m_ui};
    Bytes m_image;
};

TEST_F(TransferTest, AckToADataBlockEndsAtOnce) {
    auto ending = Start(Bytes(128, 0x22));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    m_pty.Write(Bytes{kAck});
    EXPECT_EQ(ending.get(), TransferEnding::Acked);
    EXPECT_EQ(m_ui.progress, std::vector<std::string>{"50 %"});
}

TEST_F(TransferTest, GivesUpAfterTenResendsOfTheEndMessage) {
    auto ending = Start(Bytes(64, 1));
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    for (int end = 0; end <= 11; ++end) {  // the end message, 10 resends, then nothing
        m_pty.Write(Bytes{kXon});
        EXPECT_EQ(m_pty.Read(2, end < 11 ? 3000 : 100), (end < 11 ? Bytes{kXon, 0xBF} : Bytes{}))
            << end;
    }
    EXPECT_EQ(ending.get(), TransferEnding::EndRefused);
    EXPECT_EQ(m_ui.Events(), "start:64");  // the run shows the message and closes the window
    EXPECT_STREQ(m_transfer.Report().text, "Receive Error!");
    EXPECT_STREQ(m_transfer.Report().caption, "Error");
}

// With a limit of 2 the third empty poll (each waiting its full period) is the last.
TEST_F(TransferTest, GivesUpAfterOneEmptyPollPastTheLimit) {
    const Bytes image(64, 1);
    LinkTiming timing = FastTiming();
    timing.transferPollMs = 40;
    timing.transferMaxEmptyPolls = 2;
    CBootLink link(m_port, "pty", timing);
    CImageTransfer transfer(link, m_ui);
    auto silent = std::async(std::launch::async, [&] { return transfer.DoModal(image); });
    EXPECT_EQ(m_pty.Read(65, 3000).size(), 65u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.get(), TransferEnding::NoAnswer);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(110));
}

// An image that is empty or not in whole blocks is never sent.
TEST_F(TransferTest, UnfitImagesSendNothing) {
    for (const Bytes& image : {Bytes{}, Bytes(65, 1)}) {
        m_ui = RecordingUi();
        EXPECT_EQ(m_transfer.DoModal(image), TransferEnding::ImageUnreadable) << image.size();
        EXPECT_EQ(m_ui.Events(), "");
        EXPECT_STREQ(m_transfer.Report().text, "BIN file read error!");
        EXPECT_TRUE(m_pty.ReadUntilQuiet(50).empty());
    }
}

}  // namespace
