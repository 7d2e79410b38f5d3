// Helpers for tests that run against the stand-in and against Win32 (under Wine) alike.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

// Expects `call` to return `failed` and to set the last error to `error`.
#define EXPECT_FAILS_WITH(call, failed, error)   \
    do {                                         \
        SetLastError(0);                         \
        EXPECT_EQ(call, failed);                 \
        EXPECT_EQ(GetLastError(), DWORD{error}); \
    } while (0)

namespace ferox::test {

using WString = std::basic_string<WCHAR>;

// ASCII text as a wide string.
WString Widen(std::string_view ascii);

// ASCII view of a wide string for readable expectations; other characters become '?'.
std::string Ascii(const WCHAR* text);

// Handles the process has open now; empty when the platform cannot tell.
std::optional<std::size_t> OpenHandleCount();

// True under Wine, where a few calls deviate from Windows.
bool RunningOnWine();

// Waits that must succeed are bounded all the same, so a fault fails instead of hanging.
constexpr DWORD kLongWait = 5000;

HANDLE NewEvent(bool manual, bool initial);
// A thread running fn(arg) (expected to start), and its end, awaited and closed.
HANDLE Start(LPTHREAD_START_ROUTINE fn, void* arg, DWORD* id = nullptr);
void Join(HANDLE thread);
void CloseAll(const std::vector<HANDLE>& handles);

// Every test of the fixture leaves as many handles open as it found.
class LeakCheckedTest : public ::testing::Test {
  protected:
    void SetUp() override { before_ = OpenHandleCount(); }
    void TearDown() override {
        if (before_) {
            EXPECT_EQ(*before_, *OpenHandleCount());
        }
    }

  private:
    std::optional<std::size_t> before_;
};

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
