// The data phase: the image in 64-byte blocks, each answered by XON, then the checksum
// message answered by ACK. UI-free; progress and messages go through JobUi.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/job_ui.h"
#include "protocol/boot_link.h"

// Images are sent in whole blocks; a length that is not a multiple of 64 is padded with 0xFF
// so that the device receives every byte the size message announced.
std::uint32_t PaddedImageLength(std::uint64_t fileLength);

// Image bytes per data block.
inline constexpr std::uint32_t kTransferBlockSize = 64;

// The message of an image that cannot be read, here and in the flash run.
inline constexpr const char* kImageReadErrorText = "BIN file read error!";

// How a transfer ended; only Acked is a success.
enum class TransferEnding {
    Acked,
    ImageUnreadable,  // missing, empty, unreadable or too long: nothing was sent
    NoAnswer,         // more empty polls in a row than the timing allows
    WrongByte,        // a reply other than XON or ACK
    EndRefused,       // XON to the end message more than kMaxEndRepeats times in a row
    PortFailed,       // the port failed mid-transfer (adapter pulled, peer gone)
    EarlyAck,         // ACK to a data block: the image is not complete, so this is no success
};

// What is known about a transfer's ending, for the account a front end gives of it.
struct TransferReport {
    TransferEnding ending = TransferEnding::ImageUnreadable;
    std::uint32_t imageLength = 0;  // as announced (padded); 0 when it could not be read
    std::uint32_t bytesOut = 0;     // image bytes that went out on the line
    std::uint8_t wrongReply = 0;    // WrongByte: the byte that came
    std::uint32_t portError = 0;    // PortFailed: the system's code
    std::string portOperation;      // PortFailed: the call that failed
    // The transfer's own message for its ending (null: none), which the run shows while the
    // progress window is still open.
    const char* text = nullptr;
    const char* caption = nullptr;

    // EarlyAck: the data block that got the ACK, counted from 1 (the last one sent).
    std::uint32_t AckedBlock() const { return bytesOut / kTransferBlockSize; }
};

class CImageTransfer {
public:
    static constexpr std::uint32_t kBlockSize = kTransferBlockSize;
    // Resends of the end message on XON, in a row, before the transfer gives up.
    static constexpr int kMaxEndRepeats = 10;

    CImageTransfer(CBootLink& link, JobUi& ui) : m_link(link), m_ui(ui) {}

    // Runs the whole transfer of image (padded to whole blocks; at most 2^31 - 64 bytes). It
    // opens the progress window (TransferStarted) and reports progress, but shows no message
    // and leaves the window open: the run shows Report().text, then closes it.
    TransferEnding DoModal(const std::vector<std::uint8_t>& image);

    const TransferReport& Report() const { return m_report; }

private:
    // One tick: state 0 sends the next block (or the end message), state 1 polls for the
    // reply, waiting at most one poll period.
    void OnTimer();
    void SendStep();
    void PollStep();
    void End(TransferEnding ending, const char* text = nullptr, const char* caption = nullptr);

    CBootLink& m_link;
    JobUi& m_ui;
    int m_nImageLength = -1;
    const std::uint8_t* m_pImage = nullptr;
    std::size_t m_pNextBlock = 0;  // offset of the next block in m_pImage
    int m_nState = 0;
    std::uint8_t m_nDataSum = 0;
    int m_nSent = 0;
    int m_nEndRepeats = 0;
    // Consecutive polls without a reply. One count per transfer: transfers on several ports
    // at once must not end (or keep alive) each other's waits.
    int m_nEmptyPolls = 0;
    std::optional<TransferEnding> m_ending;  // set when the transfer ends
    TransferReport m_report;
    IClock::TimePoint m_start;
};
