// The data phase on the simulated line with the real timing: every ending, what its report
// and its detail say and exactly when it comes, and the steps a trace of the line shows.
#include <gtest/gtest.h>

#include "app/run_detail.h"
#include "protocol/transfer.h"
#include "recording_ui.h"
#include "sim_line_helpers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Image(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return image;
}

// A Master handshake whose chip is newer than the image: every step, each marked.
void Handshake(CBootLink& link, std::uint32_t length) {
    ASSERT_EQ(link.SelectTarget(0), ResultSuccess);
    ASSERT_EQ(link.RequestAllFlash(2), ResultSuccess);
    ASSERT_EQ(link.SendBlockTable(), ResultSuccess);
    ASSERT_EQ(link.SendImageSize(length), ResultSuccess);
}

// Each step a trace sees: its mark, the first byte and length of its first write, and the
// milliseconds from the mark to that write.
std::string Steps(const CSimLine& line) {
    std::string steps;
    const std::vector<CSimLine::Event>& events = line.Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        for (std::size_t j = i + 1;
             events[i].kind == CSimLine::Event::Kind::Mark && j < events.size(); ++j) {
            if (events[j].kind == CSimLine::Event::Kind::Write) {
                char first[24];
                std::snprintf(first, sizeof first, ":%02X/%zu@%.0f", events[j].bytes[0],
                              events[j].bytes.size(), Ms(events[j].at - events[i].at));
                steps += (steps.empty() ? "" : " ") + events[i].step + first;
                break;
            }
        }
    }
    return steps;
}

TEST(Transfer, Endings) {
    struct Case {
        const char* name;
        std::size_t size;
        const char* fault;  // null: none
        bool stuckWrite;    // the line never takes a write
        TransferEnding ending;
        std::uint32_t bytesOut;
        const char* text;    // the transfer's own message (caption "Error")
        const char* detail;  // null: the system's text, not checked
        // From the start of the data phase to its end: the start tick, then the replies, which
        // the transfer takes the moment they come, or the 101 empty polls of 16 ms.
        double ms;
        int ends;  // end messages sent
        unsigned baud = 0;
    };
    // clang-format off
    const Case cases[] = {
        {"acknowledged", 128, nullptr, false, TransferEnding::Acked, 128, nullptr, "", 50, 1},
        // Each block and its XON, then the end message and its ACK, in wire time and no more:
        // 35 s of virtual time (and milliseconds of real time) for 32 KiB.
        {"acknowledged at 9600 baud", 0x8000, nullptr, false, TransferEnding::Acked, 0x8000, nullptr, "",
         50 + (512 * 66 + 3) * 1.041666, 1, 9600},
        {"ACK to block 5", 16640, "block:5=byte:06", false, TransferEnding::EarlyAck, 320, "Receive Error!",
         "sim answered data block 5 with ACK before the image was complete: 320 of 16640 bytes were sent. Flash again after 40 seconds; if it fails again, power-cycle the inverter first.", 50, 0},
        // Every block went out, but not the end message yet.
        {"ACK to the last block", 64, "block:1=byte:06", false, TransferEnding::EarlyAck, 64, "Receive Error!",
         "sim answered data block 1 with ACK before the image was complete: 64 of 64 bytes were sent. Flash again after 40 seconds; if it fails again, power-cycle the inverter first.", 50, 0},
        {"no answer", 192, "block:2=silence", false, TransferEnding::NoAnswer, 128, "Time out!",
         "128 of 192 bytes were sent to sim, then no answer came for 1.6 s. Check the cable, then flash again after 40 seconds.", 50 + 1616, 0},
        {"end message refused", 64, "end=byte:11", false, TransferEnding::EndRefused, 64, "Receive Error!",
         "64 of 64 bytes were sent to sim, then the inverter kept asking for the end message."
         " Flash again after 40 seconds; if it fails again, power-cycle the inverter first.", 50, 11},
        // A write the line never takes fails by the no-answer budget.
        {"stuck write", 128, nullptr, true, TransferEnding::PortFailed, 0, nullptr, nullptr, 50 + 1616, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SimOptions o;
        o.chipVersion = 0xFE;
        o.baud = c.baud;
        if (c.fault != nullptr) {
            o.faults = SimFaults({c.fault});
        }
        CSimLine line(o);
        CBootLink link(line, "sim");
        Handshake(link, static_cast<std::uint32_t>(c.size));
        line.Options().stallWrite = c.stuckWrite;
        RecordingUi ui;
        CImageTransfer transfer(link, ui);
        const Bytes image = Image(c.size);
        const auto start = line.Clock().Now();
        EXPECT_EQ(transfer.DoModal(image), c.ending) << c.name;
        EXPECT_DOUBLE_EQ(Ms(line.Clock().Now() - start), c.ms) << c.name;
        const TransferReport& r = transfer.Report();
        EXPECT_EQ(r.bytesOut, c.bytesOut) << c.name;
        EXPECT_EQ(ui.progress.size(), c.bytesOut / 64) << c.name;
        EXPECT_STREQ(r.text, c.text) << c.name;
        EXPECT_STREQ(r.caption, c.text != nullptr ? "Error" : nullptr) << c.name;
        if (c.detail != nullptr) {
            EXPECT_EQ(TransferDetail("sim", link.Timing(), r), c.detail) << c.name;
        }
        int ends = 0;
        for (const auto& w : SimWrites(line)) {
            ends += w.bytes.size() == 2 && w.bytes[0] == CBootLink::XON ? 1 : 0;
        }
        EXPECT_EQ(ends, c.ends) << c.name;
        const std::vector<SimRun> runs = line.Device().Runs();
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.back().image, Bytes(image.begin(), image.begin() + r.bytesOut)) << c.name;
        EXPECT_EQ(runs.back().Correct(), c.ending == TransferEnding::Acked) << c.name;
        if (c.ending == TransferEnding::Acked && c.baud == 0) {
            EXPECT_EQ(Steps(line),
                      "select:20/6@0 all-flash:41/1@0 write:57/1@0 block-table:08/33@500 "
                      "size:00/8@0 data:11/65@50 end:11/2@0");
        }
    }
}

// An image that is empty or not in whole blocks is never sent.
TEST(Transfer, UnfitImagesSendNothing) {
    for (const Bytes& image : {Bytes{}, Bytes(65, 1)}) {
        CSimLine line;
        CBootLink link(line, "sim");
        RecordingUi ui;
        CImageTransfer transfer(link, ui);
        EXPECT_EQ(transfer.DoModal(image), TransferEnding::ImageUnreadable) << image.size();
        EXPECT_EQ(ui.Events(), "");
        EXPECT_STREQ(transfer.Report().text, "BIN file read error!");
        EXPECT_TRUE(line.Events().empty());
    }
}

}  // namespace
