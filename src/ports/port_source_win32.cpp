#include "ports/port_source_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: SetupAPI needs its types.
#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>

namespace {

// GUID_DEVINTERFACE_COMPORT, spelled out: the SDK header defines it only with INITGUID.
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

using GetCustomDevicePropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, PCSTR, DWORD, PDWORD,
                                                PBYTE, DWORD, PDWORD);

// One buffer of the size every property read uses.
struct PropertyBuffer {
    char data[kPortPropertyBufferSize];
};

bool ReadRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA& info, DWORD property,
                          std::string& field) {
    PropertyBuffer buffer;
    DWORD type = 0;
    DWORD required = 0;
    const BOOL ok = SetupDiGetDeviceRegistryPropertyA(list, &info, property, &type,
                                                      reinterpret_cast<PBYTE>(buffer.data),
                                                      sizeof buffer.data, &required);
    // On success the value fits; its length is what the system reports as required.
    return TakeStringProperty(ok != FALSE, type, buffer.data,
                              std::min<DWORD>(required, sizeof buffer.data), field);
}

bool ReadPortNameProperty(HDEVINFO list, SP_DEVINFO_DATA& info, void* customFn,
                          std::string& field) {
    PropertyBuffer buffer;
    DWORD type = 0;
    if (customFn != nullptr) {
        DWORD required = 0;
        const BOOL ok = reinterpret_cast<GetCustomDevicePropertyFn>(customFn)(
            list, &info, "PortName", 0, &type, reinterpret_cast<PBYTE>(buffer.data),
            sizeof buffer.data, &required);
        return TakeStringProperty(ok != FALSE, type, buffer.data,
                                  std::min<DWORD>(required, sizeof buffer.data), field);
    }
    // Without the entry point, the value is read where it lives: the device's hardware key.
    const HKEY key =
        SetupDiOpenDevRegKey(list, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD size = sizeof buffer.data;
    const LONG rc = RegQueryValueExA(key, "PortName", nullptr, &type,
                                     reinterpret_cast<LPBYTE>(buffer.data), &size);
    RegCloseKey(key);
    return TakeStringProperty(rc == ERROR_SUCCESS, type, buffer.data,
                              std::min<DWORD>(size, sizeof buffer.data), field);
}

}  // namespace

bool TakeStringProperty(bool callOk, std::uint32_t regType, const char* data, std::uint32_t size,
                        std::string& field) {
    if (!callOk) {
        return false;
    }
    if (regType != REG_SZ) {
        field.clear();
        return true;
    }
    // The stored value may or may not carry its terminating zero.
    const char* end = std::find(data, data + size, '\0');
    field.assign(data, end);
    return true;
}

bool IsComPortChange(std::uintptr_t event, const void* data, bool wide) {
    if ((event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) || data == nullptr) {
        return false;
    }
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
    if (header->dbch_devicetype != DBT_DEVTYP_PORT) {
        return false;
    }
    // The name runs to its terminating zero, but never past the size the record gives.
    std::string name;
    if (wide) {
        const auto* port = static_cast<const DEV_BROADCAST_PORT_W*>(data);
        const std::size_t offset = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
        const std::size_t count =
            port->dbcp_size > offset ? (port->dbcp_size - offset) / sizeof(wchar_t) : 0;
        for (std::size_t i = 0; i < count && port->dbcp_name[i] != L'\0'; ++i) {
            const wchar_t c = port->dbcp_name[i];
            name.push_back(c < 0x80 ? static_cast<char>(c) : '?');  // COM names are ASCII
        }
    } else {
        const auto* port = static_cast<const DEV_BROADCAST_PORT_A*>(data);
        const std::size_t offset = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
        const std::size_t count = port->dbcp_size > offset ? port->dbcp_size - offset : 0;
        for (std::size_t i = 0; i < count && port->dbcp_name[i] != '\0'; ++i) {
            name.push_back(port->dbcp_name[i]);
        }
    }
    return CPortList::ParsePortNumber(name) >= 1;
}

CWin32PortSource::CWin32PortSource() : m_hDevInfo(INVALID_HANDLE_VALUE) {}

CWin32PortSource::~CWin32PortSource() {
    End();
}

bool CWin32PortSource::Begin(bool onlyPresent) {
    End();
    const HMODULE lib = LoadLibraryA("setupapi");
    if (lib == nullptr) {
        return false;
    }
    m_hSetupApi = lib;
    m_pfnGetCustomProperty =
        reinterpret_cast<void*>(GetProcAddress(lib, "SetupDiGetCustomDevicePropertyA"));

    const DWORD flags = DIGCF_DEVICEINTERFACE | (onlyPresent ? DIGCF_PRESENT : 0);
    const HDEVINFO list = SetupDiGetClassDevsA(&kComPortInterface, nullptr, nullptr, flags);
    if (list == INVALID_HANDLE_VALUE) {
        return false;
    }
    m_hDevInfo = list;
    m_nIndex = 0;
    return true;
}

PortSourceStep CWin32PortSource::Next(CPortDevice& device) {
    if (m_hDevInfo == INVALID_HANDLE_VALUE) {
        return PortSourceStep::Failed;
    }
    const HDEVINFO list = static_cast<HDEVINFO>(m_hDevInfo);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(list, m_nIndex, &info)) {
        return GetLastError() == ERROR_NO_MORE_ITEMS ? PortSourceStep::End : PortSourceStep::Failed;
    }
    ++m_nIndex;

    device = CPortDevice{};
    if (ReadRegistryProperty(list, info, SPDRP_FRIENDLYNAME, device.m_strFriendlyName)) {
        device.m_nFound |= CPortDevice::FOUND_FRIENDLYNAME;
    }
    if (ReadRegistryProperty(list, info, SPDRP_SERVICE, device.m_strService)) {
        device.m_nFound |= CPortDevice::FOUND_SERVICE;
    }
    if (ReadPortNameProperty(list, info, m_pfnGetCustomProperty, device.m_strPortName)) {
        device.m_nFound |= CPortDevice::FOUND_PORTNAME;
    }
    return PortSourceStep::Device;
}

void CWin32PortSource::End() {
    if (m_hDevInfo != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(m_hDevInfo));
        m_hDevInfo = INVALID_HANDLE_VALUE;
    }
    m_pfnGetCustomProperty = nullptr;
    if (m_hSetupApi != nullptr) {
        FreeLibrary(static_cast<HMODULE>(m_hSetupApi));
        m_hSetupApi = nullptr;
    }
}

std::unique_ptr<IPortSource> CreateSystemPortSource() {
    return std::make_unique<CWin32PortSource>();
}
