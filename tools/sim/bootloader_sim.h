// A bootloader on a pseudo-terminal: it answers the flash protocol as the inverter does,
// checks every byte a client sends, can emulate the wire time of a 9600-baud line and can
// inject faults at any step. quillon-sim is a thin front end; tests run it in a thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class SimStep { Select, AllFlash, Write, Table, Size, Block, End };

const char* SimStepName(SimStep step);

struct SimFault {
    enum class Action {
        Silence,  // no reply
        Reply,    // these bytes instead of the reply
        Hangup,   // close the terminal instead of replying
        Split,    // the right reply in parts with a pause between them
        Delay,    // the right reply, later
    };
    SimStep step = SimStep::Select;
    int occurrence = 0;  // 1-based within a run; 0 = every occurrence
    Action action = Action::Silence;
    std::vector<std::uint8_t> bytes;  // Reply
    // Split, and a Reply with "+split": the pause between the parts, and the bytes in each
    // part but the last (none given: two halves, the first rounded up). Delay: extra wait.
    unsigned ms = 0;
    bool split = false;
    std::vector<unsigned> splitAt;
};

// Parses "STEP[:N]=ACTION" (grammar in kSimFaultHelp). False, with the reason in error, on
// anything it does not understand.
bool ParseSimFault(const std::string& text, SimFault& fault, std::string& error);
extern const char* const kSimFaultHelp;

struct SimOptions {
    bool slave = false;                       // the target this bootloader is
    std::optional<std::uint8_t> chipVersion;  // answer the first 'A' with this version byte
    unsigned baud = 0;                        // wire time per byte: 10 / baud s; 0 = instant
    std::vector<SimFault> faults;             // the first one that matches a step applies
    std::string saveImage;                    // written (replaced) when a run completes
    bool once = false;                        // end after one run
    std::string linkPath;                     // symlink kept pointing at the terminal; removed
    unsigned idleGapMs = 250;                 // a partial message is judged after this much silence
    // Keep every run's messages, image and received bytes for Runs() and Received(). Off,
    // only each run's outcome stays, so a simulator serving for days does not grow.
    bool keepRuns = true;
};

struct SimMessage {
    SimStep step;
    int occurrence;                   // 1-based within the run
    std::vector<std::uint8_t> bytes;  // as received
    std::vector<std::uint8_t> reply;  // as sent (empty for silence and hang-up)
    std::string fault;                // the injected fault, if any
};

struct SimRun {
    bool complete = false;             // the end message was acknowledged
    bool endedByFault = false;         // a fault the client cannot survive was injected
    std::vector<std::string> errors;   // what the client sent wrong, in plain words
    std::vector<SimMessage> messages;  // everything received, in order
    std::vector<std::uint8_t> image;   // the image bytes received in data blocks
    std::optional<std::uint32_t> announcedSize;
    // The terminal's line when the run began, as whoever holds its other end set it (a serial
    // server such as ser2net applies its client's settings there): "9600 8N1", with
    // " xon/xoff" and " rts/cts" added when those are on.
    std::string line;
    bool Correct() const { return complete && errors.empty(); }
};

class CBootloaderSim {
public:
    enum class ReportKind { Info, Error };
    using ReportFn = std::function<void(ReportKind, const std::string&)>;

    explicit CBootloaderSim(SimOptions options);
    ~CBootloaderSim();
    CBootloaderSim(const CBootloaderSim&) = delete;
    CBootloaderSim& operator=(const CBootloaderSim&) = delete;

    // Creates the terminal (and the link). Throws std::system_error.
    void Open();
    // The terminal's device path; a hang-up replaces the terminal (and re-points the link).
    std::string SlavePath() const;

    // Serves runs until Stop(), or with `once` until one run has ended; then closes the
    // terminal and removes the link. Returns 0 when (with `once`, the) run was correct and
    // complete (without `once`: no client error in any run), 1 otherwise.
    int Serve();
    // Safe from another thread and from a signal handler.
    void Stop();

    std::vector<SimRun> Runs() const;
    std::vector<std::uint8_t> Received() const;  // every byte received, in order

    // Each line the simulator has to say; called on the serving thread.
    ReportFn onReport;
    // Called (on the serving thread) when a hang-up replaced the terminal.
    std::function<void(const std::string& slavePath)> onNewTerminal;

private:
    using Clock = std::chrono::steady_clock;
    enum class State {
        Idle,
        AwaitAllFlash,
        AwaitWriteOrA,
        AwaitWrite,
        AwaitTable,
        AwaitSize,
        Data
    };
    struct Outcome {
        std::vector<std::uint8_t> sent;  // what went out instead of (or as) the reply
        bool hangup = false;
        const SimFault* fault = nullptr;
    };
    struct TxItem {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
        bool hangup = false;
    };

    void OpenTerminal();
    void LockLink();
    void CloseTerminal();
    void Shutdown();  // closes the terminal and removes our link
    void LetTheClientReadTheLastReply();
    void Report(ReportKind kind, const std::string& text);
    void ClientError(const std::string& text);
    void ReadInput(Clock::time_point now);
    void Parse(Clock::time_point now);
    std::size_t Needed() const;
    void Handle(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt);
    void HandleSelect(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt);
    void HandleData(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt);
    void HandleEnd(const std::vector<std::uint8_t>& msg, Clock::time_point doneAt);
    void Unexpected(const std::vector<std::uint8_t>& bytes, const char* what);
    // Sends reply (or the fault that replaces it) once doneAt has passed; records msg.
    Outcome Answer(SimStep step, int occurrence, const std::vector<std::uint8_t>& msg,
                   std::vector<std::uint8_t> reply, Clock::time_point doneAt);
    // Ends the run (with `once`) after a fault a protocol-abiding client does not survive.
    void AfterFault(const Outcome& out, const std::vector<std::uint8_t>& normal, bool survivable);
    void SaveImage(const std::vector<std::uint8_t>& image);
    const SimFault* FindFault(SimStep step, int occurrence) const;
    void FlushDue(Clock::time_point now);
    void StartRun();
    void EndRun(const char* how);
    bool CheckVersionBranch();
    const char* Awaiting() const;

    SimOptions m_opt;
    Clock::duration m_byteTime{};
    int m_master = -1;
    int m_slaveKeep = -1;  // our own slave descriptor: the client may close and reopen
    int m_linkLock = -1;   // locked "<link>.lock": the link is ours while we run
    int m_wake[2] = {-1, -1};
    std::string m_slavePath;

    State m_state = State::Idle;
    bool m_runActive = false;
    bool m_runEnded = false;  // with `once`: time to stop
    bool m_discard = false;   // framing lost: drop input until the line is quiet
    std::vector<std::uint8_t> m_in;
    std::vector<Clock::time_point> m_inDone;  // when each byte in m_in has fully arrived
    Clock::time_point m_lastRx{};
    Clock::time_point m_rxFree{};
    Clock::time_point m_txFree{};
    std::vector<TxItem> m_tx;
    bool m_txBlocked = false;      // the terminal's buffer was full at the last write
    int m_count[7] = {};           // occurrences per step in the current run
    bool m_versionSent = false;    // the first 'A' was answered with a version byte
    bool m_plainAllFlash = false;  // ... or with "ALL FLASH" in one piece
    std::optional<char> m_branch;  // 'W' or 'A' after a version byte
    std::uint32_t m_blocksExpected = 0;
    std::uint8_t m_sum = 0;

    mutable std::mutex m_mutex;  // guards what the observers read
    std::vector<SimRun> m_runs;
    std::vector<std::uint8_t> m_received;
};
