// A bootloader on a line: it answers the flash protocol as the inverter does, checks every
// byte a client sends, can emulate the wire time of a 9600-baud line and can inject faults at
// any step. quillon-sim is a thin front end; tests run it in a thread, or step it on a
// simulated line (sim_line.h) in virtual time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim_channel.h"
#include "sim_fault.h"
#include "sim_wire.h"

struct SimOptions {
    bool slave = false;                       // the target this bootloader is
    std::optional<std::uint8_t> chipVersion;  // answer the first 'A' with this version byte
    unsigned baud = 0;                        // wire time per byte: 10 / baud s; 0 = instant
    std::vector<SimFault> faults;             // the first one that matches a step applies
    std::string saveImage;                    // written (replaced) when a run completes
    bool once = false;                        // end after one run
    std::string linkPath;      // pseudo-terminal: a symlink kept pointing at it; removed at the end
    unsigned idleGapMs = 250;  // a partial message is judged after this much silence
    // Keep every run's messages, image and received bytes for Runs() and Received(). Off,
    // only each run's outcome stays, so a simulator serving for days does not grow.
    bool keepRuns = true;
    // Serve this many units one after another (0: runs on one line until stopped): after each
    // unit's client closed the line, the line is unplugged (the link removed) for unitGapMs
    // and plugged in again, as the next unit. Then the simulator ends.
    unsigned units = 0;
    unsigned unitGapMs = 500;
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
    // The line when the run began, as whoever holds its other end set it (a serial server
    // such as ser2net applies its client's settings there): see CSimChannel::Line.
    std::string line;
    bool Correct() const { return complete && errors.empty(); }
};

class CBootloaderSim {
public:
    enum class ReportKind { Info, Error };
    using ReportFn = std::function<void(ReportKind, const std::string&)>;

    // Serves channel; without one, a pseudo-terminal linked as options.linkPath (Linux).
    explicit CBootloaderSim(SimOptions options, std::unique_ptr<CSimChannel> channel = nullptr);
    ~CBootloaderSim();
    CBootloaderSim(const CBootloaderSim&) = delete;
    CBootloaderSim& operator=(const CBootloaderSim&) = delete;

    // Makes the line ready (the terminal and its link). Throws std::system_error.
    void Open();
    // What a client opens (a hang-up replaces a terminal, and re-points its link).
    std::string Port() const;

    // Serves runs until Stop(), or with `once` until one run has ended; then closes the line.
    // Returns Status().
    int Serve();
    // Safe from another thread and from a signal handler.
    void Stop();

    // One turn of serving at now, which never goes back: takes what the channel has, judges
    // what is complete (or has been quiet too long) and hands out the reply bytes now due.
    // Serve() is these turns at the moments NextDue() names and whenever input arrives.
    using Clock = std::chrono::steady_clock;
    void Advance(Clock::time_point now);
    // When the next turn has something to do without new input (none: only input will).
    std::optional<Clock::time_point> NextDue() const;
    // With `once`: the run has ended and its last reply has gone out.
    bool Finished() const { return (m_opt.once && m_runEnded && m_wire.Idle()) || m_unitsDone; }
    // 0 when (with `once`, the) run was correct and complete (without `once`: no client
    // error in any run), 1 otherwise.
    int Status() const;

    std::vector<SimRun> Runs() const;
    std::vector<std::uint8_t> Received() const;  // every byte received, in order

    // Each line the simulator has to say; called on the serving thread.
    ReportFn onReport;
    // Called (on the serving thread) when a hang-up made the line ready again.
    std::function<void(const std::string& port)> onNewLine;

private:
    using Bytes = std::vector<std::uint8_t>;
    // What the bootloader waits for. A target select is welcome in every state.
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
        Bytes sent;  // what went out instead of (or as) the reply
        bool hangup = false;
        const SimFault* fault = nullptr;
    };

    // Serving (bootloader_sim.cpp): input, framing, output, the runs' records.
    void ReadInput(Clock::time_point now);
    void Parse(Clock::time_point now);
    std::size_t Needed() const;
    void FlushDue(Clock::time_point now);
    void Report(ReportKind kind, const std::string& text);
    void ClientError(const std::string& text);
    void Unexpected(const Bytes& bytes);
    void StartRun();
    void EndRun(const std::string& how);
    void EndedByFault();
    void Record(SimMessage message);
    void SaveImage(const Bytes& image);
    const char* Awaiting() const;
    // Sends reply (or the fault that replaces it) once doneAt has passed; records msg.
    Outcome Answer(SimStep step, const Bytes& msg, Bytes reply, Clock::time_point doneAt);
    // Ends the run (with `once`) after a fault a protocol-abiding client does not survive.
    void AfterFault(const Outcome& out, const Bytes& normal, bool survivable);

    // The protocol (sim_states.cpp): one handler per state.
    void Handle(const Bytes& msg, Clock::time_point doneAt);
    void OnSelect(const Bytes& msg, Clock::time_point doneAt);
    void OnAllFlash(const Bytes& msg, Clock::time_point doneAt);
    void OnWriteOrA(const Bytes& msg, Clock::time_point doneAt);
    void OnWrite(const Bytes& msg, Clock::time_point doneAt);
    void OnTable(const Bytes& msg, Clock::time_point doneAt);
    void OnSize(const Bytes& msg, Clock::time_point doneAt);
    void OnBlock(const Bytes& msg, Clock::time_point doneAt);
    void OnEnd(const Bytes& msg, Clock::time_point doneAt);
    bool CheckVersionBranch();
    // Serving units: the client left; unplugs the line and, unless it was the last unit (or
    // stopped meanwhile), plugs in the next one. False when stopped.
    bool NextUnit();

    SimOptions m_opt;
    std::unique_ptr<CSimChannel> m_channel;
    CSimWire m_wire;

    State m_state = State::Idle;
    bool m_runActive = false;
    bool m_runEnded = false;  // with `once`: time to stop
    bool m_discard = false;   // framing lost: drop input until the line is quiet
    Bytes m_in;
    std::vector<Clock::time_point> m_inDone;  // when each byte in m_in has wholly arrived
    Clock::time_point m_lastRx{};
    bool m_txBlocked = false;       // the line took nothing at the last write
    Clock::time_point m_txRetry{};  // ... so try again then
    int m_count[7] = {};            // occurrences per step in the current run
    bool m_versionSent = false;     // the first 'A' was answered with a version byte
    bool m_plainAllFlash = false;   // ... or with "ALL FLASH" in one piece
    std::optional<char> m_branch;   // 'W' or 'A' after a version byte
    std::uint32_t m_blocksExpected = 0;
    std::uint8_t m_sum = 0;
    int m_unit = 1;            // the unit being served
    bool m_unitsDone = false;  // every unit has been served

    mutable std::mutex m_mutex;  // guards what the observers read
    std::vector<SimRun> m_runs;
    Bytes m_received;
};
