// Serial ports of a Windows machine through SetupAPI: the present devices of the COM-port
// interface class with their friendly name, driver service and "PortName". Never opens a
// device.
#pragma once

#include <cstdint>
#include <string>

#include "ports/port_list.h"

// Size of every property buffer: a longer value counts as not obtained.
constexpr std::uint32_t kPortPropertyBufferSize = 1024;

// How one property read turns into a record field. callOk: the system call succeeded;
// regType: the value's registry type; data/size: the bytes it returned. True when the
// property counts as obtained: a plain string (REG_SZ) is taken up to its first zero byte,
// any other type leaves the field empty but still counts. A failed call (missing value, or
// one longer than the buffer) is not obtained and leaves the field as it was.
bool TakeStringProperty(bool callOk, std::uint32_t regType, const char* data, std::uint32_t size,
                        std::string& field);

// Whether a WM_DEVICECHANGE notice is about a COM port, so that the port list is refilled:
// arrival (0x8000) or removal (0x8004) of a DBT_DEVTYP_PORT device whose name parses as a
// COM port number of 1 or more. data: the notice's DEV_BROADCAST_HDR (may be null); wide:
// the window receives the Unicode form of the record (DEV_BROADCAST_PORT_W).
bool IsComPortChange(std::uintptr_t event, const void* data, bool wide);

class CWin32PortSource : public IPortSource {
public:
    CWin32PortSource();
    ~CWin32PortSource() override;
    CWin32PortSource(const CWin32PortSource&) = delete;
    CWin32PortSource& operator=(const CWin32PortSource&) = delete;

    // Loads "setupapi" and looks up SetupDiGetCustomDevicePropertyA (it may be missing: then
    // "PortName" comes from the device's registry key), then asks for the device list.
    bool Begin(bool onlyPresent) override;
    PortSourceStep Next(CPortDevice& device) override;
    void End() override;

private:
    void* m_hSetupApi = nullptr;             // HMODULE
    void* m_pfnGetCustomProperty = nullptr;  // SetupDiGetCustomDevicePropertyA, or null
    void* m_hDevInfo = nullptr;              // HDEVINFO; INVALID_HANDLE_VALUE when none
    std::uint32_t m_nIndex = 0;
};
