// The user's own settings of the driver, per user in HKEY_CURRENT_USER\Software\feroxasio. Read
// by the driver; written only by feroxhost, the settings window and what a user sets on purpose.
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

// Watches this user's settings key for a change made by any process, on a thread of its own:
// the registry is read and the watch re-armed there, where waiting is allowed, never on the
// streaming thread. Only reads: a missing key is watched for its creation, not created.
class SettingsWatch {
  public:
    // Runs on the watch's thread after each change of the key, its values, or its existence.
    using Handler = void (*)(void* context);

    SettingsWatch() = default;
    ~SettingsWatch();
    SettingsWatch(const SettingsWatch&) = delete;
    SettingsWatch& operator=(const SettingsWatch&) = delete;

    // Starts the thread (once; later calls answer whether it runs). False when it cannot be had:
    // no change is then seen.
    bool Start(Handler handler, void* context) noexcept;
    // Ends the thread; it no longer runs the handler once this returns.
    void Stop() noexcept;

  private:
    static DWORD WINAPI Run(LPVOID self);
    void Watch();
    // Asks for the next change of the key (when it exists) and of the names under its parent
    // (its creation or deletion); false when the registry refuses both.
    bool Arm() noexcept;
    void CloseKeys() noexcept;

    Handler m_handler = nullptr;
    void* m_context = nullptr;
    HKEY m_key = nullptr;     // the settings key, while it exists
    HKEY m_parent = nullptr;  // HKCU\Software
    HANDLE m_keyChanged = nullptr;
    HANDLE m_parentChanged = nullptr;
    HANDLE m_quit = nullptr;
    // Set by the thread once it no longer touches the object: its handle signals only after its
    // exit, which may wait for the loader.
    HANDLE m_done = nullptr;
    HANDLE m_thread = nullptr;
};

}  // namespace ferox
