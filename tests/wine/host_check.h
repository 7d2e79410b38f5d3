// What the Windows host programs under Wine share: a check that counts failures instead of
// stopping, and the calling convention MSVC-built hosts use for IASIO's own methods.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "asio/driver_id.h"

inline int g_checkFailures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_checkFailures;                                                   \
        }                                                                        \
    } while (0)

#if defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#else
#define HOST_THISCALL
#endif

// A host knows the interface only as a table of slots.
enum Slot {
    kQueryInterface,
    kAddRef,
    kRelease,
    kInit,
    kGetDriverName,
    kGetDriverVersion,
    kGetErrorMessage,
    kStart,
    kStop,
    kGetChannels,
    kGetLatencies,
    kGetBufferSize,
    kCanSampleRate,
    kGetSampleRate,
    kSetSampleRate,
    kGetClockSources,
    kSetClockSource,
    kGetSamplePosition,
    kGetChannelInfo,
    kCreateBuffers,
    kDisposeBuffers,
    kControlPanel,
    kFuture,
    kOutputReady
};

struct Driver {
    void* self;
    void* Slot(int n) const { return (*static_cast<void***>(self))[n]; }
    template <typename R, typename... A>
    R Call(int n, A... a) const {
        using Fn = R(HOST_THISCALL*)(void*, A...);
        return reinterpret_cast<Fn>(Slot(n))(self, a...);
    }
    template <typename R, typename... A>
    R CallStd(int n, A... a) const {
        using Fn = R(__stdcall*)(void*, A...);
        return reinterpret_cast<Fn>(Slot(n))(self, a...);
    }
};

// The driver as a host that loads the DLL itself makes it: through the exported class factory.
// Null when that fails.
inline void* CreateFromExports(HMODULE dll) {
    using GetClassObjectFn = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    CHECK(getClassObject != nullptr);
    if (!getClassObject)
        return nullptr;
    IClassFactory* factory = nullptr;
    CHECK(getClassObject(ferox::kClsidFeroxAsio, IID_IClassFactory,
                         reinterpret_cast<void**>(&factory)) == S_OK);
    if (!factory)
        return nullptr;
    void* p = nullptr;
    CHECK(factory->CreateInstance(nullptr, ferox::kClsidFeroxAsio, &p) == S_OK);
    factory->Release();
    return p;
}

inline std::wstring WindowsPath(const char* path) {
    std::wstring w;
    if (path[0] == '/')
        w = L"Z:";
    for (const char* p = path; *p; ++p)
        w += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
    return w;
}

// A crash prints a line and ends the program with exit code 3, instead of waiting in a debugger.
inline LONG WINAPI ReportCrash(EXCEPTION_POINTERS* e) {
    std::printf("crashed: exception %#lx at %p\n", e->ExceptionRecord->ExceptionCode,
                e->ExceptionRecord->ExceptionAddress);
    std::fflush(stdout);
    ExitProcess(3);
}

inline void ReportCrashes() {
    SetUnhandledExceptionFilter(&ReportCrash);
}

// The user's driver settings (HKCU\Software\feroxasio) set aside while a check runs, so that it
// starts from the defaults, and put back as they were when it ends: the driver keeps the rate a
// host sets, and the next check in the prefix expects the settings it left.
class UserSettingsAside {
  public:
    UserSettingsAside() {
        HKEY key = nullptr;
        m_existed = RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key) == ERROR_SUCCESS;
        if (!m_existed)
            return;
        DWORD longestName = 0, largest = 0;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &longestName, &largest, nullptr, nullptr);
        std::vector<wchar_t> name(longestName + 1);
        for (DWORD i = 0;; ++i) {
            Value v;
            v.data.resize(largest);
            DWORD nameSize = longestName + 1, size = largest;
            if (RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &v.type, v.data.data(),
                              &size) != ERROR_SUCCESS)
                break;
            v.name.assign(name.data(), nameSize);
            v.data.resize(size);
            m_values.push_back(v);
        }
        RegCloseKey(key);
        Clear();
    }
    ~UserSettingsAside() {
        Clear();
        if (!m_existed) {
            RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
            return;
        }
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        for (const Value& v : m_values)
            RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                           static_cast<DWORD>(v.data.size()));
        RegCloseKey(key);
    }
    UserSettingsAside(const UserSettingsAside&) = delete;
    UserSettingsAside& operator=(const UserSettingsAside&) = delete;

  private:
    struct Value {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    static constexpr const wchar_t* kKey = L"Software\\feroxasio";

    // Every value of the key goes, whoever wrote it; the key itself stays.
    static void Clear() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ | KEY_SET_VALUE, &key) !=
            ERROR_SUCCESS)
            return;
        wchar_t name[16384];  // the longest name a value may have
        for (DWORD n = 16384;
             RegEnumValueW(key, 0, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             n = 16384) {
            if (RegDeleteValueW(key, name) != ERROR_SUCCESS)
                break;
        }
        RegCloseKey(key);
    }

    bool m_existed = false;
    std::vector<Value> m_values;
};
