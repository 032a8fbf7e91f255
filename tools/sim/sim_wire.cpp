#include "sim_wire.h"

#include <algorithm>

CSimWire::CSimWire(unsigned baud) {
    if (baud > 0) {
        m_byteTime =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
    }
}

CSimWire::Clock::time_point CSimWire::Arrived(Clock::time_point now) {
    if (m_byteTime == Clock::duration::zero()) {
        return now;
    }
    m_rxFree = std::max(now, m_rxFree) + m_byteTime;
    return m_rxFree;
}

void CSimWire::Send(Clock::time_point start, const std::vector<std::uint8_t>& reply,
                    const std::vector<std::size_t>& cuts, std::chrono::milliseconds pause) {
    Clock::time_point t = std::max(start, m_txFree);
    std::size_t part = 0;  // where the part being queued begins (without wire time)
    for (std::size_t k = 0; k <= reply.size(); ++k) {
        const bool cut =
            k > 0 && k < reply.size() && std::find(cuts.begin(), cuts.end(), k) != cuts.end();
        if (m_byteTime == Clock::duration::zero() && (cut || k == reply.size()) && k > part) {
            m_queue.push_back(Item{t,
                                   {reply.begin() + static_cast<std::ptrdiff_t>(part),
                                    reply.begin() + static_cast<std::ptrdiff_t>(k)},
                                   false});
            part = k;
        }
        if (cut) {
            t += pause;
        }
        if (m_byteTime != Clock::duration::zero() && k < reply.size()) {
            t += m_byteTime;
            m_queue.push_back(Item{t, {reply[k]}, false});
        }
    }
    m_txFree = t;
}

void CSimWire::HangUp(Clock::time_point start) {
    m_txFree = std::max(start, m_txFree);
    m_queue.push_back(Item{m_txFree, {}, true});
}

CSimWire::Item* CSimWire::Due(Clock::time_point now) {
    return !m_queue.empty() && m_queue.front().at <= now ? &m_queue.front() : nullptr;
}

std::optional<CSimWire::Clock::time_point> CSimWire::NextAt() const {
    if (m_queue.empty()) {
        return std::nullopt;
    }
    return m_queue.front().at;
}
