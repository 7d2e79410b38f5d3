// The settings watch: a thread that waits for the registry to say the settings key changed.
#include <initializer_list>

#include "asio/settings.h"
#include "common/trace.h"
#include "platform/module_thread.h"

namespace ferox {

namespace {
constexpr WCHAR kParentKey[] = WSTR("Software");
constexpr DWORD kExitGraceMs = 250;
}  // namespace

SettingsWatch::~SettingsWatch() {
    Stop();
}

bool SettingsWatch::Start(Handler handler, void* context) noexcept {
    if (m_thread)
        return true;
    m_handler = handler;
    m_context = context;
    m_keyChanged = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_parentChanged = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_keyChanged && m_parentChanged && m_quit && m_done && Arm())
        m_thread = CreateThread(nullptr, 0, &SettingsWatch::Run, this, 0, nullptr);
    if (!m_thread) {
        Trace(kTraceError, WSTR("SettingsWatch::Start cannot watch HKCU\\Software\\feroxasio"));
        Stop();
        return false;
    }
    return true;
}

void SettingsWatch::Stop() noexcept {
    if (m_thread) {
        SetEvent(m_quit);
        // Its handle as well: a thread ended by the process's exit never says it is done.
        const HANDLE ends[] = {m_done, m_thread};
        // Then a short grace for its exit, so that a normal end leaves no thread holding the DLL
        // (its exit waits for the loader, which a caller may hold).
        if (WaitForMultipleObjects(2, ends, FALSE, INFINITE) == WAIT_OBJECT_0)
            WaitForSingleObject(m_thread, kExitGraceMs);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    CloseKeys();
    for (HANDLE* h : {&m_keyChanged, &m_parentChanged, &m_quit, &m_done}) {
        if (*h)
            CloseHandle(*h);
        *h = nullptr;
    }
}

void SettingsWatch::CloseKeys() noexcept {
    if (m_key)
        RegCloseKey(m_key);
    if (m_parent)
        RegCloseKey(m_parent);
    m_key = nullptr;
    m_parent = nullptr;
}

DWORD WINAPI SettingsWatch::Run(LPVOID self) {
    const HMODULE module = HoldOwnModule();
    auto* watch = static_cast<SettingsWatch*>(self);
    watch->Watch();
    SayDoneAndExit(watch->m_done, module);
    return 0;
}

void SettingsWatch::Watch() {
    const HANDLE events[] = {m_quit, m_keyChanged, m_parentChanged};
    for (;;) {
        const DWORD w = WaitForMultipleObjects(3, events, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0 || w >= WAIT_OBJECT_0 + 3)
            return;
        // A key made or deleted under the parent: whatever was open names the old one.
        if (w == WAIT_OBJECT_0 + 2)
            CloseKeys();
        // Armed before the read: a change made meanwhile signals again.
        const bool armed = Arm();
        m_handler(m_context);
        if (!armed) {
            Trace(kTraceError, WSTR("SettingsWatch: HKCU\\Software\\feroxasio no longer watched"));
            return;
        }
    }
}

bool SettingsWatch::Arm() noexcept {
    if (!m_parent &&
        RegOpenKeyExW(HKEY_CURRENT_USER, kParentKey, 0, KEY_NOTIFY, &m_parent) != ERROR_SUCCESS) {
        m_parent = nullptr;
    }
    // Not tied to the thread that asks (Windows 8 and later), else to this thread, which lives
    // as long as the watch.
    auto notify = [](HKEY key, DWORD filter, HANDLE event) {
        LONG rc =
            RegNotifyChangeKeyValue(key, FALSE, filter | REG_NOTIFY_THREAD_AGNOSTIC, event, TRUE);
        if (rc == ERROR_INVALID_PARAMETER)
            rc = RegNotifyChangeKeyValue(key, FALSE, filter, event, TRUE);
        return rc == ERROR_SUCCESS;
    };
    const bool parent = m_parent && notify(m_parent, REG_NOTIFY_CHANGE_NAME, m_parentChanged);
    // Opened after the parent's watch: a key made in between is seen either way.
    if (!m_key &&
        RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_NOTIFY, &m_key) != ERROR_SUCCESS) {
        m_key = nullptr;
    }
    bool key = m_key && notify(m_key, REG_NOTIFY_CHANGE_LAST_SET, m_keyChanged);
    if (m_key && !key) {
        RegCloseKey(m_key);
        m_key = nullptr;
    }
    return parent || key;
}

}  // namespace ferox
