// The stand-in's test controls (POSIX only): debug-output capture, the module table, the WOW64
// switch, registry fault injection and inspection, creation faults, the clock offset, and what
// the stand-in refuses because it does not model it.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/alloc.h"
#include "platform/platform.h"
#include "platform/posix/testing.h"
#include "support/win32_util.h"

namespace {

namespace posix = ferox::posix;
using namespace ferox::test;

DWORD WINAPI WriteLines(LPVOID) {
    for (int i = 0; i < 100; ++i)
        OutputDebugStringW(u"worker");
    return 0;
}

TEST(DebugOutput, CapturesLinesInOrderFromEveryThreadAndTakingClearsThem) {
    posix::TakeDebugOutput();
    OutputDebugStringW(u"CKsPin::SetState() Enter");
    OutputDebugStringW(u"");
    OutputDebugStringW(nullptr);  // ignored
    EXPECT_EQ(posix::TakeDebugOutput(),
              (std::vector<std::u16string>{u"CKsPin::SetState() Enter", u""}));
    EXPECT_TRUE(posix::TakeDebugOutput().empty());

    for (HANDLE t : {Start(WriteLines, nullptr), Start(WriteLines, nullptr),
                     Start(WriteLines, nullptr), Start(WriteLines, nullptr)})
        Join(t);
    EXPECT_EQ(posix::TakeDebugOutput(), std::vector<std::u16string>(400, u"worker"));
}

LONG_PTR FortyTwo() {
    return 42;
}

TEST(ModuleTable, RegisteredModulesAndProcsAreFoundUntilUnregisteredOrReset) {
    const std::u16string full = u"C:\\Program Files\\Ferox\\FeroxASIO.dll";
    HMODULE m = posix::RegisterModule(u"feroxasio.dll", full);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"FEROXASIO"), m);
    EXPECT_EQ(GetModuleHandleW(u"c:\\program files\\ferox\\feroxasio.dll"), m);
    EXPECT_EQ(GetModuleHandleW(u"feroxasio.drv"), nullptr);
    EXPECT_EQ(LoadLibraryW(u"feroxasio.dll"), m);
    EXPECT_TRUE(FreeLibrary(m));
    WCHAR path[360] = {};
    EXPECT_EQ(GetModuleFileNameW(m, path, 360), full.size());
    EXPECT_EQ(std::u16string(path), full);

    posix::RegisterProc(m, "KsCreatePin", &FortyTwo);
    FARPROC proc = GetProcAddress(m, "KsCreatePin");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc(), 42);
    EXPECT_FAILS_WITH(GetProcAddress(m, "KsCreateClock"), nullptr, ERROR_PROC_NOT_FOUND);
    EXPECT_FAILS_WITH(GetProcAddress(m, reinterpret_cast<LPCSTR>(ULONG_PTR{1})), nullptr,
                      ERROR_PROC_NOT_FOUND);  // an ordinal

    HMODULE b = posix::RegisterModule(u"b.dll", u"C:\\b.dll");
    EXPECT_NE(m, b);
    posix::UnregisterModule(m);
    EXPECT_EQ(GetModuleHandleW(u"feroxasio.dll"), nullptr);
    EXPECT_FAILS_WITH(GetProcAddress(m, "KsCreatePin"), nullptr, ERROR_MOD_NOT_FOUND);
    EXPECT_FAILS_WITH(FreeLibrary(m), FALSE, ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(GetModuleHandleW(u"b"), b);
    posix::ResetModules();
    EXPECT_EQ(GetModuleHandleW(u"b.dll"), nullptr);
    EXPECT_NE(GetModuleHandleW(u"kernel32"), nullptr);
}

using IsWow64Fn = BOOL (*)(HANDLE, BOOL*);

IsWow64Fn LookUpIsWow64() {
    return reinterpret_cast<IsWow64Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(u"kernel32"), "IsWow64Process")));
}

HKEY CreateKey(HKEY root, const char16_t* path, REGSAM view = 0) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    return key;
}

bool Exists(HKEY root, const char16_t* path) {
    return posix::RegistryKeyExists(root, path);
}

// Every test starts and ends with an empty registry, a native process and no faults.
class Controls : public ::testing::Test {
  protected:
    void SetUp() override { posix::ResetRegistry(); }
    void TearDown() override {
        posix::SetWow64(posix::Wow64::No);
        posix::ResetRegistry();
        posix::ResetFaults();
    }
};

TEST_F(Controls, IsWow64ProcessIsAbsentNoOrYes) {
    posix::SetWow64(posix::Wow64::Absent);
    EXPECT_FAILS_WITH(LookUpIsWow64(), nullptr, ERROR_PROC_NOT_FOUND);
    const std::pair<posix::Wow64, BOOL> modes[] = {{posix::Wow64::No, FALSE},
                                                   {posix::Wow64::Yes, TRUE}};
    for (auto [mode, expected] : modes) {
        posix::SetWow64(mode);
        BOOL wow64 = 7;
        ASSERT_NE(LookUpIsWow64(), nullptr);
        EXPECT_TRUE(LookUpIsWow64()(GetCurrentProcess(), &wow64));
        EXPECT_EQ(wow64, expected);
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    BOOL wow64 = 7;
    EXPECT_FAILS_WITH(IsWow64Process(event, &wow64), FALSE, ERROR_INVALID_HANDLE);  // own only
    CloseHandle(event);
}

TEST_F(Controls, Wow64ProcessWritesThe32BitViewByDefault) {
    posix::SetWow64(posix::Wow64::Yes);
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\ASIO ferox Driver"));
    RegCloseKey(CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\{X}\\InprocServer32"));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\ASIO\\ASIO ferox Driver"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"));
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}\\InprocServer32"));
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"CLSID\\{X}"));

    // The 64-bit view on request; explicit Wow6432Node paths reach the same keys.
    HKEY key = nullptr;
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", 0, KEY_READ | KEY_WOW64_64KEY, &key),
        ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\ASIO", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyW(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{X}\\InprocServer32"), ERROR_SUCCESS);
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}\\InprocServer32"));
}

TEST_F(Controls, ViewsWithoutIsWow64ProcessAndUnderSoftwareClasses) {
    // SOFTWARE\Classes is shared except its class ids.
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{Y}", KEY_WOW64_32KEY));
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.wav", KEY_WOW64_32KEY));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{Y}"));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.wav"));
    // Without IsWow64Process there is one view.
    posix::SetWow64(posix::Wow64::Absent);
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", KEY_WOW64_32KEY));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"));
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\ASIO"));
}

TEST_F(Controls, DeniedKeysRefuseCreateSetAndDeleteButStillRead) {
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old"));
    posix::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"software\\asio", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\new", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", &key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\new"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old"));
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old", &key), ERROR_SUCCESS);
    const BYTE data[] = {1, 2};
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, data, 2), ERROR_ACCESS_DENIED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    // A sibling whose name merely starts the same is not below.
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIOX"));

    // The denial applies to the stored path, after redirection.
    posix::SetWow64(posix::Wow64::Yes);
    posix::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Feroxasio", &key), ERROR_ACCESS_DENIED);
    RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Feroxasio", KEY_WOW64_64KEY));
}

TEST_F(Controls, ResetEmptiesTheRegistryClearsFaultsAndOrphansHandles) {
    HKEY key = CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\{Z}");
    posix::RegistryDenyBelow(HKEY_CLASSES_ROOT, u"CLSID", 5);
    posix::ResetRegistry();
    EXPECT_FALSE(Exists(HKEY_CLASSES_ROOT, u"CLSID\\{Z}"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    RegCloseKey(CreateKey(HKEY_CLASSES_ROOT, u"CLSID\\{Z}"));
    // The standard keys of 64-bit Windows are there.
    EXPECT_TRUE(Exists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID"));
    EXPECT_TRUE(Exists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node"));
    EXPECT_TRUE(Exists(HKEY_CURRENT_USER, u"Software"));
}

TEST_F(Controls, InspectionSeesStoredValuesAndSubkeys) {
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\ASIO ferox Driver");
    const char16_t text[] = u"ASIO ferox";
    ASSERT_EQ(RegSetValueExW(key, u"Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             sizeof(text)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(posix::RegistryValue(HKEY_LOCAL_MACHINE, u"software\\asio\\asio ferox driver",
                                     u"DESCRIPTION", &type, &data));
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(data.size(), sizeof(text));
    EXPECT_FALSE(posix::RegistryValue(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\ASIO ferox Driver", u"",
                                      nullptr, nullptr));
    EXPECT_EQ(posix::RegistrySubkeys(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"),
              std::vector<std::u16string>{u"ASIO ferox Driver"});
    const std::string dump = posix::RegistryDump(HKEY_LOCAL_MACHINE);
    EXPECT_NE(dump.find("ASIO ferox Driver\\"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"Description\" type 1: \"ASIO ferox\""), std::string::npos) << dump;
}

TEST_F(Controls, HandleCountCountsEventsThreadsAndKeys) {
    const std::size_t before = posix::OpenHandleCount();
    HANDLE event = NewEvent(false, false);
    HKEY key = CreateKey(HKEY_LOCAL_MACHINE, u"SOFTWARE");
    HANDLE thread = Start(WriteLines, nullptr);
    EXPECT_EQ(posix::OpenHandleCount(), before + 3);
    Join(thread);
    RegCloseKey(key);
    CloseHandle(event);
    EXPECT_EQ(posix::OpenHandleCount(), before);
    EXPECT_EQ(ferox::test::OpenHandleCount(), before);
    posix::TakeDebugOutput();
}

DWORD WINAPI ReturnNine(LPVOID) {
    return 9;
}

TEST_F(Controls, NthCreationFailsOnceAndResetCancels) {
    posix::FailNth(posix::Fault::CreateEvent, 2);
    HANDLE first = NewEvent(false, false);
    EXPECT_FAILS_WITH(NewEvent(false, false), nullptr, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE third = NewEvent(false, false);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(third, nullptr);
    CloseAll({first, third});

    posix::FailNth(posix::Fault::CreateThread, 1);
    EXPECT_FAILS_WITH(CreateThread(nullptr, 0, ReturnNine, nullptr, 0, nullptr), nullptr,
                      ERROR_NOT_ENOUGH_MEMORY);
    posix::FailNth(posix::Fault::CreateThread, 1);
    posix::FailNth(posix::Fault::CreateEvent, 1);
    posix::ResetFaults();
    Join(Start(ReturnNine, nullptr));
    HANDLE e = NewEvent(false, false);
    EXPECT_NE(e, nullptr);
    CloseHandle(e);

    ferox::alloc_test::FailNth(1);
    LPOLESTR text = reinterpret_cast<LPOLESTR>(ULONG_PTR{1});
    EXPECT_EQ(StringFromCLSID(IID_IUnknown, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    ferox::alloc_test::Reset();
}

DWORD WINAPI WaitForRelease(LPVOID release) {
    return WaitForSingleObject(static_cast<HANDLE>(release), 30000);
}

// What churn tests count: a thread until its routine returns, a block until it is freed; a
// creation that failed is not counted.
TEST_F(Controls, LiveThreadsAndBlocksAreCounted) {
    const std::size_t threads = posix::LiveThreadCount();
    HANDLE release = NewEvent(true, false);
    HANDLE t = Start(WaitForRelease, release);
    EXPECT_EQ(posix::LiveThreadCount(), threads + 1);
    posix::FailNth(posix::Fault::CreateThread, 1);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnNine, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(posix::LiveThreadCount(), threads + 1);
    SetEvent(release);
    Join(t);  // signalled: no longer counted
    EXPECT_EQ(posix::LiveThreadCount(), threads);
    CloseHandle(release);

    const long blocks = ferox::alloc_test::Live();
    void* p = ferox::Allocate(16);
    EXPECT_EQ(ferox::alloc_test::Live(), blocks + 1);
    ferox::alloc_test::FailNth(1);
    EXPECT_EQ(ferox::Allocate(16), nullptr);
    ferox::alloc_test::Reset();
    EXPECT_EQ(ferox::alloc_test::Live(), blocks + 1);
    ferox::Free(nullptr);
    ferox::Free(p);
    EXPECT_EQ(ferox::alloc_test::Live(), blocks);
}

// What the stand-in does not model, it refuses.
TEST_F(Controls, NamedEventsAndSuspendedThreadsAreRefused) {
    EXPECT_FAILS_WITH(CreateEventW(nullptr, FALSE, FALSE, u"Global\\ferox"), nullptr,
                      ERROR_NOT_SUPPORTED);
    EXPECT_FAILS_WITH(
        CreateThread(nullptr, 0, ReturnNine, nullptr, 4 /* CREATE_SUSPENDED */, nullptr), nullptr,
        ERROR_INVALID_PARAMETER);
}

TEST(Clock, OffsetTakesTimeGetTimeAcrossTheWrap) {
    posix::SetTimeOffset(0);
    posix::SetTimeOffset(0xFFFFFFFFu - timeGetTime() - 10);
    const DWORD before = timeGetTime();
    Sleep(40);
    const DWORD after = timeGetTime();
    posix::SetTimeOffset(0);
    EXPECT_GT(before, 0xFFFFFF00u);
    EXPECT_LT(after, 0x1000u);  // wrapped
    EXPECT_GE(after - before, 30u);
    EXPECT_LT(after - before, 5000u);
}

}  // namespace

#endif  // _WIN32
