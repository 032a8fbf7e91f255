// A serial line in memory with the simulated bootloader on its far end, on a virtual clock.
// The PC's side is an ILine for the link and the transfer; the device's side is
// CBootloaderSim, stepped on the same thread at the moments it is due. Time moves only when
// the PC's side sleeps or waits, so a whole run at 9600 baud takes milliseconds, the same
// every time, and a test can put a reply at any moment of a poll.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bootloader_sim.h"
#include "serial/line.h"

// What the line between the PC and the device does besides carrying bytes. The device's own
// faults (silence, wrong replies, pieces, delays, hang-ups at a step) are SimOptions::faults.
struct SimLineOptions {
    // Every byte from the device reaches the PC this much later (an adapter's or a network's
    // latency); steps finer than a millisecond reach every phase of a poll.
    IClock::Duration latency{};
    // The line drops at this moment, counted from its making, as a pulled adapter does: the
    // PC's next read raises, and it cannot be opened again.
    std::optional<IClock::Duration> hangUpAt;
    // A purge or a write that never completes (a network port whose server does not answer,
    // a line held by flow control): it waits until its deadline, then raises a time-out.
    bool stallPurge = false;
    bool stallWrite = false;
};

class CSimLine final : public ILine {
public:
    using Bytes = std::vector<std::uint8_t>;
    // What the PC did on the line, with the virtual time it did it at.
    struct Event {
        enum class Kind { Mark, Write, Purge, Read };
        Kind kind;
        TimePoint at;
        Bytes bytes;              // Write, Read
        std::string step;         // Mark
        std::uint32_t flags = 0;  // Purge
    };

    explicit CSimLine(SimOptions device = {}, SimLineOptions line = {});
    ~CSimLine() override;

    bool IsOpen() const override { return m_open; }
    void Close() noexcept override;
    // A device that hung up (with SimOptions::once), stopped or was pulled is gone for good.
    void Reopen() override;
    std::size_t Read(void* buffer, std::size_t capacity) override;
    void Write(const void* bytes, std::size_t count, TimePoint deadline) override;
    void Purge(std::uint32_t flags, TimePoint deadline) override;
    bool WaitReadable(TimePoint deadline) override;
    IClock& Clock() override { return m_clock; }
    void Mark(std::string_view step) override;

    // The device, for what it received and judged; the line steps it (never Serve() it).
    CBootloaderSim& Device() { return *m_device; }
    // May be changed at any time; takes effect from the next call.
    SimLineOptions& Options() { return m_options; }
    TimePoint Start() const { return m_start; }
    // Virtual time since the line was made.
    IClock::Duration Elapsed() const { return m_now - m_start; }
    const std::vector<Event>& Events() const { return m_events; }
    // Lets the device act until t (a later moment), with nobody reading.
    void RunUntil(TimePoint t) { Run(t, false); }

private:
    class CVirtualClock final : public IClock {
    public:
        explicit CVirtualClock(CSimLine& line) : m_line(line) {}
        TimePoint Now() override { return m_line.m_now; }
        void SleepUntil(TimePoint t) override { m_line.Run(t, false); }

    private:
        CSimLine& m_line;
    };
    class CDeviceChannel;
    struct InFlight {
        TimePoint at;  // when it reaches the PC
        Bytes bytes;
        bool hangup = false;
        bool reopen = false;  // with a hang-up: the device is ready for the next client
    };

    // Steps the device at each moment it is due until until, or (untilReadable) until the
    // PC has something to read. True when it has.
    bool Run(TimePoint until, bool untilReadable);
    void Step();
    void Deliver();
    std::optional<TimePoint> NextEvent() const;
    bool Readable() const { return m_open && (!m_rx.empty() || m_hungUp); }
    void CheckOpen(const char* operation) const;
    void Log(Event event);

    // From the device's channel.
    TimePoint ArrivalTime() const;
    void FromDevice(const std::uint8_t* bytes, std::size_t count);
    void DeviceHangUp(bool reopen);
    void DeviceClosed();

    SimLineOptions m_options;
    CVirtualClock m_clock{*this};
    TimePoint m_start;
    TimePoint m_now;
    std::unique_ptr<CBootloaderSim> m_device;
    CDeviceChannel* m_channel = nullptr;  // owned by m_device
    std::deque<std::uint8_t> m_toDevice;  // written by the PC, not yet read by the device
    std::deque<InFlight> m_inFlight;      // from the device, on its way
    std::deque<std::uint8_t> m_rx;        // arrived at the PC, not yet read (bounded)
    bool m_open = true;
    bool m_hungUp = false;  // the PC's connection is hung up: reads and writes raise
    bool m_gone = false;    // ... and cannot be made again
    bool m_pulled = false;  // hangUpAt has struck
    bool m_deviceClosed = false;
    std::vector<Event> m_events;
};
