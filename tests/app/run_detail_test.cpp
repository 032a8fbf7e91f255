// What a run says beneath its fixed message, for the endings the flash run's own table does
// not reach; the progress window's figures; the image's fingerprint.
#include <grp.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/progress_figures.h"
#include "app/run_detail.h"
#include "app/sha256.h"
#include "common/stop_request.h"
#include "test_util.h"

namespace {

// Each detail: what happened, then what to do about it.
TEST(RunDetail, HandshakeSteps) {
    const std::string cycle = " Power-cycle the inverter, then try again.";
    const std::string line = " Check the cable and the adapter, then try again.";
    struct Case {
        LinkState link;
        ResultCode code;
        const char* target;
        std::string expected;
    };
    const Case cases[] = {
        {{"ttyS1", 0, 'M', 0, "", ""},
         ResultTargetTimeout,
         "Slave",
         "The inverter answered as Master ('M'); this file is for the Slave. Pick the Master's "
         "file for it, or connect the Slave."},
        {{"ttyS1", 0, 'S', 0, "", ""},
         ResultTargetTimeout,
         "Master",
         "The inverter answered as Slave ('S'); this file is for the Master. Pick the Slave's "
         "file for it, or connect the Master."},
        {{"ttyS1", 0, 'S', 0, "", ""},
         ResultTargetTimeout,
         nullptr,
         "ttyS1 answered the step with 0x53, not with the target's letter. Check that this is "
         "the inverter's port, then power-cycle the inverter."},
        {{"ttyS1", 0, -1, 0, "", ""},
         ResultTargetTimeout,
         "Master",
         "No answer from ttyS1 to the step (5 tries of 1 s). Check the cable and that this is "
         "the inverter's port, then power-cycle the inverter."},
        {{"ttyS1", 0, -1, 0, "", ""},
         ResultTimeout,
         "Master",
         "No answer from ttyS1 to the step within 5 s." + cycle},
        {{"ttyS1", 0, -1, EPIPE, "", "read"},
         ResultPortException,
         "Master",
         "The line to ttyS1 hung up during the step (read)." + line},
        {{"ttyUSB0", 0, -1, EINVAL, "", "write"},
         ResultPortException,
         "Master",
         "ttyUSB0 failed during the step (write): Invalid argument." + line},
        {{"ttyS1", EINVAL, -1, EINVAL, "", "tcsetattr"},
         ResultPortOpenFailed,
         "Master",
         "ttyS1: tcsetattr: Invalid argument. Unplug and replug the adapter, then try again."},
        {{"", 0, 0x11, 0, "", ""},
         ResultNoAck,
         "Master",
         "the port answered the step with 0x11 instead of ACK (0x06)." + cycle},
        {{"ttyS1", 0, 0x01, 0, "0x01, then 0x00", ""},
         ResultNoAllFlash,
         "Master",
         "ttyS1 answered the step with 0x01, then 0x00 instead of ALL FLASH: its bootloader did "
         "not take this image." +
             cycle},
        {{"ttyS1", 0, -1, 0, "", ""},
         ResultCommonError,
         "Master",
         "Stopped at the step on ttyS1." + cycle},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HandshakeDetail(c.link, LinkTiming{}, "the step", c.code, c.target), c.expected);
    }
}

TEST(RunDetail, TransferEndings) {
    struct Case {
        TransferReport report;
        const char* expected;
    };
    const Case cases[] = {
        {{TransferEnding::Acked, 128, 128, 0, 0, "", nullptr, nullptr}, ""},
        {{TransferEnding::ImageUnreadable, 0, 0, 0, 0, "", nullptr, nullptr},
         "Nothing was sent to ttyS1: the image could not be read. Check the firmware file, then "
         "try again."},
        {{TransferEnding::PortFailed, 128, 64, 0, EINVAL, "write", nullptr, nullptr},
         "64 of 128 bytes were sent to ttyS1, then the port failed (write): Invalid argument. "
         "Check the cable, then flash again after 40 seconds."},
        {{TransferEnding::PortFailed, 128, 64, 0, EPIPE, "read", nullptr, nullptr},
         "64 of 128 bytes were sent to ttyS1, then the line hung up (read). Check the cable, then "
         "flash again after 40 seconds."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TransferDetail("ttyS1", LinkTiming{}, c.report), c.expected);
    }
}

// A refused open says what to do: plug in, free the port, or join the device's own group
// (none for root's).
TEST(RunDetail, PortThatDidNotOpen) {
    EXPECT_EQ(OpenFailureDetail("", ENOENT),
              "No serial port is listed: connect the adapter, then choose its port.");
    EXPECT_EQ(OpenFailureDetail("ttyUSB0", ENOENT),
              "ttyUSB0: No such file or directory. Check that the adapter is plugged in and that "
              "this is its port.");
    EXPECT_EQ(OpenFailureDetail("ttyUSB0", EBUSY),
              "ttyUSB0: Device or resource busy. Another program holds the port: close it, then "
              "try again.");
    EXPECT_EQ(OpenFailureDetail("socket://127.0.0.1:9", ECONNREFUSED),
              "socket://127.0.0.1:9: Connection refused. Check that the device server is on, "
              "reachable and serving this port, then try again.");
    ScratchDir dir;
    const std::string device = (dir / "ttyUSB0").string();
    WriteFile(device, "");
    for (const char* name : {"dialout", "root"}) {
        const group* g = getgrnam(name);
        if (g == nullptr || chown(device.c_str(), getuid(), g->gr_gid) != 0) {
            continue;
        }
        const bool root = std::string(name) == "root";
        EXPECT_EQ(OpenFailureDetail(device, EACCES),
                  device + ": Permission denied." +
                      (root ? " Ask the administrator for access to the port."
                            : "\nYou must belong to the group that owns the device (dialout; "
                              "dialout on Debian): sudo usermod -aG dialout $USER, then log in "
                              "again."));
    }
}

TEST(RunDetail, StoppedRuns) {
    EXPECT_EQ(StopDetail(SIGINT, StopPhase::Data, 6592, 32768),
              "stopped by SIGINT after 6,592 of 32,768 bytes; the inverter must be flashed again");
    EXPECT_EQ(StopDetail(SIGHUP, StopPhase::Handshake, 0, 0, "the block table"),
              "stopped by SIGHUP during the handshake; nothing was written to the inverter");
    EXPECT_EQ(StopDetail(kStopByUser, StopPhase::Preparing, 0, 0),
              "cancelled before the handshake; nothing was sent to the inverter");
    EXPECT_EQ(StopDetail(kStopByUser, StopPhase::Handshake, 0, 0,
                         LinkStepName({"the target announcement", "Announcing the target", 2, 5})),
              "cancelled during the target announcement (try 2 of 5); nothing was written to the "
              "inverter");
    EXPECT_EQ(LinkStepText({"the block table", "Sending the block table", 0, 0}),
              "Sending the block table");
}

TEST(ProgressFigures, AnsweredBlocksOnly) {
    using namespace std::chrono;
    const struct {
        std::uint32_t sent, total;
        milliseconds elapsed;
        const char* rate;
        const char* left;
    } cases[] = {
        {64, 6400, 500ms, "-- B/s", "-:-- left"},       // the first block is not answered yet
        {128, 6400, 0ms, "-- B/s", "-:-- left"},        // no time has passed
        {128, 6400, 1000ms, "64 B/s", "1:39 left"},     // 6336 bytes still to go at 64 B/s
        {6400, 6400, 2000ms, "3168 B/s", "0:00 left"},  // the last block awaits its answer
    };
    for (const auto& c : cases) {
        const ProgressFigures f = ComputeProgressFigures(
            {.sent = c.sent, .total = c.total, .text = "", .elapsed = c.elapsed});
        EXPECT_EQ(FormatRate(f), c.rate) << c.sent;
        EXPECT_EQ(FormatTimeLeft(f), c.left) << c.sent;
    }
}

TEST(Sha256, KnownVectorsInAnyChunking) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sha256Hex(c.input.data(), c.input.size()), c.digest) << c.input.size();
        // Pieces that straddle the 64-byte blocks give the same digest.
        CSha256 sha;
        for (std::size_t at = 0, step = 1; at < c.input.size(); at += step, step = step % 97 + 13)
            sha.Update(c.input.data() + at, std::min(step, c.input.size() - at));
        CSha256 whole;
        whole.Update(c.input.data(), c.input.size());
        EXPECT_EQ(sha.Final(), whole.Final()) << c.input.size();
    }
}

}  // namespace
