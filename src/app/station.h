// A station: one approved firmware image, checked once and kept, and a set of slots (ports)
// that flash unit after unit. Each slot waits for its trigger (its port arriving, or a unit's
// serial number scanned), runs one ordinary run through RunPort with its own stop source,
// records it with the unit, operator, station and work order, then re-arms (for arrivals once
// its port went away). UI-free: the command line and the window only render its events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/flash_run.h"
#include "app/session.h"
#include "app/station_presence.h"
#include "common/job_ui.h"
#include "common/stop_request.h"

enum class StationTrigger {
    Arrival,  // a slot flashes when its port appears, and re-arms once it went away
    Scan,     // each serial number scanned starts the next idle slot
};

struct StationConfig {
    // The firmware file and what every record carries (operator, station, work order,
    // expected SHA-256, front end, history file).
    FlashJob job;
    std::vector<std::string> ports;  // one slot each
    StationTrigger trigger = StationTrigger::Arrival;
    RunOptions run;
    // How often a network port is tried, and a local one looked at without a notice.
    std::chrono::milliseconds pollPeriod{2000};
};

enum class SlotState {
    Waiting,       // for a unit: its port, or a scan
    Connecting,    // the port is opened and the handshake runs
    Transferring,  // the image goes out
    Passed,
    Failed,
};

struct SlotView {
    std::string port;
    std::string unit;  // the serial number scanned; empty on arrival
    SlotState state = SlotState::Waiting;
    TransferProgress progress;  // while transferring
    std::string ending;         // the ending's message (and its detail) once passed or failed
};

struct StationCounters {
    unsigned units = 0;  // endings
    unsigned passed = 0;
    unsigned failed = 0;
    // Units whose first run passed, of the distinct units (a serial scanned again is one
    // unit; a unit without a serial is one of its own).
    unsigned firstPassed = 0;
    unsigned distinct = 0;
    std::chrono::steady_clock::duration elapsed{};

    double FirstPassYield() const { return distinct == 0 ? 0.0 : double(firstPassed) / distinct; }
    double UnitsPerHour() const;
};

struct UnitEnding {
    std::size_t slot = 0;
    std::string port;
    std::string unit;
    FlashResult result;  // its record as the history keeps it
    double seconds = 0;  // from its trigger to its ending
};

// Calls come from the slots' threads; an implementation marshals them to its UI thread.
class IStationView {
public:
    virtual ~IStationView() = default;
    virtual void SlotChanged(std::size_t slot, const SlotView& view) = 0;
    virtual void UnitEnded(const UnitEnding& ending, const StationCounters& counters) = 0;
    // The station stopped by itself (the firmware file changed); it ends once running units
    // have.
    virtual void StationStopping(const std::string& why) { (void)why; }
};

class CStation {
public:
    CStation(StationConfig config, IStationView& view);
    ~CStation();  // stops running transfers, then waits for the slots
    CStation(const CStation&) = delete;
    CStation& operator=(const CStation&) = delete;

    // Reads, converts and checks the firmware once (a refused file: its ending, shown through
    // ui and recorded, as a run's would be). The image is then kept for every unit.
    FlashResult Prepare(JobUi& ui);
    const FirmwareImage* Image() const { return m_image.get(); }
    // The kept image's summary, with its whole SHA-256; empty before a Prepare that succeeded.
    std::string Summary() const;

    // Starts the slots (after a Prepare that succeeded).
    void Start();
    // A unit's serial number (scan trigger): it goes to the first idle slot, or waits for one.
    // False once the station stops.
    bool Scan(const std::string& serial);
    // No new unit starts; running transfers finish.
    void Stop();
    // No serial number comes any more: the ones given are still flashed, then the slots end.
    void Drain();
    // Every slot has ended.
    bool Finished() const;
    // Running transfers stop too (each slot's own stop source).
    void Abort();
    // Until every slot has ended (after Stop, Abort or a changed file).
    void Wait();
    bool Stopping() const;
    // Why it stopped by itself; empty when it did not.
    std::string StopReason() const;
    StationCounters Counters() const;
    std::vector<SlotView> Slots() const;

private:
    struct Slot;
    void Serve(Slot& slot);
    bool AwaitArrival(Slot& slot);
    void AwaitDeparture(Slot& slot);
    std::optional<std::string> AwaitScan(Slot& slot);
    bool FileUnchanged();
    void RunUnit(Slot& slot, const std::string& unit);
    void Show(Slot& slot);
    void Dispatch();  // under m_mutex

    StationConfig m_config;
    IStationView& m_view;
    std::shared_ptr<const FirmwareImage> m_image;
    std::string m_fileDigest;  // of the file's bytes when the image was made
    std::unique_ptr<CPortChanges> m_changes;
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::chrono::steady_clock::time_point m_started{};

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    bool m_draining = false;
    std::size_t m_serving = 0;  // slots whose thread still runs
    std::string m_stopReason;
    std::deque<std::string> m_scans;  // serials waiting for a free slot
    StationCounters m_counters;
    std::set<std::string> m_seenUnits;  // serials that had a run
};

// SHA-256 of a file's bytes; empty when it cannot be read.
std::string Sha256OfFile(const std::filesystem::path& file);

// A scanned line as a unit's serial number: printable, blanks at either end dropped, at most
// 64 characters. False for a blank line (why stays empty) and for anything else a scanner or
// keyboard may deliver (why says what is wrong with it).
bool TakeSerial(std::string line, std::string& serial, std::string& why);
