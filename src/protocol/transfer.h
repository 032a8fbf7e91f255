// The data phase: the image in 64-byte blocks, each answered by XON, then the checksum
// message answered by ACK. UI-free; progress and messages go through JobUi.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/job_ui.h"
#include "protocol/boot_link.h"

// Modal results, as the flash run reads them.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Images are sent in whole blocks; a length that is not a multiple of 64 is padded with 0xFF
// so that the device receives every byte the size message announced.
std::uint32_t PaddedImageLength(std::uint64_t fileLength);

class CImageTransfer {
public:
    static constexpr std::uint32_t kBlockSize = 64;
    // Resends of the end message on XON, in a row, before the transfer gives up.
    static constexpr int kMaxEndRepeats = 10;

    CImageTransfer(CBootLink& link, JobUi& ui) : m_link(link), m_ui(ui) {}

    // Reads the image, padded to whole blocks. Returns its length, or -1 when the file is
    // missing, empty, unreadable or too long.
    int ReadImage(const std::string& path);

    // Runs the whole transfer of the image at path; IDOK once the device answered ACK,
    // IDCANCEL on every failure (after its message, where it has one).
    int DoModal(const std::string& imagePath);

    // One tick: state 0 sends the next block (or the end message), state 1 polls for the
    // reply, waiting at most one poll period. Sets m_nResult when the transfer ends.
    void OnTimer();

    int m_nImageLength = -1;
    std::vector<std::uint8_t> m_pImage;
    std::size_t m_pNextBlock = 0;  // offset of the next block in m_pImage
    int m_nState = 0;
    std::uint8_t m_nDataSum = 0;
    int m_nSent = 0;
    int m_nResult = 0;  // 0 while running, then IDOK or IDCANCEL
    int m_nEndRepeats = 0;

    // How the transfer ended, for the account a front end gives of a failure.
    enum class Ending { Running, Acked, ImageUnreadable, NoAnswer, WrongByte, PortFailed };
    Ending m_ending = Ending::Running;
    std::uint8_t m_byWrongReply = 0;  // Ending::WrongByte: the byte that came
    std::uint32_t m_dwPortError = 0;  // Ending::PortFailed: the system's error code
    std::uint32_t m_nBytesOut = 0;    // image bytes that went out on the line

    // Consecutive polls without a reply. One count per transfer: transfers on several ports
    // at once must not end (or keep alive) each other's waits.
    int m_nEmptyPolls = 0;

private:
    void SendStep();
    void PollStep();
    void End(int result) { m_nResult = result; }

    CBootLink& m_link;
    JobUi& m_ui;
    std::chrono::steady_clock::time_point m_start;
};
