// Registry calls in a scratch key of this process (HKLM\SOFTWARE\feroxasio-tests\<pid>), and the
// 32-bit view. The stand-in and Win32 (under Wine) must answer alike.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "platform/platform.h"
#include "support/win32_util.h"

namespace {

using ferox::test::WString;

LONG SetString(HKEY key, const WCHAR* name, const WCHAR* text) {
    const auto bytes = static_cast<DWORD>((WString(text).size() + 1) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// Asks for the size of a value only.
LONG QuerySize(HKEY key, const WCHAR* name, DWORD* size) {
    *size = 0;
    return RegQueryValueExW(key, name, nullptr, nullptr, nullptr, size);
}

std::vector<WString> Subkeys(HKEY key) {
    std::vector<WString> names;
    WCHAR name[256];
    for (DWORD i = 0; RegEnumKeyW(key, i, name, 256) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    return names;
}

LONG CreateIn(HKEY root, const WString& path, REGSAM view, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    const LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_ALL_ACCESS | view, nullptr, &key, disposition);
    if (rc == ERROR_SUCCESS)
        RegCloseKey(key);
    return rc;
}

LONG OpenIn(HKEY root, const WString& path, REGSAM view) {
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key);
    if (rc == ERROR_SUCCESS)
        RegCloseKey(key);
    return rc;
}

class RegistryTest : public ferox::test::LeakCheckedTest {
  protected:
    void SetUp() override {
        LeakCheckedTest::SetUp();
        ASSERT_TRUE(scratch_.ok());
    }

    WString Path(std::string_view sub) const { return scratch_.Path(sub); }
    HKEY Create(std::string_view sub) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, Path(sub).c_str(), &key), ERROR_SUCCESS);
        return key;
    }
    HKEY Open(std::string_view sub) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, Path(sub).c_str(), &key), ERROR_SUCCESS);
        return key;
    }
    bool Exists(std::string_view sub) {
        return OpenIn(HKEY_LOCAL_MACHINE, Path(sub), 0) == ERROR_SUCCESS;
    }

    ferox::test::ScratchKey scratch_;
};

TEST_F(RegistryTest, CreateMakesTheWholePathAndOpenFindsItWithoutCase) {
    RegCloseKey(Create("MixedCase\\b\\c"));
    EXPECT_TRUE(Exists("mixedcase"));
    EXPECT_TRUE(Exists("MIXEDCASE\\B\\c"));
    DWORD disposition = 0;
    ASSERT_EQ(CreateIn(HKEY_LOCAL_MACHINE, Path("new"), 0, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    RegCloseKey(Create("MIXEDCASE"));  // opens the existing key; its name keeps the first spelling
    ASSERT_EQ(CreateIn(HKEY_LOCAL_MACHINE, Path("NEW"), 0, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    HKEY root = Open("");
    EXPECT_EQ(Subkeys(root), (std::vector<WString>{WSTR("MixedCase"), WSTR("new")}));

    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyW(root, WSTR("mixedcase\\b"), &child), ERROR_SUCCESS);
    RegCloseKey(child);
    EXPECT_EQ(RegOpenKeyExW(root, WSTR("MixedCase"), 0, KEY_ALL_ACCESS, &child), ERROR_SUCCESS);
    RegCloseKey(child);
    EXPECT_EQ(RegOpenKeyW(root, WSTR("missing"), &child), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(root, WSTR("missing"), 0, KEY_READ, &child), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(root, WSTR("new"), 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyW(root, WSTR("new"), nullptr), ERROR_INVALID_PARAMETER);
    // Without a subkey name: the same handle back.
    for (const WCHAR* none : {static_cast<const WCHAR*>(nullptr), WSTR("")}) {
        EXPECT_EQ(RegOpenKeyW(root, none, &child), ERROR_SUCCESS);
        EXPECT_EQ(child, root);
    }
    RegCloseKey(root);
}

TEST_F(RegistryTest, EnumKeyListsSubkeysInNameOrderAndNeedsRoomForTheTerminator) {
    for (auto name : {"beta", "Alpha", "gamma", "abcdef"})
        RegCloseKey(Create(std::string("e\\") + name));
    HKEY key = Open("e");
    EXPECT_EQ(Subkeys(key),
              (std::vector<WString>{WSTR("abcdef"), WSTR("Alpha"), WSTR("beta"), WSTR("gamma")}));
    WCHAR name[8];
    EXPECT_EQ(RegEnumKeyW(key, 4, name, 8), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyW(key, 400, name, 8), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 6), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 7), ERROR_SUCCESS);
    EXPECT_EQ(WString(name), WSTR("abcdef"));
    RegCloseKey(key);
    key = Open("e\\gamma");
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 8), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ValuesRoundTripWithSizeQueries) {
    HKEY key = Create("v");
    DWORD size = 0;
    EXPECT_EQ(QuerySize(key, nullptr, &size), ERROR_FILE_NOT_FOUND);  // no default value yet
    ASSERT_EQ(SetString(key, WSTR("Description"), WSTR("ASIO ferox")), ERROR_SUCCESS);
    ASSERT_EQ(SetString(key, nullptr, WSTR("c:\\x\\feroxasio.dll")), ERROR_SUCCESS);
    for (const WCHAR* name : {static_cast<const WCHAR*>(nullptr), WSTR("")}) {
        EXPECT_EQ(QuerySize(key, name, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, 19 * sizeof(WCHAR));
    }
    DWORD type = 0;
    size = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("description"), nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(size, 11 * sizeof(WCHAR));
    WCHAR text[32] = {};
    size = sizeof(text);
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 11 * sizeof(WCHAR));
    EXPECT_EQ(WString(text), WSTR("ASIO ferox"));
    size = 4;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, &type,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 11 * sizeof(WCHAR));
    EXPECT_EQ(QuerySize(key, WSTR("Missing"), &size), ERROR_FILE_NOT_FOUND);

    // A new write replaces type and data.
    const DWORD number = 0x12345678;
    ASSERT_EQ(RegSetValueExW(key, WSTR("DESCRIPTION"), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof(number)),
              ERROR_SUCCESS);
    DWORD read = 0;
    size = sizeof(read);
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, &type,
                               reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(read, number);

    // Arguments that cannot be right.
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, WSTR("Description"), &reserved, nullptr, nullptr, &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, WSTR("a"), 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteTakesOnlyKeysWithoutSubkeys) {
    RegCloseKey(Create("t\\leaf"));
    const WString parent = Path("t");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists("t\\leaf"));
    HKEY key = Open("t");
    EXPECT_EQ(RegDeleteKeyW(key, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(key, WSTR("LEAF")), ERROR_SUCCESS);
    EXPECT_EQ(Subkeys(key), std::vector<WString>{});
    EXPECT_EQ(RegDeleteKeyW(key, WSTR("leaf")), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(Exists("t"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent.c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, HandlesOfADeletedKeyAnswerKeyDeletedAndClosedOnesAreInvalid) {
    HKEY key = Create("gone");
    SetString(key, WSTR("v"), WSTR("x"));
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path("gone").c_str()), ERROR_SUCCESS);
    DWORD size = 0;
    WCHAR name[8];
    HKEY sub = nullptr;
    EXPECT_EQ(QuerySize(key, WSTR("v"), &size), ERROR_KEY_DELETED);
    EXPECT_EQ(SetString(key, WSTR("v"), WSTR("y")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyW(key, 0, name, 8), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyW(key, WSTR("sub"), &sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    key = Create("gone");  // a new key of the same name is a different key
    EXPECT_EQ(QuerySize(key, WSTR("v"), &size), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(key, WSTR("x"), 0, KEY_READ, &sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCreateKeyW(key, WSTR("x"), &sub), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyW(key, WSTR("x")), ERROR_INVALID_HANDLE);
    EXPECT_EQ(QuerySize(key, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // predefined keys stay
    EXPECT_TRUE(Exists("gone"));
}

// A change notification is one-shot: the next change the filter names signals it once, and
// nothing else does. Waits are short but not zero: under Wine the server signals the event.
TEST_F(RegistryTest, ChangeNotificationsFireOnceForWhatTheyWatch) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    auto signalled = [&](DWORD ms) { return WaitForSingleObject(event, ms) == WAIT_OBJECT_0; };
    HKEY key = Create("watched");
    auto arm = [&](HKEY k, BOOL subtree) {
        return RegNotifyChangeKeyValue(k, subtree, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE);
    };
    ASSERT_EQ(arm(key, FALSE), ERROR_SUCCESS);
    RegCloseKey(Create("watched\\sub"));  // not a value: not watched
    SetString(key, WSTR("v"), WSTR("1"));
    EXPECT_TRUE(signalled(1000));
    SetString(key, WSTR("v"), WSTR("2"));  // spent until asked again
    EXPECT_FALSE(signalled(100));
    HKEY sub = Open("watched\\sub");
    ASSERT_EQ(arm(key, FALSE), ERROR_SUCCESS);
    SetString(sub, WSTR("v"), WSTR("1"));  // below the key, the subtree not watched
    EXPECT_FALSE(signalled(100));
    SetString(key, WSTR("w"), WSTR("1"));
    EXPECT_TRUE(signalled(1000));
    HKEY tree = Open("watched");  // Wine keeps a handle's first subtree choice
    ASSERT_EQ(arm(tree, TRUE), ERROR_SUCCESS);
    SetString(sub, WSTR("v"), WSTR("2"));
    EXPECT_TRUE(signalled(1000));
    RegCloseKey(tree);

    // A watch on a deleted key cannot be renewed.
    RegCloseKey(sub);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path("watched\\sub").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, Path("watched").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(arm(key, FALSE), ERROR_KEY_DELETED);
    RegCloseKey(key);
    CloseHandle(event);
}

// ---- The 32-bit view

bool IsWow64() {
    using Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(WSTR("kernel32")), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return fn != nullptr && fn(GetCurrentProcess(), &wow64) && wow64;
}

// Keys named SOFTWARE\feroxasio-tests\<pid>-view and CLSID\{…pid…}, removed in both views
// afterwards. A 32-bit view exists for a 64-bit process and for a 32-bit one under WOW64.
class RegistryViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sizeof(void*) == 4 && !IsWow64())
            GTEST_SKIP() << "32-bit Windows has a single registry view";
        const WString pid = ferox::test::Widen(std::to_string(GetCurrentProcessId() % 100000000));
        software_ = WSTR("feroxasio-tests\\") + pid + WSTR("-view");
        clsid_ = WSTR("{") + WString(8 - pid.size(), WSTR('0')) + pid +
                 WSTR("-F3A0-4E2B-9C1D-00FE0A510000}");
    }
    void TearDown() override {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            ferox::test::DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, view);
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\feroxasio-tests"), view, 0);
            ferox::test::DeleteKeyTree(HKEY_CLASSES_ROOT, WSTR("CLSID\\") + clsid_, view);
        }
    }

    WString software_;
    WString clsid_;
};

TEST_F(RegistryViewTest, SoftwareKeysOfThe32BitViewLiveBelowWow6432Node) {
    const WString plain = WSTR("SOFTWARE\\") + software_ + WSTR("\\k");
    const WString wow = WSTR("SOFTWARE\\Wow6432Node\\") + software_ + WSTR("\\k");
    ASSERT_EQ(CreateIn(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_LOCAL_MACHINE, wow, KEY_WOW64_64KEY), ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_LOCAL_MACHINE, plain, KEY_WOW64_64KEY), ERROR_FILE_NOT_FOUND);
    // A path that names Wow6432Node is not redirected a second time.
    EXPECT_EQ(OpenIn(HKEY_LOCAL_MACHINE, wow, KEY_WOW64_32KEY), ERROR_SUCCESS);

    // SOFTWARE opened in the 32-bit view is the Wow6432Node key.
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE"), 0, KEY_READ | KEY_WOW64_32KEY, &key),
        ERROR_SUCCESS);
    bool tests = false, wow6432 = false;
    for (WString name : Subkeys(key)) {
        CharLowerW(name.data());
        tests |= name == WSTR("feroxasio-tests");
        wow6432 |= name == WSTR("wow6432node");
    }
    RegCloseKey(key);
    EXPECT_TRUE(tests);
    EXPECT_FALSE(wow6432);
}

TEST_F(RegistryViewTest, ClassIdsOfThe32BitViewLiveBelowWow6432NodeOfClassesRoot) {
    const WString server = WSTR("CLSID\\") + clsid_ + WSTR("\\InprocServer32");
    const WString wow = WSTR("Wow6432Node\\CLSID\\") + clsid_;
    ASSERT_EQ(CreateIn(HKEY_CLASSES_ROOT, server, KEY_WOW64_32KEY), ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, wow, KEY_WOW64_64KEY), ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, WSTR("CLSID\\") + clsid_, KEY_WOW64_64KEY),
              ERROR_FILE_NOT_FOUND);
    // Not redirected a second time; Wine 8 does redirect it again in a 64-bit process.
    if (!ferox::test::RunningOnWine()) {
        EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, wow, KEY_WOW64_32KEY), ERROR_SUCCESS);
    }
    EXPECT_EQ(RegDeleteKeyExW(HKEY_CLASSES_ROOT, server.c_str(), KEY_WOW64_32KEY, 0),
              ERROR_SUCCESS);
    EXPECT_EQ(OpenIn(HKEY_CLASSES_ROOT, wow + WSTR("\\InprocServer32"), KEY_WOW64_64KEY),
              ERROR_FILE_NOT_FOUND);
}

// Without a view flag a WOW64 process sees the 32-bit view, a native one its own.
TEST_F(RegistryViewTest, DefaultViewFollowsTheProcess) {
    ASSERT_EQ(CreateIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, 0), ERROR_SUCCESS);
    const LONG redirected =
        OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Wow6432Node\\") + software_, KEY_WOW64_64KEY);
    const LONG native = OpenIn(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\") + software_, KEY_WOW64_64KEY);
    EXPECT_EQ(redirected, IsWow64() ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(native, IsWow64() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
}

}  // namespace
