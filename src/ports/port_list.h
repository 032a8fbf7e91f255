// The serial port list: which ports are present, which entry is selected, and the name each
// entry is opened and saved with. UI-free; the GUI's combo box is a thin view over CPortList.
//
// Two identity models share one list:
// - COM numbers (Windows): a device record carries a friendly name, a driver service and a
//   "PortName"; the entry's item data holds the port number (low 16 bits) and the 0x10000
//   mark of a non-standard driver; the name is "COM%d" / "\\.\COM%d".
// - Device paths (Linux): a record carries the device it stands for and the name to open and
//   save (a /dev/serial/by-id link where one exists). No COM number is made up: the low 16 bits
//   of the item data are 0 and only the mark is kept.
// Turning an entry into the name to open and save is the one step where they differ; the
// selection rules (keep the current port, the wanted port, the single entry, last one wins)
// are the same for both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One device as a port source reports it.
struct CPortDevice {
    // m_nFound bits: which of the three properties were obtained. An obtained property may
    // still be empty (a value of the wrong type).
    static constexpr unsigned FOUND_FRIENDLYNAME = 0x1;
    static constexpr unsigned FOUND_SERVICE = 0x2;
    static constexpr unsigned FOUND_PORTNAME = 0x4;

    // The entry text in both models.
    std::string m_strFriendlyName;
    // COM-number model.
    std::string m_strService;   // driver service; "Serial" is the standard driver
    std::string m_strPortName;  // "PortName", else taken from the friendly name by the list
    unsigned m_nFound = 0;
    int m_nPortNumber = -1;  // worked out by the list: number | 0x10000 mark, -1 for none

    // Device-path model: a record with a device path is identified by its device.
    std::string m_strDevicePath;  // the device node it stands for, resolved (/dev/ttyUSB0)
    std::string m_strOpenName;    // what is opened and saved (by-id link, /dev path, link)
    bool m_bNonStandardDriver = false;

    // Description only (Linux): kernel name, driver, USB strings, virtual-folder entry.
    std::string m_strKernelName;
    std::string m_strDriver;
    std::string m_strProduct;
    std::string m_strManufacturer;
    bool m_bVirtual = false;

    bool IsPathIdentity() const { return !m_strDevicePath.empty(); }
};

enum class PortSourceStep {
    Device,  // the record was filled
    End,     // regular end of the walk
    Failed,  // the walk broke off
};

// The platform's device enumeration. One walk: Begin, Next until it stops, End.
class IPortSource {
public:
    virtual ~IPortSource() = default;
    // False when the device list cannot be obtained; End is called either way.
    virtual bool Begin(bool onlyPresent) = 0;
    virtual PortSourceStep Next(CPortDevice& device) = 0;
    virtual void End() = 0;
    // The device a saved name denotes now (a by-id link resolves to its tty), in the form of
    // CPortDevice::m_strDevicePath; empty when it denotes nothing. Path model only.
    virtual std::string ResolveDevicePath(const std::string& name) const {
        (void)name;
        return {};
    }
};

struct CPortEntry {
    std::string m_strText;
    std::uint32_t m_dwItemData = 0;  // port number | 0x10000 (COM); 0x10000 or 0 (path)
    std::string m_strDevicePath;     // path model only
    std::string m_strName;           // to open and save; empty for the none entry
    bool m_bNoneEntry = false;
};

class CPortList {
public:
    static constexpr std::uint32_t NON_STANDARD_MARK = 0x10000;
    static constexpr std::uint32_t PORT_NUMBER_MASK = 0xFFFF;

    // The source must outlive the list.
    explicit CPortList(IPortSource& source);

    bool m_bShowNoneEntry = true;       // "<None>" (item data 0) before the ports
    bool m_bOnlyStandardPorts = false;  // leave out ports with the 0x10000 mark
    bool m_bOnlyPresent = true;         // passed to the source
    int m_nSelectPort = 0;              // port number wanted by the running fill
    std::string m_strNoneText = "<None>";

    // Rebuilds the list. nPort < 0 is a refill that keeps the choice: the entry selected now
    // (its port, or its device and name) or, when it has gone, the one chosen last, which is
    // selected again once it is back; no other port is ever selected in its place. 0 wants no
    // port, n >= 1 wants port n. True when the source's walk ran to its end.
    bool FillPortList(int nPort);
    // Start-up fill with the saved "ComPortStr": a COM name wants its number (com3 and
    // \\.\COM12 included), any other name wants the entry it resolves to (an entry saved
    // under that exact name first, else one on the same device). Empty wants nothing, and
    // then a single adapter (an entry with the 0x10000 mark) among built-in UARTs is chosen.
    bool FillPortListByName(const std::string& savedName);

    int GetCount() const { return static_cast<int>(m_entries.size()); }
    const CPortEntry& GetEntry(int index) const { return m_entries.at(index); }
    const std::string& GetText(int index) const { return GetEntry(index).m_strText; }
    std::uint32_t GetItemData(int index) const { return GetEntry(index).m_dwItemData; }
    const std::vector<CPortEntry>& GetEntries() const { return m_entries; }

    // -1 when nothing is selected.
    int GetCurSel() const { return m_nCurSel; }
    // The user's choice: -1 clears the selection; false (selection cleared) for an index out
    // of range.
    bool SetCurSel(int index);

    // Port number of the selection (item data & 0xFFFF), 0 without one. Always 0 for
    // device-path entries: use GetSelectedPortName to tell whether a port is chosen.
    int GetSelectedPortNumber() const;
    // The name to open and to save; empty when nothing or the none entry is selected.
    std::string GetSelectedPortName() const;

    // -1 for a text that is not a COM port name, 0 for empty text, else n for "COMn" in any
    // case, with or without the "\\.\" prefix.
    static int ParsePortNumber(std::string_view text);

private:
    struct Wanted {
        int port = 0;            // COM entries
        std::string name;        // path entries: exact name...
        std::string devicePath;  // ...or the same device
    };

    static Wanted WantedOf(const CPortEntry& entry);
    // singleEntryRule: with nothing wanted found, select the only entry. Fills that keep the
    // choice never do: a port that went away must not be replaced by another one.
    bool Fill(const Wanted& wanted, bool singleEntryRule);
    bool EnumeratePorts(const Wanted& wanted, std::vector<CPortEntry>& added, int& selected);

    IPortSource& m_source;
    std::vector<CPortEntry> m_entries;
    int m_nCurSel = -1;
    Wanted m_chosen;  // the port chosen last, present or not
};

// Works out the port number of a COM-model record by the "PortName" / "(COMn)" rules and
// stores it in m_nPortNumber (with the 0x10000 mark); also fills m_strPortName from the
// friendly name when "PortName" is missing. Returns m_nPortNumber.
int WorkOutPortNumber(CPortDevice& device);

// "COM%d" below 10, "\\.\COM%d" from 10 on, empty for 0 (or less).
std::string PortNameFromNumber(int nPort);

// Sorted-list collation: ASCII letters compared without case, other bytes by value.
// Negative, 0 or positive like strcmp.
int ComparePortText(std::string_view a, std::string_view b);

// The running system's port source: sysfs and the virtual ports folder on Linux.
std::unique_ptr<IPortSource> CreateSystemPortSource();
