// The flash protocol as the bootloader sees it: one handler per state. Each checks the
// message byte for byte, names in plain words what a client got wrong, and answers (or lets
// an injected fault answer) through Answer.
#include "bootloader_sim.h"

namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kXon = 0x11;
constexpr std::uint8_t kNak = 0x15;  // refusal of a message whose content is wrong
const std::vector<std::uint8_t> kAllFlash = {'A', 'L', 'L', ' ', 'F', 'L', 'A', 'S', 'H'};
const std::vector<std::uint8_t> kBlockTable = {
    0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00,
    0x00, 0x80, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x80, 0x00,
};
const std::vector<std::uint8_t> kMast = {' ', 'f', 'M', 'a', 's', 't'};
const std::vector<std::uint8_t> kSlav = {' ', 'f', 'S', 'l', 'a', 'v'};
constexpr std::size_t kBlockSize = 64;
constexpr std::uint32_t kVersionOffset = 0x4003;

std::string Hex1(std::uint8_t v) {
    return "0x" + SimHex({v});
}

}  // namespace

void CBootloaderSim::Handle(const Bytes& msg, Clock::time_point doneAt) {
    if (msg[0] == ' ') {
        OnSelect(msg, doneAt);
        return;
    }
    switch (m_state) {
        case State::Idle:
            return;  // Needed() lets only a target select through here
        case State::AwaitAllFlash:
            return OnAllFlash(msg, doneAt);
        case State::AwaitWriteOrA:
            return OnWriteOrA(msg, doneAt);
        case State::AwaitWrite:
            return OnWrite(msg, doneAt);
        case State::AwaitTable:
            return OnTable(msg, doneAt);
        case State::AwaitSize:
            return OnSize(msg, doneAt);
        case State::Data:
            return msg.size() == 2 ? OnEnd(msg, doneAt) : OnBlock(msg, doneAt);
    }
}

void CBootloaderSim::OnSelect(const Bytes& msg, Clock::time_point doneAt) {
    // A client retries its select while waiting for the target's answer or the next step of
    // the handshake; anywhere later it is starting over.
    const bool retry =
        m_state == State::Idle || m_state == State::AwaitAllFlash || m_state == State::AwaitWrite;
    if (m_runActive && !retry) {
        EndRun(std::string("abandoned: the client started over while the simulator waited for ") +
               Awaiting());
        if (m_runEnded) {
            return;
        }
    }
    if (!m_runActive) {
        StartRun();
    }
    if (msg != kMast && msg != kSlav) {
        ClientError("malformed target select " + SimHex(msg) +
                    ": expected \" fMast\" (20 66 4D 61 73 74) or \" fSlav\" (20 66 53 6C 61 76)");
        Record(
            SimMessage{SimStep::Select, ++m_count[static_cast<int>(SimStep::Select)], msg, {}, ""});
        m_state = State::Idle;
        return;
    }
    const bool asksSlave = msg == kSlav;
    const Bytes normal{static_cast<std::uint8_t>(m_opt.slave ? 'S' : 'M')};
    const Outcome out = Answer(SimStep::Select, msg, normal, doneAt);
    if (asksSlave != m_opt.slave) {
        m_state = State::Idle;
        ClientError(std::string("the client selected ") + (asksSlave ? "Slave" : "Master") +
                    ", but this bootloader is the " + (m_opt.slave ? "Slave" : "Master") +
                    " target (answered " + (m_opt.slave ? "'S'" : "'M'") + ")");
        return;
    }
    m_state = m_opt.slave ? State::AwaitWrite : State::AwaitAllFlash;
    AfterFault(out, normal, true);
}

void CBootloaderSim::OnAllFlash(const Bytes& msg, Clock::time_point doneAt) {
    const Bytes normal = m_opt.chipVersion ? Bytes{*m_opt.chipVersion} : kAllFlash;
    const Outcome out = Answer(SimStep::AllFlash, msg, normal, doneAt);
    m_plainAllFlash = out.fault == nullptr && !m_opt.chipVersion;
    m_versionSent = out.fault == nullptr && m_opt.chipVersion.has_value();
    m_state = m_plainAllFlash ? State::AwaitTable : State::AwaitWriteOrA;
    // Any first reply other than "ALL FLASH" reads as a version byte to the client.
    AfterFault(out, normal, true);
}

// After a version byte the client either writes ('W') or asks again ('A') for "ALL FLASH".
void CBootloaderSim::OnWriteOrA(const Bytes& msg, Clock::time_point doneAt) {
    if (msg[0] == 'W') {
        m_branch = 'W';
        OnWrite(msg, doneAt);
        return;
    }
    if (msg[0] == 'A') {
        m_branch = 'A';
        const Outcome out = Answer(SimStep::AllFlash, msg, kAllFlash, doneAt);
        m_state = State::AwaitTable;
        AfterFault(out, kAllFlash, false);
        return;
    }
    ClientError("block table sent without 'W' or a second 'A' after the version byte");
    m_state = State::AwaitTable;
    OnTable(msg, doneAt);
}

void CBootloaderSim::OnWrite(const Bytes& msg, Clock::time_point doneAt) {
    const Outcome out = Answer(SimStep::Write, msg, {}, doneAt);
    m_state = State::AwaitTable;
    AfterFault(out, {}, true);
}

void CBootloaderSim::OnTable(const Bytes& msg, Clock::time_point doneAt) {
    if (msg.size() == 1) {
        const std::uint8_t c = msg[0];
        ClientError("unexpected " +
                    (c >= 0x20 && c < 0x7F
                         ? "'" + std::string(1, static_cast<char>(c)) + "' (" + Hex1(c) + ")"
                         : Hex1(c)) +
                    " while waiting for " + Awaiting() +
                    (m_plainAllFlash ? " (\"ALL FLASH\" needs no 'W' or second 'A')" : ""));
        EndRun("failed");
        return;
    }
    std::string diff;
    for (std::size_t i = 0; i < msg.size(); ++i) {
        if (msg[i] != kBlockTable[i]) {
            diff += (diff.empty() ? "" : ", ") + std::string("byte ") + std::to_string(i) + " is " +
                    Hex1(msg[i]) + " instead of " + Hex1(kBlockTable[i]);
        }
    }
    if (!diff.empty()) {
        ClientError("wrong block table (" + diff + "); refused with NAK");
    }
    const Bytes normal{diff.empty() ? kAck : kNak};
    const Outcome out = Answer(SimStep::Table, msg, normal, doneAt);
    if (!diff.empty()) {
        EndRun("failed");
        return;
    }
    m_state = State::AwaitSize;
    AfterFault(out, normal, false);
}

void CBootloaderSim::OnSize(const Bytes& msg, Clock::time_point doneAt) {
    const std::uint32_t size = (std::uint32_t{msg[4]} << 24) | (std::uint32_t{msg[5]} << 16) |
                               (std::uint32_t{msg[6]} << 8) | msg[7];
    bool refused = true;
    if (msg[0] != 0 || msg[1] != 0 || msg[2] != 0 || msg[3] != 0) {
        ClientError("size message " + SimHex(msg) +
                    " does not start with four zero bytes; refused with NAK");
    } else if (size == 0) {
        ClientError("size message announces an empty image; refused with NAK");
    } else {
        refused = false;
        if (size % kBlockSize != 0) {
            ClientError("announced size " + std::to_string(size) +
                        " is not a whole number of 64-byte blocks");
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs.back().announcedSize = size;
    }
    const Bytes normal{refused ? kNak : kXon};
    const Outcome out = Answer(SimStep::Size, msg, normal, doneAt);
    if (refused) {
        EndRun("failed");
        return;
    }
    m_blocksExpected = static_cast<std::uint32_t>(size / kBlockSize);
    m_state = State::Data;
    AfterFault(out, normal, false);
}

void CBootloaderSim::OnBlock(const Bytes& msg, Clock::time_point doneAt) {
    for (std::size_t i = 1; i < msg.size(); ++i) {
        m_sum = static_cast<std::uint8_t>(m_sum + msg[i]);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto& image = m_runs.back().image;
        image.insert(image.end(), msg.begin() + 1, msg.end());
    }
    const Bytes normal{kXon};
    const Outcome out = Answer(SimStep::Block, msg, normal, doneAt);
    if (out.fault != nullptr && out.sent == Bytes{kAck}) {
        // ACK before the end message: the client gives up, its image incomplete.
        EndedByFault();
        EndRun("ended by the injected ACK to a data block");
        return;
    }
    AfterFault(out, normal, false);
}

void CBootloaderSim::OnEnd(const Bytes& msg, Clock::time_point doneAt) {
    const auto blocks = static_cast<std::uint32_t>(m_count[static_cast<int>(SimStep::Block)]);
    bool ok = true;
    if (blocks < m_blocksExpected) {
        ClientError("end message after " + std::to_string(blocks) + " of " +
                    std::to_string(m_blocksExpected) + " announced blocks: the image is short by " +
                    std::to_string((m_blocksExpected - blocks) * kBlockSize) + " bytes");
        ok = false;
    }
    const auto expected = static_cast<std::uint8_t>(0xFF - m_sum);
    if (msg[1] != expected) {
        ClientError("end message checksum " + Hex1(msg[1]) + ", expected " + Hex1(expected) +
                    " (0xFF minus the 8-bit sum of the " + std::to_string(blocks * kBlockSize) +
                    " image bytes received)");
        ok = false;
    }
    ok = ok && CheckVersionBranch();
    const Bytes normal{ok ? kAck : kNak};
    const Outcome out = Answer(SimStep::End, msg, normal, doneAt);
    if (out.hangup) {
        AfterFault(out, normal, false);
        return;
    }
    if (out.sent == Bytes{kXon}) {
        return;  // the client sends the end message again
    }
    if (ok && out.sent == Bytes{kAck}) {
        Bytes image;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_runs.back().complete = true;
            image = m_runs.back().image;
        }
        SaveImage(image);
        EndRun("complete: " + std::to_string(image.size()) + " bytes received");
        return;
    }
    if (out.fault != nullptr) {
        EndedByFault();
    }
    EndRun("failed");
}

// A Master chip that answered with its version byte must be sent 'W' when the image's own
// version (0xFF: none) is not newer, else a second 'A'.
bool CBootloaderSim::CheckVersionBranch() {
    if (!m_versionSent || m_opt.slave) {
        return true;
    }
    std::uint8_t imageVersion;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto& image = m_runs.back().image;
        if (image.size() <= kVersionOffset) {
            return true;  // no version in so short an image: nothing to hold the client to
        }
        imageVersion = image[kVersionOffset];
    }
    const std::uint8_t chip = *m_opt.chipVersion;
    const char expected = imageVersion == 0xFF || imageVersion <= chip ? 'W' : 'A';
    if (m_branch == expected) {
        return true;
    }
    ClientError(std::string("after the chip's version ") + Hex1(chip) + " the client sent '" +
                (m_branch ? *m_branch : '?') + "', but the image's version " + Hex1(imageVersion) +
                " calls for '" + expected + "'");
    return false;
}
