// The user's own settings of the driver, per user in HKEY_CURRENT_USER\Software\feroxasio. Read
// by the driver, written by feroxhost.
#pragma once

#include <cstddef>

#include "asio/asio.h"
#include "platform/platform.h"

namespace ferox {

inline constexpr WCHAR kSettingsKey[] = WSTR("Software\\feroxasio");
// REG_DWORD: PCM samples a buffer half; DSD takes the same number of 32-bit words.
inline constexpr WCHAR kBufferSizeValue[] = WSTR("BufferSize");
inline constexpr AsioLong kDefaultBufferSize = 1024;
inline constexpr AsioLong kBufferSizeChoices[] = {64, 128, 256, 512, 1024, 2048};

bool IsBufferSizeChoice(AsioLong size) noexcept;

// The user's buffer size; the default when none is set or the value is not one of the choices
// (traced, so a mistyped value can be found).
AsioLong UserBufferSize() noexcept;

// Stores a choice for this user: ERROR_INVALID_PARAMETER for any other size, else the registry's
// result.
LONG SetUserBufferSize(AsioLong size) noexcept;

// How long a buffer half of `size` lasts at `rate`, in milliseconds. In DSD mode the rate is the
// DSD sample rate and the size counts 32-bit words of 32 DSD samples each. 0 without a rate.
double BufferMilliseconds(AsioLong size, double rate, bool dsd) noexcept;

// A choice as the settings window lists it: its length at the rate, what it means in the other
// mode, and whether it is the default. For instance "256 samples: 5.8 ms at 44.1 kHz (DSD: 8192
// samples)" or "1024: 32768 DSD samples, 11.6 ms at DSD64 - default".
void DescribeBufferChoice(WCHAR* out, std::size_t cap, AsioLong size, double rate,
                          bool dsd) noexcept;

// Watches this user's settings key for a change made by any process. Armed on a host's thread;
// the streaming thread looks at it without waiting, allocating or locking.
class SettingsWatch {
  public:
    SettingsWatch() = default;
    ~SettingsWatch();
    SettingsWatch(const SettingsWatch&) = delete;
    SettingsWatch& operator=(const SettingsWatch&) = delete;

    // Asks for the next change of the key's values (creating the key when it is missing); false
    // when the registry refuses, and no change is then seen.
    bool Arm() noexcept;
    // True once for each change since the watch was armed; only a look at an event.
    bool Changed() const noexcept;

  private:
    HKEY m_key = nullptr;
    HANDLE m_event = nullptr;  // auto-reset: a look that sees the change takes it
};

}  // namespace ferox
