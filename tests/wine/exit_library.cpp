// A host's audio library, as players embed one: it opens the driver when asked and closes it in
// its own DLL_PROCESS_DETACH. When the process ends through ExitProcess, every other thread, the
// driver's streaming thread among them, is gone by then.
#include <windows.h>

#include <cstdio>

#include "asio/asio.h"
#include "wine/host_check.h"

namespace {

Driver g_driver{nullptr};
volatile LONG g_switches = 0;
wchar_t g_report[MAX_PATH] = L"";

void __cdecl OnSwitch(AsioLong, ASIOBool) {
    InterlockedIncrement(&g_switches);
}
void __cdecl OnRate(ASIOSampleRate) {}
AsioLong __cdecl OnMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOCallbacks g_callbacks{&OnSwitch, &OnRate, &OnMessage, nullptr};

// The C runtime may be gone at this point: straight to a file.
void Report(const char* text) {
    HANDLE f = CreateFileW(g_report, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(f);
}

}  // namespace

// Loads the driver from `path` and plays silence; true once switches come. How it was closed goes
// to the file `report`.
extern "C" __declspec(dllexport) BOOL HostLibraryOpen(const wchar_t* path, const wchar_t* report) {
    lstrcpynW(g_report, report, MAX_PATH);
    HMODULE dll = LoadLibraryW(path);
    g_driver.self = dll ? CreateFromExports(dll) : nullptr;
    if (!g_driver.self || g_driver.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) != ASIOTrue)
        return FALSE;
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    if (g_driver.Call<ASIOError>(kCreateBuffers, buffers, AsioLong{2}, AsioLong{1024},
                                 &g_callbacks) != ASE_OK ||
        g_driver.Call<ASIOError>(kStart) != ASE_OK) {
        return FALSE;
    }
    for (int i = 0; i < 500 && g_switches < 4; ++i)
        Sleep(10);
    return g_switches >= 4;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // reserved is non-null when the process ends rather than the library being freed.
    if (reason != DLL_PROCESS_DETACH || !reserved || !g_driver.self)
        return TRUE;
    const DWORD t0 = GetTickCount();
    Report("still in stop");  // what a hang leaves
    const ASIOError stopped = g_driver.Call<ASIOError>(kStop);
    Report("still in disposeBuffers");
    const ASIOError disposed = g_driver.Call<ASIOError>(kDisposeBuffers);
    Report("still in Release");
    const ULONG left = g_driver.CallStd<ULONG>(kRelease);
    char line[160];
    std::snprintf(line, sizeof line,
                  "closed at process exit in %lu ms: stop %ld, disposeBuffers %ld, Release %lu",
                  GetTickCount() - t0, static_cast<long>(stopped), static_cast<long>(disposed),
                  left);
    Report(line);
    return TRUE;
}
