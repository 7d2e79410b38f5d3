// Registry calls in a scratch key of this process (HKLM\SOFTWARE\feroxasio-tests\<pid>), and the
// 32-bit view. The stand-in and Win32 (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

using ferox::test::ScratchKey;
using ferox::test::WString;

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        before_ = ferox::test::OpenHandleCount();
        ASSERT_TRUE(scratch_.ok());
    }
    void TearDown() override {
        if (before_) {
            EXPECT_EQ(*before_, *ferox::test::OpenHandleCount());
        }
    }

    HKEY Create(std::string_view sub) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, scratch_.Path(sub).c_str(), &key),
                  ERROR_SUCCESS);
        return key;
    }
    LONG Open(std::string_view sub, HKEY* key) {
        return RegOpenKeyW(HKEY_LOCAL_MACHINE, scratch_.Path(sub).c_str(), key);
    }
    bool Exists(std::string_view sub) {
        HKEY key = nullptr;
        if (Open(sub, &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    ScratchKey scratch_;

  private:
    std::optional<std::size_t> before_;
};

LONG SetString(HKEY key, const WCHAR* name, const WCHAR* text) {
    const auto bytes = static_cast<DWORD>((WString(text).size() + 1) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

std::vector<WString> Subkeys(HKEY key) {
    std::vector<WString> names;
    WCHAR name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    return names;
}

TEST_F(RegistryTest, CreateMakesEveryMissingKeyOnThePath) {
    HKEY key = Create("a\\b\\c");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(Exists("a"));
    EXPECT_TRUE(Exists("a\\b"));
    EXPECT_TRUE(Exists("a\\b\\c"));
}

TEST_F(RegistryTest, CreateExReportsWhetherTheKeyIsNew) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    const WString path = scratch_.Path("new");
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    RegCloseKey(key);
}

TEST_F(RegistryTest, OpenFindsKeysRelativeToAHandle) {
    RegCloseKey(Create("parent\\child"));
    HKEY parent = nullptr;
    ASSERT_EQ(Open("parent", &parent), ERROR_SUCCESS);
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyW(parent, WSTR("child"), &child), ERROR_SUCCESS);
    EXPECT_NE(child, nullptr);
    RegCloseKey(child);
    EXPECT_EQ(RegOpenKeyExW(parent, WSTR("child"), 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    EXPECT_EQ(RegOpenKeyW(parent, WSTR("missing"), &child), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(parent, WSTR("missing"), 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, OpenKeyWithoutASubkeyNameHandsBackTheSameHandle) {
    HKEY key = Create("same");
    HKEY again = nullptr;
    EXPECT_EQ(RegOpenKeyW(key, nullptr, &again), ERROR_SUCCESS);
    EXPECT_EQ(again, key);
    EXPECT_EQ(RegOpenKeyW(key, WSTR(""), &again), ERROR_SUCCESS);
    EXPECT_EQ(again, key);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirCase) {
    RegCloseKey(Create("MixedCase\\Inner"));
    EXPECT_TRUE(Exists("mixedcase\\INNER"));
    HKEY key = nullptr;
    ASSERT_EQ(Open("", &key), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(key), std::vector<WString>{WSTR("MixedCase")});
    RegCloseKey(key);

    key = Create("MIXEDCASE");  // opens the existing key; its name keeps the first spelling
    RegCloseKey(key);
    ASSERT_EQ(Open("", &key), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(key), std::vector<WString>{WSTR("MixedCase")});
    RegCloseKey(key);
}

TEST_F(RegistryTest, EnumKeyListsSubkeysInNameOrderThenNoMoreItems) {
    for (auto name : {"beta", "Alpha", "gamma", "Delta"})
        RegCloseKey(Create(std::string("e\\") + name));
    HKEY key = nullptr;
    ASSERT_EQ(Open("e", &key), ERROR_SUCCESS);
    const std::vector<WString> expected{WSTR("Alpha"), WSTR("beta"), WSTR("Delta"), WSTR("gamma")};
    EXPECT_EQ(Subkeys(key), expected);
    WCHAR name[16];
    EXPECT_EQ(RegEnumKeyW(key, 4, name, 16), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyW(key, 400, name, 16), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);

    key = Create("e\\gamma");
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 16), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, EnumKeyNeedsRoomForTheTerminator) {
    RegCloseKey(Create("m\\abcdef"));
    HKEY key = nullptr;
    ASSERT_EQ(Open("m", &key), ERROR_SUCCESS);
    WCHAR name[8];
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 6), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 7), ERROR_SUCCESS);
    EXPECT_EQ(WString(name), WSTR("abcdef"));
    RegCloseKey(key);
}

TEST_F(RegistryTest, StringValueRoundTripsWithSizeQueries) {
    HKEY key = Create("v");
    ASSERT_EQ(SetString(key, WSTR("Description"), WSTR("ASIO ferox")), ERROR_SUCCESS);
    const DWORD bytes = 11 * sizeof(WCHAR);

    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("description"), nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, bytes);

    WCHAR text[32] = {};
    size = sizeof(text);
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, bytes);
    EXPECT_EQ(WString(text), WSTR("ASIO ferox"));

    size = 4;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, &type,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, bytes);

    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Missing"), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NullOrEmptyValueNameIsTheDefaultValue) {
    HKEY key = Create("d");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);  // a new key has no default value
    ASSERT_EQ(SetString(key, nullptr, WSTR("c:\\x\\feroxasio.dll")), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 19 * sizeof(WCHAR));
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR(""), nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 19 * sizeof(WCHAR));
    RegCloseKey(key);
}

TEST_F(RegistryTest, SetValueReplacesTypeAndData) {
    HKEY key = Create("r");
    ASSERT_EQ(SetString(key, WSTR("x"), WSTR("long text")), ERROR_SUCCESS);
    const DWORD number = 0x12345678;
    ASSERT_EQ(RegSetValueExW(key, WSTR("X"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof(number)),
              ERROR_SUCCESS);
    DWORD type = 0;
    DWORD read = 0;
    DWORD size = sizeof(read);
    EXPECT_EQ(
        RegQueryValueExW(key, WSTR("x"), nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(read, number);
    RegCloseKey(key);
}

TEST_F(RegistryTest, QueryWithDataButNoSizeIsRejected) {
    HKEY key = Create("q");
    SetString(key, WSTR("a"), WSTR("b"));
    BYTE data[8];
    EXPECT_EQ(RegQueryValueExW(key, WSTR("a"), nullptr, nullptr, data, nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeyWithSubkeysCannotBeDeleted) {
    RegCloseKey(Create("t\\leaf"));
    const WString parent = scratch_.Path("t");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists("t\\leaf"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, scratch_.Path("t\\leaf").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(Exists("t"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, DeleteRelativeToAParentHandle) {
    RegCloseKey(Create("p\\one"));
    HKEY parent = nullptr;
    ASSERT_EQ(Open("p", &parent), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(parent, WSTR("ONE")), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(parent), std::vector<WString>{});
    EXPECT_EQ(RegDeleteKeyW(parent, WSTR("one")), ERROR_FILE_NOT_FOUND);
    RegCloseKey(parent);
}

TEST_F(RegistryTest, HandlesOfADeletedKeyAnswerKeyDeleted) {
    HKEY key = Create("gone");
    SetString(key, WSTR("v"), WSTR("x"));
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, scratch_.Path("gone").c_str()), ERROR_SUCCESS);

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("v"), nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(key, WSTR("v"), WSTR("y")), ERROR_KEY_DELETED);
    WCHAR name[8];
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 8), ERROR_KEY_DELETED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyW(key, WSTR("sub"), &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // A new key of the same name is a different key.
    key = Create("gone");
    EXPECT_EQ(RegQueryValueExW(key, WSTR("v"), nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ClosedHandleIsInvalid) {
    HKEY key = Create("c");
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, WSTR("x"), 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyW(key, WSTR("x"), &sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyW(key, WSTR("x")), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys stay
}

TEST_F(RegistryTest, ArgumentsThatCannotBeRightAreRejected) {
    HKEY key = Create("args");
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, scratch_.Path("args").c_str(), 0, KEY_READ, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, scratch_.Path("args").c_str(), nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    DWORD size = 0;
    SetString(key, WSTR("a"), WSTR("b"));
    EXPECT_EQ(RegQueryValueExW(key, WSTR("a"), &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, WSTR("a"), 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    EXPECT_EQ(RegDeleteKeyW(key, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
    EXPECT_TRUE(Exists("args"));
}

// ---- The 32-bit view

bool IsWow64() {
    using Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(WSTR("kernel32")), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return fn != nullptr && fn(GetCurrentProcess(), &wow64) && wow64;
}

// A 32-bit view exists for a 64-bit process and for a 32-bit one under WOW64.
bool HasTwoViews() {
    return sizeof(void*) == 8 || IsWow64();
}

// Keys named SOFTWARE\feroxasio-tests\<pid>-view (32-bit) and CLSID\{…pid…} (32-bit), removed
// in both views afterwards.
class RegistryViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HasTwoViews())
            GTEST_SKIP() << "32-bit Windows has a single registry view";
        const WString pid = ferox::test::Widen(std::to_string(GetCurrentProcessId()));
        software_ = WSTR("feroxasio-tests\\") + pid + WSTR("-view");
        WString hex = ferox::test::Widen(std::to_string(GetCurrentProcessId() % 100000000));
        clsid_ = WSTR("{") + WString(8 - hex.size(), WSTR('0')) + hex +
                 WSTR("-F3A0-4E2B-9C1D-00FE0A510000}");
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            ferox::test::DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, view);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\feroxasio-tests"), view, 0);
            ferox::test::DeleteKeyTree(HKEY_CLASSES_ROOT, WSTR("CLSID\\") + clsid_, view);
        }
    }

    static LONG CreateIn(HKEY root, const WString& path, REGSAM view) {
        HKEY key = nullptr;
        const LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
        return rc;
    }
    static LONG OpenIn(HKEY root, const WString& path, REGSAM view) {
        HKEY key = nullptr;
        const LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
        return rc;
    }

    WString software_;
    WString clsid_;
};

TEST_F(RegistryViewTest, SoftwareKeysOfThe32BitViewLiveBelowWow6432Node) {
    ASSERT_EQ(
        CreateIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_ + WSTR("\\k"), KEY_WOW64_32KEY),
        ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Wow6432Node\\") + software_ + WSTR("\\k"),
                     KEY_WOW64_64KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(
        OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_ + WSTR("\\k"), KEY_WOW64_64KEY),
        ERROR_FILE_NOT_FOUND);
    // A path that names Wow6432Node is not redirected a second time.
    EXPECT_EQ(OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Wow6432Node\\") + software_ + WSTR("\\k"),
                     KEY_WOW64_32KEY),
              ERROR_SUCCESS);
}

TEST_F(RegistryViewTest, SoftwareOpenedInThe32BitViewIsTheWow6432NodeKey) {
    ASSERT_EQ(CreateIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE"), 0, KEY_READ | KEY_WOW64_32KEY, &key),
        ERROR_SUCCESS);
    const auto names = Subkeys(key);
    RegCloseKey(key);
    auto has = [&](const WCHAR* wanted) {
        for (const auto& n : names) {
            WString a = n, b = wanted;
            CharLowerW(a.data());
            CharLowerW(b.data());
            if (a == b)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(has(WSTR("feroxasio-tests")));
    EXPECT_FALSE(has(WSTR("Wow6432Node")));
}

TEST_F(RegistryViewTest, ClassIdsOfThe32BitViewLiveBelowWow6432NodeOfClassesRoot) {
    ASSERT_EQ(CreateIn(HKEY_CLASSES_ROOT, WSTR("CLSID\\") + clsid_ + WSTR("\\InprocServer32"),
                       KEY_WOW64_32KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, WSTR("Wow6432Node\\CLSID\\") + clsid_, KEY_WOW64_64KEY),
              ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, WSTR("CLSID\\") + clsid_, KEY_WOW64_64KEY),
              ERROR_FILE_NOT_FOUND);
    // Not redirected a second time; Wine 8 does redirect it again in a 64-bit process.
    if (!ferox::test::RunningOnWine()) {
        EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, WSTR("Wow6432Node\\CLSID\\") + clsid_, KEY_WOW64_32KEY),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(RegDeleteKeyExW(HKEY_CLASSES_ROOT,
                              (WSTR("CLSID\\") + clsid_ + WSTR("\\InprocServer32")).c_str(),
                              KEY_WOW64_32KEY, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(
        OpenIn(HKEY_CLASSES_ROOT, WSTR("Wow6432Node\\CLSID\\") + clsid_ + WSTR("\\InprocServer32"),
               KEY_WOW64_64KEY),
        ERROR_FILE_NOT_FOUND);
}

// Without a view flag a WOW64 process sees the 32-bit view, a native one its own.
TEST_F(RegistryViewTest, DefaultViewFollowsTheProcess) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, (WSTR("SOFTWARE\\") + software_).c_str(), &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    const LONG redirected =
        OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Wow6432Node\\") + software_, KEY_WOW64_64KEY);
    const LONG native = OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, KEY_WOW64_64KEY);
    if (IsWow64()) {
        EXPECT_EQ(redirected, ERROR_SUCCESS);
        EXPECT_EQ(native, ERROR_FILE_NOT_FOUND);
    } else {
        EXPECT_EQ(redirected, ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(native, ERROR_SUCCESS);
    }
}

}  // namespace
