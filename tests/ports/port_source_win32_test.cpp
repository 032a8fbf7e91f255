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

// COM port class {4D36E978-E325-11CE-BFC1-08002BE10318} and the COM port interface.
const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

struct FakePort {
    std::string friendlyName;
    std::string service;                  // empty: none
    std::optional<std::string> portName;  // "PortName" in the device's hardware key
};

// Made-up devices of the COM port class with the COM port interface, removed again at the end.
class FakePorts {
public:
    explicit FakePorts(const std::vector<FakePort>& ports)
        : m_set(SetupDiCreateDeviceInfoList(&kPortsClass, nullptr)) {
        for (const FakePort& port : ports) {
            if (m_set == INVALID_HANDLE_VALUE || !Add(port)) {
                error = "registering " + port.friendlyName + " failed, error " +
                        std::to_string(GetLastError());
                return;
            }
        }
    }
    ~FakePorts() {
        for (SP_DEVINFO_DATA& info : m_devices) {
            SetupDiRemoveDevice(m_set, &info);
        }
        if (m_set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(m_set);
        }
    }
    std::string error;

private:
    bool SetString(SP_DEVINFO_DATA& info, DWORD property, const std::string& value) {
        return SetupDiSetDeviceRegistryPropertyA(m_set, &info, property,
                                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                                 static_cast<DWORD>(value.size() + 1)) != FALSE;
    }

    bool Add(const FakePort& port) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiCreateDeviceInfoA(m_set, "QuillonTestPort", &kPortsClass, nullptr, nullptr,
                                      DICD_GENERATE_ID, &info)) {
            return false;
        }
        m_devices.push_back(info);
        if (!SetString(info, SPDRP_HARDWAREID, "QUILLON\\TESTPORT") ||
            !SetString(info, SPDRP_FRIENDLYNAME, port.friendlyName) ||
            !(port.service.empty() || SetString(info, SPDRP_SERVICE, port.service)) ||
            !SetupDiRegisterDeviceInfo(m_set, &info, 0, nullptr, nullptr, nullptr) ||
            !SetupDiCreateDeviceInterfaceA(m_set, &info, &kComPortInterface, nullptr, 0, nullptr)) {
            return false;
        }
        if (!port.portName) {
            return true;
        }
        const HKEY key =
            SetupDiCreateDevRegKeyA(m_set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
        if (key == INVALID_HANDLE_VALUE) {
            return false;
        }
        const LONG rc = RegSetValueExA(key, "PortName", 0, REG_SZ,
                                       reinterpret_cast<const BYTE*>(port.portName->c_str()),
                                       static_cast<DWORD>(port.portName->size() + 1));
        RegCloseKey(key);
        SetLastError(static_cast<DWORD>(rc));
        return rc == ERROR_SUCCESS;
    }

    HDEVINFO m_set;
    std::vector<SP_DEVINFO_DATA> m_devices;
};

TEST(Win32PortSource, RegisteredDevicesBecomeEntriesByTheirPortName) {
    const char* privateRegistry = std::getenv("QUILLON_TEST_PRIVATE_REGISTRY");
    if (privateRegistry == nullptr || std::strcmp(privateRegistry, "1") != 0) {
        GTEST_SKIP() << "registers devices: set QUILLON_TEST_PRIVATE_REGISTRY=1 in a throw-away "
                        "registry (a fresh Wine prefix) to run it";
    }
    const FakePorts fake({
        {"Quillon USB Port (COM42)", "usbser", std::string("COM42")},
        {"Quillon Board Port (COM5)", "Serial", std::nullopt},  // number from the name
        {"Quillon Odd Port", "serial", std::string("COM12")},   // service case ignored
        {"Quillon Plain (COM8)", "", std::nullopt},             // no service: standard
    });
    ASSERT_EQ(fake.error, "");

    CWin32PortSource source;
    CPortList list(source);
    list.m_bShowNoneEntry = false;
    ASSERT_TRUE(list.FillPortList(12));  // the walk ran to its regular end
    // Only the made-up devices: the machine may have ports of its own.
    std::string shown;
    for (const CPortEntry& e : list.GetEntries()) {
        if (e.m_strText.rfind("Quillon ", 0) == 0) {
            shown += e.m_strText + "|" + std::to_string(e.m_dwItemData) + "|" + e.m_strName + "\n";
        }
    }
    EXPECT_EQ(shown,
              "Quillon Board Port (COM5)|5|COM5\n"
              "Quillon Odd Port|12|\\\\.\\COM12\n"
              "Quillon Plain (COM8)|8|COM8\n"
              "Quillon USB Port (COM42)|" +
                  std::to_string(42 | CPortList::NON_STANDARD_MARK) + "|\\\\.\\COM42\n");
    EXPECT_EQ(list.GetSelectedPortNumber(), 12);
    EXPECT_EQ(list.GetSelectedPortName(), "\\\\.\\COM12");
}

}  // namespace
