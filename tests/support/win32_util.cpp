#include "support/win32_util.h"

#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {

WString Widen(std::string_view ascii) {
    return WString(ascii.begin(), ascii.end());
}

std::string Ascii(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::optional<std::size_t> OpenHandleCount() {
#ifdef _WIN32
    // Wine 8 answers ProcessHandleCount with 0 (not implemented): no count there.
    DWORD count = 0;
    if (RunningOnWine() || !GetProcessHandleCount(GetCurrentProcess(), &count))
        return {};
    return count;
#else
    return ferox::posix::OpenHandleCount();
#endif
}

bool RunningOnWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

HANDLE NewEvent(bool manual, bool initial) {
    return CreateEventW(nullptr, manual, initial, nullptr);
}

HANDLE Start(LPTHREAD_START_ROUTINE fn, void* arg, DWORD* id) {
    HANDLE t = CreateThread(nullptr, 0, fn, arg, 0, id);
    EXPECT_NE(t, nullptr);
    return t;
}

void Join(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, kLongWait), WAIT_OBJECT_0);
    CloseHandle(thread);
}

void CloseAll(const std::vector<HANDLE>& handles) {
    for (HANDLE h : handles)
        CloseHandle(h);
}

LONG DeleteKeyTree(HKEY root, const WString& path, REGSAM sam) {
    HKEY key = nullptr;
    LONG rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS | sam, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    WCHAR name[256];
    // Always the first subkey: each one is gone before the next enumeration.
    while ((rc = RegEnumKeyW(key, 0, name, 256)) == ERROR_SUCCESS) {
        rc = DeleteKeyTree(root, path + WSTR("\\") + name, sam);
        if (rc != ERROR_SUCCESS)
            break;
    }
    RegCloseKey(key);
    if (rc != ERROR_NO_MORE_ITEMS)
        return rc;
    return RegDeleteKeyExW(root, path.c_str(), sam, 0);
}

ScratchKey::ScratchKey()
    : path_(WSTR("SOFTWARE\\feroxasio-tests\\") + Widen(std::to_string(GetCurrentProcessId()))) {
    DeleteKeyTree(HKEY_LOCAL_MACHINE, path_);  // left over from a crashed run
    HKEY key = nullptr;
    ok_ = RegCreateKeyW(HKEY_LOCAL_MACHINE, path_.c_str(), &key) == ERROR_SUCCESS;
    if (ok_)
        RegCloseKey(key);
}

ScratchKey::~ScratchKey() {
    DeleteKeyTree(HKEY_LOCAL_MACHINE, path_);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, WSTR("SOFTWARE\\feroxasio-tests"));  // when it is empty
}

WString ScratchKey::Path(std::string_view sub) const {
    return sub.empty() ? path_ : path_ + WSTR("\\") + Widen(sub);
}

}  // namespace ferox::test
