// Helpers for tests that run against the stand-in and against Win32 (under Wine) alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace ferox::test {

using WString = std::basic_string<WCHAR>;

// ASCII text as a wide string.
WString Widen(std::string_view ascii);

// Handles the process has open now; empty when the platform cannot tell.
std::optional<std::size_t> OpenHandleCount();

// True under Wine, where a few calls deviate from Windows.
bool RunningOnWine();

// Deletes root\path and everything below it in the view of `sam` (0, KEY_WOW64_32KEY or
// KEY_WOW64_64KEY). ERROR_SUCCESS, or the first failure.
LONG DeleteKeyTree(HKEY root, const WString& path, REGSAM sam = 0);

// A key of this process only, HKLM\SOFTWARE\feroxasio-tests\<pid>, created empty in the default
// view and removed with everything below it.
class ScratchKey {
  public:
    ScratchKey();
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    bool ok() const { return ok_; }
    // Path below HKEY_LOCAL_MACHINE, with `sub` appended after a backslash when not empty.
    WString Path(std::string_view sub = {}) const;

  private:
    WString path_;
    bool ok_ = false;
};

}  // namespace ferox::test
