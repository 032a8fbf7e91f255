// The time a serial line takes. With a baud rate every byte takes ten bit times each way: a
// byte has arrived when its stop bit would have, and each reply byte is handed to the channel
// at the moment its stop bit would reach the client. Deadlines are absolute, so no delay adds
// up beyond the wire time. Without a baud rate bytes take no time and a reply leaves whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

class CSimWire {
public:
    using Clock = std::chrono::steady_clock;
    struct Item {
        Clock::time_point at;
        std::vector<std::uint8_t> bytes;
        bool hangup = false;
    };

    explicit CSimWire(unsigned baud);

    // When a byte the channel handed over at now has wholly arrived.
    Clock::time_point Arrived(Clock::time_point now);
    // Queues a reply to leave at start, and not before what is queued has gone: in parts,
    // the later ones beginning at the offsets in cuts, pause between parts.
    void Send(Clock::time_point start, const std::vector<std::uint8_t>& reply,
              const std::vector<std::size_t>& cuts, std::chrono::milliseconds pause);
    // Queues a hang-up at start, after what is queued.
    void HangUp(Clock::time_point start);

    // The next item, once it is due; null while none is.
    Item* Due(Clock::time_point now);
    std::optional<Clock::time_point> NextAt() const;
    void Pop() { m_queue.pop_front(); }
    void Clear() { m_queue.clear(); }
    bool Idle() const { return m_queue.empty(); }

private:
    Clock::duration m_byteTime{};
    Clock::time_point m_rxFree{};  // when the line in is free for the next byte
    Clock::time_point m_txFree{};  // ... and the line out
    std::deque<Item> m_queue;
};
