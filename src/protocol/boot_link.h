// The PC side of the bootloader's command phase: the port, the request/response primitive,
// the handshake steps and the result codes.
#pragma once

#include <cstdint>
#include <string>

#include "serial/serial_port.h"

// Result codes of the handshake steps; 1 is success. They index ResultMessage.
enum ResultCode : int {
    ResultCommonError = 0,
    ResultSuccess = 1,
    ResultPortOpenFailed = 2,
    ResultPortReopenFailed = 3,
    ResultTimeout = 4,
    ResultPortException = 5,
    ResultTargetTimeout = 6,
    ResultBootVersionOlder = 7,
    ResultNoAck = 8,
    ResultNoXon = 9,
    ResultNoAllFlash = 10,
};

// The message text of a result code (0 to 10).
const char* ResultMessage(int code);

// Every pause and budget of the link and the transfer, in one place. Tests may shorten the
// figures only where they check counts.
struct LinkTiming {
    unsigned pollMs = 50;        // Exchange: pause before each immediate read
    int selectTimeoutMs = 1000;  // per SelectTarget attempt
    int selectAttempts = 5;
    int replyTimeoutMs = 5000;         // all-flash, block table, size
    unsigned blockTablePauseMs = 500;  // before the block table
    unsigned transferStartMs = 50;     // first data block after the progress window opens
    unsigned transferPollMs = 16;      // data phase: longest wait for a reply per poll
    int transferMaxEmptyPolls = 100;   // the 101st empty poll ends the transfer
};

class CBootLink {
public:
    static constexpr std::uint8_t ACK = 0x06;
    static constexpr std::uint8_t XON = 0x11;

    explicit CBootLink(const LinkTiming& timing = LinkTiming{}) : m_timing(timing) {}

    bool OpenPort(const std::string& name);  // never throws
    void ClosePort();

    int Exchange(const void* send, std::uint32_t sendCount, void* reply, int replyMax,
                 int timeoutMs);

    int SelectTarget(int targetType);  // 0 = Master, 1 = Slave
    int RequestAllFlash(std::uint8_t imageVersion);
    int SendWriteCommand();
    int SendBlockTable();
    int SendImageSize(std::uint32_t imageLength);

    const LinkTiming& Timing() const { return m_timing; }

    CSerialPort m_port;
    std::string m_portName;
    // The system's error code of the last OpenPort that failed (0 after success), so a front
    // end can say why without opening the device again.
    std::uint32_t m_dwOpenError = 0;
    // What the last exchange heard, for the front ends' account of a failed step: the first
    // reply byte (-1 when nothing came) and the system's error code when the port failed.
    int m_nLastReply = -1;
    std::uint32_t m_dwLastError = 0;
    // The chip's answer to the all-flash request: "ALL FLASH" or the version byte it sent
    // ("0x05"), then what a repeated request got; empty until one was answered.
    std::string m_strChipReply;

private:
    LinkTiming m_timing;
};
