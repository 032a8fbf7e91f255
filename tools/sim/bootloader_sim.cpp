// The simulated bootloader's serving side. One thread serves the line: it reads what the
// client sends, frames it by what the protocol expects next (sim_states.cpp checks it), and
// hands each reply to the wire, which lets it out when it is due.
#include "bootloader_sim.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

namespace {

constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kBlockTableFirst = 0x08;
constexpr std::size_t kBlockSize = 64;
// Waking from a sleep costs from tens to hundreds of microseconds on a busy machine, which
// would add up over thousands of blocks. A reply byte therefore wakes the loop this much
// early, and the last stretch is spent awake.
constexpr auto kSpinMargin = std::chrono::microseconds(1000);

int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

}  // namespace

CBootloaderSim::CBootloaderSim(SimOptions options, std::unique_ptr<CSimChannel> channel)
    : m_opt(std::move(options)), m_channel(std::move(channel)), m_wire(m_opt.baud) {
#ifndef _WIN32
    if (!m_channel) {
        m_channel = MakePtyChannel(m_opt.linkPath);
    }
#endif
    if (!m_channel) {
        throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                "no line to serve");
    }
    m_channel->onNotice = [this](const std::string& text) { Report(ReportKind::Info, text); };
}

CBootloaderSim::~CBootloaderSim() {
    m_channel->Close();
}

void CBootloaderSim::Open() {
    m_channel->Open();
}

std::string CBootloaderSim::Port() const {
    return m_channel->Name();
}

void CBootloaderSim::Stop() {
    m_channel->Wake();
}

std::vector<SimRun> CBootloaderSim::Runs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runs;
}

std::vector<std::uint8_t> CBootloaderSim::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int CBootloaderSim::Serve() {
#ifdef PR_SET_TIMERSLACK
    // Reply bytes leave on their deadline, not up to 50 us after it (the default slack).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    bool stopped = false;
    while (!Finished()) {
        std::optional<Clock::time_point> due = NextDue();
        // A full line is retried by waiting, never by spinning.
        if (due && !m_txBlocked && *due - Clock::now() < kSpinMargin) {
            while (Clock::now() < *due) {
                std::this_thread::yield();
            }
            Advance(Clock::now());
            continue;
        }
        if (due && !m_txBlocked) {
            *due -= kSpinMargin;
        }
        if (m_channel->Wait(due) == CSimChannel::Event::Woken) {
            stopped = true;
            break;
        }
        Advance(Clock::now());
        if (m_opt.units > 0 && m_channel->ClientLeft() && !NextUnit()) {
            stopped = true;
            break;
        }
    }
    if (m_runActive && m_opt.once) {
        EndRun("stopped before it ended");
    }
    if (!stopped) {
        m_channel->LetTheClientRead();
    }
    m_channel->Close();
    return Status();
}

void CBootloaderSim::Advance(Clock::time_point now) {
    ReadInput(now);
    Parse(now);
    FlushDue(now);
}

std::optional<CBootloaderSim::Clock::time_point> CBootloaderSim::NextDue() const {
    // The next thing due: a reply byte (a while later when the line was full), or the moment
    // a partial message is judged.
    std::optional<Clock::time_point> due = m_wire.NextAt();
    if (due && m_txBlocked) {
        due = std::max(*due, m_txRetry);
    }
    if (!m_in.empty() || m_discard) {
        const auto judge = m_lastRx + std::chrono::milliseconds(m_opt.idleGapMs);
        due = due ? std::min(*due, judge) : judge;
    }
    return due;
}

int CBootloaderSim::Status() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_opt.units > 0) {  // every unit flashed correctly
        return !m_runs.empty() && std::all_of(m_runs.begin(), m_runs.end(),
                                              [](const SimRun& r) { return r.Correct(); })
                   ? 0
                   : 1;
    }
    if (m_opt.once) {
        return !m_runs.empty() && m_runs.back().Correct() ? 0 : 1;
    }
    for (const SimRun& run : m_runs) {
        if (!run.errors.empty()) {
            return 1;
        }
    }
    return 0;
}

bool CBootloaderSim::NextUnit() {
    EndRun("ended: the unit was disconnected");
    Report(ReportKind::Info, "unit " + std::to_string(m_unit) + " disconnected");
    m_wire.Clear();
    m_in.clear();
    m_inDone.clear();
    m_discard = false;
    m_txBlocked = false;
    m_channel->Unplug();
    if (static_cast<unsigned>(m_unit) >= m_opt.units) {
        m_unitsDone = true;
        return true;
    }
    const auto back = Clock::now() + std::chrono::milliseconds(m_opt.unitGapMs);
    while (Clock::now() < back) {
        if (m_channel->Wait(back) == CSimChannel::Event::Woken) {
            return false;
        }
    }
    ++m_unit;
    m_channel->Open();
    Report(ReportKind::Info, "unit " + std::to_string(m_unit) + " connected");
    if (onNewLine) {
        onNewLine(m_channel->Name());
    }
    return true;
}

void CBootloaderSim::ReadInput(Clock::time_point now) {
    std::uint8_t buf[4096];
    for (;;) {
        const std::size_t n = m_channel->Read(buf, sizeof buf);
        if (n == 0) {
            return;
        }
        if (m_opt.units > 0) {
            m_channel->WatchClient();
        }
        for (std::size_t i = 0; i < n; ++i) {
            m_in.push_back(buf[i]);
            m_lastRx = m_wire.Arrived(now);
            m_inDone.push_back(m_lastRx);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.insert(m_received.end(), buf, buf + n);
    }
}

void CBootloaderSim::FlushDue(Clock::time_point now) {
    m_txBlocked = false;
    while (CSimWire::Item* item = m_wire.Due(now)) {
        if (item->hangup) {
            m_wire.Clear();
            m_channel->HangUp(!m_opt.once);
            Report(ReportKind::Info, "hung up");
            m_in.clear();
            m_inDone.clear();
            m_discard = false;
            if (!m_opt.once && onNewLine) {
                onNewLine(m_channel->Name());
            }
            return;
        }
        const std::size_t n = m_channel->Write(item->bytes.data(), item->bytes.size());
        if (n == 0) {
            m_txBlocked = true;  // the client is not reading: try again shortly
            m_txRetry = now + std::chrono::milliseconds(1);
            return;
        }
        if (n < item->bytes.size()) {
            item->bytes.erase(item->bytes.begin(), item->bytes.begin() + static_cast<long>(n));
            return;
        }
        m_wire.Pop();
    }
}

std::size_t CBootloaderSim::Needed() const {
    const std::uint8_t first = m_in.front();
    if (first == ' ') {
        return 6;  // a target select is welcome at any point: clients start over with it
    }
    switch (m_state) {
        case State::Idle:
            return 0;
        case State::AwaitAllFlash:
            return first == 'A' ? 1 : 0;
        case State::AwaitWriteOrA:
            return first == 'W' || first == 'A' ? 1 : first == kBlockTableFirst ? 33 : 0;
        case State::AwaitWrite:
            return first == 'W' ? 1 : 0;
        case State::AwaitTable:
            return first == 'W' || first == 'A' ? 1 : 33;
        case State::AwaitSize:
            return 8;
        case State::Data:
            if (first != kXon) {
                return 0;
            }
            return static_cast<std::uint32_t>(m_count[static_cast<int>(SimStep::Block)]) <
                           m_blocksExpected
                       ? 1 + kBlockSize
                       : 2;
    }
    return 0;
}

void CBootloaderSim::Parse(Clock::time_point now) {
    const auto gap = std::chrono::milliseconds(m_opt.idleGapMs);
    if (m_discard) {
        m_in.clear();
        m_inDone.clear();
        m_discard = now < m_lastRx + gap;
        return;
    }
    while (!m_in.empty() && !m_runEnded) {
        const std::size_t need = Needed();
        if (need == 0) {
            if (m_state == State::Data) {
                ClientError("data block " +
                            std::to_string(m_count[static_cast<int>(SimStep::Block)] + 1) +
                            " starts with 0x" + SimHex({m_in.front()}) + ", not the marker 0x11");
            }
            Unexpected(m_in);
            return;
        }
        if (m_in.size() < need) {
            if (now < m_lastRx + gap) {
                return;  // the rest may still come
            }
            const Bytes msg(m_in.begin(), m_in.end());
            const auto doneAt = m_inDone.back();
            m_in.clear();
            m_inDone.clear();
            if (m_state == State::Data && msg.size() == 2 && msg[0] == kXon) {
                OnEnd(msg, doneAt);  // fewer blocks than announced: this can only be the end
                return;
            }
            ClientError("incomplete message: " + std::to_string(msg.size()) + " of " +
                        std::to_string(need) + " bytes (" + SimHex(msg) + ") while waiting for " +
                        Awaiting());
            EndRun("failed");
            return;
        }
        const Bytes msg(m_in.begin(), m_in.begin() + static_cast<long>(need));
        const auto doneAt = m_inDone[need - 1];
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<long>(need));
        m_inDone.erase(m_inDone.begin(), m_inDone.begin() + static_cast<long>(need));
        Handle(msg, doneAt);
    }
}

void CBootloaderSim::Unexpected(const Bytes& bytes) {
    ClientError("unexpected " + SimHex(bytes) + " while waiting for " + Awaiting() +
                "; ignoring input until the line is quiet");
    m_discard = true;
    m_in.clear();
    m_inDone.clear();
    EndRun("failed");
}

const char* CBootloaderSim::Awaiting() const {
    switch (m_state) {
        case State::Idle:
            return "a target select (\" fMast\" or \" fSlav\")";
        case State::AwaitAllFlash:
            return "the all-flash request 'A'";
        case State::AwaitWriteOrA:
            return "'W' or a second 'A' after the version byte";
        case State::AwaitWrite:
            return "the write command 'W'";
        case State::AwaitTable:
            return "the block table";
        case State::AwaitSize:
            return "the size message";
        case State::Data:
            return "a data block or the end message";
    }
    return "?";
}

CBootloaderSim::Outcome CBootloaderSim::Answer(SimStep step, const Bytes& msg, Bytes reply,
                                               Clock::time_point doneAt) {
    const int occurrence = ++m_count[static_cast<int>(step)];
    Outcome out;
    for (const SimFault& f : m_opt.faults) {
        if (f.step == step && (f.occurrence == 0 || f.occurrence == occurrence) &&
            (f.unit == 0 || f.unit == m_unit)) {
            out.fault = &f;
            break;
        }
    }
    Clock::time_point start = doneAt;
    std::vector<std::size_t> cuts;  // where each later part of the reply begins
    unsigned pauseMs = 0;
    if (out.fault != nullptr) {
        const SimFault& f = *out.fault;
        Report(ReportKind::Info, "injecting " + SimFaultText(f) + " at " + SimStepName(step) + " " +
                                     std::to_string(occurrence));
        if (f.action == SimFault::Action::Silence || f.action == SimFault::Action::Hangup) {
            reply.clear();
        } else if (f.action == SimFault::Action::Reply) {
            reply = f.bytes;
        }
        out.hangup = f.action == SimFault::Action::Hangup;
        if (f.action == SimFault::Action::Delay) {
            start += std::chrono::milliseconds(f.ms);
        } else if (f.split || f.action == SimFault::Action::Split) {
            pauseMs = f.ms;
            std::size_t at = 0;
            for (const unsigned k : f.splitAt) {
                cuts.push_back(at += k);
            }
            if (f.splitAt.empty()) {
                cuts.push_back((reply.size() + 1) / 2);
            }
        }
    }
    out.sent = reply;
    Record(SimMessage{step, occurrence, msg, reply, out.fault ? SimFaultText(*out.fault) : ""});
    // A reply leaves only once the message asking for it has wholly arrived.
    if (out.hangup) {
        m_wire.HangUp(start);
    } else {
        m_wire.Send(start, reply, cuts, std::chrono::milliseconds(pauseMs));
    }
    return out;
}

void CBootloaderSim::AfterFault(const Outcome& out, const Bytes& normal, bool survivable) {
    if (out.hangup) {
        EndedByFault();
        EndRun("ended by a hang-up");
        return;
    }
    if (out.fault == nullptr || out.sent == normal || survivable) {
        return;
    }
    EndedByFault();
    // A client that follows the protocol gives up here. Without --once we carry on as if the
    // right reply had gone out: a client that goes on anyway is served, and one that starts
    // over begins a new run with its target select.
    if (m_opt.once) {
        EndRun("ended by the injected fault");
    }
}

void CBootloaderSim::Report(ReportKind kind, const std::string& text) {
    if (onReport) {
        onReport(kind, text);
    }
}

void CBootloaderSim::ClientError(const std::string& text) {
    if (!m_runActive) {
        StartRun();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.back().errors.push_back(text);
    }
    Report(ReportKind::Error, "client error: " + text);
}

void CBootloaderSim::StartRun() {
    const std::string line = m_channel->Line();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.emplace_back();
        m_runs.back().line = line;
    }
    m_runActive = true;
    m_state = State::Idle;
    std::fill(std::begin(m_count), std::end(m_count), 0);
    m_versionSent = false;
    m_plainAllFlash = false;
    m_branch.reset();
    m_blocksExpected = 0;
    m_sum = 0;
}

void CBootloaderSim::EndRun(const std::string& how) {
    if (!m_runActive) {
        return;
    }
    std::size_t n;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        n = m_runs.size();
        if (!m_opt.keepRuns) {
            SimRun& run = m_runs.back();
            Bytes().swap(run.image);
            std::vector<SimMessage>().swap(run.messages);
            Bytes().swap(m_received);
        }
    }
    Report(ReportKind::Info, "run " + std::to_string(n) + " " + how);
    m_runActive = false;
    m_state = State::Idle;
    m_runEnded = m_opt.once;
}

void CBootloaderSim::EndedByFault() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_runs.back().endedByFault = true;
}

void CBootloaderSim::Record(SimMessage message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_runs.empty()) {
        m_runs.emplace_back();
    }
    m_runs.back().messages.push_back(std::move(message));
}

void CBootloaderSim::SaveImage(const Bytes& image) {
    if (m_opt.saveImage.empty()) {
        return;
    }
    // Written beside the target and renamed over it: the file is whole or not there.
    const std::string tmp = m_opt.saveImage + ".part." + std::to_string(ProcessId());
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    out.close();
    std::error_code error;
    if (out) {
        std::filesystem::rename(tmp, m_opt.saveImage, error);
    }
    if (!out || error) {
        std::error_code ignored;
        std::filesystem::remove(tmp, ignored);
        Report(ReportKind::Error, "cannot write the image to " + m_opt.saveImage +
                                      (out ? ": " + error.message() : ""));
        return;
    }
    Report(ReportKind::Info, "image saved to " + m_opt.saveImage);
}
