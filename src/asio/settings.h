// The user's own settings of the driver, per user in HKEY_CURRENT_USER\Software\feroxasio. Read
// by the driver, written by feroxhost.
#pragma once

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

}  // namespace ferox
