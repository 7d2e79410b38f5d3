// The simulated DAC's side of the device seam. Until the simulated device is filled in, it is a
// machine without the DAC: no device interfaces, no device paths, no ksuser.dll.
#include "platform/device.h"

namespace ferox {
namespace {

// Any non-null value that no real handle takes; the set holds nothing.
HDEVINFO const kEmptySet = reinterpret_cast<HDEVINFO>(static_cast<ULONG_PTR>(0x5e70));

class NoDevice final : public DeviceApi {
public:
    HDEVINFO SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD) override { return kEmptySet; }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                     PSP_DEVICE_INTERFACE_DATA) override {
        SetLastError(s == kEmptySet ? ERROR_NO_MORE_ITEMS : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD, PDWORD,
                                          PSP_DEVINFO_DATA) override {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD) override {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, const GUID*,
                                        PSP_DEVICE_INTERFACE_DATA) override {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override {
        if (s == kEmptySet) return TRUE;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HANDLE CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                       HANDLE) override {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    BOOL DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD,
                         LPOVERLAPPED) override {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) override {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL CancelIoEx(HANDLE, LPOVERLAPPED) override {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    HMODULE LoadLibraryW(LPCWSTR) override {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    FARPROC GetProcAddress(HMODULE, LPCSTR) override {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
};

}  // namespace

DeviceApi& Device() {
    static NoDevice device;
    return device;
}

}  // namespace ferox
