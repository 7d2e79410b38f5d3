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
using Bytes = std::vector<BYTE>;

constexpr char16_t kClsidText[] = u"{3739839C-CE45-4C86-8C77-D40451739198}";
constexpr char16_t kModulePath[] = u"C:\\Program Files\\Ferox\\FeroxASIO.dll";
constexpr char16_t kLowerPath[] = u"c:\\program files\\ferox\\feroxasio.dll";
constexpr HRESULT kFailed = static_cast<HRESULT>(0xFFFFFFFFu);
constexpr HRESULT kDenied = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

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

std::optional<Bytes> Raw(HKEY root, const u16string& path, const u16string& name = u"") {
    DWORD type = 0;
    Bytes data;
    return px::RegistryValue(root, path, name, &type, &data) ? std::optional(data) : std::nullopt;
}

// The stored value, when it is a REG_SZ that carries its terminator.
std::optional<u16string> Sz(HKEY root, const u16string& path, const u16string& name = u"") {
    DWORD type = 0;
    Bytes data;
    if (!px::RegistryValue(root, path, name, &type, &data) || type != REG_SZ || data.size() < 2 ||
        data.size() % 2 != 0 || data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
        return std::nullopt;
    u16string text(data.size() / 2 - 1, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

// Creates the key and, given a value name ("" for the default), stores any bytes of any type.
void Put(HKEY root, const u16string& path, const char16_t* name = nullptr, const Bytes& bytes = {},
         DWORD type = REG_SZ) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (name != nullptr) {
        ASSERT_EQ(RegSetValueExW(key, *name ? name : nullptr, 0, type, bytes.data(),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}
Bytes Text(const u16string& text, bool terminated = true) {
    const auto* b = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(b, b + (text.size() + (terminated ? 1 : 0)) * 2);
}
void PutSz(HKEY root, const u16string& path, const char16_t* name, const u16string& text) {
    Put(root, path, name, Text(text));
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
    static void ExpectRegistered(const View& v) {
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ClassKey()), u"ASIO ferox") << Dump();
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ServerKey()), kLowerPath);
        EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, v.ServerKey(), u"ThreadingModel"), u"Apartment");
        EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, v.DriverKey(), u"CLSID"), kClsidText);
        EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, v.DriverKey(), u"Description"), u"ASIO ferox");
    }
    static void ExpectAbsent(const View& v) {
        EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, v.ClassKey())) << Dump();
        EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, v.DriverKey())) << Dump();
    }
    std::size_t handlesBefore = 0;
};

class RegistrationViewTest : public RegistrationTest, public ::testing::WithParamInterface<View> {
  protected:
    void SetUp() override { Prepare(GetParam()); }
};

TEST_P(RegistrationViewTest, RegistersAndUnregistersInItsOwnViewOnly) {
    const View& own = GetParam();
    const View& other = own.wow64 == px::Wow64::Yes ? kNative : kWow64;
    EXPECT_EQ(IsWow64(), own.wow64 == px::Wow64::Yes ? TRUE : FALSE);
    ASSERT_FALSE(Exists(HKEY_LOCAL_MACHINE, own.listRoot));
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(own);
    ExpectAbsent(other);
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\Wow6432Node")) << Dump();
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"Wow6432Node\\Wow6432Node")) << Dump();

    // Unregistering removes both keys, keeps the (empty) list and leaves the other view alone.
    PutSz(HKEY_CLASSES_ROOT, other.ServerKey(), u"", u"c:\\elsewhere\\feroxasio.dll");
    PutSz(HKEY_LOCAL_MACHINE, other.DriverKey(), u"CLSID", kClsidText);
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    ExpectAbsent(own);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, own.listRoot));
    EXPECT_TRUE(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, own.listRoot).empty());
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, other.ServerKey()), u"c:\\elsewhere\\feroxasio.dll");
    EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, other.DriverKey(), u"CLSID"), kClsidText);

    const std::string after = Dump();
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(DllRegisterServer(), S_OK);
        ASSERT_EQ(DllUnregisterServer(), S_OK);
    }
    EXPECT_EQ(Dump(), after);
}

INSTANTIATE_TEST_SUITE_P(Views, RegistrationViewTest,
                         ::testing::Values(kNative, kNoWow64Api, kWow64),
                         [](const auto& info) { return std::string(info.param.name); });

// The class key is kept when its stored server path names this DLL, replaced whole otherwise.
TEST_F(RegistrationTest, ClassKeyIsKeptOnlyWhenItNamesThisDll) {
    const u16string same = kLowerPath;
    Bytes odd = Text(same, false);
    odd.push_back('z');  // the half character is dropped
    const struct {
        const char* what;
        const char16_t* name;  // value of InprocServer32; nullptr: no such key
        Bytes value;
        DWORD type;
        bool kept;
    } cases[] = {
        {"case differs", u"", Text(u"C:\\PROGRAM FILES\\FEROX\\FEROXASIO.DLL"), REG_SZ, true},
        {"no terminator", u"", Text(same, false), REG_SZ, true},
        {"type not examined", u"", Text(same), REG_EXPAND_SZ, true},
        {"odd length", u"", odd, REG_SZ, true},
        {"another path", u"", Text(u"c:\\old\\feroxasio.dll"), REG_SZ, false},
        {"no InprocServer32", nullptr, {}, REG_SZ, false},
        {"no default value", u"ThreadingModel", Text(u"Both"), REG_SZ, false},
        // Filling all 360 characters without a terminator, it is read within its buffer (the
        // sanitizer builds would catch a read past it); one byte more does not fit.
        {"full buffer", u"", Text(u16string(kRegPathChars, u'x'), false), REG_SZ, false},
        {"too long", u"", Bytes(kRegPathChars * 2 + 1, 'y'), REG_SZ, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Prepare(kNative);
        if (c.name != nullptr)
            Put(HKEY_CLASSES_ROOT, kNative.ServerKey(), c.name, c.value, c.type);
        PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"other software's");
        Put(HKEY_CLASSES_ROOT, kNative.ClassKey() + u"\\Extra\\Deeper\\Deepest");
        EXPECT_EQ(DllRegisterServer(), S_OK);
        if (c.kept) {
            EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"other software's");
            EXPECT_EQ(Raw(HKEY_CLASSES_ROOT, kNative.ServerKey()), c.value);
        } else {
            ExpectRegistered(kNative);
            EXPECT_FALSE(Raw(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"));
            EXPECT_EQ(px::RegistrySubkeys(HKEY_CLASSES_ROOT, kNative.ClassKey()),
                      std::vector<u16string>{u"InprocServer32"});
        }
        EXPECT_EQ(Sz(HKEY_LOCAL_MACHINE, kNative.DriverKey(), u"CLSID"), kClsidText);
    }
}

TEST_F(RegistrationTest, RegisteringTwiceKeepsTheClassKeyAndRecreatesTheListEntry) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    PutSz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker", u"kept");
    PutSz(HKEY_LOCAL_MACHINE, kNative.DriverKey(), u"Marker", u"dropped");
    Put(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Sub");
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kNative);
    EXPECT_EQ(Sz(HKEY_CLASSES_ROOT, kNative.ClassKey(), u"Marker"), u"kept");
    EXPECT_FALSE(Raw(HKEY_LOCAL_MACHINE, kNative.DriverKey(), u"Marker"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Sub"));
}

TEST_F(RegistrationTest, Unregistering) {
    // What was never registered: nothing changes, with or without other drivers listed.
    for (int round = 0; round < 2; ++round) {
        const std::string before = Dump();
        EXPECT_EQ(DllUnregisterServer(), S_OK);
        EXPECT_EQ(Dump(), before);
        PutSz(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Other Driver\\Sub", u"CLSID", u"{other}");
    }
    // A class key naming another path goes too.
    PutSz(HKEY_CLASSES_ROOT, kNative.ServerKey(), u"", u"d:\\elsewhere\\feroxasio.dll");
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));

    // Nested subkeys are removed deepest first (the stand-in, as Windows, refuses to delete a
    // key that still has subkeys); other drivers stay.
    ASSERT_EQ(DllRegisterServer(), S_OK);
    for (const auto* sub : {u"\\A\\B\\C", u"\\A\\B2", u"\\Z", u"\\a1\\b\\c\\d"}) {
        Put(HKEY_LOCAL_MACHINE, kNative.DriverKey() + sub);
        Put(HKEY_CLASSES_ROOT, kNative.ServerKey() + sub);
    }
    EXPECT_EQ(DllUnregisterServer(), S_OK);
    ExpectAbsent(kNative);
    EXPECT_EQ(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"),
              std::vector<u16string>{u"Other Driver"});
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\Other Driver\\Sub"));

    Put(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Doomed\\One\\Two");
    Put(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test\\Sibling");
    RegistryOps ops(0);
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Test"), WSTR("Doomed")), 0);
    EXPECT_EQ(px::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test"),
              std::vector<u16string>{u"Sibling"});
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\Test"), WSTR("Doomed")), -1);
    EXPECT_EQ(ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\None"), WSTR("Doomed")), -1);
    EXPECT_EQ(ops.KeyExists(HKEY_LOCAL_MACHINE, nullptr), -1);
    EXPECT_EQ(ops.SetStringValue(HKEY_LOCAL_MACHINE, nullptr, nullptr, WSTR("x")), -1);
}

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

TEST_F(RegistrationTest, KeysThatCannotBeWrittenOrRemovedAreReported) {
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), kDenied);
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()));
    Prepare(kNative);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, u"CLSID", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), kDenied);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));
    // A class key that names this DLL but cannot be touched does not matter: nothing is written
    // there; the list entry still has to be.
    Prepare(kNative);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, kNative.ClassKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, kNative.DriverKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), kDenied);

    // The 32-bit view alone: its class root missing, its list denied, the 64-bit list denied.
    Prepare(kWow64);
    px::SetWow64(px::Wow64::No);
    ASSERT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, WSTR("Wow6432Node\\CLSID")), ERROR_SUCCESS);
    px::SetWow64(px::Wow64::Yes);
    EXPECT_EQ(DllRegisterServer(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey())) << "written to the 64-bit view";
    Prepare(kWow64);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), kDenied);
    Prepare(kWow64);
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllRegisterServer(), S_OK);
    ExpectRegistered(kWow64);

    // Unregistering: everything that could go went, nothing above the locked key.
    Prepare(kNative);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    Put(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner");
    px::RegistryDenyBelow(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner",
                          ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllUnregisterServer(), kDenied);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\Locked\\Inner"));
    Prepare(kNative);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    px::RegistryDenyBelow(HKEY_CLASSES_ROOT, kNative.ServerKey(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(DllUnregisterServer(), kDenied);
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()));
}

TEST_F(RegistrationTest, EveryAllocationFailureIsReportedAndLeaksNothing) {
    // Each allocation of an unregister, then of a register, fails in turn: either the call
    // succeeds, or it reports failure and a plain retry repairs the registry.
    for (bool registering : {false, true}) {
        for (unsigned n = 1;; ++n) {
            SCOPED_TRACE(testing::Message() << (registering ? "register " : "unregister ") << n);
            ASSERT_EQ(DllRegisterServer(), S_OK);
            Put(HKEY_LOCAL_MACHINE, kNative.DriverKey() + u"\\A\\B");
            const unsigned long start = alloc_test::Calls();
            alloc_test::FailNth(n);
            const HRESULT hr = registering ? DllRegisterServer() : DllUnregisterServer();
            const bool reached = alloc_test::Calls() - start >= n;
            alloc_test::Reset();
            EXPECT_EQ(px::OpenHandleCount(), handlesBefore);
            if (!reached) {
                EXPECT_EQ(hr, S_OK);
                break;
            }
            if (hr == S_OK && registering) {
                ExpectRegistered(kNative);
            } else if (hr == S_OK) {
                ExpectAbsent(kNative);
            } else if (!registering) {
                EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, kNative.ClassKey()) ||
                            Exists(HKEY_LOCAL_MACHINE, kNative.DriverKey()))
                    << "reported a failure that left nothing behind";
            }
            ASSERT_EQ(registering ? DllRegisterServer() : DllUnregisterServer(), S_OK);
            if (registering) {
                ExpectRegistered(kNative);
            } else {
                ExpectAbsent(kNative);
            }
        }
    }
}

}  // namespace
}  // namespace ferox::test

#endif  // _WIN32
