#include "ports/port_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>
#include <numeric>

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The number after "COM": leading blanks and a sign, digits up to the first other
// character, 0 without digits (atoi's rule). Saturates instead of overflowing.
int ReadDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            value = static_cast<long long>(INT_MAX) + 1;  // enough to saturate either way
        }
    }
    if (negative) {
        value = -value;
    }
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

}  // namespace

int ComparePortText(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string PortNameFromNumber(int nPort) {
    if (nPort <= 0) {
        return {};
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, nPort < 10 ? "COM%d" : "\\\\.\\COM%d", nPort);
    return buffer;
}

int WorkOutPortNumber(CPortDevice& device) {
    device.m_nPortNumber = -1;
    if ((device.m_nFound & CPortDevice::FOUND_FRIENDLYNAME) &&
        !(device.m_nFound & CPortDevice::FOUND_PORTNAME)) {
        const std::string& friendly = device.m_strFriendlyName;
        const std::size_t open = friendly.find("(COM");
        if (open != std::string::npos) {
            const std::size_t close = friendly.find(')', open + 1);
            if (close != std::string::npos) {
                device.m_strPortName = friendly.substr(open + 1, close - open - 1);
                device.m_nFound |= CPortDevice::FOUND_PORTNAME;
            }
        }
    }
    if ((device.m_nFound & CPortDevice::FOUND_PORTNAME) &&
        device.m_strPortName.starts_with("COM")) {
        int number = ReadDecimal(std::string_view(device.m_strPortName).substr(3));
        // A number beyond 16 bits would run into the mark and the reserved bits of the item
        // data, and no such port exists: such a device gets no entry.
        if (number > static_cast<int>(CPortList::PORT_NUMBER_MASK)) {
            return device.m_nPortNumber;
        }
        // A device that reports no service counts as the standard driver.
        if ((device.m_nFound & CPortDevice::FOUND_SERVICE) && number != 0 &&
            !EqualsNoCase(device.m_strService, "Serial")) {
            number |= static_cast<int>(CPortList::NON_STANDARD_MARK);
        }
        device.m_nPortNumber = number;
    }
    return device.m_nPortNumber;
}

int CPortList::ParsePortNumber(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    if (text.starts_with("\\\\.\\")) {
        text.remove_prefix(4);
    }
    if (text.size() < 3 || !EqualsNoCase(text.substr(0, 3), "COM")) {
        return -1;
    }
    const int number = ReadDecimal(text.substr(3));
    return number > 0 ? number : -1;
}

CPortList::CPortList(IPortSource& source) : m_source(source) {}

bool CPortList::SetCurSel(int index) {
    const bool ok = index >= -1 && index < GetCount();
    m_nCurSel = ok ? index : -1;
    m_chosen = m_nCurSel < 0 ? Wanted{} : WantedOf(m_entries[m_nCurSel]);
    return ok;
}

CPortList::Wanted CPortList::WantedOf(const CPortEntry& entry) {
    Wanted wanted;
    wanted.port = static_cast<int>(entry.m_dwItemData & PORT_NUMBER_MASK);
    if (!entry.m_strDevicePath.empty()) {
        wanted.name = entry.m_strName;
        wanted.devicePath = entry.m_strDevicePath;
    }
    return wanted;
}

int CPortList::GetSelectedPortNumber() const {
    return m_nCurSel < 0 ? 0
                         : static_cast<int>(m_entries[m_nCurSel].m_dwItemData & PORT_NUMBER_MASK);
}

std::string CPortList::GetSelectedPortName() const {
    return m_nCurSel < 0 ? std::string() : m_entries[m_nCurSel].m_strName;
}

bool CPortList::FillPortList(int nPort) {
    if (nPort < 0) {
        // Set by every fill and selection: the current port when one is selected.
        return Fill(m_chosen, false);
    }
    Wanted wanted;
    wanted.port = nPort;
    return Fill(wanted, true);
}

bool CPortList::FillPortListByName(const std::string& savedName) {
    Wanted wanted;
    wanted.port = std::max(ParsePortNumber(savedName), 0);
    if (!savedName.empty()) {
        wanted.name = savedName;
        wanted.devicePath = m_source.ResolveDevicePath(savedName);
    }
    const bool ok = Fill(wanted, true);
    // Nothing saved yet: a single adapter beside the built-in UARTs is the one the technician
    // plugged in for this.
    if (ok && savedName.empty() && m_nCurSel < 0) {
        int adapter = -1;
        int adapters = 0;
        for (int i = 0; i < GetCount(); ++i) {
            if (!m_entries[i].m_bNoneEntry && (m_entries[i].m_dwItemData & NON_STANDARD_MARK)) {
                adapter = i;
                ++adapters;
            }
        }
        if (adapters == 1) {
            SetCurSel(adapter);
        }
    }
    return ok;
}

bool CPortList::Fill(const Wanted& wanted, bool singleEntryRule) {
    m_nSelectPort = wanted.port;
    m_entries.clear();
    m_nCurSel = -1;
    // The none entry stays first: it is what the first-entry rule below means to select.
    if (m_bShowNoneEntry) {
        CPortEntry none;
        none.m_strText = m_strNoneText;
        none.m_bNoneEntry = true;
        m_entries.push_back(std::move(none));
    }

    std::vector<CPortEntry> added;
    int selected = -1;
    const bool ok = EnumeratePorts(wanted, added, selected);

    // The sorted style of the list control: by text, equal texts in the order they came.
    std::vector<std::size_t> order(added.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&added](std::size_t a, std::size_t b) {
        return ComparePortText(added[a].m_strText, added[b].m_strText) < 0;
    });
    for (const std::size_t i : order) {
        if (static_cast<int>(i) == selected) {
            m_nCurSel = GetCount();
        }
        m_entries.push_back(std::move(added[i]));
    }

    if (ok && m_nCurSel < 0) {
        if (m_bShowNoneEntry) {
            m_nCurSel = 0;
        } else if (GetCount() == 1 && singleEntryRule) {
            m_nCurSel = 0;
        }
    }
    // A port found is the choice from now on; one not found stays wanted.
    const bool port = m_nCurSel >= 0 && !m_entries[m_nCurSel].m_bNoneEntry;
    m_chosen = port ? WantedOf(m_entries[m_nCurSel]) : wanted;
    return ok;
}

bool CPortList::EnumeratePorts(const Wanted& wanted, std::vector<CPortEntry>& added,
                               int& selected) {
    if (!m_source.Begin(m_bOnlyPresent)) {
        m_source.End();
        return false;
    }
    bool ok = false;
    // 2: an entry saved under the wanted name; 1: the wanted port or device. Within a rank
    // the entry enumerated last wins.
    int bestRank = 0;
    try {
        for (;;) {
            CPortDevice device;
            const PortSourceStep step = m_source.Next(device);
            if (step != PortSourceStep::Device) {
                ok = step == PortSourceStep::End;
                break;
            }
            CPortEntry entry;
            int rank = 0;
            if (device.IsPathIdentity()) {
                if (m_bOnlyStandardPorts && device.m_bNonStandardDriver) {
                    continue;
                }
                entry.m_strText = device.m_strFriendlyName;
                entry.m_dwItemData = device.m_bNonStandardDriver ? NON_STANDARD_MARK : 0;
                entry.m_strDevicePath = device.m_strDevicePath;
                entry.m_strName =
                    device.m_strOpenName.empty() ? device.m_strDevicePath : device.m_strOpenName;
                if (!wanted.name.empty() && entry.m_strName == wanted.name) {
                    rank = 2;
                } else if (!wanted.devicePath.empty() &&
                           entry.m_strDevicePath == wanted.devicePath) {
                    rank = 1;
                }
            } else {
                const int number = WorkOutPortNumber(device);
                if (number <= 0 ||
                    (m_bOnlyStandardPorts && (number & static_cast<int>(NON_STANDARD_MARK)))) {
                    continue;
                }
                entry.m_strText = device.m_strFriendlyName;
                entry.m_dwItemData = static_cast<std::uint32_t>(number);
                const int port = static_cast<int>(entry.m_dwItemData & PORT_NUMBER_MASK);
                entry.m_strName = PortNameFromNumber(port);
                if (port == m_nSelectPort) {
                    rank = 1;
                }
            }
            added.push_back(std::move(entry));
            if (rank > 0 && rank >= bestRank) {
                bestRank = rank;
                selected = static_cast<int>(added.size()) - 1;
            }
        }
    } catch (const std::bad_alloc&) {
        ok = false;  // entries added so far stay
    }
    m_source.End();
    return ok;
}
