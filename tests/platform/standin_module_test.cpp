// Module functions, IsWow64Process, CharLowerW and the COM text helpers: the stand-in and Win32
// (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

using ferox::test::WString;

TEST(Modules, LoadedModulesAreFoundByFileNameWithoutCaseAndOthersAreNot) {
    HMODULE k = GetModuleHandleW(WSTR("kernel32"));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(GetModuleHandleW(WSTR("KERNEL32.DLL")), k);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);  // the program itself
    EXPECT_NE(GetModuleHandleW(nullptr), k);
    EXPECT_EQ(LoadLibraryW(WSTR("kernel32.dll")), k);
    EXPECT_TRUE(FreeLibrary(k));
    EXPECT_EQ(GetModuleHandleW(WSTR("kernel32")), k);  // still loaded

    const WCHAR* missing = WSTR("feroxasio-no-such-module.dll");
    EXPECT_FAILS_WITH(GetModuleHandleW(missing), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS_WITH(LoadLibraryW(missing), nullptr, ERROR_MOD_NOT_FOUND);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(WSTR("")), nullptr);
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_FAILS_WITH(FreeLibrary(nullptr), FALSE, ERROR_INVALID_HANDLE);
    EXPECT_FAILS_WITH(GetProcAddress(k, "FeroxNoSuchFunction"), nullptr, ERROR_PROC_NOT_FOUND);
    WCHAR path[64] = {};
    EXPECT_FAILS_WITH(GetModuleFileNameW(reinterpret_cast<HMODULE>(ULONG_PTR{0x5e70000}), path, 64),
                      0u, ERROR_MOD_NOT_FOUND);

    using Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
    auto isWow64 =
        reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(k, "IsWow64Process")));
    ASSERT_NE(isWow64, nullptr);
    BOOL wow64 = 7;
    EXPECT_TRUE(isWow64(GetCurrentProcess(), &wow64));
    EXPECT_TRUE(wow64 == FALSE || (wow64 == TRUE && sizeof(void*) == 4));  // 64-bit: native
}

// A buffer that fits takes the full path, terminated. Too small: the result is the buffer size and
// ERROR_INSUFFICIENT_BUFFER; Windows (Vista on) cuts the text to size - 1 characters and
// terminates it. Wine 8 fills all `size` characters without a terminator, as Windows XP did.
TEST(Modules, FileNameIsTheFullPathCutToTheBuffer) {
    HMODULE k = GetModuleHandleW(WSTR("kernel32"));
    WCHAR full[400] = {};
    const WString path(full, GetModuleFileNameW(k, full, 400));
    ASSERT_GT(path.size(), 12u);
    WString lower = path;
    CharLowerW(lower.data());
    EXPECT_EQ(lower.substr(lower.size() - 13), WSTR("\\kernel32.dll"));
    EXPECT_EQ(path[1], WSTR(':'));

    const auto n = static_cast<DWORD>(path.size());
    for (DWORD size : {n + 1, n, DWORD{5}}) {
        std::vector<WCHAR> buffer(size + 1, WSTR('#'));
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(k, buffer.data(), size), std::min(size, n));
        if (size > n) {
            EXPECT_EQ(WString(buffer.data()), path);
            continue;
        }
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
        EXPECT_EQ(WString(buffer.data(), size - 1), path.substr(0, size - 1));
        EXPECT_EQ(buffer[size], WSTR('#'));  // nothing written beyond the buffer
        if (!ferox::test::RunningOnWine()) {
            EXPECT_EQ(buffer[size - 1], 0);
        }
    }
    WCHAR untouched = WSTR('#');
    EXPECT_FAILS_WITH(GetModuleFileNameW(k, &untouched, 0), 0u, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(untouched, WSTR('#'));
}

TEST(Text, CharLowerLowersAsciiAndLatin1InPlaceOrOneCharacterInThePointer) {
    WCHAR text[] = {'C', ':', '\\', 'A', 'Z', 'a', 'z', '0', 0xC0, 0xC9, 0xDE, 0xD7, 0xDF, 0xE0, 0};
    const WCHAR expected[] = {
        'c',  ':',  '\\', 'a',  'z',  'a',  'z', '0',
        0xE0, 0xE9, 0xFE, 0xD7, 0xDF, 0xE0, 0};  // multiplication sign and sharp s stay
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(WString(text), WString(expected));
    const auto result = CharLowerW(reinterpret_cast<LPWSTR>(ULONG_PTR{'Q'}));
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(result), ULONG_PTR{'q'});
}

WString ClsidText(const CLSID& id) {
    LPOLESTR text = nullptr;
    EXPECT_EQ(StringFromCLSID(id, &text), S_OK);
    if (text == nullptr)
        return {};
    WString out(text);
    CoTaskMemFree(text);
    return out;
}

TEST(Com, ClsidTextIsBracedUpperCaseHexAndReadsBackInEitherCase) {
    EXPECT_EQ(ClsidText(IID_IUnknown), WSTR("{00000000-0000-0000-C000-000000000046}"));
    EXPECT_EQ(ClsidText(IID_IClassFactory), WSTR("{00000001-0000-0000-C000-000000000046}"));
    EXPECT_EQ(ClsidText(GUID_NULL), WSTR("{00000000-0000-0000-0000-000000000000}"));
    CLSID id{};
    ASSERT_EQ(CLSIDFromString(WSTR("{0a1b2c3d-4e5f-6A7B-8c9d-AEBFc0d1e2f3}"), &id), S_OK);
    const CLSID expected = {
        0x0a1b2c3d, 0x4e5f, 0x6a7b, {0x8c, 0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3}};
    EXPECT_TRUE(IsEqualGUID(id, expected));
    EXPECT_EQ(ClsidText(id), WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3}"));

    for (const WCHAR* bad : {WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F}"),
                             WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2FG}"),
                             WSTR("{0A1B2C3G-4E5F-6A7B-8C9D-AEBFC0D1E2F3}"),
                             WSTR("{0A1B2C3D-4E5G-6A7B-8C9D-AEBFC0D1E2F3}"),
                             WSTR("{0A1B2C3D-4E5F-6A7G-8C9D-AEBFC0D1E2F3}"),
                             WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3"),
                             WSTR("{0A1B2C3D+4E5F-6A7B-8C9D-AEBFC0D1E2F3}")}) {
        EXPECT_EQ(CLSIDFromString(bad, &id), CO_E_CLASSSTRING);
    }
}

}  // namespace
