// The settings window as a host opens it, on a virtual X display: controlPanel from a host's
// thread, the window found by its title and driven by messages. Cancel stores nothing; OK stores
// the choice and the playing host is asked once to rebuild, then offered the new size; a host in
// another process is asked too when `feroxhost config buffer` changes the size. controlPanel
// returns at once when the window closes, and a host that releases the driver from inside the
// window's modal loop (answering a reset request it posted itself, as frameworks do) lives on.
// Saves a screenshot of the window as a BMP.
//
//   settings_window_check DLL SCREENSHOT.bmp FEROXHOST   the checks
//   settings_window_check stream DLL                     the other process's host
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "asio/asio.h"
#include "wine/host_check.h"

namespace {

constexpr WCHAR kTitle[] = L"ASIO ferox Driver";
constexpr int kBufferList = 101;  // the drop-down's control id
constexpr int kDacText = 107;
constexpr int kStreamText = 109;
constexpr WCHAR kReadyEvent[] = L"ferox-settings-window-check-ready";

Driver g_driver{nullptr};
HMODULE g_dll = nullptr;
// The host window a reset request is posted to, as a host answers it later on its UI thread.
HWND g_postResetTo = nullptr;
constexpr UINT kAnswerReset = WM_APP + 1;
volatile LONG g_releasedInLoop = -1;  // what the last Release answered there
DWORD g_releasedAt = 0;
volatile LONG g_switches = 0;
volatile LONG g_resets = 0;
FILETIME g_resetAt{};
DWORD g_resetTicks = 0;

volatile LONG g_panelInSwitch = 1;  // what controlPanel answered inside a switch

void __cdecl OnSwitch(AsioLong, ASIOBool) {
    // No window on the streaming thread: it would hold the stream while open.
    if (InterlockedIncrement(&g_switches) == 3)
        g_panelInSwitch = g_driver.Call<ASIOError>(kControlPanel);
}
void __cdecl OnRate(ASIOSampleRate) {}
AsioLong __cdecl OnMessage(AsioLong selector, AsioLong value, void*, double*) {
    if (selector == kAsioSelectorSupported)
        return value == kAsioResetRequest;
    if (selector == kAsioResetRequest) {
        GetSystemTimeAsFileTime(&g_resetAt);
        g_resetTicks = GetTickCount();
        InterlockedIncrement(&g_resets);
        if (g_postResetTo)
            PostMessageW(g_postResetTo, kAnswerReset, 0, 0);
        return 1;
    }
    return 0;
}
ASIOCallbacks g_callbacks{&OnSwitch, &OnRate, &OnMessage, nullptr};

bool WaitFor(volatile LONG* value, LONG count, DWORD ms = 5000) {
    for (DWORD waited = 0; *value < count && waited < ms; waited += 5)
        Sleep(5);
    return *value >= count;
}

AsioLong Offered() {
    AsioLong mn = 0, mx = 0, pref = 0, gran = 0;
    g_driver.Call<ASIOError>(kGetBufferSize, &mn, &mx, &pref, &gran);
    return pref;
}

// Buffers of the size offered, playing.
bool Play() {
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    CHECK(g_driver.Call<ASIOError>(kCreateBuffers, buffers, AsioLong{2}, Offered(), &g_callbacks) ==
          ASE_OK);
    const LONG before = g_switches;
    CHECK(g_driver.Call<ASIOError>(kStart) == ASE_OK);
    return WaitFor(&g_switches, before + 4);
}

DWORD StoredSize() {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\feroxasio", L"BufferSize", RRF_RT_REG_DWORD,
                     nullptr, &value, &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

bool LoadDriver(const char* path) {
    HMODULE dll = LoadLibraryW(WindowsPath(path).c_str());
    CHECK(dll != nullptr);
    g_dll = dll;
    g_driver.self = dll ? CreateFromExports(dll) : nullptr;
    return g_driver.self && g_driver.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue;
}

// A host's UI thread: its own main window, active, and controlPanel called from there.
struct HostThread {
    HANDLE thread = nullptr;
    HWND window = nullptr;
    volatile LONG result = 1;
    DWORD returnedAt = 0;  // GetTickCount as controlPanel returned

    static DWORD WINAPI Run(LPVOID self) {
        auto* h = static_cast<HostThread*>(self);
        h->window =
            CreateWindowExW(0, L"ferox-check-host", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20,
                            20, 300, 200, nullptr, nullptr, nullptr, nullptr);
        SetForegroundWindow(h->window);
        SetActiveWindow(h->window);
        h->result = g_driver.Call<ASIOError>(kControlPanel);
        h->returnedAt = GetTickCount();
        DestroyWindow(h->window);
        return 0;
    }
    void Start() { thread = CreateThread(nullptr, 0, &Run, this, 0, nullptr); }
    // The result of controlPanel once it returned; 1 when it did not within 5 s.
    LONG Join() {
        if (WaitForSingleObject(thread, 5000) != WAIT_OBJECT_0)
            return 1;
        CloseHandle(thread);
        return result;
    }
};

// The window once it shows: made and filled.
HWND FindPanel() {
    for (int i = 0; i < 1000; ++i) {
        HWND w = FindWindowW(L"#32770", kTitle);
        if (w && IsWindowVisible(w))
            return w;
        Sleep(10);
    }
    return nullptr;
}

std::wstring ItemText(HWND dlg, int id) {
    WCHAR text[512] = L"";
    GetDlgItemTextW(dlg, id, text, 512);
    return text;
}

std::wstring SelectedText(HWND dlg) {
    HWND list = GetDlgItem(dlg, kBufferList);
    const LRESULT i = SendMessageW(list, CB_GETCURSEL, 0, 0);
    WCHAR text[256] = L"";
    if (i >= 0 && SendMessageW(list, CB_GETLBTEXTLEN, i, 0) < 256)
        SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
    return text;
}

// As a user's choice arrives: the selection, then the list's notification to the dialog.
void Choose(HWND dlg, const WCHAR* prefix) {
    HWND list = GetDlgItem(dlg, kBufferList);
    const LRESULT i = SendMessageW(list, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(prefix));
    CHECK(i >= 0);
    SendMessageW(list, CB_SETCURSEL, i, 0);
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(kBufferList, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(list));
}

void Press(HWND dlg, int id) {
    SendMessageW(GetDlgItem(dlg, id), BM_CLICK, 0, 0);
}

// The window with its frame, as the screen shows it, into a 24-bit BMP.
bool Screenshot(HWND window, const char* path) {
    RECT r{};
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bitmap);
    const bool copied = BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY) != FALSE;
    GdiFlush();
    const DWORD stride = ((w * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + stride * h;
    bool written = false;
    if (FILE* f = std::fopen(path, "wb")) {
        written = std::fwrite(&file, sizeof file, 1, f) == 1 &&
                  std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
                  std::fwrite(bits, stride * h, 1, f) == 1;
        written = std::fclose(f) == 0 && written;
    }
    SelectObject(mem, old);
    DeleteObject(bitmap);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return copied && written;
}

// Milliseconds from the latest write of the settings key to the reset request.
long MsSinceChange() {
    HKEY key = nullptr;
    FILETIME written{};
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\feroxasio", 0, KEY_READ, &key) != 0)
        return -1;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, &written);
    RegCloseKey(key);
    ULARGE_INTEGER a{}, b{};
    a.LowPart = written.dwLowDateTime;
    a.HighPart = written.dwHighDateTime;
    b.LowPart = g_resetAt.dwLowDateTime;
    b.HighPart = g_resetAt.dwHighDateTime;
    return static_cast<long>(
        (static_cast<LONGLONG>(b.QuadPart) - static_cast<LONGLONG>(a.QuadPart)) / 10000);
}

// The other process: plays until it is asked to rebuild, once.
int StreamChild(const char* dll) {
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
    CHECK(ready != nullptr);
    CHECK(LoadDriver(dll));
    CHECK(Play());
    SetEvent(ready);
    CHECK(WaitFor(&g_resets, 1, 10000));
    const long ms = MsSinceChange();
    Sleep(300);
    CHECK(g_resets == 1);
    std::printf("another process: reset request %ld ms after feroxhost changed the size\n", ms);
    CHECK(ms >= 0 && ms < 3000);
    CHECK(g_driver.Call<ASIOError>(kStop) == ASE_OK);
    CHECK(g_driver.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    CHECK(g_driver.CallStd<ULONG>(kRelease) == 0);
    return g_checkFailures == 0 ? 0 : 1;
}

PROCESS_INFORMATION Spawn(std::wstring line) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    CHECK(CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                         &pi));
    return pi;
}

// The process's exit code once it ended (within 30 s).
DWORD Finish(const PROCESS_INFORMATION& pi) {
    DWORD code = 999;
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

// The host's window: a reset request it posted to itself is answered here, inside whatever
// message loop runs, the settings window's included. The answer ends with the driver.
LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kAnswerReset && g_driver.self) {
        g_driver.Call<ASIOError>(kStop);
        g_driver.Call<ASIOError>(kDisposeBuffers);
        g_releasedInLoop = static_cast<LONG>(g_driver.CallStd<ULONG>(kRelease));
        g_releasedAt = GetTickCount();
        g_driver.self = nullptr;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HRESULT CanUnloadNow() {
    using Fn = HRESULT(__stdcall*)();
    auto fn =
        reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_dll, "DllCanUnloadNow")));
    return fn ? fn() : E_FAIL;
}

}  // namespace

int main(int argc, char** argv) {
    ReportCrashes();
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 3 && std::string(argv[1]) == "stream")
        return StreamChild(argv[2]);
    if (argc != 4) {
        std::printf("usage: settings_window_check DLL SCREENSHOT.bmp FEROXHOST\n");
        return 2;
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\feroxasio");
    WNDCLASSW hostClass{};
    hostClass.lpfnWndProc = &HostProc;
    hostClass.lpszClassName = L"ferox-check-host";
    RegisterClassW(&hostClass);
    if (!LoadDriver(argv[1])) {
        std::printf("the driver did not load\n");
        return 1;
    }
    CHECK(Play());
    CHECK(g_panelInSwitch == ASE_NotPresent);

    // Cancel: nothing stored, nothing asked.
    HostThread first;
    first.Start();
    HWND dlg = FindPanel();
    CHECK(dlg != nullptr);
    if (!dlg)
        return 1;
    CHECK(GetWindow(dlg, GW_OWNER) == first.window);
    CHECK(!IsWindowEnabled(first.window));  // modal to the host's window
    CHECK(SelectedText(dlg).rfind(L"1024 samples", 0) == 0);
    CHECK(SelectedText(dlg).find(L"default") != std::wstring::npos);
    Choose(dlg, L"256 ");
    Press(dlg, IDCANCEL);
    CHECK(first.Join() == ASE_OK);
    Sleep(300);
    CHECK(StoredSize() == 0);
    CHECK(g_resets == 0);
    CHECK(Offered() == 1024);

    // OK: stored, asked once, offered.
    HostThread second;
    second.Start();
    dlg = FindPanel();
    CHECK(dlg != nullptr);
    if (!dlg)
        return 1;
    Sleep(1500);  // painted, and the status read again
    std::wprintf(L"status: DAC %ls; %ls\n", ItemText(dlg, kDacText).c_str(),
                 ItemText(dlg, kStreamText).c_str());
    CHECK(ItemText(dlg, kDacText) == L"present");
    CHECK(ItemText(dlg, kStreamText).find(L"buffer 1024 samples") != std::wstring::npos);
    CHECK(Screenshot(dlg, argv[2]));
    // A second call while it is open brings it to the front and returns (a second modal window
    // would not).
    CHECK(g_driver.Call<ASIOError>(kControlPanel) == ASE_OK);
    Choose(dlg, L"256 ");
    const DWORD t0 = GetTickCount();
    Press(dlg, IDOK);
    CHECK(second.Join() == ASE_OK);
    const DWORD closed = GetTickCount() - t0;
    CHECK(StoredSize() == 256);
    CHECK(WaitFor(&g_resets, 1));
    std::printf(
        "this process: reset request %lu ms after OK (controlPanel returned after %lu ms)\n",
        g_resetTicks - t0, closed);
    CHECK(g_driver.Call<ASIOError>(kStop) == ASE_OK);
    CHECK(g_driver.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    CHECK(Offered() == 256);
    CHECK(Play());
    Sleep(300);
    CHECK(g_resets == 1);

    // Another process playing hears of a change made by feroxhost, and so does this one.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEvent);
    const std::wstring host = L"\"" + WindowsPath(argv[3]) + L"\"";
    const PROCESS_INFORMATION child =
        Spawn(L"\"" + WindowsPath(argv[0]) + L"\" stream \"" + WindowsPath(argv[1]) + L"\"");
    CHECK(WaitForSingleObject(ready, 30000) == WAIT_OBJECT_0);
    CHECK(Finish(Spawn(host + L" config buffer 512")) == 0);
    CHECK(Finish(child) == 0);
    CloseHandle(ready);
    CHECK(WaitFor(&g_resets, 2));
    CHECK(Offered() == 512);

    // Outside any host: feroxhost panel shows the same window (the DLL is registered in this
    // prefix), and Cancel ends it.
    const PROCESS_INFORMATION panel = Spawn(host + L" panel");
    dlg = FindPanel();
    CHECK(dlg != nullptr);
    if (dlg) {
        DWORD owner = 0;
        GetWindowThreadProcessId(dlg, &owner);
        CHECK(owner == panel.dwProcessId);
        Sleep(500);
        CHECK(ItemText(dlg, kDacText) == L"present");
        CHECK(SelectedText(dlg).rfind(L"512 samples", 0) == 0);
        Press(dlg, IDCANCEL);
    }
    CHECK(Finish(panel) == 0);

    // Closed by its frame's close box: controlPanel returns at once, the host's thread is free.
    HostThread closing;
    closing.Start();
    dlg = FindPanel();
    CHECK(dlg != nullptr);
    if (dlg) {
        Sleep(1200);  // a status refresh or two
        const DWORD t0 = GetTickCount();
        PostMessageW(dlg, WM_CLOSE, 0, 0);
        CHECK(closing.Join() == ASE_OK);
        const DWORD ms = closing.returnedAt - t0;
        std::printf("controlPanel returned %lu ms after WM_CLOSE\n", ms);
        CHECK(ms < 300);
    }

    // A host that answers a reset request on its UI thread, posting it to itself: the window's
    // Apply causes one, and the answer, run by the window's own loop, releases the driver. The
    // window closes, controlPanel returns, the object and the DAC are gone, the host lives on.
    HostThread releasing;
    releasing.Start();
    dlg = FindPanel();
    CHECK(dlg != nullptr);
    if (dlg) {
        g_postResetTo = releasing.window;
        const LONG resets = g_resets;
        Choose(dlg, L"1024 ");
        Press(dlg, 104);  // Apply
        CHECK(WaitFor(&g_resets, resets + 1));
        CHECK(releasing.Join() == ASE_OK);
        g_postResetTo = nullptr;
        CHECK(g_releasedInLoop == 0);
        std::printf("released in the window's loop: controlPanel returned %lu ms after Release\n",
                    releasing.returnedAt - g_releasedAt);
        CHECK(releasing.returnedAt - g_releasedAt < 300);
        CHECK(CanUnloadNow() == S_OK);
        CHECK(FindWindowW(L"#32770", kTitle) == nullptr);
        // The DAC is free for the host's next driver object.
        CHECK(LoadDriver(argv[1]));
        CHECK(Play());
    }

    CHECK(g_driver.Call<ASIOError>(kStop) == ASE_OK);
    CHECK(g_driver.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    CHECK(g_driver.CallStd<ULONG>(kRelease) == 0);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\feroxasio");
    std::printf("%d checks failed\n", g_checkFailures);
    return g_checkFailures == 0 ? 0 : 1;
}
