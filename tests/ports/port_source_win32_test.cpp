// The SetupAPI port source: how property values become record fields, and a whole walk over
// made-up COM port devices registered through SetupAPI itself. Registering devices changes the
// machine's device registry, so that test runs only where QUILLON_TEST_PRIVATE_REGISTRY=1 says
// the registry is a throw-away one (scripts/test-windows.sh: a fresh Wine prefix).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fake_com_ports.h"
#include "ports/port_list.h"
#include "ports/port_source_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: SetupAPI needs its types.
#include <dbt.h>
#include <setupapi.h>

namespace {

// A DEV_BROADCAST_PORT record of either form, its size counting the name and its zero.
template <typename Record, typename Char>
std::vector<unsigned char> PortRecord(DWORD deviceType, const std::basic_string<Char>& name) {
    const std::size_t size = offsetof(Record, dbcp_name) + (name.size() + 1) * sizeof(Char);
    std::vector<unsigned char> bytes(size + 16, 0xCC);  // a margin that must not be read as name
    auto* record = reinterpret_cast<Record*>(bytes.data());
    record->dbcp_size = static_cast<DWORD>(size);
    record->dbcp_devicetype = deviceType;
    record->dbcp_reserved = 0;
    std::memcpy(record->dbcp_name, name.c_str(), (name.size() + 1) * sizeof(Char));
    return bytes;
}

TEST(DeviceChange, OnlyArrivalOrRemovalOfANamedComPortRefills) {
    struct Case {
        WPARAM event;
        DWORD deviceType;
        std::string name;
        bool refill;
    };
    const std::vector<Case> cases = {
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "COM3", true},
        {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, "COM3", true},
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "\\\\.\\COM12", true},
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, "LPT1", false},    // a parallel port
        {DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, "COM3", false},  // not a port record
        {DBT_DEVICEQUERYREMOVE, DBT_DEVTYP_PORT, "COM3", false},
        {DBT_DEVNODES_CHANGED, DBT_DEVTYP_PORT, "COM3", false},
    };
    for (const Case& c : cases) {
        const auto narrow = PortRecord<DEV_BROADCAST_PORT_A, char>(c.deviceType, c.name);
        EXPECT_EQ(IsComPortChange(c.event, narrow.data(), false), c.refill) << c.name;
        const std::wstring wideName(c.name.begin(), c.name.end());
        const auto wide = PortRecord<DEV_BROADCAST_PORT_W, wchar_t>(c.deviceType, wideName);
        EXPECT_EQ(IsComPortChange(c.event, wide.data(), true), c.refill) << c.name << " (wide)";
    }
    EXPECT_FALSE(IsComPortChange(DBT_DEVICEARRIVAL, nullptr, false));
}

// The name is bounded by the record's size, not by a zero that may lie beyond it.
TEST(DeviceChange, NameEndsWithTheRecord) {
    auto bytes = PortRecord<DEV_BROADCAST_PORT_A, char>(DBT_DEVTYP_PORT, "COM");
    auto* record = reinterpret_cast<DEV_BROADCAST_PORT_A*>(bytes.data());
    record->dbcp_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + 3);
    record->dbcp_name[3] = '7';  // past the size: must not turn "COM" into "COM7"
    record->dbcp_name[4] = '\0';
    EXPECT_FALSE(IsComPortChange(DBT_DEVICEARRIVAL, bytes.data(), false));
}

TEST(TakeStringProperty, OnlyPlainStringsFillTheFieldButEveryValueCounts) {
    struct Case {
        const char* what;
        bool callOk;
        DWORD type;
        std::string bytes;
        bool found;
        std::string field;  // starts as "old"
    };
    const std::vector<Case> cases = {
        {"string with its zero", true, REG_SZ, std::string("COM5\0", 5), true, "COM5"},
        {"string without a zero", true, REG_SZ, "COM12", true, "COM12"},
        {"stops at the first zero", true, REG_SZ, std::string("COM3\0junk", 9), true, "COM3"},
        {"empty string", true, REG_SZ, std::string("\0", 1), true, ""},
        {"not a plain string", true, REG_EXPAND_SZ, std::string("COM5\0", 5), true, ""},
        {"missing or too long", false, REG_SZ, "COM5", false, "old"},
    };
    for (const Case& c : cases) {
        std::string field = "old";
        EXPECT_EQ(TakeStringProperty(c.callOk, c.type, c.bytes.data(),
                                     static_cast<std::uint32_t>(c.bytes.size()), field),
                  c.found)
            << c.what;
        EXPECT_EQ(field, c.field) << c.what;
    }
}

// Only the made-up devices: the machine may have ports of its own.
std::vector<CPortEntry> TestEntries(const CPortList& list) {
    std::vector<CPortEntry> out;
    for (const CPortEntry& e : list.GetEntries()) {
        if (e.m_strText.rfind("Quillon ", 0) == 0) {
            out.push_back(e);
        }
    }
    return out;
}

TEST(Win32PortSource, RegisteredDevicesBecomeEntriesByTheirPortName) {
    if (!PrivateRegistry()) {
        GTEST_SKIP() << "registers devices: set QUILLON_TEST_PRIVATE_REGISTRY=1 in a throw-away "
                        "registry (a fresh Wine prefix) to run it";
    }
    const FakePorts fake({
        {"Quillon USB Port (COM42)", "usbser", std::string("COM42")},
        {"Quillon Board Port (COM5)", "Serial", std::nullopt},  // number from the name
        {"Quillon Odd Port", "serial", std::string("COM12")},   // service case ignored
        {"Quillon Plain (COM8)", "", std::nullopt},             // no service: standard
    });
    ASSERT_EQ(fake.Error(), "");

    CWin32PortSource source;
    CPortList list(source);
    list.m_bShowNoneEntry = false;
    ASSERT_TRUE(list.FillPortList(12));  // the walk ran to its regular end

    struct Expected {
        std::string text;
        std::uint32_t itemData;
        std::string name;
    };
    const std::vector<Expected> expected = {
        {"Quillon Board Port (COM5)", 5, "COM5"},
        {"Quillon Odd Port", 12, "\\\\.\\COM12"},
        {"Quillon Plain (COM8)", 8, "COM8"},
        {"Quillon USB Port (COM42)", 42 | CPortList::NON_STANDARD_MARK, "\\\\.\\COM42"},
    };
    const std::vector<CPortEntry> got = TestEntries(list);
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].m_strText, expected[i].text) << i;
        EXPECT_EQ(got[i].m_dwItemData, expected[i].itemData) << i;
        EXPECT_EQ(got[i].m_strName, expected[i].name) << i;
    }
    EXPECT_EQ(list.GetSelectedPortNumber(), 12);
    EXPECT_EQ(list.GetSelectedPortName(), "\\\\.\\COM12");
}

}  // namespace
