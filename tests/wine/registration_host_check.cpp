// Reads the registry as an ASIO host of this program's bitness does (its own view, no flags) and
// activates the driver through COM. Driven by registration_cycle.cmake around regsvr32.
//   registration_host_check present <path of the registered DLL>
//   registration_host_check absent <path of the DLL>
//   registration_host_check snapshot     (prints this view's ASIO list and CLSID count)
// Exit code 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "asio/asio.h"
#include "asio/driver_id.h"

namespace {

int failures = 0;
#define CHECK(cond)                                                              \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                          \
        }                                                                        \
    } while (0)

#if defined(__i386__)
#define HOST_THISCALL __attribute__((thiscall))
#else
#define HOST_THISCALL
#endif

constexpr const wchar_t* kDriverKey = L"ASIO ferox Driver";
constexpr REGSAM kOtherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

std::wstring ClsidText() {
    LPOLESTR text = nullptr;
    std::wstring out;
    if (SUCCEEDED(StringFromCLSID(ferox::kClsidFeroxAsio, &text)))
        out = text;
    CoTaskMemFree(text);
    return out;
}

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A REG_SZ value, or "<missing>".
std::wstring Sz(HKEY root, const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<missing>";
    wchar_t data[512] = {};
    DWORD type = 0, size = sizeof(data) - sizeof(wchar_t);
    LONG e = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (e != ERROR_SUCCESS || type != REG_SZ)
        return L"<missing>";
    return data;
}

// Whether the other view's class key names this DLL.
bool NamesThisDll(const std::wstring& classKey, const std::wstring& lowerPath) {
    HKEY key = nullptr;
    const std::wstring server = classKey + L"\\InprocServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_READ | kOtherView, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    wchar_t data[512] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    CharLowerW(data);
    return lowerPath == data;
}

// How hosts find drivers: enumerate HKLM\SOFTWARE\ASIO.
bool ListedByHosts() {
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &list) != ERROR_SUCCESS) {
        return false;
    }
    bool found = false;
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(list, i, name, 256) == ERROR_SUCCESS; ++i) {
        found |= _wcsicmp(name, kDriverKey) == 0;
    }
    RegCloseKey(list);
    return found;
}

std::wstring WindowsPath(const char* path) {
    std::wstring w;
    if (path[0] == '/')
        w = L"Z:";
    for (const char* p = path; *p; ++p)
        w += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
    return w;
}

// The driver made by the COM runtime, answering through its vtable as hosts call it.
void CheckActivation(const std::wstring& dllPath) {
    CHECK(SUCCEEDED(CoInitialize(nullptr)));
    void* p = nullptr;
    HRESULT hr = CoCreateInstance(ferox::kClsidFeroxAsio, nullptr, CLSCTX_INPROC_SERVER,
                                  ferox::kClsidFeroxAsio, &p);
    CHECK(hr == S_OK && p != nullptr);
    if (p != nullptr) {
        // The runtime loaded the registered file, not some other feroxasio.dll.
        CHECK(GetModuleHandleW(dllPath.c_str()) != nullptr);
        void** vtable = *static_cast<void***>(p);
        using GetName = void(HOST_THISCALL*)(void*, char*);
        using GetVersion = AsioLong(HOST_THISCALL*)(void*);
        using GetChannels = ASIOError(HOST_THISCALL*)(void*, AsioLong*, AsioLong*);
        using Release = ULONG(__stdcall*)(void*);
        char name[32] = {};
        reinterpret_cast<GetName>(vtable[4])(p, name);
        CHECK(std::strcmp(name, "Pellinor ASIO 1.03") == 0);
        CHECK(reinterpret_cast<GetVersion>(vtable[5])(p) == 2);
        AsioLong in = 0, out = 0;
        CHECK(reinterpret_cast<GetChannels>(vtable[9])(p, &in, &out) == ASE_OK && out == 2);
        CHECK(reinterpret_cast<Release>(vtable[2])(p) == 0);
    }
    CoUninitialize();
}

void CheckPresent(const char* dll) {
    const std::wstring clsid = ClsidText();
    const std::wstring driver = std::wstring(L"SOFTWARE\\ASIO\\") + kDriverKey;
    CHECK(ListedByHosts());
    CHECK(Sz(HKEY_LOCAL_MACHINE, driver, L"CLSID") == clsid);
    CHECK(Sz(HKEY_LOCAL_MACHINE, driver, L"Description") == L"ASIO ferox");
    CLSID read{};
    CHECK(CLSIDFromString(Sz(HKEY_LOCAL_MACHINE, driver, L"CLSID").c_str(), &read) == S_OK &&
          IsEqualCLSID(read, ferox::kClsidFeroxAsio));

    const std::wstring classKey = L"CLSID\\" + clsid;
    std::wstring lower = WindowsPath(dll);
    CharLowerW(lower.data());
    CHECK(Sz(HKEY_CLASSES_ROOT, classKey, nullptr) == L"ASIO ferox");
    CHECK(Sz(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr) == lower);
    CHECK(Sz(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", L"ThreadingModel") == L"Apartment");
    if (failures != 0) {
        std::printf("InprocServer32: '%ls', expected '%ls'\n",
                    Sz(HKEY_CLASSES_ROOT, classKey + L"\\InprocServer32", nullptr).c_str(),
                    lower.c_str());
    }
    // Nothing in the other bitness's view (which the other DLL may hold right now), nor where a
    // second redirection would put it.
    CHECK(!NamesThisDll(classKey, lower));
    CHECK(!KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Wow6432Node\\ASIO",
                     KEY_WOW64_64KEY));
    CHECK(!KeyExists(HKEY_CLASSES_ROOT, L"Wow6432Node\\Wow6432Node\\" + classKey, KEY_WOW64_64KEY));
    CheckActivation(WindowsPath(dll));
}

void CheckAbsent(const char* dll) {
    const std::wstring classKey = L"CLSID\\" + ClsidText();
    const std::wstring driver = std::wstring(L"SOFTWARE\\ASIO\\") + kDriverKey;
    CHECK(!ListedByHosts());
    CHECK(!KeyExists(HKEY_CLASSES_ROOT, classKey));
    CHECK(!KeyExists(HKEY_LOCAL_MACHINE, driver));
    std::wstring lower = WindowsPath(dll);
    CharLowerW(lower.data());
    CHECK(!NamesThisDll(classKey, lower));
    CHECK(SUCCEEDED(CoInitialize(nullptr)));
    void* p = nullptr;
    CHECK(CoCreateInstance(ferox::kClsidFeroxAsio, nullptr, CLSCTX_INPROC_SERVER,
                           ferox::kClsidFeroxAsio, &p) == REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

// Keys a registration could leave behind in this view, as text.
void Snapshot() {
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &list) == ERROR_SUCCESS) {
        wchar_t name[256];
        for (DWORD i = 0; RegEnumKeyW(list, i, name, 256) == ERROR_SUCCESS; ++i) {
            std::printf("asio: %ls\n", name);
        }
        RegCloseKey(list);
    }
    DWORD classes = 0;
    HKEY clsid = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &clsid) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(clsid, nullptr, nullptr, nullptr, &classes, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(clsid);
    }
    std::printf("clsid subkeys: %lu\n", classes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "present") == 0) {
        CheckPresent(argv[2]);
    } else if (argc == 3 && std::strcmp(argv[1], "absent") == 0) {
        CheckAbsent(argv[2]);
    } else if (argc == 2 && std::strcmp(argv[1], "snapshot") == 0) {
        Snapshot();
    } else {
        std::printf("usage: registration_host_check present DLL | absent DLL | snapshot\n");
        return 2;
    }
    if (failures != 0)
        std::printf("%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
