// The data phase on the simulated line with the real timing: every ending, what its report
// and its detail say and exactly when it comes; the steps a trace of the line shows; a run
// that an early ACK must not turn into a success.
#include <gtest/gtest.h>

#include "app/flash_run.h"
#include "app/run_detail.h"
#include "firmware_gen.h"
#include "protocol/transfer.h"
#include "recording_ui.h"
#include "sim_line_helpers.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Image(std::size_t size) {
    Bytes image(size);
    for (std::size_t i = 0; i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return image;
}

// A Slave handshake (no version in its image) for the image's length.
void Handshake(CBootLink& link, std::uint32_t length) {
    ASSERT_EQ(link.SelectTarget(1), ResultSuccess);
    ASSERT_EQ(link.SendWriteCommand(), ResultSuccess);
    ASSERT_EQ(link.SendBlockTable(), ResultSuccess);
    ASSERT_EQ(link.SendImageSize(length), ResultSuccess);
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
    };
    // clang-format off
    const Case cases[] = {
        {"acknowledged", 128, nullptr, false, TransferEnding::Acked, 128, nullptr, "", 50, 1},
        {"ACK to block 5", 16640, "block:5=byte:06", false, TransferEnding::EarlyAck, 320, "Receive Error!",
         "sim answered data block 5 with ACK before the image was complete: 320 of 16640 bytes were sent.", 50, 0},
        // Every block went out, but not the end message yet.
        {"ACK to the last block", 64, "block:1=byte:06", false, TransferEnding::EarlyAck, 64, "Receive Error!",
         "sim answered data block 1 with ACK before the image was complete: 64 of 64 bytes were sent.", 50, 0},
        {"no answer", 192, "block:2=silence", false, TransferEnding::NoAnswer, 128, "Time out!",
         "128 of 192 bytes were sent to sim, then no answer came for 1.6 s.", 50 + 1616, 0},
        {"end message refused", 64, "end=byte:11", false, TransferEnding::EndRefused, 64, "Receive Error!",
         "64 of 64 bytes were sent to sim.", 50, 11},
        // A write the line never takes fails by the no-answer budget.
        {"stuck write", 128, nullptr, true, TransferEnding::PortFailed, 0, nullptr, nullptr, 50 + 1616, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        SimOptions o;
        o.slave = true;
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
        EXPECT_EQ(Ms(line.Clock().Now() - start), c.ms) << c.name;
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

// At 9600 baud every block costs its wire time and nothing more: a 32 KiB image takes its
// 35 s of virtual time (and milliseconds of real time).
TEST(Transfer, AtNineThousandSixHundredBaudTheWireTimeAlone) {
    SimOptions o;
    o.slave = true;
    o.baud = 9600;
    CSimLine line(o);
    CBootLink link(line, "sim");
    const Bytes image = Image(0x8000);
    Handshake(link, static_cast<std::uint32_t>(image.size()));
    RecordingUi ui;
    CImageTransfer transfer(link, ui);
    const auto start = line.Clock().Now();
    ASSERT_EQ(transfer.DoModal(image), TransferEnding::Acked);
    const auto byteTime =
        std::chrono::duration_cast<IClock::Duration>(std::chrono::duration<double>(10.0 / 9600));
    // Each block and its XON, then the end message and its ACK, after the start tick.
    EXPECT_EQ(line.Clock().Now() - start,
              std::chrono::milliseconds(50) + (512 * 66 + 3) * byteTime);
    EXPECT_TRUE(line.Device().Runs().back().Correct());
}

// The trace sees each step begin: its mark, then its own message. The figures between the
// steps are the real ones.
TEST(Transfer, StepsOfAWholeRunAreMarked) {
    SimOptions o;
    o.chipVersion = 5;  // the image's version 2 is older: the write command follows
    CSimLine line(o);
    CBootLink link(line, "sim");
    ASSERT_EQ(link.SelectTarget(0), ResultSuccess);
    ASSERT_EQ(link.RequestAllFlash(2), ResultSuccess);
    ASSERT_EQ(link.SendBlockTable(), ResultSuccess);
    ASSERT_EQ(link.SendImageSize(128), ResultSuccess);
    RecordingUi ui;
    CImageTransfer transfer(link, ui);
    ASSERT_EQ(transfer.DoModal(Image(128)), TransferEnding::Acked);

    std::string steps;
    const std::vector<CSimLine::Event>& events = line.Events();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind != CSimLine::Event::Kind::Mark) {
            continue;
        }
        steps += (steps.empty() ? "" : " ") + events[i].step;
        for (std::size_t j = i + 1; j < events.size(); ++j) {
            if (events[j].kind == CSimLine::Event::Kind::Write) {
                char first[16];
                std::snprintf(first, sizeof first, ":%02X/%zu@%.0f", events[j].bytes[0],
                              events[j].bytes.size(), Ms(events[j].at - events[i].at));
                steps += first;
                break;
            }
        }
    }
    EXPECT_EQ(steps,
              "select:20/6@0 all-flash:41/1@0 write:57/1@0 block-table:08/33@500 size:00/8@0 "
              "data:11/65@50 end:11/2@0");
}

// A device that acknowledges a data block has not got the image: the run ends with the
// programming error, and its record says how far it got.
TEST(Transfer, EarlyAckIsNoSuccessForTheRun) {
    const ScratchDir dir;
    FirmwareRecipe recipe;
    recipe.size = 16640;
    Firmware fw;
    std::string error;
    ASSERT_TRUE(MakeFirmware(recipe, fw, error)) << error;
    WriteFile(dir / "Master.bin", std::string(fw.image.begin(), fw.image.end()));

    SimOptions o;
    o.faults = SimFaults({"block:5=byte:06"});
    CSimLine line(o);
    CBootLink link(line, "sim");
    FlashJob job;
    job.filePath = (dir / "Master.bin").string();
    job.fileExt = "bin";
    job.frontEnd = "cli";
    job.historyFile = dir / "history.jsonl";
    RecordingUi ui;
    const FlashResult result = FlashThreadProc(link, job, ui);
    EXPECT_EQ(result.outcome, FlashOutcome::TransferFailed);
    EXPECT_EQ(result.record.outcome, "transfer-failed");
    EXPECT_EQ(result.record.bytesSent, 320u);
    EXPECT_EQ(ui.Events(),
              "busy start:16640 msg:Error:Receive Error! finish:failed "
              "msg:Warning:Programming Process Error.\nPlease try again after 40 seconds! idle");
    EXPECT_FALSE(line.IsOpen());
}

}  // namespace
