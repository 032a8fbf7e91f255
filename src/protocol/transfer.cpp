#include "protocol/transfer.h"

#include <cstdio>
#include <limits>

namespace {
constexpr const char* kReceiveErrorText = "Receive Error!";
}

std::uint32_t PaddedImageLength(std::uint64_t fileLength) {
    const std::uint64_t block = CImageTransfer::kBlockSize;
    const std::uint64_t padded = (fileLength + block - 1) / block * block;
    return padded > std::numeric_limits<std::uint32_t>::max()
               ? std::numeric_limits<std::uint32_t>::max()
               : static_cast<std::uint32_t>(padded);
}

TransferEnding CImageTransfer::DoModal(const std::vector<std::uint8_t>& image) {
    m_report = TransferReport{};
    m_ending.reset();
    // The length travels as a signed 32-bit count; anything near that is no firmware image.
    constexpr std::size_t kMaxLength = std::numeric_limits<int>::max() - kBlockSize;
    const bool fit = !image.empty() && image.size() <= kMaxLength && image.size() % kBlockSize == 0;
    m_pImage = image.data();
    m_pNextBlock = 0;
    m_nImageLength = fit ? static_cast<int>(image.size()) : -1;
    if (m_nImageLength < 0) {
        End(TransferEnding::ImageUnreadable, kImageReadErrorText, kCaptionWarning);
        return *m_ending;
    }
    m_report.imageLength = static_cast<std::uint32_t>(m_nImageLength);
    m_nState = 0;
    m_nSent = 0;
    m_nDataSum = 0;
    m_nEndRepeats = 0;
    m_nEmptyPolls = 0;
    m_ui.TransferStarted(m_report.imageLength);

    IClock& clock = m_link.Line().Clock();
    m_link.Line().Mark("data");
    try {
        // The first block goes out one start tick after the window opened.
        m_link.Pause(m_link.Timing().transferStartMs);
        m_start = clock.Now();
        while (!m_ending) {
            m_link.Stop().ThrowIfRequested();
            OnTimer();
        }
    } catch (const CSerialException& e) {
        // The run reports the programming error; the detail tells why.
        m_report.portError = e.m_dwError;
        m_report.portOperation = e.m_operation;
        End(TransferEnding::PortFailed);
    }
    return *m_ending;
}

void CImageTransfer::End(TransferEnding ending, const char* text, const char* caption) {
    m_report.text = text;
    m_report.caption = caption;
    m_ending = ending;
    m_report.ending = ending;
}

void CImageTransfer::OnTimer() {
    if (m_nState == 0) {
        SendStep();
    } else {
        PollStep();
    }
}

void CImageTransfer::SendStep() {
    m_nSent += static_cast<int>(kBlockSize);
    if (m_nSent <= m_nImageLength) {
        TransferProgress progress;
        progress.sent = static_cast<std::uint32_t>(m_nSent);
        progress.total = m_report.imageLength;
        progress.percent =
            static_cast<int>(static_cast<std::int64_t>(m_nSent) * 100 / m_nImageLength);
        char text[16];
        std::snprintf(text, sizeof text, "%d %%", progress.percent);
        progress.text = text;
        progress.elapsed = m_link.Line().Clock().Now() - m_start;

        std::uint8_t block[1 + kBlockSize];
        block[0] = CBootLink::XON;
        const std::uint8_t* data = m_pImage + m_pNextBlock;
        for (std::uint32_t i = 0; i < kBlockSize; ++i) {
            block[1 + i] = data[i];
            m_nDataSum = static_cast<std::uint8_t>(m_nDataSum + data[i]);
        }
        m_link.Send(block, sizeof block);
        m_report.bytesOut = progress.sent;
        // Reported after the write so the wire never waits for the UI.
        m_ui.TransferProgressed(progress);
    } else {
        m_link.Line().Mark("end");
        const std::uint8_t end[2] = {CBootLink::XON, static_cast<std::uint8_t>(0xFF - m_nDataSum)};
        m_link.Send(end, sizeof end);
    }
    m_nState = 1;
}

void CImageTransfer::PollStep() {
    const LinkTiming& timing = m_link.Timing();
    if (m_nEmptyPolls > timing.transferMaxEmptyPolls) {
        m_nEmptyPolls = 0;
        End(TransferEnding::NoAnswer, "Time out!", kCaptionError);
        return;
    }
    std::uint8_t reply[200];
    // Waiting for readability instead of sleeping a whole period: the reply is taken the
    // moment it arrives, and an empty poll still lasts one period.
    if (m_link.Receive(reply, sizeof reply, timing.transferPollMs) == 0) {
        ++m_nEmptyPolls;
        return;
    }
    m_nEmptyPolls = 0;
    switch (reply[0]) {
        case CBootLink::XON:
            // XON to the end message asks for it again, but not for ever: a device that
            // keeps asking is not going to acknowledge.
            if (m_nSent > m_nImageLength && ++m_nEndRepeats > kMaxEndRepeats) {
                End(TransferEnding::EndRefused, kReceiveErrorText, kCaptionError);
                break;
            }
            m_pNextBlock += kBlockSize;
            m_nState = 0;
            break;
        case CBootLink::ACK:
            // Only the end message's ACK means the device has the whole image; one to a data
            // block would report a half-written controller as programmed.
            if (m_nSent <= m_nImageLength) {
                End(TransferEnding::EarlyAck, kReceiveErrorText, kCaptionError);
                break;
            }
            End(TransferEnding::Acked);
            break;
        default:
            m_report.wrongReply = reply[0];
            End(TransferEnding::WrongByte, kReceiveErrorText, kCaptionError);
            break;
    }
}
