// The "Serial Port:" list: a sorted drop-down view over CPortList. The list decides the
// entries and the selection; this control shows them, passes the user's choice back, and
// refills on every "ports changed" notice of the hot-plug monitor. Network ports the user
// added follow the local ports, each shown by its URL; a refill never takes their choice away.
#include <vector>

#pragma once

#include <QComboBox>
#include <memory>
#include <string>
#include <vector>

#include "ports/port_list.h"

class CPortMonitor;
class QSocketNotifier;

class CComPortCombo : public QComboBox {
public:
    // source: null for the platform's own port source.
    explicit CComPortCombo(std::unique_ptr<IPortSource> source = nullptr,
                           QWidget* parent = nullptr);
    ~CComPortCombo() override;

    bool m_bShowNoneEntry = true;  // "<None>" before the ports; the main window turns it off

    // n < 0 keeps the port chosen now, 0 wants none, n >= 1 wants COM port n.
    bool FillPortList(int nPort);
    // Start-up fill with a saved port name.
    bool FillPortListByName(const std::string& savedName);
    // The name to open and save for the chosen entry (a network port's URL); empty when none
    // is chosen.
    std::string GetSelectedPortName() const;

    // The network ports listed after the local ones, none of them chosen. Malformed URLs are
    // left out.
    void SetNetworkPorts(const std::vector<std::string>& urls);
    const std::vector<std::string>& NetworkPorts() const { return m_netPorts; }
    // Lists the URL (unless it is listed already) and chooses it. False, with the reason,
    // when it is not of the form rfc2217://HOST:PORT or socket://HOST:PORT.
    bool AddNetworkPort(const std::string& url, std::string& error);
    // Takes the chosen network port off the list; false when no network port is chosen.
    bool RemoveSelectedNetworkPort();
    bool NetworkPortSelected() const { return m_nNetSel >= 0; }

    // Follows ports arriving and leaving from now on; false when the platform offers no
    // monitor (the list then stays as it is).
    bool StartHotplug();
    // One "ports changed" notice: refill keeping the current choice.
    void OnPortsChanged();

    const CPortList& Model() const { return m_list; }
    // The chosen local port that went away, shown greyed after the other entries until it
    // comes back or another entry is chosen; nothing is flashed through it.
    bool LostPortShown() const { return !m_lostText.empty(); }

private:
    void ShowModel();
    void OnMonitorReadable();

    std::unique_ptr<IPortSource> m_source;
    CPortList m_list;
    std::vector<std::string> m_netPorts;
    int m_nNetSel = -1;      // the chosen network port, an index into m_netPorts
    std::string m_lostText;  // the lost port's text; empty when none is shown
    std::unique_ptr<CPortMonitor> m_monitor;
    QSocketNotifier* m_notifier = nullptr;
};
