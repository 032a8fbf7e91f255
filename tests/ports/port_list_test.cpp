// The port list rules over a fake source: how a device record becomes an entry, then scenarios
// of fills and refills as the window runs them (start-up, hot-plug, the user's choice).
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ports/port_list.h"

namespace {

enum class Walk { Ok, NoList, BreaksOff };

class CFakeSource : public IPortSource {
public:
    std::vector<CPortDevice> devices;
    Walk walk = Walk::Ok;
    std::map<std::string, std::string> resolves;  // saved name -> device
    int open = 0;                                 // walks begun and not ended

    bool Begin(bool onlyPresent) override {
        EXPECT_TRUE(onlyPresent);
        ++open;
        m_next = 0;
        return walk != Walk::NoList;
    }
    PortSourceStep Next(CPortDevice& device) override {
        if (m_next < devices.size()) {
            device = devices[m_next++];
            return PortSourceStep::Device;
        }
        return walk == Walk::BreaksOff ? PortSourceStep::Failed : PortSourceStep::End;
    }
    void End() override { --open; }
    std::string ResolveDevicePath(const std::string& name) const override {
        const auto it = resolves.find(name);
        return it == resolves.end() ? std::string() : it->second;
    }

private:
    std::size_t m_next = 0;
};

using Text = std::optional<std::string>;  // nullopt: the property was not obtained

// A record of the COM-number model, as SetupAPI gives it.
CPortDevice Com(Text friendly, Text portName = std::nullopt, Text service = std::nullopt) {
    CPortDevice d;
    auto take = [&d](const Text& value, std::string& field, unsigned bit) {
        field = value.value_or("");
        d.m_nFound |= value ? bit : 0;
    };
    take(friendly, d.m_strFriendlyName, CPortDevice::FOUND_FRIENDLYNAME);
    take(portName, d.m_strPortName, CPortDevice::FOUND_PORTNAME);
    take(service, d.m_strService, CPortDevice::FOUND_SERVICE);
    return d;
}

TEST(PortRecord, NumberAndMarkOfOneDevice) {
    struct Case {
        const char* what;
        CPortDevice device;
        int number;  // with the 0x10000 mark; -1: none; the list takes no number below 1
    };
    const Case cases[] = {
        {"friendly name only", Com("USB Serial Port (COM5)"), 5},
        {"PortName wins over the friendly name", Com("USB Serial Port (COM5)", "COM12"), 12},
        {"first (COM counts", Com("Modem (COM3) on (COM4)"), 3},
        {"no closing parenthesis", Com("Adapter (COM7"), -1},
        {"(com in small letters", Com("Adapter (com3)"), -1},
        {"PortName in small letters", Com("Adapter (COM5)", "com4"), -1},
        {"PortName obtained but empty hides the friendly name", Com("Adapter (COM6)", ""), -1},
        {"no friendly name, PortName only", Com(std::nullopt, "COM9"), 9},
        {"nothing usable", Com(std::nullopt), -1},
        {"usbser is not the standard driver", Com("USB (COM5)", std::nullopt, "usbser"),
         5 | 0x10000},
        {"service obtained but empty", Com("Port (COM5)", std::nullopt, ""), 5 | 0x10000},
        {"service compared ignoring case", Com("P (COM5)", std::nullopt, "SERIAL"), 5},
        {"COM0 takes no mark", Com("x", "COM0", "usbser"), 0},
        {"blanks and a sign before the number", Com("x", "COM +65535"), 65535},
        {"beyond 16 bits", Com("x", "COM65536"), -1},
        {"huge number does not wrap", Com("x", "COM99999999999999999999"), -1},
        {"negative", Com("x", "COM-3"), -3},
    };
    for (Case c : cases) {
        EXPECT_EQ(WorkOutPortNumber(c.device), c.number) << c.what;
    }
}

// A record of the device-path model: its text, device and the name it is opened by.
CPortDevice Dev(const std::string& text, const std::string& device, const std::string& open = "",
                bool adapter = true) {
    CPortDevice d;
    d.m_strFriendlyName = text;
    d.m_strDevicePath = device;
    d.m_strOpenName = open;
    d.m_bNonStandardDriver = adapter;
    return d;
}

// The entries as the window lists them: the selected one marked "*", with the name it is
// opened by after "="; "!" first when the walk did not run to its end.
std::string Shown(const CPortList& list, bool ok) {
    std::string shown = ok ? "" : "!";
    for (int i = 0; i < list.GetCount(); ++i) {
        shown +=
            (i > 0 ? " | " : "") + std::string(i == list.GetCurSel() ? "*" : "") + list.GetText(i);
        if (i == list.GetCurSel() && !list.GetSelectedPortName().empty()) {
            shown += "=" + list.GetSelectedPortName();
        }
    }
    return shown;
}

// One step: the devices present, what the window does ("fill:N", "start:SAVED" with the saved
// name, "pick:INDEX", "refill" after a device change), and what it then shows.
struct Step {
    std::vector<CPortDevice> present;
    std::string action;
    std::string shown;
    Walk walk = Walk::Ok;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    bool noneEntry = false;
    bool onlyStandard = false;
};

const std::string kById = "/dev/serial/by-id/usb-FTDI_A1-if00-port0";

std::vector<Scenario> Scenarios() {
    const CPortDevice a5 = Com("A (COM5)"), b7 = Com("B (COM7)"), c6 = Com("C (COM6)");
    const CPortDevice usb = Dev("FT232R (ttyUSB0)", "/fake/ttyUSB0", kById);
    const CPortDevice s0 = Dev("Serial port (ttyS0)", "/fake/ttyS0", "/fake/ttyS0", false);
    const CPortDevice a3 = Com("A (COM3)"), b12 = Com("B (COM12)");
    const CPortDevice n9 = Com("N (COM9)"), t10 = Com("T (COM10)", std::nullopt, "usbser");
    const CPortDevice u3 = Com("U (COM3)", std::nullopt, "usbser");
    const CPortDevice s1 = Dev("Serial port (ttyS1)", "/fake/ttyS1", "/fake/ttyS1", false);
    const CPortDevice sim = Dev("sim (virtual)", "/dev/pts/3", "/q/sim");
    const CPortDevice other0 = Dev("Other (ttyUSB0)", "/fake/ttyUSB0");
    const CPortDevice usb2 = Dev("FT232R (ttyUSB2)", "/fake/ttyUSB2", kById);
    const CPortDevice a0 = Dev("A (ttyUSB0)", "/fake/ttyUSB0");
    const CPortDevice mine = Dev("mine (virtual)", "/fake/ttyUSB0", "/q/mine");
    return {
        {"SortedByTextIgnoringCaseBytesAboveAsciiLast",
         {{{Com("b (COM2)"), Com("\xc3\xa9 (COM11)"), Com("USB (COM9)"), Com("[x] (COM8)"),
            Com("A (COM1)"), Com("same", "COM4"), Com("SAME", "COM3")},
           "fill:0",
           "[x] (COM8) | A (COM1) | b (COM2) | same | SAME | USB (COM9) | \xc3\xa9 (COM11)"}}},
        {"NoneEntryFirstAndChosenWhenNothingElseIs",
         {{{b7, a5}, "fill:0", "*<None> | A (COM5) | B (COM7)"},
          {{b7, a5}, "fill:5", "<None> | *A (COM5)=COM5 | B (COM7)"},
          {{b7, a5}, "fill:6", "*<None> | A (COM5) | B (COM7)"},
          {{b7, a5}, "fill:0", "!<None>", Walk::NoList}},
         true},
        {"NamesFromNineOnTakeTheDevicePrefixRefillIgnoresTheMark",
         {{{n9, t10}, "fill:9", "*N (COM9)=COM9 | T (COM10)"},
          {{n9, t10}, "fill:10", "N (COM9) | *T (COM10)=\\\\.\\COM10"},
          {{t10, n9}, "refill", "N (COM9) | *T (COM10)=\\\\.\\COM10"}}},
        {"OneEntryIsChosenAtAFillEvenIfAnotherWasWanted",
         {{{a5}, "fill:7", "*A (COM5)=COM5"}, {{a5, b7}, "fill:6", "A (COM5) | B (COM7)"}}},
        {"OnlyStandardPorts",
         {{{u3, a5, usb, s0}, "fill:0", "A (COM5) | Serial port (ttyS0)"}},
         false,
         true},
        {"TwoEntriesForOnePortTheLastEnumeratedWins",
         {{{Com("Zeta (COM3)"), Com("Alpha (COM3)")}, "fill:3", "*Alpha (COM3)=COM3 | Zeta (COM3)"},
          {{Com("P (COM3)", std::nullopt, "Serial"), Com("P (COM3)", std::nullopt, "usbser")},
           "fill:3",
           "P (COM3) | *P (COM3)=COM3"}}},
        {"RefillKeepsThePortNeverMovesToAnother",
         {{{c6, a5, b7}, "fill:5", "*A (COM5)=COM5 | B (COM7) | C (COM6)"},
          {{c6, a5, b7, Com("0 (COM2)")},
           "refill",
           "0 (COM2) | *A (COM5)=COM5 | B (COM7) | C (COM6)"},
          {{c6, b7}, "refill", "B (COM7) | C (COM6)"},
          {{b7, a5}, "refill", "*A (COM5)=COM5 | B (COM7)"},
          {{b7, a5}, "pick:1", "A (COM5) | *B (COM7)=COM7"},
          {{a5}, "refill", "A (COM5)"},
          {{a5, b7}, "refill", "A (COM5) | *B (COM7)=COM7"},
          {{a5, b7}, "pick:2", "A (COM5) | B (COM7)"},
          {{a5, b7}, "refill", "A (COM5) | B (COM7)"}}},
        {"WalkThatBreaksOffKeepsItsEntriesButNotTheOneEntryRule",
         {{{a5}, "fill:0", "!A (COM5)", Walk::BreaksOff},
          {{a5}, "fill:5", "!*A (COM5)=COM5", Walk::BreaksOff}}},
        {"StartUpByComName",
         {{{a3, b12}, "start:com3", "*A (COM3)=COM3 | B (COM12)"},
          {{a3, b12}, "start:\\\\.\\COM12", "A (COM3) | *B (COM12)=\\\\.\\COM12"},
          {{a3, b12}, "start:LPT3", "A (COM3) | B (COM12)"},
          {{a5, u3, Com("Z", "COM0")}, "start:", "A (COM5) | *U (COM3)=COM3"}}},
        {"FirstStartChoosesTheOneAdapterBesideTheUarts",
         {{{s0, usb, s1},
           "start:",
           "*FT232R (ttyUSB0)=" + kById + " | Serial port (ttyS0) | Serial port (ttyS1)"},
          {{s0, sim}, "refill", "Serial port (ttyS0) | sim (virtual)"},
          {{s0, usb}, "refill", "*FT232R (ttyUSB0)=" + kById + " | Serial port (ttyS0)"},
          {{s0, usb, sim}, "start:", "FT232R (ttyUSB0) | Serial port (ttyS0) | sim (virtual)"},
          {{s0, usb}, "start:/dev/serial/by-id/gone", "FT232R (ttyUSB0) | Serial port (ttyS0)"},
          {{s0}, "start:", "*Serial port (ttyS0)=/fake/ttyS0"}}},
        {"SavedNamesSelectTheirDeviceNeverAComNumber",
         {{{usb, s0}, "start:" + kById, "*FT232R (ttyUSB0)=" + kById + " | Serial port (ttyS0)"},
          {{usb, s0}, "start:/q/mine", "*FT232R (ttyUSB0)=" + kById + " | Serial port (ttyS0)"},
          {{usb, s0}, "fill:3", "FT232R (ttyUSB0) | Serial port (ttyS0)"}}},
        {"ReplugUnderAnotherKernelNameKeepsTheLinkOrTheDevice",
         {{{usb, Dev("Other (ttyUSB1)", "/fake/ttyUSB1")},
           "start:" + kById,
           "*FT232R (ttyUSB0)=" + kById + " | Other (ttyUSB1)"},
          {{other0, usb2}, "refill", "*FT232R (ttyUSB2)=" + kById + " | Other (ttyUSB0)"},
          {{other0, usb2}, "pick:1", "FT232R (ttyUSB2) | *Other (ttyUSB0)=/fake/ttyUSB0"},
          {{Dev("Other (ttyUSB0)", "/fake/ttyUSB0", "/dev/serial/by-id/other")},
           "refill",
           "*Other (ttyUSB0)=/dev/serial/by-id/other"}}},
        {"ExactSavedNameBeatsTheSameDevice",
         {{{a0, mine}, "start:/q/mine", "A (ttyUSB0) | *mine (virtual)=/q/mine"},
          {{a0, mine}, "start:/fake/ttyUSB0", "*A (ttyUSB0)=/fake/ttyUSB0 | mine (virtual)"}}},
    };
}

class PortListScenario : public testing::TestWithParam<Scenario> {};

TEST_P(PortListScenario, ShowsWhatTheWindowShows) {
    CFakeSource source;
    source.resolves = {
        {kById, "/fake/ttyUSB0"}, {"/fake/ttyUSB0", "/fake/ttyUSB0"}, {"/q/mine", "/fake/ttyUSB0"}};
    CPortList list(source);
    list.m_bShowNoneEntry = GetParam().noneEntry;
    list.m_bOnlyStandardPorts = GetParam().onlyStandard;
    bool ok = true;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.action);
        source.devices = step.present;
        source.walk = step.walk;
        const std::string& action = step.action;
        const std::string arg = action.substr(action.find(':') + 1);
        if (action == "refill") {
            ok = list.FillPortList(-1);
        } else if (action.starts_with("fill:")) {
            ok = list.FillPortList(std::stoi(arg));
        } else if (action.starts_with("start:")) {
            list.SetCurSel(list.GetCount() - 1);  // what the list held before must not count
            ok = list.FillPortListByName(arg);
        } else {
            list.SetCurSel(std::stoi(arg));
        }
        EXPECT_EQ(Shown(list, ok), step.shown);
        // The COM model opens by number: that of the name shown ("COM5", "\\.\COM12"), 0
        // without one.
        const std::string name = list.GetSelectedPortName();
        const std::size_t com = name.find("COM");
        EXPECT_EQ(list.GetSelectedPortNumber(),
                  com == std::string::npos ? 0 : std::stoi(name.substr(com + 3)));
        EXPECT_EQ(source.open, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(PortList, PortListScenario, testing::ValuesIn(Scenarios()),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
