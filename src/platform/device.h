// The device seam: every call that reaches the DAC's kernel driver goes through here, so the
// simulated DAC can stand in for it (also under Wine, whose KsCreatePin and
// SetupDiGetDeviceInterfaceAlias abort the process).
#pragma once

#include "platform/ks.h"
#include "platform/platform.h"

namespace ferox {

// Same names, arguments and results as the Win32 calls they stand for.
class DeviceApi {
  public:
    virtual ~DeviceApi() = default;

    virtual HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                          DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA devInfo,
                                             const GUID* interfaceClass, DWORD index,
                                             PSP_DEVICE_INTERFACE_DATA data) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                  DWORD detailSize, PDWORD requiredSize,
                                                  PSP_DEVINFO_DATA devInfo) = 0;
    virtual BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA devInfo, PWSTR id,
                                             DWORD idSize, PDWORD requiredSize) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                const GUID* aliasClass,
                                                PSP_DEVICE_INTERFACE_DATA alias) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

    virtual HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE templateFile) = 0;
    virtual BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                 DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD transferred,
                                     BOOL wait) = 0;
    virtual BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped) = 0;
    // Closes device handles; any other handle is passed on to the platform's CloseHandle.
    virtual BOOL CloseHandle(HANDLE handle) = 0;

    // ksuser.dll and its KsCreatePin.
    virtual HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) = 0;
    virtual FARPROC GetProcAddress(HMODULE module, LPCSTR name) = 0;
};

// The backend linked into this binary: the real one (forwarding to Windows) or the simulated DAC.
DeviceApi& Device();

// KsCreatePin's user-mode signature: a Windows error code, 0 on success.
using KsCreatePinFn = DWORD(WINAPI*)(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access,
                                     PHANDLE pin);

}  // namespace ferox
