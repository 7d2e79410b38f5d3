// What the Windows host programs under Wine share: a check that counts failures instead of
// stopping, and the calling convention MSVC-built hosts use for IASIO's own methods.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

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
