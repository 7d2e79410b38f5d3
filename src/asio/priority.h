// The streaming thread's priority: the "Pro Audio" task of the multimedia class scheduler when
// avrt.dll offers it, the time-critical thread priority otherwise.
#pragma once

#include "platform/platform.h"

namespace ferox {

// Raises the calling thread for its lifetime and puts it back when destroyed, which must happen
// on the same thread. Each step is traced.
class ProAudioPriority {
  public:
    enum class Kind { None, Mmcss, TimeCritical };

    ProAudioPriority() noexcept;
    ~ProAudioPriority();
    ProAudioPriority(const ProAudioPriority&) = delete;
    ProAudioPriority& operator=(const ProAudioPriority&) = delete;

    Kind Taken() const { return m_kind; }

  private:
    using RevertFn = BOOL(WINAPI*)(HANDLE task);

    Kind m_kind = Kind::None;
    HMODULE m_avrt = nullptr;
    HANDLE m_task = nullptr;
    RevertFn m_revert = nullptr;
    int m_previous = 0;  // the thread priority before, for TimeCritical
};

}  // namespace ferox
