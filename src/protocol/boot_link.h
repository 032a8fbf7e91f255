// The PC side of the bootloader's command phase: the port, the request/response primitive,
// the handshake steps and the result codes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/stop_request.h"
#include "serial/line.h"

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

// The message text of a result code.
const char* ResultMessage(ResultCode code);

// Every pause and budget of the link and the transfer, in one place. Tests may shorten the
// figures only where they check counts.
struct LinkTiming {
    unsigned pollMs = 50;        // Exchange: pause before each immediate read
    int selectTimeoutMs = 1000;  // per SelectTarget attempt
    int selectAttempts = 5;
    int replyTimeoutMs = 5000;         // all-flash, block table, size; the write command's write
    unsigned allFlashQuietMs = 300;    // a part of "ALL FLASH" waits this long for the rest
    unsigned blockTablePauseMs = 500;  // before the block table
    unsigned transferStartMs = 50;     // first data block after the progress window opens
    unsigned transferPollMs = 16;      // data phase: longest wait for a reply per poll
    int transferMaxEmptyPolls = 100;   // the 101st empty poll ends the transfer

    // How long the data phase goes without an answer before it gives up; also the most a
    // block's write may take.
    unsigned TransferNoAnswerMs() const {
        return static_cast<unsigned>(transferMaxEmptyPolls + 1) * transferPollMs;
    }
};

// What the link knows about its port and its last step, for the account a front end gives of
// a failure without opening the device again.
struct LinkState {
    std::string port;             // the name the line was opened as
    std::uint32_t openError = 0;  // the system's code when reopening the line failed
    int lastReply = -1;           // the last exchange's first reply byte; -1 when none came
    std::uint32_t lastError = 0;  // the system's code when the last exchange's port failed
    // The chip's answer to the all-flash request: "ALL FLASH" or the version byte it sent
    // ("0x05"), then what a repeated request got; empty until one was answered.
    std::string chipReply;
    std::string lastOperation;  // the call that failed with lastError ("write", "purge", ...)
};

// A handshake step as it begins, for a front end's status line and a stopped run's account.
struct LinkStep {
    const char* name = "";   // as a failure's detail names it: "the target announcement"
    const char* doing = "";  // as a status line says it: "Announcing the target"
    int attempt = 0;         // of a step that is tried again: 1, 2, ...; 0 for one made once
    int attempts = 0;        // how many tries it gets
};
using LinkStepObserver = std::function<void(const LinkStep& step)>;

class CBootLink {
public:
    static constexpr std::uint8_t ACK = 0x06;
    static constexpr std::uint8_t XON = 0x11;

    // line: opened by the owner, who also closes it; portName: what it was opened as, for the
    // front ends' account of a failure. Pauses and polls run on the line's clock.
    CBootLink(ILine& line, std::string portName, const LinkTiming& timing = LinkTiming{},
              StopToken stop = StopToken{});

    ResultCode Exchange(const void* send, std::uint32_t sendCount, void* reply, int replyMax,
                        int timeoutMs);

    ResultCode SelectTarget(int targetType);  // 0 = Master, 1 = Slave
    ResultCode RequestAllFlash(std::uint8_t imageVersion);
    ResultCode SendWriteCommand();
    ResultCode SendBlockTable();
    ResultCode SendImageSize(std::uint32_t imageLength);

    // The data phase's own use of the port: no purge, no reply rule. Both raise
    // CSerialException when the port fails; a write that the line has not taken within the
    // data phase's no-answer budget fails too.
    void Send(const void* bytes, std::uint32_t count);
    // Waits at most waitMs for bytes, then takes what has arrived (possibly nothing).
    std::uint32_t Receive(void* buffer, std::uint32_t capacity, unsigned waitMs);
    // Sleeps ms on the line's clock, in slices, so that a stop request ends even a long pause
    // promptly (CStopRequested).
    void Pause(unsigned ms);

    // Told of every handshake step as it begins, on the run's own thread.
    void SetStepObserver(LinkStepObserver observer) { m_onStep = std::move(observer); }

    ILine& Line() { return m_line; }
    const LinkState& State() const { return m_state; }
    const LinkTiming& Timing() const { return m_timing; }
    const StopToken& Stop() const { return m_stop; }

private:
    // The rest of a reply that may still grow into "ALL FLASH"; got bytes are in buffer.
    std::uint32_t ReadRestOfAllFlash(std::uint8_t* buffer, std::uint32_t got,
                                     std::uint32_t capacity, ILine::TimePoint deadline);
    void Begin(const char* mark, const LinkStep& step);

    ILine& m_line;
    LinkState m_state;
    LinkTiming m_timing;
    StopToken m_stop;
    LinkStepObserver m_onStep;
};
