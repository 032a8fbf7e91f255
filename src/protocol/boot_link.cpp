// The bootloader's command phase. Waiting for a reply is counted in polls of
// LinkTiming::pollMs; only the rest of a reply in pieces is timed, on the line's clock.
#include "protocol/boot_link.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <utility>

#include "common/hex.h"

namespace {

// Codes 4 and 6 share one text.
constexpr const char* kNoDataText =
    "Time out, can't receive data from inverter,\nplease check the connection!";

constexpr const char* kMessages[] = {
    "Common Error!",
    "Common Success!",
    "Can't open serial port,\nplease check your device!",
    "Can't open serial port again,\nplease check your device!",
    kNoDataText,
    "Serial port exception, \nplease check your device and connection!",
    kNoDataText,
    "The Bootload version of MOT is older than current chip!",
    "Not get Ack Signal!",
    "Not get Xon Signal!",
    "Not get All Flash Signal",
};

constexpr std::uint8_t kAllFlash[9] = {'A', 'L', 'L', ' ', 'F', 'L', 'A', 'S', 'H'};

// Eight flash block start addresses, big-endian, after their count.
constexpr std::array<std::uint8_t, 33> kBlockTable = {
    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
    0x00, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00,
};

constexpr std::uint32_t kReadChunk = 200;

// What has arrived could still grow into "ALL FLASH".
bool IsProperPrefixOfAllFlash(const std::uint8_t* bytes, std::uint32_t count) {
    return count < sizeof kAllFlash && std::memcmp(bytes, kAllFlash, count) == 0;
}

bool IsAllFlash(const std::uint8_t (&reply)[9]) {
    return std::memcmp(reply, kAllFlash, sizeof kAllFlash) == 0;
}

std::string DescribeAllFlashReply(const std::uint8_t (&reply)[9]) {
    return IsAllFlash(reply) ? std::string(std::begin(kAllFlash), std::end(kAllFlash))
                             : HexText(reply[0]);
}

}  // namespace

const char* ResultMessage(ResultCode code) {
    // Only 0 to 10 exist; anything else is reported as the general error rather than read
    // from outside the table.
    if (code < 0 || code >= static_cast<int>(std::size(kMessages))) {
        return kMessages[ResultCommonError];
    }
    return kMessages[code];
}

CBootLink::CBootLink(ILine& line, std::string portName, const LinkTiming& timing, StopToken stop)
    : m_line(line), m_timing(timing), m_stop(stop) {
    m_state.port = std::move(portName);
}

void CBootLink::Pause(unsigned ms) {
    constexpr auto kSlice = std::chrono::milliseconds(50);
    IClock& clock = m_line.Clock();
    const auto end = clock.Now() + std::chrono::milliseconds(ms);
    for (;;) {
        m_stop.ThrowIfRequested();
        const auto now = clock.Now();
        if (now >= end) {
            break;
        }
        clock.SleepUntil(std::min(end, now + kSlice));
    }
}

void CBootLink::Send(const void* bytes, std::uint32_t count) {
    m_line.Write(bytes, count,
                 m_line.Clock().Now() + std::chrono::milliseconds(m_timing.TransferNoAnswerMs()));
}

std::uint32_t CBootLink::Receive(void* buffer, std::uint32_t capacity, unsigned waitMs) {
    const auto deadline = m_line.Clock().Now() + std::chrono::milliseconds(waitMs);
    return m_line.WaitReadable(deadline) ? static_cast<std::uint32_t>(m_line.Read(buffer, capacity))
                                         : 0;
}

void CBootLink::Begin(const char* mark, const LinkStep& step) {
    if (mark != nullptr) {
        m_line.Mark(mark);
    }
    if (m_onStep) {
        m_onStep(step);
    }
}

ResultCode CBootLink::Exchange(const void* send, std::uint32_t sendCount, void* reply, int replyMax,
                               int timeoutMs) {
    // A stop asked for before the message goes out sends nothing more.
    m_stop.ThrowIfRequested();
    m_state.lastReply = -1;
    m_state.lastError = 0;
    m_state.lastOperation.clear();
    if (!m_line.IsOpen()) {
        try {
            m_line.Reopen();
            m_state.openError = 0;
        } catch (const CSerialException& e) {
            m_state.openError = e.m_dwError;
            m_state.lastError = e.m_dwError;
            m_state.lastOperation = e.m_operation;
            return ResultPortOpenFailed;
        }
    }
    try {
        // Output first, then input: a late reply to an earlier message is never taken for the
        // reply to this one.
        const auto deadline = m_line.Clock().Now() + std::chrono::milliseconds(timeoutMs);
        m_line.Purge(ILine::PURGE_TXCLEAR, deadline);
        m_line.Purge(ILine::PURGE_RXCLEAR, deadline);
        m_line.Write(send, sendCount, deadline);

        // A reply is what the first non-empty poll holds, but a longer one may arrive in
        // pieces (USB adapters and network links deliver "ALL FLASH" so, at any moment of a
        // poll): while it could still grow into "ALL FLASH", the rest is read as it comes.
        const int step = std::max(1, static_cast<int>(m_timing.pollMs));
        std::uint8_t buffer[kReadChunk] = {};
        std::uint32_t got = 0;
        for (int countdown = timeoutMs; countdown > 0 && got == 0; countdown -= step) {
            Pause(m_timing.pollMs);
            got = static_cast<std::uint32_t>(m_line.Read(buffer, kReadChunk));
        }
        if (got > 0 && replyMax > 1) {
            got = ReadRestOfAllFlash(buffer, got, kReadChunk, deadline);
        }
        if (got == 0) {
            return ResultTimeout;
        }
        m_state.lastReply = buffer[0];
        const std::uint32_t keep =
            std::min<std::uint32_t>(got, static_cast<std::uint32_t>(std::max(replyMax, 0)));
        if (keep > 0 && reply != nullptr) {
            std::memcpy(reply, buffer, keep);
        }
        return ResultSuccess;
    } catch (const CSerialException& e) {
        // The system's code stays for the front ends; a stop request passes on.
        m_state.lastError = e.m_dwError;
        m_state.lastOperation = e.m_operation;
        return ResultPortException;
    }
}

std::uint32_t CBootLink::ReadRestOfAllFlash(std::uint8_t* buffer, std::uint32_t got,
                                            std::uint32_t capacity, ILine::TimePoint deadline) {
    // The quiet is timed from the last byte, not from a poll: a piece is taken the moment it
    // arrives, wherever the polls stand.
    IClock& clock = m_line.Clock();
    const auto quiet = std::chrono::milliseconds(m_timing.allFlashQuietMs);
    auto lastByte = clock.Now();
    while (got < capacity && IsProperPrefixOfAllFlash(buffer, got)) {
        m_stop.ThrowIfRequested();
        const auto until = std::min(deadline, lastByte + quiet);
        if (clock.Now() >= until || !m_line.WaitReadable(until)) {
            break;
        }
        const auto n = static_cast<std::uint32_t>(m_line.Read(buffer + got, capacity - got));
        if (n > 0) {
            got += n;
            lastByte = clock.Now();
        }
    }
    return got;
}

ResultCode CBootLink::SelectTarget(int targetType) {
    m_line.Mark("select");
    const char* message = targetType == 0 ? " fMast" : " fSlav";
    const std::uint8_t expected = targetType == 0 ? 'M' : 'S';
    std::uint8_t reply = 0;
    for (int attempt = 0; attempt < m_timing.selectAttempts; ++attempt) {
        Begin(nullptr, {"the target announcement", "Announcing the target", attempt + 1,
                        m_timing.selectAttempts});
        if (Exchange(message, 6, &reply, 1, m_timing.selectTimeoutMs) == ResultSuccess &&
            reply == expected) {
            return ResultSuccess;
        }
    }
    return ResultTargetTimeout;
}

ResultCode CBootLink::RequestAllFlash(std::uint8_t imageVersion) {
    Begin("all-flash", {"the all-flash request", "Waiting for the inverter's all-flash answer"});
    std::uint8_t reply[9] = {};
    const std::uint8_t request = 'A';
    m_state.chipReply.clear();
    const ResultCode rc = Exchange(&request, 1, reply, sizeof reply, m_timing.replyTimeoutMs);
    if (rc != ResultSuccess) {
        return rc;
    }
    m_state.chipReply = DescribeAllFlashReply(reply);
    if (IsAllFlash(reply)) {
        return ResultSuccess;
    }
    const std::uint8_t chipVersion = reply[0];
    if (imageVersion == 0xFF || imageVersion <= chipVersion) {
        return SendWriteCommand();
    }
    // The image is newer: ask again. The buffer keeps the first reply's bytes on purpose; only
    // what the second reply overwrites is compared afresh.
    Begin(nullptr, {"the all-flash request", "Waiting for the inverter's all-flash answer", 2, 2});
    const ResultCode again = Exchange(&request, 1, reply, sizeof reply, m_timing.replyTimeoutMs);
    m_state.chipReply += again == ResultSuccess ? ", then " + DescribeAllFlashReply(reply)
                                                : std::string(", then no answer");
    return IsAllFlash(reply) ? ResultSuccess : ResultNoAllFlash;
}

ResultCode CBootLink::SendWriteCommand() {
    Begin("write", {"the write command", "Sending the write command"});
    m_stop.ThrowIfRequested();
    const std::uint8_t command = 'W';
    try {
        m_line.Write(&command, 1,
                     m_line.Clock().Now() + std::chrono::milliseconds(m_timing.replyTimeoutMs));
        return ResultSuccess;
    } catch (const CSerialException& e) {
        m_state.lastError = e.m_dwError;
        m_state.lastOperation = e.m_operation;
        return ResultPortException;
    }
}

ResultCode CBootLink::SendBlockTable() {
    Begin("block-table", {"the block table", "Sending the block table"});
    Pause(m_timing.blockTablePauseMs);
    std::uint8_t reply = 0;
    const ResultCode rc =
        Exchange(kBlockTable.data(), kBlockTable.size(), &reply, 1, m_timing.replyTimeoutMs);
    if (rc == ResultSuccess && reply != ACK) {
        return ResultNoAck;
    }
    return rc;
}

ResultCode CBootLink::SendImageSize(std::uint32_t imageLength) {
    Begin("size", {"the image size", "Sending the image size"});
    const std::uint8_t message[8] = {
        0,
        0,
        0,
        0,
        static_cast<std::uint8_t>(imageLength >> 24),
        static_cast<std::uint8_t>(imageLength >> 16),
        static_cast<std::uint8_t>(imageLength >> 8),
        static_cast<std::uint8_t>(imageLength),
    };
    std::uint8_t reply = 0;
    const ResultCode rc = Exchange(message, sizeof message, &reply, 1, m_timing.replyTimeoutMs);
    if (rc == ResultSuccess && reply != XON) {
        return ResultNoXon;
    }
    return rc;
}
