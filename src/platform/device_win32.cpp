// The production backend: straight to Windows.
#include "platform/device.h"

namespace ferox {
namespace {

class Win32Device final : public DeviceApi {
  public:
    HDEVINFO SetupDiGetClassDevsW(const GUID* g, PCWSTR e, HWND p, DWORD f) override {
        return ::SetupDiGetClassDevsW(g, e, p, f);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* g, DWORD i,
                                     PSP_DEVICE_INTERFACE_DATA o) override {
        return ::SetupDiEnumDeviceInterfaces(s, d, g, i, o);
    }
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W o, DWORD n, PDWORD r,
                                          PSP_DEVINFO_DATA i) override {
        return ::SetupDiGetDeviceInterfaceDetailW(s, d, o, n, r, i);
    }
    BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO s, PSP_DEVINFO_DATA d, PWSTR o, DWORD n,
                                     PDWORD r) override {
        return ::SetupDiGetDeviceInstanceIdW(s, d, o, n, r);
    }
    BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d, const GUID* g,
                                        PSP_DEVICE_INTERFACE_DATA o) override {
        return ::SetupDiGetDeviceInterfaceAlias(s, d, g, o);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override {
        return ::SetupDiDestroyDeviceInfoList(s);
    }
    HANDLE CreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                       HANDLE t) override {
        return ::CreateFileW(p, a, s, sa, d, f, t);
    }
    BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD ni, LPVOID o, DWORD no, LPDWORD r,
                         LPOVERLAPPED ov) override {
        return ::DeviceIoControl(h, c, i, ni, o, no, r, ov);
    }
    BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL w) override {
        return ::GetOverlappedResult(h, ov, n, w);
    }
    BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov) override { return ::CancelIoEx(h, ov); }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    HMODULE LoadLibraryExW(LPCWSTR n, HANDLE h, DWORD f) override {
        return ::LoadLibraryExW(n, h, f);
    }
    FARPROC GetProcAddress(HMODULE m, LPCSTR n) override { return ::GetProcAddress(m, n); }
};

}  // namespace

DeviceApi& Device() {
    static Win32Device device;
    return device;
}

}  // namespace ferox
