// Self-registration against the stand-in registry, in both views. The real registry is the
// host-level test's (tests/wine).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "asio/driver_id.h"
#include "com/registration.h"
#include "platform/alloc.h"
#include "platform/posix/testing.h"

extern "C" HRESULT STDMETHODCALLTYPE DllRegisterServer();
extern "C" HRESULT STDMETHODCALLTYPE DllUnregisterServer();

namespace ferox::test {
namespace {

namespace px = ferox::posix;
using std::u16string;

constexpr char16_t kClsidText[] = u"{3739839C-CE45-4C86-8C77-D40451739198}";
constexpr char16_t kModulePath[] = u"C:\\Program Files\\Ferox\\FeroxASIO.dll";
constexpr char16_t kLowerPath[] = u"c:\\program files\\ferox\\feroxasio.dll";
constexpr HRESULT kFailed = static_cast<HRESULT>(0xFFFFFFFFu);

// Where one view's keys are stored.
struct View {
    const char* name;
    px::Wow64 wow64;
    u16string classRoot;  // below HKEY_CLASSES_ROOT
    u16string listRoot;   // below HKEY_LOCAL_MACHINE
    u16string ClassKey() const { return classRoot + u"\\" + kClsidText; }
    u16string ServerKey() const { return ClassKey() + u"\\InprocServer32"; }
    u16string DriverKey() const { return listRoot + u"\\ASIO ferox Driver"; }
};

const View kNative{"native", px::Wow64::No, u"CLSID", u"SOFTWARE\\ASIO"};
const View kNoWow64Api{"no_IsWow64Process", px::Wow64::Absent, u"CLSID", u"SOFTWARE\\ASIO"};
const View kWow64{"wow64", px::Wow64::Yes, u"Wow6432Node\\CLSID", u"SOFTWARE\\Wow6432Node\\ASIO"};

// The stored value, when it is a REG_SZ that carries its terminator.
std::optional<u16string> Sz(HKEY root, const u16string& path, const u16string& name = u"") {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!px::RegistryValue(root, path, name, &type, &data))
        return std::nullopt;
    if (type != REG_SZ || data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    u16string text(data.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
    if (text.back() != 0)
        return std::nullopt;
    text.pop_back();
    return text;
}

// Writes a value as the stand-in stores it: any bytes, any type.
void Put(HKEY root, const u16string& path, const u16string& name, const void* bytes,
         std::size_t size, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, type,
                             static_cast<const BYTE*>(bytes), static_cast<DWORD>(size)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}
void PutSz(HKEY root, const u16string& path, const u16string& name, const u16string& text) {
    Put(root, path, name, text.c_str(), (text.size() + 1) * sizeof(char16_t));
}
void MakeKey(HKEY root, const u16string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool Exists(HKEY root, const u16string& path) {
    return px::RegistryKeyExists(root, path);
}

std::string Dump() {
    return px::RegistryDump(HKEY_CLASSES_ROOT) + px::RegistryDump(HKEY_LOCAL_MACHINE);
}

class RegistrationTest : public ::testing::Test {
  protected:
    void SetUp() override { Prepare(kNative); }
    void TearDown() override {
        alloc_test::Reset();
        EXPECT_EQ(px::OpenHandleCount(), handlesBefore) << "registry keys left open";
        px::ResetRegistry();
        px::ResetModules();
        px::SetWow64(px::Wow64::No);
    }
    void Prepare(const View& view) {
        alloc_test::Reset();
        px::ResetRegistry();
        px::ResetModules();
        px::SetWow64(view.wow64);
        px::RegisterModule(u"feroxasio.dll", kModulePath);
        handlesBefore = px::OpenHandleCount();
    }
    // Everything a host and the COM runtime read, in one view.
    void ExpectRegistered(const View& v, const u16string& path = kLowerPath) {
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ClassKey()), u"ASIO ferox") << Dump();
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ServerKey()), path);
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ServerKey(), u"ThreadingModel"), u"Apartment");
        EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, v.DriverKey(), u"CLSID"), kClsidText);
        EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, v.DriverKey(), u"Description"), u"ASIO ferox");
    }
    void ExpectAbsent(const View& v) {
        EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, v.ClassKey())) << Dump();
        EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, v.DriverKey())) << Dump();
    }
    std::size_t handlesBefore = 0;
};

// ---- Both views

class RegistrationViewTest : public RegistrationTest, public ::testing::WithParamInterface<View> {
  protected:
    void SetUp() override { Prepare(GetParam()); }
    const View& Other() const { return GetParam().wow64 == px::Wow64::Yes ? kNative : kWow64; }
};

TEST_P(RegistrationViewTest, RegistersInItsOwnViewOnly) {
    EXPECT_EQ(IsWow64(), GetParam().wow64 == px::Wow64::Yes ? TRUE : FALSE);
    ASSERT_FALSE(Exists(HKEY_LOCAL_MACHINE, GetParam().listRoot));
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(GetParam());
    ExpectAbsent(Other());
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\Wow6432Node")) << Dump();
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"Wow6432Node\\Wow6432Node")) << Dump();
}

TEST_P(RegistrationViewTest, UnregisteringRemovesBothKeysAndKeepsTheList) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    ExpectAbsent(GetParam());
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, GetParam().listRoot));
    EXPECT_TRUE(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, GetParam().listRoot).empty());
}

TEST_P(RegistrationViewTest, ManyCyclesLeaveNoResidue) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    const std::string after = Dump();  // the empty ASIO list key stays, by design
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(DllRegisterServer(), S_OK);
        ASSERT_EQ(DllUnregisterServer(), S_OK);
    }
    EXPECT_EQ(Dump(), after);
}

TEST_P(RegistrationViewTest, UnregisteringLeavesTheOtherViewAlone) {
    const View& other = Other();
    PutSz(HKEY_CLASSES_ROOT, other.ServerKey(), u"", u"c:\\elsewhere\\feroxasio.dll");
    PutSz(HKEY_LOCAL_MACHINE, other.DriverKey(), u"CLSID", kClsidText);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, other.ServerKey()), u"c:\\elsewhere\\feroxasio.dll");
    EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, other.DriverKey(), u"CLSID"), kClsidText);
}

INSTANTIATE_TEST_SUITE_P(Views, RegistrationViewTest,
                         ::testing::Values(kNative, kNoWow64Api, kWow64),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The class key: kept when it names this DLL, replaced otherwise

TEST_F(RegistrationTest, StoredPathDifferingOnlyInCaseKeepsTheClassKeyUntouched) {
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"", u"ASIO ferox");
    PutSz(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", u"C:\\PROGRAM FILES\\FEROX\\FEROXASIO.DLL");
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"other software's");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"other software's");
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ServerKey()),
              u"C:\\PROGRAM FILES\\FEROX\\FEROXASIO.DLL");
}

TEST_F(RegistrationTest, RegisteringTwiceKeepsTheClassKeyAndRecreatesTheListEntry) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"kept");
    PutSz(HKEY_LOCAL_MACHINE, kNative.DriverKey(), u"Marker", u"dropped");
    MakeKey(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Sub");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"kept");
    EXPECT_FALSE(Sz(HKEY_LOCAL_MACHINE, kNative.DriverKey(), u"Marker"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Sub"));
}

TEST_F(RegistrationTest, ClassKeyNamingAnotherPathIsReplacedWhole) {
    PutSz(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", u"c:\\old\\feroxasio.dll");
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"lost");
    MakeKey(HKEY_CLASSES_ROOT, kNative.ClassKey() + u"\\Extra\\Deeper\\Deepest");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_FALSE(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"));
    EXPECT_EQ(px::RegistrySubkeys(HKEY_CLASSES_ROOT, kNative.ClassKey()),
              std::vector<u16string>{u"InprocServer32"});
}

TEST_F(RegistrationTest, ClassKeyWithoutServerPathIsRewritten) {
    // No InprocServer32 subkey.
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"lost");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_FALSE(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"));

    // InprocServer32 without its default value.
    Prepare(kNative);
    PutSz(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"ThreadingModel", u"Both");
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"lost");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_FALSE(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"));
}

TEST_F(RegistrationTest, StoredPathWithoutTerminatorEndsWithTheBytesReceived) {
    // This DLL's path without its terminator: the same path.
    const u16string same = kLowerPath;
    Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", same.data(), same.size() * 2);
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"kept");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"kept");

    // A path that fills all 360 characters without a terminator is read within its buffer (the
    // sanitizer builds catch a read or write past it) and counts as another path.
    Prepare(kNative);
    const u16string full(kRegPathChars, u'x');
    Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", full.data(), full.size() * 2);
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"lost");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_FALSE(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"));

    // One byte more does not fit: another path as well.
    Prepare(kNative);
    std::vector<BYTE> tooLong(kRegPathChars * 2 + 1, 'y');
    Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", tooLong.data(), tooLong.size());
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
}

TEST_F(RegistrationTest, StoredPathOfOddLengthOrOtherTypeIsReadAsText) {
    // The type is not examined: a REG_EXPAND_SZ naming this DLL counts as the same path.
    const u16string same = kLowerPath;
    Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", same.c_str(), (same.size() + 1) * 2,
        REG_EXPAND_SZ);
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"kept");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"kept");

    // An odd byte count drops the half character.
    Prepare(kNative);
    std::vector<BYTE> odd(same.size() * 2 + 1, 0);
    std::memcpy(odd.data(), same.data(), same.size() * 2);
    odd.back() = 'z';
    Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", odd.data(), odd.size());
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"kept");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"kept");
}

// ---- Unregistering

TEST_F(RegistrationTest, UnregisteringWhatWasNeverRegisteredChangesNothing) {
    const std::string before = Dump();
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Dump(), before);

    // Nor with an ASIO list holding other drivers.
    PutSz(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Other Driver", u"CLSID", u"{other}");
    const std::string withList = Dump();
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_EQ(Dump(), withList);
}

TEST_F(RegistrationTest, UnregisteringRemovesAClassKeyNamingAnotherPath) {
    PutSz(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", u"d:\\elsewhere\\feroxasio.dll");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));
}

TEST_F(RegistrationTest, NestedSubkeysAreRemovedDeepestFirst) {
    // The stand-in, as Windows, refuses to delete a key that still has subkeys.
    ASSERT_EQ(DllRegisterServer(), S_OK);
    for (const auto* sub : {u"\\A\\B\\C", u"\\A\\B2", u"\\Z", u"\\a1\\b\\c\\d"}) {
        MakeKey(HKEY_LOCAL_MACHINE, kNative.DriverKey() + sub);
        MakeKey(HKEY_CLASSES_ROOT, kNative.ServerKey() + sub);
    }
    PutSz(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Other Driver\\Sub", u"CLSID", u"{other}");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    ExpectAbsent(kNative);
    EXPECT_EQ(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"),
              std::vector<u16string>{u"Other Driver"});
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Other Driver\\Sub"));
}

TEST_F(RegistrationTest, DeleteKeyTreeAnswersWhetherItFoundAKey) {
    MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Doomed\\One\\Two");
    MakeKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Sibling");
    RegistryOps ops(0);
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Test"), WSTR("Doomed")), 0);
    EXPECT_EQ(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test"),
              std::vector<u16string>{u"Sibling"});
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Test"), WSTR("Doomed")), -1);
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\None"), WSTR("Doomed")), -1);
    EXPECT_EQ(ops.KeyExists(HKEY_LOCAL_MACHINE, nullptr), -1);
    EXPECT_EQ(ops.SetStringValue(HKEY_LOCAL_MACHINE, nullptr, nullptr, WSTR("x")), -1);
}

// ---- Failures before the registry is touched

TEST_F(RegistrationTest, ModuleProblemsEndBeforeAnyRegistryChange) {
    const std::string before = Dump();
    px::ResetModules();  // not loaded under its own name
    EXPECT_EQ(RegisterDriver(kClsidFeroxAsio, WSTR("feroxasio.dll"), WSTR("k"), WSTR("d"),
                             WSTR("Apartment")),
              kRegModuleNotFound);
    EXPECT_EQ(DllRegisterServer(), kFailed);
    EXPECT_EQ(DllUnregisterServer(), kFailed);

    px::RegisterModule(u"feroxasio.dll", u"");
    EXPECT_EQ(UnregisterDriver(kClsidFeroxAsio, WSTR("feroxasio.dll"), WSTR("k")),
              kRegModulePathEmpty);
    EXPECT_EQ(DllRegisterServer(), kFailed);

    px::ResetModules();
    px::RegisterModule(u"feroxasio.dll", kModulePath);
    alloc_test::FailNth(1);  // StringFromCLSID's text
    EXPECT_EQ(RegisterDriver(kClsidFeroxAsio, WSTR("feroxasio.dll"), WSTR("k"), WSTR("d"),
                             WSTR("Apartment")),
              kRegClsidText);
    alloc_test::FailNth(1);
    EXPECT_EQ(DllUnregisterServer(), kFailed);
    EXPECT_EQ(Dump(), before);
}

// ---- Registry failures are reported

TEST_F(RegistrationTest, RegisteringWithoutWriteAccessToTheMachineFails) {
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()));

    Prepare(kNative);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, u"CLSID", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));

    // A class key that names this DLL but cannot be touched does not matter: nothing is written
    // there; the list entry still has to be.
    Prepare(kNative);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, kNative.ClassKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, kNative.DriverKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

TEST_F(RegistrationTest, RegisteringWithoutTheThirtyTwoBitClassRootFails) {
    Prepare(kWow64);
    px::SetWow64(px::Wow64::No);
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, WSTR("Wow6432Node\\CLSID")), ERROR_SUCCESS);
    px::SetWow64(px::Wow64::Yes);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey())) << "written to the 64-bit view";
}

TEST_F(RegistrationTest, RegisteringFailsInTheThirtyTwoBitViewAlone) {
    Prepare(kWow64);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    Prepare(kWow64);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kWow64);
}

TEST_F(RegistrationTest, UnregisteringThatCannotRemoveAKeyFails) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    MakeKey(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner");
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner",
                          ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllUnregisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    // Everything that could go went: the class key, and nothing above the locked key.
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner"));

    Prepare(kNative);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, kNative.ServerKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllUnregisterServer(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()));
}

TEST_F(RegistrationTest, EveryAllocationFailureIsReportedAndLeaksNothing) {
    // Each allocation of a register and an unregister fails in turn: either the call succeeds,
    // or it reports failure and a plain retry repairs the registry.
    ASSERT_EQ(DllRegisterServer(), S_OK);
    MakeKey(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\A\\B");
    for (unsigned n = 1;; ++n) {
        alloc_test::Reset();
        const unsigned long start = alloc_test::Calls();
        alloc_test::FailNth(n);
        const HRESULT hr = DllUnregisterServer();
        const bool reached = alloc_test::Calls() - start >= n;
        alloc_test::Reset();
        EXPECT_EQ(px::OpenHandleCount(), handlesBefore) << "allocation " << n;
        if (!reached) {
            EXPECT_EQ(hr, S_OK);
            break;
        }
        if (hr == S_OK) {
            ExpectAbsent(kNative);
        } else {
            EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()) ||
                        Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()))
                << "allocation " << n << " reported a failure that left nothing behind";
        }
        ASSERT_EQ(DllUnregisterServer(), S_OK);
        ExpectAbsent(kNative);
        ASSERT_EQ(DllRegisterServer(), S_OK);
        MakeKey(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\A\\B");
    }
    for (unsigned n = 1;; ++n) {
        alloc_test::Reset();
        const unsigned long start = alloc_test::Calls();
        alloc_test::FailNth(n);
        const HRESULT hr = DllRegisterServer();
        const bool reached = alloc_test::Calls() - start >= n;
        alloc_test::Reset();
        EXPECT_EQ(px::OpenHandleCount(), handlesBefore) << "allocation " << n;
        if (!reached) {
            EXPECT_EQ(hr, S_OK);
            break;
        }
        if (hr == S_OK)
            ExpectRegistered(kNative);
        ASSERT_EQ(DllRegisterServer(), S_OK);
        ExpectRegistered(kNative);
    }
}

}  // namespace
}  // namespace ferox::test

#endif  // _WIN32
