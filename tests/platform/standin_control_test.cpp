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

constexpr DWORD kLong = 5000;

// ---- Debug output

DWORD WINAPI WriteLines(LPVOID) {
    for (int i = 0; i < 100; ++i)
        OutputDebugStringW(u"worker");
    return 0;
}

TEST(DebugOutput, CapturesLinesInOrderAndTakingClearsThem) {
    posix::TakeDebugOutput();
    OutputDebugStringW(u"CKsPin::SetState() Enter");
    OutputDebugStringW(u"");
    OutputDebugStringW(nullptr);  // ignored
    OutputDebugStringW(u"CKsPin::SetState Leave, returning 0x000000");
    EXPECT_EQ(posix::TakeDebugOutput(),
              (std::vector<std::u16string>{u"CKsPin::SetState() Enter", u"",
                                           u"CKsPin::SetState Leave, returning 0x000000"}));
    EXPECT_TRUE(posix::TakeDebugOutput().empty());
}

TEST(DebugOutput, TakesLinesFromManyThreads) {
    posix::TakeDebugOutput();
    HANDLE threads[4];
    for (auto& t : threads)
        t = CreateThread(nullptr, 0, WriteLines, nullptr, 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, kLong), WAIT_OBJECT_0);
    for (auto& t : threads)
        CloseHandle(t);
    const auto lines = posix::TakeDebugOutput();
    EXPECT_EQ(lines.size(), 400u);
    for (const auto& line : lines)
        EXPECT_EQ(line, u"worker");
}

// ---- Modules

LONG_PTR FortyTwo() {
    return 42;
}

class ModuleTable : public ::testing::Test {
  protected:
    void TearDown() override { posix::ResetModules(); }
};

TEST_F(ModuleTable, RegisteredModuleIsFoundByNameAndPath) {
    HMODULE m = posix::RegisterModule(u"feroxasio.dll", u"C:\\Program Files\\Ferox\\FeroxASIO.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetModuleHandleW(u"feroxasio.dll"), m);
    EXPECT_EQ(GetModuleHandleW(u"FEROXASIO"), m);
    EXPECT_EQ(GetModuleHandleW(u"c:\\program files\\ferox\\feroxasio.dll"), m);
    EXPECT_EQ(GetModuleHandleW(u"feroxasio.drv"), nullptr);
    EXPECT_EQ(LoadLibraryW(u"feroxasio.dll"), m);
    EXPECT_TRUE(FreeLibrary(m));

    WCHAR path[360] = {};
    const std::u16string full = u"C:\\Program Files\\Ferox\\FeroxASIO.dll";
    EXPECT_EQ(GetModuleFileNameW(m, path, 360), full.size());
    EXPECT_EQ(std::u16string(path), full);
}

TEST_F(ModuleTable, RegisteredProcsAreFoundAndOthersAreNot) {
    HMODULE m = posix::RegisterModule(u"ksuser.dll", u"C:\\windows\\system32\\ksuser.dll");
    posix::RegisterProc(m, "KsCreatePin", &FortyTwo);
    FARPROC proc = GetProcAddress(m, "KsCreatePin");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc(), 42);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(m, "KsCreateClock"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(m, reinterpret_cast<LPCSTR>(ULONG_PTR{1})), nullptr);  // an ordinal
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
}

TEST_F(ModuleTable, UnregisteredAndResetModulesAreGone) {
    HMODULE a = posix::RegisterModule(u"a.dll", u"C:\\a.dll");
    HMODULE b = posix::RegisterModule(u"b.dll", u"C:\\b.dll");
    EXPECT_NE(a, b);
    posix::UnregisterModule(a);
    EXPECT_EQ(GetModuleHandleW(u"a.dll"), nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(a, "Anything"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    SetLastError(0);
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    EXPECT_EQ(GetModuleHandleW(u"b"), b);
    posix::ResetModules();
    EXPECT_EQ(GetModuleHandleW(u"b.dll"), nullptr);
    EXPECT_NE(GetModuleHandleW(u"kernel32"), nullptr);
}

// ---- WOW64

using IsWow64Fn = BOOL (*)(HANDLE, BOOL*);

IsWow64Fn LookUpIsWow64() {
    return reinterpret_cast<IsWow64Fn>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(u"kernel32"), "IsWow64Process")));
}

class Wow64Switch : public ::testing::Test {
  protected:
    void SetUp() override { posix::ResetRegistry(); }
    void TearDown() override {
        posix::SetWow64(posix::Wow64::No);
        posix::ResetRegistry();
    }
};

TEST_F(Wow64Switch, IsWow64ProcessAbsentNoOrYes) {
    posix::SetWow64(posix::Wow64::Absent);
    SetLastError(0);
    EXPECT_EQ(LookUpIsWow64(), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});

    BOOL wow64 = 7;
    posix::SetWow64(posix::Wow64::No);
    ASSERT_NE(LookUpIsWow64(), nullptr);
    EXPECT_TRUE(LookUpIsWow64()(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, FALSE);

    posix::SetWow64(posix::Wow64::Yes);
    ASSERT_NE(LookUpIsWow64(), nullptr);
    EXPECT_TRUE(LookUpIsWow64()(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, TRUE);

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_FALSE(IsWow64Process(event, &wow64));  // only the own process is modelled
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    CloseHandle(event);
}

TEST_F(Wow64Switch, Wow64ProcessWritesThe32BitViewByDefault) {
    posix::SetWow64(posix::Wow64::Yes);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\ASIO ferox Driver", &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{X}\\InprocServer32", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE,
                                         u"SOFTWARE\\Wow6432Node\\ASIO\\ASIO ferox Driver"));
    EXPECT_FALSE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"));
    EXPECT_TRUE(
        posix::RegistryKeyExists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}\\InprocServer32"));
    EXPECT_FALSE(posix::RegistryKeyExists(HKEY_CLASSES_ROOT, u"CLSID\\{X}"));

    // The 64-bit view on request; explicit Wow6432Node paths reach the same keys.
    EXPECT_EQ(
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", 0, KEY_READ | KEY_WOW64_64KEY, &key),
        ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\ASIO", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyW(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{X}\\InprocServer32"), ERROR_SUCCESS);
    EXPECT_FALSE(
        posix::RegistryKeyExists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID\\{X}\\InprocServer32"));
}

TEST_F(Wow64Switch, WithoutIsWow64ProcessThereIsOneView) {
    posix::SetWow64(posix::Wow64::Absent);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO"));
    EXPECT_FALSE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node\\ASIO"));
}

TEST_F(Wow64Switch, SoftwareClassesIsSharedExceptItsClassIds) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\CLSID\\{Y}", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.wav", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE,
                                         u"SOFTWARE\\Classes\\Wow6432Node\\CLSID\\{Y}"));
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Classes\\.wav"));
}

// ---- Registry faults and inspection

class RegistryControl : public ::testing::Test {
  protected:
    void SetUp() override { posix::ResetRegistry(); }
    void TearDown() override { posix::ResetRegistry(); }
};

TEST_F(RegistryControl, DeniedKeysRefuseCreateSetAndDeleteButStillRead) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    posix::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"software\\asio", ERROR_ACCESS_DENIED);

    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\new", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", &key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\new"));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old"));

    ASSERT_EQ(RegOpenKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\old", &key), ERROR_SUCCESS);
    const BYTE data[] = {1, 2};
    EXPECT_EQ(RegSetValueExW(key, u"v", 0, REG_BINARY, data, 2), ERROR_ACCESS_DENIED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);

    // A sibling whose name merely starts the same is not below.
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIOX", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryControl, DenyUsesTheStoredPath) {
    posix::SetWow64(posix::Wow64::Yes);
    posix::RegistryDenyBelow(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node", ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    posix::SetWow64(posix::Wow64::No);
}

TEST_F(RegistryControl, ResetEmptiesTheRegistryClearsFaultsAndOrphansHandles) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{Z}", &key), ERROR_SUCCESS);
    posix::RegistryDenyBelow(HKEY_CLASSES_ROOT, u"CLSID", 5);
    posix::ResetRegistry();
    EXPECT_FALSE(posix::RegistryKeyExists(HKEY_CLASSES_ROOT, u"CLSID\\{Z}"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, u"CLSID\\{Z}", &key), ERROR_SUCCESS);
    RegCloseKey(key);

    // The standard keys of 64-bit Windows are there.
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_CLASSES_ROOT, u"Wow6432Node\\CLSID"));
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Wow6432Node"));
    EXPECT_TRUE(posix::RegistryKeyExists(HKEY_CURRENT_USER, u"Software"));
}

TEST_F(RegistryControl, InspectionSeesStoredValuesAndSubkeys) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\ASIO\\ASIO ferox Driver", &key),
              ERROR_SUCCESS);
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

// ---- Handles, creation faults, time

TEST(HandleCount, CountsEventsThreadsAndKeys) {
    posix::ResetRegistry();
    const std::size_t before = posix::OpenHandleCount();
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, KEY_READ, &key);
    HANDLE thread = CreateThread(nullptr, 0, WriteLines, nullptr, 0, nullptr);
    EXPECT_EQ(posix::OpenHandleCount(), before + 3);
    WaitForSingleObject(thread, kLong);
    CloseHandle(thread);
    RegCloseKey(key);
    CloseHandle(event);
    EXPECT_EQ(posix::OpenHandleCount(), before);
    EXPECT_EQ(ferox::test::OpenHandleCount(), before);
    posix::TakeDebugOutput();
}

TEST(CreationFaults, NthEventCreationFails) {
    posix::FailNth(posix::Fault::CreateEvent, 2);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetLastError(0);
    HANDLE second = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const DWORD error = GetLastError();
    HANDLE third = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(error, DWORD{ERROR_NOT_ENOUGH_MEMORY});
    EXPECT_NE(third, nullptr);
    CloseHandle(first);
    CloseHandle(third);
}

DWORD WINAPI ReturnNine(LPVOID) {
    return 9;
}

TEST(CreationFaults, NthThreadCreationFailsAndResetCancels) {
    posix::FailNth(posix::Fault::CreateThread, 1);
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnNine, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});

    posix::FailNth(posix::Fault::CreateThread, 1);
    posix::FailNth(posix::Fault::CreateEvent, 1);
    posix::ResetFaults();
    HANDLE t = CreateThread(nullptr, 0, ReturnNine, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, kLong), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 9u);
    CloseHandle(t);
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(e, nullptr);
    CloseHandle(e);
}

TEST(CreationFaults, StringFromClsidFailsWhenAllocationFails) {
    ferox::alloc_test::FailNth(1);
    LPOLESTR text = reinterpret_cast<LPOLESTR>(ULONG_PTR{1});
    EXPECT_EQ(StringFromCLSID(IID_IUnknown, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    ferox::alloc_test::Reset();
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

// ---- What the stand-in does not model, it refuses.

TEST(Unmodelled, NamedEventsAndSuspendedThreadsAreRefused) {
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, u"Global\\ferox"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_SUPPORTED});
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnNine, nullptr, 4 /* CREATE_SUSPENDED */, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

}  // namespace

#endif  // _WIN32
