#include "app/gui/com_port_combo.h"

#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStandardItemModel>
#include <algorithm>
#include <unordered_set>
#include <utility>

#include "serial/net_port.h"

#ifdef __linux__
#include "ports/hotplug_monitor.h"
#include "ports/port_source_linux.h"
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
    connect(this, &QComboBox::currentIndexChanged, this, [this](int index) {
        const int listed = m_list.GetCount() + static_cast<int>(m_netPorts.size());
        if (index < listed) {
            m_lostText.clear();  // another choice: the lost port is let go at the next fill
        }
        if (index >= listed) {
            m_nNetSel = -1;
            m_list.SetCurSel(-1);
        } else if (index >= m_list.GetCount()) {
            m_nNetSel = index - m_list.GetCount();
            m_list.SetCurSel(-1);
        } else {
            m_nNetSel = -1;
            m_list.SetCurSel(index);
        }
    });
}

CComPortCombo::~CComPortCombo() = default;

bool CComPortCombo::FillPortList(int nPort) {
    if (nPort >= 0) {
        m_nNetSel = -1;  // a local port (or none) is wanted
    }
    m_list.m_bShowNoneEntry = m_bShowNoneEntry;
    const bool ok = m_list.FillPortList(nPort);
    ShowModel();
    return ok;
}

bool CComPortCombo::FillPortListByName(const std::string& savedName) {
    m_list.m_bShowNoneEntry = m_bShowNoneEntry;
    m_nNetSel = -1;
    if (IsNetworkPortName(savedName)) {
        std::string error;
        const bool ok = m_list.FillPortListByName("");
        if (AddNetworkPort(savedName, error)) {
            return ok;  // shown and chosen
        }
        ShowModel();
        return ok;
    }
    const bool ok = m_list.FillPortListByName(savedName);
    ShowModel();
    return ok;
}

std::string CComPortCombo::GetSelectedPortName() const {
    if (m_nNetSel >= 0) {
        return m_netPorts[static_cast<std::size_t>(m_nNetSel)];
    }
    return m_list.GetSelectedPortName();
}

void CComPortCombo::SetNetworkPorts(const std::vector<std::string>& urls) {
    m_netPorts.clear();
    m_nNetSel = -1;
    // A set, not a search of the list: a settings file may hold any number of entries.
    std::unordered_set<std::string> seen;
    for (const std::string& url : urls) {
        NetPortAddress address;
        std::string error;
        if (ParseNetworkPortName(url, address, error) && seen.insert(url).second) {
            m_netPorts.push_back(url);
        }
    }
    ShowModel();
}

bool CComPortCombo::AddNetworkPort(const std::string& url, std::string& error) {
    NetPortAddress address;
    if (!ParseNetworkPortName(url, address, error)) {
        return false;
    }
    auto it = std::find(m_netPorts.begin(), m_netPorts.end(), url);
    if (it == m_netPorts.end()) {
        it = m_netPorts.insert(m_netPorts.end(), url);
    }
    m_nNetSel = static_cast<int>(it - m_netPorts.begin());
    ShowModel();
    return true;
}

bool CComPortCombo::RemoveSelectedNetworkPort() {
    if (m_nNetSel < 0) {
        return false;
    }
    m_netPorts.erase(m_netPorts.begin() + m_nNetSel);
    m_nNetSel = -1;
    ShowModel();
    return true;
}

void CComPortCombo::ShowModel() {
    const QSignalBlocker blocker(this);
    clear();
    for (const CPortEntry& entry : m_list.GetEntries()) {
        addItem(QString::fromStdString(entry.m_strText), QVariant(entry.m_dwItemData));
    }
    for (const std::string& url : m_netPorts) {
        addItem(QString::fromStdString(url), QVariant(QString::fromStdString(url)));
    }
    if (m_nNetSel >= 0) {
        // The user's network port stays chosen whatever the local list would select.
        m_list.SetCurSel(-1);
        setCurrentIndex(m_list.GetCount() + m_nNetSel);
    } else if (m_list.GetCurSel() < 0 && !m_lostText.empty()) {
        // A blank box would hide what was lost: it stays in view, greyed and not flashable.
        addItem(QString::fromStdString(m_lostText) + QString::fromUtf8(" \u2014 unplugged"));
        if (auto* items = qobject_cast<QStandardItemModel*>(model())) {
            items->item(count() - 1)->setEnabled(false);
        }
        setCurrentIndex(count() - 1);
    } else {
        m_lostText.clear();
        setCurrentIndex(m_list.GetCurSel());
    }
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
    const int chosen = m_nNetSel < 0 ? m_list.GetCurSel() : -1;
    const auto& entries = m_list.GetEntries();
    if (chosen >= 0 && chosen < static_cast<int>(entries.size()) &&
        !entries[static_cast<std::size_t>(chosen)].m_strName.empty()) {
        m_lostText = entries[static_cast<std::size_t>(chosen)].m_strText;  // if it goes now
    }
    FillPortList(-1);
}
