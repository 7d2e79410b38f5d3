// The user's own settings of the driver, per user in HKEY_CURRENT_USER\Software\feroxasio. Read
// by the driver; written only by feroxhost, the settings window and what a user or host sets on
// purpose (a host's own setSampleRate is such a choice).
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

// REG_DWORD: milliseconds of audio kept queued at the device beyond the half the host is filling;
// the minimal margin, 0, is one write.
inline constexpr WCHAR kMarginValue[] = WSTR("Margin");
inline constexpr AsioLong kMinimalMargin = 0;
inline constexpr AsioLong kDefaultMargin = 10;
inline constexpr AsioLong kMarginChoices[] = {0, 5, 10, 20, 40};

bool IsMarginChoice(AsioLong ms) noexcept;

// The user's margin in milliseconds; the default when none is set or the value is not one of the
// choices (traced).
AsioLong UserMargin() noexcept;

// Stores a choice for this user: ERROR_INVALID_PARAMETER for any other margin, else the
// registry's result.
LONG SetUserMargin(AsioLong ms) noexcept;

// A margin as the settings window lists it: "minimal (one write)", "5 ms", "10 ms - default".
void DescribeMarginChoice(WCHAR* out, std::size_t cap, AsioLong ms) noexcept;

// REG_DWORD: the PCM rate in Hz a host last set the DAC to; a new driver object starts at it.
inline constexpr WCHAR kSampleRateValue[] = WSTR("SampleRate");
inline constexpr DWORD kLowestKeptRate = 8000;
inline constexpr DWORD kHighestKeptRate = 768000;

// The kept rate; 0 when none is stored or the value is not a rate of that range (traced). Only
// reads: a missing key stays missing.
double UserSampleRate() noexcept;

// Keeps a whole-Hz PCM rate of the range: ERROR_INVALID_PARAMETER for any other, else the
// registry's result.
LONG SetUserSampleRate(double rate) noexcept;

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
