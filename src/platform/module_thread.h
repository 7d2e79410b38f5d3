// A thread of the DLL that others wait for only until it says it is done, then may let the DLL
// go while the thread is still in its exit (which waits for the loader, and for its own I/O).
#pragma once

#include "platform/platform.h"

namespace ferox {

// Taken by the thread first: the DLL stays until the thread is gone.
inline HMODULE HoldOwnModule() {
    HMODULE module = nullptr;
#ifdef _WIN32
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&HoldOwnModule), &module);
#endif
    return module;
}

// Its last touch of what its waiter frees (`done`, when given), then an exit that never returns
// into the DLL. Returns only where there is no module to let go.
inline void SayDoneAndExit(HANDLE done, HMODULE module) {
    if (done)
        SetEvent(done);
#ifdef _WIN32
    if (module)
        FreeLibraryAndExitThread(module, 0);
#else
    (void)module;
#endif
}

// Whether the process is ending: ExitProcess has ended every other thread, and what they held (a
// lock of a user-mode device driver, say) may never be let go. Nothing more is asked of the
// device then; Windows closes every handle itself.
inline bool ProcessEnding() {
#ifdef _WIN32
    using Fn = BOOLEAN(WINAPI*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto fn = ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(
                                GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                          : nullptr;
    return fn && fn();
#else
    return false;
#endif
}

}  // namespace ferox
