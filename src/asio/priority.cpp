#include "asio/priority.h"

#include "common/trace.h"
#include "platform/system_library.h"

namespace ferox {

namespace {

using SetCharacteristicsFn = HANDLE(WINAPI*)(LPCWSTR task, LPDWORD taskIndex);
using SetPriorityFn = BOOL(WINAPI*)(HANDLE task, int priority);
constexpr int kAvrtPriorityCritical = 2;

template <typename Fn>
Fn Proc(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

ProAudioPriority::ProAudioPriority() noexcept {
    m_avrt = LoadSystemLibrary(
        [](LPCWSTR name, HANDLE file, DWORD flags) { return LoadLibraryExW(name, file, flags); },
        WSTR("avrt.dll"));
    if (m_avrt) {
        const auto join = Proc<SetCharacteristicsFn>(m_avrt, "AvSetMmThreadCharacteristicsW");
        const auto raise = Proc<SetPriorityFn>(m_avrt, "AvSetMmThreadPriority");
        m_revert = Proc<RevertFn>(m_avrt, "AvRevertMmThreadCharacteristics");
        DWORD taskIndex = 0;
        // Without a way back the thread must not join: it would stay in the task after us.
        if (join && m_revert)
            m_task = join(WSTR("Pro Audio"), &taskIndex);
        if (m_task) {
            m_kind = Kind::Mmcss;
            const bool critical = raise && raise(m_task, kAvrtPriorityCritical);
            Trace(kTraceNotice, WSTR("Streaming thread joined MMCSS \"Pro Audio\" (task %u), %s"),
                  static_cast<unsigned>(taskIndex),
                  critical ? WSTR("critical priority") : WSTR("priority left as the task's"));
            return;
        }
        Trace(kTraceError, WSTR("MMCSS \"Pro Audio\" refused (error %u)"),
              static_cast<unsigned>(GetLastError()));
        FreeLibrary(m_avrt);
        m_avrt = nullptr;
    } else {
        Trace(kTraceError, WSTR("avrt.dll not available (error %u)"),
              static_cast<unsigned>(GetLastError()));
    }
    m_previous = GetThreadPriority(GetCurrentThread());
    if (m_previous != THREAD_PRIORITY_ERROR_RETURN &&
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
        m_kind = Kind::TimeCritical;
        Trace(kTraceNotice, WSTR("Streaming thread at THREAD_PRIORITY_TIME_CRITICAL"));
    } else {
        Trace(kTraceError, WSTR("Streaming thread left at its priority (error %u)"),
              static_cast<unsigned>(GetLastError()));
    }
}

ProAudioPriority::~ProAudioPriority() {
    if (m_kind == Kind::Mmcss) {
        m_revert(m_task);
        Trace(kTraceNotice, WSTR("Streaming thread left MMCSS \"Pro Audio\""));
    } else if (m_kind == Kind::TimeCritical) {
        SetThreadPriority(GetCurrentThread(), m_previous);
        Trace(kTraceNotice, WSTR("Streaming thread back at priority %d"), m_previous);
    }
    if (m_avrt)
        FreeLibrary(m_avrt);
}

}  // namespace ferox
