#include "sim_line.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

// The codes a real port of the platform raises in the same situations, so that the link's
// account of a failure reads the same on the simulated line.
#ifdef _WIN32
constexpr std::uint32_t kHangUp = 1167;    // ERROR_DEVICE_NOT_CONNECTED: an adapter pulled
constexpr std::uint32_t kTimedOut = 1460;  // ERROR_TIMEOUT
constexpr std::uint32_t kGone = 2;         // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kNotOpen = 6;      // ERROR_INVALID_HANDLE
#else
constexpr std::uint32_t kHangUp = EIO;
constexpr std::uint32_t kTimedOut = ETIMEDOUT;
constexpr std::uint32_t kGone = ENOENT;
constexpr std::uint32_t kNotOpen = EBADF;
#endif

// What a driver holds for a PC that does not read; the rest is lost, as in an overrun.
constexpr std::size_t kRxLimit = 64 * 1024;
// A device that stays due at one moment this often without time moving is broken; better
// an error than a test that hangs.
constexpr int kMaxTurnsAtOneMoment = 1000;

}  // namespace

// The device's end: what the PC wrote, and where the device's replies go.
class CSimLine::CDeviceChannel final : public CSimChannel {
public:
    explicit CDeviceChannel(CSimLine& line) : m_line(line) {}

    void Open() override {}
    std::string Name() const override { return "simulated line"; }
    // Never waited on: the line steps the device itself.
    Event Wait(std::optional<Clock::time_point>) override { return Event::Timeout; }
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        std::deque<std::uint8_t>& in = m_line.m_toDevice;
        const std::size_t n = std::min(size, in.size());
        std::copy_n(in.begin(), n, buffer);
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
        return n;
    }
    std::size_t Write(const std::uint8_t* bytes, std::size_t size) override {
        m_line.FromDevice(bytes, size);
        return size;
    }
    void HangUp(bool reopen) override { m_line.DeviceHangUp(reopen); }
    void Close() override { m_line.DeviceClosed(); }

private:
    CSimLine& m_line;
};

CSimLine::CSimLine(SimOptions device, SimLineOptions line)
    : m_options(line), m_start(TimePoint(std::chrono::hours(24))), m_now(m_start) {
    auto channel = std::make_unique<CDeviceChannel>(*this);
    m_channel = channel.get();
    m_device = std::make_unique<CBootloaderSim>(std::move(device), std::move(channel));
    m_device->Open();
}

CSimLine::~CSimLine() {
    m_device.reset();  // its channel reaches back into this line
}

void CSimLine::Close() noexcept {
    m_open = false;
    m_rx.clear();
    // What is still on its way belonged to this connection; a hang-up still happens.
    m_inFlight.erase(std::remove_if(m_inFlight.begin(), m_inFlight.end(),
                                    [](const InFlight& item) { return !item.hangup; }),
                     m_inFlight.end());
}

void CSimLine::Reopen() {
    Step();
    if (m_gone) {
        throw CSerialException(kGone, "open");
    }
    m_open = true;
    m_hungUp = false;
    m_rx.clear();
}

void CSimLine::CheckOpen(const char* operation) const {
    if (!m_open) {
        throw CSerialException(kNotOpen, operation);
    }
}

std::size_t CSimLine::Read(void* buffer, std::size_t capacity) {
    CheckOpen("read");
    Step();
    const std::size_t n = std::min(capacity, m_rx.size());
    if (n == 0) {
        if (m_hungUp && capacity > 0) {
            throw CSerialException(kHangUp, "read");
        }
        return 0;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::copy_n(m_rx.begin(), n, out);
    m_rx.erase(m_rx.begin(), m_rx.begin() + static_cast<std::ptrdiff_t>(n));
    Log(Event{Event::Kind::Read, m_now, Bytes(out, out + n), {}, 0});
    return n;
}

void CSimLine::Write(const void* bytes, std::size_t count, TimePoint deadline) {
    CheckOpen("write");
    Step();
    if (m_hungUp) {
        throw CSerialException(kHangUp, "write");
    }
    if (m_options.stallWrite) {
        Run(deadline, false);
        throw CSerialException(kTimedOut, "write");
    }
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    m_toDevice.insert(m_toDevice.end(), in, in + count);
    Log(Event{Event::Kind::Write, m_now, Bytes(in, in + count), {}, 0});
    Step();  // the device takes them as they come
}

void CSimLine::Purge(std::uint32_t flags, TimePoint deadline) {
    CheckOpen("purge");
    Step();
    if (m_hungUp) {
        throw CSerialException(kHangUp, "purge");
    }
    Log(Event{Event::Kind::Purge, m_now, {}, {}, flags});
    if (m_options.stallPurge) {
        Run(deadline, false);
        throw CSerialException(kTimedOut, "purge");
    }
    // Output needs nothing: the device takes every byte as it is written.
    if ((flags & PURGE_RXCLEAR) != 0) {
        m_rx.clear();
    }
}

bool CSimLine::WaitReadable(TimePoint deadline) {
    CheckOpen("wait");
    return Run(deadline, true);
}

void CSimLine::Mark(std::string_view step) {
    Log(Event{Event::Kind::Mark, m_now, {}, std::string(step), 0});
}

void CSimLine::Log(Event event) {
    m_events.push_back(std::move(event));
}

bool CSimLine::Run(TimePoint until, bool untilReadable) {
    for (int turns = 0;;) {
        Step();
        if (untilReadable && Readable()) {
            return true;
        }
        const std::optional<TimePoint> next = NextEvent();
        if (!next || *next > until) {
            break;
        }
        if (*next > m_now) {
            m_now = *next;
            turns = 0;
        } else if (++turns > kMaxTurnsAtOneMoment) {
            throw std::logic_error("the simulated device stays due without time moving");
        }
    }
    if (until > m_now) {
        m_now = until;
        Step();
    }
    return untilReadable && Readable();
}

void CSimLine::Step() {
    if (!m_deviceClosed) {
        m_device->Advance(m_now);
        if (m_device->Finished()) {
            m_channel->Close();  // as quillon-sim --once ends: its line goes with it
        }
    }
    Deliver();
}

void CSimLine::Deliver() {
    while (!m_inFlight.empty() && m_inFlight.front().at <= m_now) {
        InFlight& item = m_inFlight.front();
        if (item.hangup) {
            m_hungUp = m_open;
            m_gone = m_gone || !item.reopen;
        } else if (m_open && !m_hungUp) {
            const std::size_t room = kRxLimit - std::min(kRxLimit, m_rx.size());
            m_rx.insert(m_rx.end(), item.bytes.begin(),
                        item.bytes.begin() +
                            static_cast<std::ptrdiff_t>(std::min(room, item.bytes.size())));
        }
        m_inFlight.pop_front();
    }
    if (m_options.hangUpAt && !m_pulled && m_now >= m_start + *m_options.hangUpAt) {
        m_pulled = true;
        m_hungUp = m_open;
        m_gone = true;
    }
}

std::optional<CSimLine::TimePoint> CSimLine::NextEvent() const {
    std::optional<TimePoint> next = m_deviceClosed ? std::nullopt : m_device->NextDue();
    const auto earliest = [&next](TimePoint t) { next = next ? std::min(*next, t) : t; };
    if (!m_inFlight.empty()) {
        earliest(m_inFlight.front().at);
    }
    if (m_options.hangUpAt && !m_pulled) {
        earliest(m_start + *m_options.hangUpAt);
    }
    return next;
}

CSimLine::TimePoint CSimLine::ArrivalTime() const {
    // A line keeps the order of its bytes, whatever its latency does.
    const TimePoint at = m_now + m_options.latency;
    return m_inFlight.empty() ? at : std::max(at, m_inFlight.back().at);
}

void CSimLine::FromDevice(const std::uint8_t* bytes, std::size_t count) {
    m_inFlight.push_back(InFlight{ArrivalTime(), Bytes(bytes, bytes + count)});
}

void CSimLine::DeviceHangUp(bool reopen) {
    InFlight item{ArrivalTime(), {}};
    item.hangup = true;
    item.reopen = reopen;
    m_inFlight.push_back(std::move(item));
}

void CSimLine::DeviceClosed() {
    if (m_deviceClosed) {
        return;
    }
    m_deviceClosed = true;
    DeviceHangUp(false);
}
