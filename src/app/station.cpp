#include "app/station.h"

#include <fstream>
#include <functional>

#include "app/sha256.h"
#include "serial/net_port.h"

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

namespace {
constexpr std::chrono::milliseconds kProbeTimeout{1500};
}  // namespace

double StationCounters::UnitsPerHour() const {
    const double hours = std::chrono::duration<double>(elapsed).count() / 3600.0;
    return hours <= 0 ? 0.0 : units / hours;
}

std::string Sha256OfFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    CSha256 sha;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        sha.Update(buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        return {};
    }
    std::string hex;
    for (const std::uint8_t b : sha.Final()) {
        static const char kDigits[] = "0123456789abcdef";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

bool TakeSerial(std::string line, std::string& serial, std::string& why) {
    constexpr std::size_t kMaxSerial = 64;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    line.erase(0, first == std::string::npos ? line.size() : first);
    if (line.empty()) {
        return false;
    }
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            why = "holds a control character";
            return false;
        }
    }
    if (line.size() > kMaxSerial) {
        why = "is longer than 64 characters";
        return false;
    }
    serial = line;
    return true;
}

struct CStation::Slot {
    std::size_t index = 0;
    std::string port;
    CStopSource stop;
    SlotView view;                        // under m_mutex
    std::optional<std::string> assigned;  // scan: the serial it is to flash next
    bool busy = false;                    // scan: running a unit
    std::uint64_t identity = 0;           // arrival: the device it flashed last
    std::thread thread;
};

// What a run shows, turned into its slot's state; nothing waits for a user.
class CSlotUi : public JobUi {
public:
    using Update = std::function<void(const std::function<void(SlotView&)>&)>;
    explicit CSlotUi(Update update) : m_update(std::move(update)) {}

    void ShowMessage(const std::string& text, const std::string&, MsgIcon) override {
        m_update([&](SlotView& v) { v.ending += (v.ending.empty() ? "" : "\n") + text; });
    }
    void ShowDetailedMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                             const std::string& detail) override {
        ShowMessage(detail.empty() ? text : text + "\n" + detail, caption, icon);
    }
    void SetBusy(bool) override {}
    void TransferStarted(std::uint32_t total) override {
        m_update([&](SlotView& v) {
            v.state = SlotState::Transferring;
            v.progress = TransferProgress{};
            v.progress.total = total;
            v.progress.text = "0 %";
        });
    }
    void TransferProgressed(const TransferProgress& progress) override {
        m_update([&](SlotView& v) { v.progress = progress; });
    }

private:
    Update m_update;
};

CStation::CStation(StationConfig config, IStationView& view)
    : m_config(std::move(config)), m_view(view) {
    for (std::size_t i = 0; i < m_config.ports.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        slot->index = i;
        slot->port = m_config.ports[i];
        slot->view.port = slot->port;
        m_slots.push_back(std::move(slot));
    }
}

CStation::~CStation() {
    Abort();
    Wait();
}

FlashResult CStation::Prepare(JobUi& ui) {
    FlashJob& job = m_config.job;
    const FileCheck check = CheckFirmwareFile(job.filePath);
    if (!check.message.empty()) {
        ui.ShowMessage(check.message, kCaptionWarning, MsgIcon::Warning);
        FlashResult refused;
        refused.outcome = FlashOutcome::FileRefused;
        refused.message = check.message;
        return refused;
    }
    job.targetType = check.targetType;
    job.fileExt = FileExtension(job.filePath);
    m_fileDigest = Sha256OfFile(job.filePath);
    FlashResult result = CheckFirmwareImage(job, m_config.ports, ui, &m_image);
    if (result.outcome == FlashOutcome::Success && Sha256OfFile(job.filePath) != m_fileDigest) {
        m_image.reset();  // it changed while it was read: the image may be of neither
        result.outcome = FlashOutcome::FileRefused;
        result.message = "The firmware file changed while it was read. Start again.";
        ui.ShowMessage(result.message, kCaptionWarning, MsgIcon::Warning);
    }
    return result;
}

std::string CStation::Summary() const {
    return m_image ? FirmwareSummaryText(m_config.job.targetType, *m_image, true) : std::string();
}

void CStation::Start() {
    if (!m_image || m_slots.empty() || m_slots.front()->thread.joinable()) {
        return;  // not prepared, or started already
    }
    m_started = SteadyClock::now();
    if (m_config.trigger == StationTrigger::Arrival) {
        m_changes = std::make_unique<CPortChanges>(m_config.ports);
    }
    m_serving = m_slots.size();
    for (auto& slot : m_slots) {
        Slot& s = *slot;
        s.thread = std::thread([this, &s] {
            Serve(s);
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_serving;
        });
    }
}

bool CStation::Scan(const std::string& serial) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || serial.empty()) {
        return false;
    }
    m_scans.push_back(serial);
    Dispatch();
    return true;
}

void CStation::Dispatch() {
    for (auto& slot : m_slots) {
        if (m_scans.empty()) {
            break;  // the slot given the last serial still needs its wake-up
        }
        if (!slot->busy && !slot->assigned) {
            slot->assigned = m_scans.front();
            m_scans.pop_front();
        }
    }
    m_wake.notify_all();
}

void CStation::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_scans.clear();
    }
    m_wake.notify_all();
    if (m_changes) {
        m_changes->Wake();
    }
}

void CStation::Drain() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_draining = true;
    }
    m_wake.notify_all();
}

bool CStation::Finished() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_serving == 0;
}

void CStation::Abort() {
    Stop();
    for (auto& slot : m_slots) {
        slot->stop.RequestStop(kStopByUser);
    }
}

void CStation::Wait() {
    for (auto& slot : m_slots) {
        if (slot->thread.joinable()) {
            slot->thread.join();
        }
    }
}

bool CStation::Stopping() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopping;
}

std::string CStation::StopReason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopReason;
}

StationCounters CStation::Counters() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    StationCounters counters = m_counters;
    if (m_started != SteadyClock::time_point{}) {
        counters.elapsed = SteadyClock::now() - m_started;
    }
    return counters;
}

std::vector<SlotView> CStation::Slots() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SlotView> views;
    for (const auto& slot : m_slots) {
        views.push_back(slot->view);
    }
    return views;
}

void CStation::Serve(Slot& slot) {
    if (m_config.trigger == StationTrigger::Arrival) {
        while (AwaitArrival(slot) && FileUnchanged()) {
            RunUnit(slot, {});
            AwaitDeparture(slot);
        }
        return;
    }
    while (const std::optional<std::string> unit = AwaitScan(slot)) {
        if (!FileUnchanged()) {
            return;
        }
        RunUnit(slot, *unit);
        std::lock_guard<std::mutex> lock(m_mutex);
        slot.busy = false;
        Dispatch();
    }
}

bool CStation::AwaitArrival(Slot& slot) {
    for (;;) {
        const std::uint64_t seen = m_changes->Generation();
        if (Stopping()) {
            return false;
        }
        const PortPresence presence = ProbePort(slot.port, kProbeTimeout);
        if (presence.present) {
            slot.identity = presence.identity;
            return !Stopping();
        }
        m_changes->Wait(seen, m_config.pollPeriod);
    }
}

void CStation::AwaitDeparture(Slot& slot) {
    // A network port is tried no more often than every poll period, also right after its run.
    bool first = IsNetworkPortName(slot.port);
    for (;;) {
        const std::uint64_t seen = m_changes->Generation();
        if (Stopping()) {
            return;
        }
        if (!first) {
            const PortPresence presence = ProbePort(slot.port, kProbeTimeout);
            // Another device under the same name: this one went and the next one came.
            if (!presence.present ||
                (presence.identity != 0 && presence.identity != slot.identity)) {
                return;
            }
        }
        first = false;
        m_changes->Wait(seen, m_config.pollPeriod);
    }
}

std::optional<std::string> CStation::AwaitScan(Slot& slot) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [&] {
        return m_stopping || slot.assigned.has_value() || (m_draining && m_scans.empty());
    });
    if (m_stopping || !slot.assigned) {
        return std::nullopt;
    }
    std::optional<std::string> unit = std::move(slot.assigned);
    slot.assigned.reset();
    slot.busy = true;
    return unit;
}

bool CStation::FileUnchanged() {
    // A batch never mixes firmware: a file changed on disk ends the station.
    if (Sha256OfFile(m_config.job.filePath) == m_fileDigest) {
        return true;
    }
    std::string why;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopReason.empty()) {
            m_stopReason = why = m_config.job.filePath +
                                 " changed on disk since the station started: no further unit "
                                 "is flashed. Start the station again to flash the new file.";
        }
    }
    if (!why.empty()) {
        m_view.StationStopping(why);
    }
    Stop();
    return false;
}

void CStation::Show(Slot& slot) {
    SlotView copy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        copy = slot.view;
    }
    m_view.SlotChanged(slot.index, copy);
}

void CStation::RunUnit(Slot& slot, const std::string& unit) {
    const auto start = SteadyClock::now();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        slot.view.unit = unit;
        slot.view.state = SlotState::Connecting;
        slot.view.progress = TransferProgress{};
        slot.view.ending.clear();
    }
    Show(slot);
    FlashJob job = m_config.job;
    job.unit = unit;
    job.image = m_image;
    CSlotUi ui([&](const std::function<void(SlotView&)>& change) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            change(slot.view);
        }
        Show(slot);
    });
    UnitEnding ending;
    ending.result = RunPort(slot.port, job, ui, StopToken(slot.stop), m_config.run);
    ending.slot = slot.index;
    ending.port = slot.port;
    ending.unit = unit;
    ending.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    const bool passed = ending.result.outcome == FlashOutcome::Success;
    StationCounters counters;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        slot.view.state = passed ? SlotState::Passed : SlotState::Failed;
        if (ending.result.outcome == FlashOutcome::Stopped) {
            slot.view.ending = ending.result.detail;  // a stop shows no message of its own
        }
        ++m_counters.units;
        ++(passed ? m_counters.passed : m_counters.failed);
        if (unit.empty() || m_seenUnits.insert(unit).second) {
            ++m_counters.distinct;
            m_counters.firstPassed += passed ? 1 : 0;
        }
        counters = m_counters;
        counters.elapsed = SteadyClock::now() - m_started;
    }
    Show(slot);
    m_view.UnitEnded(ending, counters);
}
