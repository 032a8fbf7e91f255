// The port list rules, fed with Windows-style device records (and device-path records) by a
// fake source.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_list.h"

namespace {

class CFakeSource : public IPortSource {
public:
    std::vector<CPortDevice> devices;
    bool beginOk = true;
    bool breakOff = false;  // the walk ends with an error instead of its regular end
    std::map<std::string, std::string> resolves;
    int begins = 0;
    int ends = 0;

    bool Begin(bool) override {
        ++begins;
        m_next = 0;
        return beginOk;
    }
    PortSourceStep Next(CPortDevice& device) override {
        if (m_next < devices.size()) {
            device = devices[m_next++];
            return PortSourceStep::Device;
        }
        return breakOff ? PortSourceStep::Failed : PortSourceStep::End;
    }
    void End() override { ++ends; }
    std::string ResolveDevicePath(const std::string& name) const override {
        const auto it = resolves.find(name);
        return it == resolves.end() ? std::string() : it->second;
    }

private:
    std::size_t m_next = 0;
};

using Text = std::optional<std::string>;  // nullopt: the property was not obtained

CPortDevice Com(Text friendly, Text portName = std::nullopt, Text service = std::nullopt) {
    CPortDevice device;
    if (friendly) {
        device.m_strFriendlyName = *friendly;
        device.m_nFound |= CPortDevice::FOUND_FRIENDLYNAME;
    }
    if (portName) {
        device.m_strPortName = *portName;
        device.m_nFound |= CPortDevice::FOUND_PORTNAME;
    }
    if (service) {
        device.m_strService = *service;
        device.m_nFound |= CPortDevice::FOUND_SERVICE;
    }
    return device;
}

CPortDevice PathDevice(const std::string& text, const std::string& devicePath,
                       const std::string& openName, bool nonStandard = true) {
    CPortDevice device;
    device.m_strFriendlyName = text;
    device.m_strDevicePath = devicePath;
    device.m_strOpenName = openName;
    device.m_bNonStandardDriver = nonStandard;
    return device;
}

std::vector<std::string> Texts(const CPortList& list) {
    std::vector<std::string> texts;
    for (const CPortEntry& entry : list.GetEntries()) {
        texts.push_back(entry.m_strText);
    }
    return texts;
}

class PortList : public ::testing::Test {
protected:
    void SetUp() override { list.m_bShowNoneEntry = false; }
    CFakeSource source;
    CPortList list{source};
};

struct RecordCase {
    const char* what;
    CPortDevice device;
    std::uint32_t itemData;  // 0: no entry
};

TEST_F(PortList, PortNumberAndMarkFromOneDevice) {
    const RecordCase cases[] = {
        {"friendly name only", Com("USB Serial Port (COM5)"), 5},
        {"PortName wins over the friendly name", Com("USB Serial Port (COM5)", "COM12"), 12},
        {"first (COM counts", Com("Modem (COM3) on (COM4)"), 3},
        {"no closing parenthesis", Com("Adapter (COM7"), 0},
        {"(com in small letters", Com("Adapter (com3)"), 0},
        {"PortName in small letters", Com("Adapter (COM5)", "com4"), 0},
        {"PortName obtained but empty hides the friendly name", Com("Adapter (COM6)", ""), 0},
        {"no friendly name, PortName only", Com(std::nullopt, "COM9"), 9},
        {"nothing usable", Com(std::nullopt), 0},
        {"usbser is not the standard driver", Com("USB Serial (COM5)", std::nullopt, "usbser"),
         5 | 0x10000},
        {"service compared ignoring case", Com("Port (COM5)", std::nullopt, "SERIAL"), 5},
        {"service obtained but empty", Com("Port (COM5)", std::nullopt, ""), 5 | 0x10000},
        {"COM0", Com("x", "COM0", "usbser"), 0},
        {"huge number does not wrap", Com("x", "COM99999999999999999999"), 0},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.what);
        source.devices = {c.device};
        EXPECT_TRUE(list.FillPortList(0));
        if (c.itemData == 0) {
            EXPECT_EQ(list.GetCount(), 0);
            continue;
        }
        ASSERT_EQ(list.GetCount(), 1);
        EXPECT_EQ(list.GetItemData(0), c.itemData);
        EXPECT_EQ(list.GetText(0), c.device.m_strFriendlyName);
        EXPECT_EQ(list.GetEntry(0).m_strName, PortNameFromNumber(c.itemData & 0xFFFF));
    }
}

TEST_F(PortList, ParsePortNumber) {
    const std::pair<const char*, int> cases[] = {
        {"COM3", 3}, {"\\\\.\\COM12", 12}, {"COM0", -1}, {"COM", -1}, {"LPT1", -1},
        {"", 0},     {"com4", 4},
    };
    for (const auto& [text, number] : cases) {
        EXPECT_EQ(CPortList::ParsePortNumber(text), number) << '"' << text << '"';
    }
}

TEST_F(PortList, SelectedPortNameMasksTheMark) {
    source.devices = {Com("Nine (COM9)"), Com("Ten (COM10)", std::nullopt, "usbser"),
                      Com("Twelve (COM12)", std::nullopt, "usbser")};
    const std::tuple<int, int, std::string> cases[] = {
        {9, 9, "COM9"}, {10, 10, "\\\\.\\COM10"}, {12, 12, "\\\\.\\COM12"}, {0, 0, ""}};
    for (const auto& [wanted, number, name] : cases) {
        list.FillPortList(wanted);
        EXPECT_EQ(list.GetSelectedPortNumber(), number);
        EXPECT_EQ(list.GetSelectedPortName(), name);
    }
}

TEST_F(PortList, TwoEntriesForOnePortTheLastEnumeratedWins) {
    source.devices = {Com("Zeta (COM3)"), Com("Alpha (COM3)")};
    list.FillPortList(3);
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"Alpha (COM3)", "Zeta (COM3)"}));
    EXPECT_EQ(list.GetCurSel(), 0);

    // Same text: the sort keeps them in enumeration order, and the second is selected.
    source.devices = {Com("Port (COM3)", std::nullopt, "Serial"),
                      Com("Port (COM3)", std::nullopt, "usbser")};
    list.FillPortList(3);
    EXPECT_EQ(list.GetCurSel(), 1);
    EXPECT_EQ(list.GetItemData(1), 3u | 0x10000u);
}

TEST_F(PortList, WantedPortMissing) {
    source.devices = {Com("Only (COM5)")};
    EXPECT_TRUE(list.FillPortList(7));
    EXPECT_EQ(list.GetCurSel(), 0);  // a single entry is selected anyway
    EXPECT_EQ(list.m_nSelectPort, 7);

    source.devices = {Com("A (COM5)"), Com("B (COM6)")};
    EXPECT_TRUE(list.FillPortList(7));
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(list.GetSelectedPortName(), "");

    EXPECT_TRUE(list.FillPortList(0));
    EXPECT_EQ(list.GetCurSel(), -1);
}

TEST_F(PortList, KeepCurrentPortAcrossRefills) {
    source.devices = {Com("C (COM6)"), Com("A (COM5)"), Com("B (COM7)")};
    list.FillPortList(5);
    ASSERT_EQ(list.GetSelectedPortNumber(), 5);

    // Another adapter arrives: the choice stays, although its index moves.
    source.devices.push_back(Com("0 first (COM2)"));
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortNumber(), 5);
    EXPECT_EQ(list.GetText(list.GetCurSel()), "A (COM5)");

    // The chosen one leaves: nothing is selected in its place, not even the one port left...
    source.devices = {Com("C (COM6)"), Com("B (COM7)")};
    list.FillPortList(-1);
    EXPECT_EQ(list.GetCurSel(), -1);
    source.devices = {Com("B (COM7)")};
    list.FillPortList(-1);
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(list.m_nSelectPort, 5);

    // ...and it is selected again when it comes back.
    source.devices.push_back(Com("A (COM5)"));
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortNumber(), 5);

    // The keep rule reads the port number without the mark.
    source.devices = {Com("U (COM12)", std::nullopt, "usbser"), Com("S (COM3)")};
    list.FillPortList(12);
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortNumber(), 12);
}

TEST_F(PortList, FailedWalks) {
    source.devices = {Com("A (COM5)")};
    list.m_bShowNoneEntry = true;
    // The device list cannot be obtained: only the none entry, no selection rule.
    source.beginOk = false;
    EXPECT_FALSE(list.FillPortList(0));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"<None>"}));
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(source.ends, source.begins);  // released either way

    // The walk breaks off: entries so far stay, the single-entry rule is skipped, a wanted
    // port is still selected.
    source.beginOk = true;
    source.breakOff = true;
    list.m_bShowNoneEntry = false;
    EXPECT_FALSE(list.FillPortList(0));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"A (COM5)"}));
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_FALSE(list.FillPortList(5));
    EXPECT_EQ(list.GetCurSel(), 0);
    EXPECT_EQ(source.ends, source.begins);
}

TEST_F(PortList, SortedByTextIgnoringCase) {
    source.devices = {Com("b (COM2)"),    Com("USB (COM9)"),         Com("same", "COM4"),
                      Com("A (COM1)"),    Com(std::nullopt, "COM7"), Com("[x] (COM8)"),
                      Com("SAME", "COM3")};
    list.FillPortList(0);
    // Empty text first; '[' (0x5B) sorts before the letters, compared in lower case; texts
    // equal but for case stay in the order they came.
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"", "[x] (COM8)", "A (COM1)", "b (COM2)",
                                                     "same", "SAME", "USB (COM9)"}));
    EXPECT_GT(ComparePortText("\xc3\xa9", "z"), 0);  // bytes above ASCII after ASCII
}

TEST_F(PortList, FillByCOMNameAtStartUp) {
    source.devices = {Com("A (COM3)"), Com("B (COM12)"), Com("C (COM5)")};
    const std::pair<const char*, const char*> cases[] = {
        {"com3", "A (COM3)"}, {"\\\\.\\COM12", "B (COM12)"}, {"COM0", nullptr},
        {"", nullptr},        {"/dev/ttyUSB0", nullptr},
    };
    for (const auto& [saved, text] : cases) {
        SCOPED_TRACE(saved);
        list.SetCurSel(0);  // must not leak into the fill
        list.FillPortListByName(saved);
        if (text == nullptr) {
            EXPECT_EQ(list.GetCurSel(), -1);
        } else {
            ASSERT_GE(list.GetCurSel(), 0);
            EXPECT_EQ(list.GetText(list.GetCurSel()), text);
        }
    }
}

// Device-path entries: no COM numbers, the name to open is the record's own.
TEST_F(PortList, DevicePathEntries) {
    const std::string byId = "/dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0";
    source.devices = {
        PathDevice("FT232R USB UART (ttyUSB0)", "/dev/ttyUSB0", byId),
        PathDevice("Serial port (ttyS1)", "/dev/ttyS1", "/dev/ttyS1", false),
        PathDevice("sim (virtual)", "/dev/pts/7", "/run/user/5/quillon/ports/sim"),
    };
    source.resolves = {{byId, "/dev/ttyUSB0"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}};

    EXPECT_TRUE(list.FillPortListByName(byId));
    ASSERT_GE(list.GetCurSel(), 0);
    EXPECT_EQ(list.GetSelectedPortName(), byId);
    EXPECT_EQ(list.GetSelectedPortNumber(), 0);  // never a made-up COM number
    EXPECT_EQ(list.GetItemData(list.GetCurSel()), 0x10000u);
    EXPECT_EQ(list.GetItemData(1), 0u);  // "Serial port (ttyS1)": the standard driver

    // A saved /dev path selects the entry of that device, which is then saved by its link.
    list.FillPortListByName("/dev/ttyUSB0");
    EXPECT_EQ(list.GetSelectedPortName(), byId);

    // A number or a COM name never selects a device-path entry.
    list.FillPortList(3);
    EXPECT_EQ(list.GetCurSel(), -1);
    list.FillPortListByName("COM3");
    EXPECT_EQ(list.GetCurSel(), -1);

    // Unknown names want nothing.
    list.FillPortListByName("/dev/serial/by-id/gone");
    EXPECT_EQ(list.GetCurSel(), -1);
}

TEST_F(PortList, DevicePathKeepCurrent) {
    const std::string byId = "/dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0";
    source.devices = {PathDevice("Adapter (ttyUSB0)", "/dev/ttyUSB0", byId),
                      PathDevice("Other (ttyUSB1)", "/dev/ttyUSB1", "/dev/ttyUSB1")};
    list.FillPortListByName(byId);
    ASSERT_EQ(list.GetSelectedPortName(), byId);

    // Replugged: the adapter came back under another kernel name; its link still names it.
    source.devices = {PathDevice("Other (ttyUSB0)", "/dev/ttyUSB0", "/dev/ttyUSB0"),
                      PathDevice("Adapter (ttyUSB2)", "/dev/ttyUSB2", byId)};
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortName(), byId);
    EXPECT_EQ(list.GetText(list.GetCurSel()), "Adapter (ttyUSB2)");

    // A port without a link is kept by its device.
    list.SetCurSel(1);
    ASSERT_EQ(list.GetSelectedPortName(), "/dev/ttyUSB0");
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortName(), "/dev/ttyUSB0");

    // It leaves: nothing selected, even with one port left; back, it is selected again.
    source.devices = {PathDevice("sim (virtual)", "/dev/pts/3", "/tmp/q/ports/sim")};
    list.FillPortList(-1);
    EXPECT_EQ(list.GetCurSel(), -1);
    source.devices.push_back(PathDevice("Other (ttyUSB0)", "/dev/ttyUSB0", "/dev/ttyUSB0"));
    list.FillPortList(-1);
    EXPECT_EQ(list.GetSelectedPortName(), "/dev/ttyUSB0");
}

TEST_F(PortList, ExactNameBeatsSameDevice) {
    // A virtual link to an adapter lists that device twice; the saved name decides.
    source.devices = {PathDevice("Adapter (ttyUSB0)", "/dev/ttyUSB0", "/dev/ttyUSB0"),
                      PathDevice("mine (virtual)", "/dev/ttyUSB0", "/q/ports/mine")};
    source.resolves = {{"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"/q/ports/mine", "/dev/ttyUSB0"}};
    list.FillPortListByName("/dev/ttyUSB0");
    EXPECT_EQ(list.GetSelectedPortName(), "/dev/ttyUSB0");
    list.FillPortListByName("/q/ports/mine");
    EXPECT_EQ(list.GetSelectedPortName(), "/q/ports/mine");
}

}  // namespace
