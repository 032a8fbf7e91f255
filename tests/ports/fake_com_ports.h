// Made-up COM port devices, registered through SetupAPI itself and removed again: what the
// port source and the main window list on Windows. Registering devices changes the machine's
// device registry, so the tests that use it run only where QUILLON_TEST_PRIVATE_REGISTRY=1 says
// the registry is a throw-away one (scripts/test-windows.sh: a fresh Wine prefix).
#pragma once

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: SetupAPI needs its types.
#include <setupapi.h>

// COM port class {4D36E978-E325-11CE-BFC1-08002BE10318} and the COM port interface.
inline const GUID kPortsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
inline const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

struct FakePort {
    std::string friendlyName;
    std::string service;                  // empty: none
    std::optional<std::string> portName;  // "PortName" in the device's hardware key
};

// Registers made-up devices of the COM port class with the COM port interface, and removes
// them again.
class FakePorts {
public:
    explicit FakePorts(const std::vector<FakePort>& ports) {
        m_set = SetupDiCreateDeviceInfoList(&kPortsClass, nullptr);
        if (m_set == INVALID_HANDLE_VALUE) {
            m_error = "SetupDiCreateDeviceInfoList failed";
            return;
        }
        for (const FakePort& port : ports) {
            if (!Add(port)) {
                m_error = "registering " + port.friendlyName + " failed at " + m_error +
                          ", error " + std::to_string(GetLastError());
                return;
            }
        }
    }
    ~FakePorts() {
        if (m_set == INVALID_HANDLE_VALUE) {
            return;
        }
        for (SP_DEVINFO_DATA& info : m_devices) {
            SetupDiRemoveDevice(m_set, &info);
        }
        SetupDiDestroyDeviceInfoList(m_set);
    }
    const std::string& Error() const { return m_error; }

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
            m_error = "SetupDiCreateDeviceInfoA";
            return false;
        }
        m_devices.push_back(info);
        // Each step in turn; the first that fails names itself.
        auto step = [this](bool ok, const char* what) {
            if (!ok) {
                m_error = what;
            }
            return ok;
        };
        if (!(step(SetString(info, SPDRP_HARDWAREID, "QUILLON\\TESTPORT"), "hardware id") &&
              step(SetString(info, SPDRP_FRIENDLYNAME, port.friendlyName), "friendly name") &&
              step(port.service.empty() || SetString(info, SPDRP_SERVICE, port.service),
                   "service") &&
              step(SetupDiRegisterDeviceInfo(m_set, &info, 0, nullptr, nullptr, nullptr) != FALSE,
                   "SetupDiRegisterDeviceInfo") &&
              step(SetupDiCreateDeviceInterfaceA(m_set, &info, &kComPortInterface, nullptr, 0,
                                                 nullptr) != FALSE,
                   "SetupDiCreateDeviceInterfaceA"))) {
            return false;
        }
        if (port.portName) {
            const HKEY key = SetupDiCreateDevRegKeyA(m_set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                                     nullptr, nullptr);
            if (key == INVALID_HANDLE_VALUE) {
                m_error = "SetupDiCreateDevRegKeyA";
                return false;
            }
            const LONG rc = RegSetValueExA(key, "PortName", 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(port.portName->c_str()),
                                           static_cast<DWORD>(port.portName->size() + 1));
            RegCloseKey(key);
            if (rc != ERROR_SUCCESS) {
                m_error = "PortName";
                return false;
            }
        }
        return true;
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    std::vector<SP_DEVINFO_DATA> m_devices;
    std::string m_error;
};

inline bool PrivateRegistry() {
    const char* value = std::getenv("QUILLON_TEST_PRIVATE_REGISTRY");
    return value != nullptr && std::strcmp(value, "1") == 0;
}
