// Module functions, IsWow64Process, CharLowerW and the COM text helpers: the stand-in and Win32
// (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

using ferox::test::WString;

WString Lower(WString s) {
    CharLowerW(s.data());
    return s;
}

bool EndsWith(const WString& s, const WString& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

WString Kernel32Path() {
    WCHAR path[400] = {};
    const DWORD n = GetModuleFileNameW(GetModuleHandleW(WSTR("kernel32")), path, 400);
    return WString(path, n);
}

TEST(Modules, FoundByFileNameWithoutCaseAndWithOptionalExtension) {
    HMODULE k = GetModuleHandleW(WSTR("kernel32"));
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(GetModuleHandleW(WSTR("KERNEL32.DLL")), k);
    EXPECT_EQ(GetModuleHandleW(WSTR("kernel32.dll")), k);
    EXPECT_NE(GetModuleHandleW(nullptr), nullptr);  // the program itself
    EXPECT_NE(GetModuleHandleW(nullptr), k);
}

TEST(Modules, UnknownModuleIsNotFound) {
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(WSTR("feroxasio-no-such-module.dll")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(WSTR("feroxasio-no-such-module.dll")), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

TEST(Modules, LoadLibraryOfAnEmptyNameFails) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(WSTR("")), nullptr);
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
}

TEST(Modules, LoadLibraryOfALoadedModuleGivesItsHandle) {
    HMODULE k = LoadLibraryW(WSTR("kernel32.dll"));
    EXPECT_EQ(k, GetModuleHandleW(WSTR("kernel32")));
    EXPECT_TRUE(FreeLibrary(k));
    EXPECT_EQ(GetModuleHandleW(WSTR("kernel32")), k);  // still loaded
}

TEST(Modules, FreeLibraryOfNullFails) {
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST(Modules, GetProcAddressFindsExportsAndReportsMissingOnes) {
    HMODULE k = GetModuleHandleW(WSTR("kernel32"));
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(k, "FeroxNoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
}

TEST(Modules, FileNameIsTheFullPath) {
    const WString path = Kernel32Path();
    ASSERT_GT(path.size(), 12u);
    EXPECT_TRUE(EndsWith(Lower(path), WSTR("\\kernel32.dll")));
    EXPECT_EQ(path[1], WSTR(':'));
}

TEST(Modules, FileNameThatJustFitsIsTerminated) {
    const WString path = Kernel32Path();
    const auto n = static_cast<DWORD>(path.size());
    std::vector<WCHAR> buffer(n + 1, WSTR('#'));
    SetLastError(1234);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(WSTR("kernel32")), buffer.data(), n + 1), n);
    EXPECT_EQ(WString(buffer.data()), path);
}

// Too small: the result is the buffer size and ERROR_INSUFFICIENT_BUFFER; Windows (Vista on)
// cuts the text to size - 1 characters and terminates it. Wine 8 fills all `size` characters
// without a terminator, as Windows XP did.
TEST(Modules, FileNameTooLongForTheBufferIsCut) {
    const WString path = Kernel32Path();
    for (DWORD size : {DWORD{5}, static_cast<DWORD>(path.size())}) {
        std::vector<WCHAR> buffer(size + 1, WSTR('#'));
        SetLastError(0);
        EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(WSTR("kernel32")), buffer.data(), size),
                  size);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
        EXPECT_EQ(WString(buffer.data(), size - 1), path.substr(0, size - 1));
        EXPECT_EQ(buffer[size], WSTR('#'));  // nothing written beyond the buffer
        if (!ferox::test::RunningOnWine()) {
            EXPECT_EQ(buffer[size - 1], 0);
        }
    }
    WCHAR untouched = WSTR('#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(WSTR("kernel32")), &untouched, 0), 0u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(untouched, WSTR('#'));
}

TEST(Modules, FileNameOfAnUnknownModuleFails) {
    WCHAR path[64] = {};
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(ULONG_PTR{0x5e70000}), path, 64), 0u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

TEST(Modules, IsWow64ProcessAnswersForTheOwnProcess) {
    using Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(WSTR("kernel32")), "IsWow64Process")));
    ASSERT_NE(fn, nullptr);
    BOOL wow64 = 7;
    EXPECT_TRUE(fn(GetCurrentProcess(), &wow64));
    EXPECT_TRUE(wow64 == TRUE || wow64 == FALSE);
    if (sizeof(void*) == 8) {
        EXPECT_EQ(wow64, FALSE);  // a 64-bit process is native
    }
}

TEST(Text, CharLowerLowersAsciiAndLatin1InPlace) {
    WCHAR text[] = {'C', ':', '\\', 'A', 'Z', 'a', 'z', '0', 0xC0, 0xC9, 0xDE, 0xD7, 0xDF, 0xE0, 0};
    const WCHAR expected[] = {
        'c',  ':',  '\\', 'a',  'z',  'a',  'z', '0',
        0xE0, 0xE9, 0xFE, 0xD7, 0xDF, 0xE0, 0};  // multiplication sign and sharp s stay
    EXPECT_EQ(CharLowerW(text), text);
    EXPECT_EQ(WString(text), WString(expected));
}

TEST(Text, CharLowerTakesASingleCharacterInThePointer) {
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

TEST(Com, StringFromClsidIsBracedUpperCaseHex) {
    const CLSID id = {0x0a1b2c3d, 0x4e5f, 0x6a7b, {0x8c, 0x9d, 0xae, 0xbf, 0xc0, 0xd1, 0xe2, 0xf3}};
    const WString text = ClsidText(id);
    EXPECT_EQ(text, WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3}"));
    EXPECT_EQ(text.size(), 38u);
}

TEST(Com, WellKnownInterfaceIds) {
    EXPECT_EQ(ClsidText(IID_IUnknown), WSTR("{00000000-0000-0000-C000-000000000046}"));
    EXPECT_EQ(ClsidText(IID_IClassFactory), WSTR("{00000001-0000-0000-C000-000000000046}"));
    EXPECT_EQ(ClsidText(GUID_NULL), WSTR("{00000000-0000-0000-0000-000000000000}"));
}

TEST(Com, ClsidFromStringReadsEitherCase) {
    CLSID id{};
    ASSERT_EQ(CLSIDFromString(WSTR("{0a1b2c3d-4e5f-6A7B-8c9d-AEBFc0d1e2f3}"), &id), S_OK);
    EXPECT_EQ(ClsidText(id), WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3}"));
    EXPECT_EQ(id.Data1, 0x0a1b2c3dul);
    EXPECT_EQ(id.Data4[7], 0xf3);
}

TEST(Com, ClsidFromStringRejectsMalformedText) {
    for (const WCHAR* bad : {WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F}"),
                             WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2FG}"),
                             WSTR("{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3"),
                             WSTR("{0A1B2C3D+4E5F-6A7B-8C9D-AEBFC0D1E2F3}")}) {
        CLSID id{};
        EXPECT_EQ(CLSIDFromString(bad, &id), CO_E_CLASSSTRING);
    }
}

}  // namespace
