#include "app/gui/com_port_combo.h"

#include <QSignalBlocker>
#include <QSocketNotifier>
#include <utility>

#ifdef __linux__
#include "serial/hotplug_monitor.h"
#include "serial/port_source_linux.h"
#else
// No hot-plug monitor elsewhere (Windows follows WM_DEVICECHANGE): the member stays empty.
class CPortMonitor {};
#endif

namespace {
#if !defined(__linux__) && !defined(_WIN32)
// Until this platform has a port source of its own, the list is empty.
class CNoPortSource : public IPortSource {
public:
    bool Begin(bool) override { return true; }
    PortSourceStep Next(CPortDevice&) override { return PortSourceStep::End; }
    void End() override {}
};
#endif

std::unique_ptr<IPortSource> PlatformSource() {
#ifdef __linux__
    return std::make_unique<CLinuxPortSource>();
#elif defined(_WIN32)
    return CreateSystemPortSource();  // SetupAPI
#else
    return std::make_unique<CNoPortSource>();
#endif
}
}  // namespace

CComPortCombo::CComPortCombo(std::unique_ptr<IPortSource> source, QWidget* parent)
    : QComboBox(parent),
      m_source(source ? std::move(source) : PlatformSource()),
      m_list(*m_source) {
    // The list sorts its own entries; the control shows them in that order.
    connect(this, &QComboBox::currentIndexChanged, this,
            [this](int index) { m_list.SetCurSel(index); });
}

CComPortCombo::~CComPortCombo() = default;

bool CComPortCombo::FillPortList(int nPort) {
    m_list.m_bShowNoneEntry = m_bShowNoneEntry;
    const bool ok = m_list.FillPortList(nPort);
    ShowModel();
    return ok;
}

bool CComPortCombo::FillPortListByName(const std::string& savedName) {
    m_list.m_bShowNoneEntry = m_bShowNoneEntry;
    const bool ok = m_list.FillPortListByName(savedName);
    ShowModel();
    return ok;
}

std::string CComPortCombo::GetSelectedPortName() const {
    return m_list.GetSelectedPortName();
}

void CComPortCombo::ShowModel() {
    const QSignalBlocker blocker(this);
    clear();
    for (const CPortEntry& entry : m_list.GetEntries()) {
        addItem(QString::fromStdString(entry.m_strText), QVariant(entry.m_dwItemData));
    }
    setCurrentIndex(m_list.GetCurSel());
}

bool CComPortCombo::StartHotplug() {
#ifdef __linux__
    if (m_monitor) {
        return true;
    }
    auto monitor = std::make_unique<CPortMonitor>();
    if (!monitor->IsWorking() || monitor->GetFd() < 0) {
        return false;
    }
    m_monitor = std::move(monitor);
    m_notifier = new QSocketNotifier(m_monitor->GetFd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] { OnMonitorReadable(); });
    return true;
#else
    return false;
#endif
}

void CComPortCombo::OnMonitorReadable() {
#ifdef __linux__
    if (m_monitor && m_monitor->ProcessEvents()) {
        OnPortsChanged();
    }
#endif
}

void CComPortCombo::OnPortsChanged() {
    FillPortList(-1);
}
