// Reads the registry as an ASIO host of this program's bitness does (its own view, no flags) and
// activates the driver through COM. Driven by registration_cycle.cmake around regsvr32.
//   registration_host_check present|absent <path of the DLL>
//   registration_host_check snapshot     (prints this view's ASIO list and CLSID count)
// Exit code 0 when every check passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "asio/asio.h"
#include "asio/driver_id.h"
#include "wine/host_check.h"

namespace {

constexpr REGSAM kOtherView = sizeof(void*) == 4 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

bool KeyExists(HKEY root, const std::wstring& path, REGSAM view = 0) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A REG_SZ value, or "<missing>".
std::wstring Sz(HKEY root, const std::wstring& path, const wchar_t* name, REGSAM view = 0) {
    wchar_t data[512] = {};
    DWORD type = 0, size = sizeof(data) - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return L"<missing>";
    LONG e = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return e == ERROR_SUCCESS && type == REG_SZ ? data : L"<missing>";
}

// How hosts find drivers: the subkeys of HKLM\SOFTWARE\ASIO, one a line.
std::wstring AsioList() {
    std::wstring names;
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &list) != ERROR_SUCCESS)
        return names;
    wchar_t name[256];
    for (DWORD i = 0; RegEnumKeyW(list, i, name, 256) == ERROR_SUCCESS; ++i)
        names += std::wstring(name) + L"\n";
    RegCloseKey(list);
    return names;
}

// The DLL's path as Windows names it, lower-cased.
std::wstring LowerPath(const char* path) {
    std::wstring w = path[0] == '/' ? L"Z:" : L"";
    for (const char* p = path; *p; ++p)
        w += (*p == '/') ? L'\\' : static_cast<wchar_t>(*p);
    CharLowerW(w.data());
    return w;
}

void Check(bool present, const char* dll) {
    LPOLESTR text = nullptr;
    CHECK(SUCCEEDED(StringFromCLSID(ferox::kClsidFeroxAsio, &text)));
    const std::wstring clsid = text;
    CoTaskMemFree(text);
    const std::wstring driver = L"SOFTWARE\\ASIO\\ASIO ferox Driver";
    const std::wstring classKey = L"CLSID\\" + clsid, server = classKey + L"\\InprocServer32";
    const std::wstring lower = LowerPath(dll);
    std::wstring list = L"\n" + AsioList();
    CharLowerW(list.data());
    CHECK((list.find(L"\nasio ferox driver\n") != std::wstring::npos) == present);
    CHECK(KeyExists(HKEY_CLASSES_ROOT, classKey) == present);
    CHECK(KeyExists(HKEY_LOCAL_MACHINE, driver) == present);
    // Nothing in the other bitness's view (which the other DLL may hold right now), nor where a
    // second redirection would put it.
    std::wstring other = Sz(HKEY_CLASSES_ROOT, server, nullptr, kOtherView);
    CharLowerW(other.data());
    CHECK(other != lower);
    CHECK(!KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Wow6432Node\\Wow6432Node\\ASIO",
                     KEY_WOW64_64KEY));
    CHECK(!KeyExists(HKEY_CLASSES_ROOT, L"Wow6432Node\\Wow6432Node\\" + classKey, KEY_WOW64_64KEY));
    if (present) {
        CHECK(Sz(HKEY_LOCAL_MACHINE, driver, L"CLSID") == clsid);
        CHECK(Sz(HKEY_LOCAL_MACHINE, driver, L"Description") == L"ASIO ferox");
        CLSID read{};
        CHECK(CLSIDFromString(Sz(HKEY_LOCAL_MACHINE, driver, L"CLSID").c_str(), &read) == S_OK &&
              IsEqualCLSID(read, ferox::kClsidFeroxAsio));
        CHECK(Sz(HKEY_CLASSES_ROOT, classKey, nullptr) == L"ASIO ferox");
        CHECK(Sz(HKEY_CLASSES_ROOT, server, nullptr) == lower);
        CHECK(Sz(HKEY_CLASSES_ROOT, server, L"ThreadingModel") == L"Apartment");
        if (g_checkFailures != 0) {
            std::printf("InprocServer32: '%ls', expected '%ls'\n",
                        Sz(HKEY_CLASSES_ROOT, server, nullptr).c_str(), lower.c_str());
        }
    }

    // COM activation, with the class identifier as class and as interface, as hosts do it.
    CHECK(SUCCEEDED(CoInitialize(nullptr)));
    void* p = nullptr;
    const HRESULT hr = CoCreateInstance(ferox::kClsidFeroxAsio, nullptr, CLSCTX_INPROC_SERVER,
                                        ferox::kClsidFeroxAsio, &p);
    CHECK(present ? hr == S_OK && p != nullptr : hr == REGDB_E_CLASSNOTREG);
    if (p != nullptr) {
        // The runtime loaded the registered file, not some other feroxasio.dll.
        CHECK(GetModuleHandleW(lower.c_str()) != nullptr);
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

// Keys a registration could leave behind in this view, as text.
void Snapshot() {
    std::printf("asio:\n%lsclsid subkeys: ", AsioList().c_str());
    DWORD classes = 0;
    HKEY clsid = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"CLSID", 0, KEY_READ, &clsid) == ERROR_SUCCESS) {
        RegQueryInfoKeyW(clsid, nullptr, nullptr, nullptr, &classes, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(clsid);
    }
    std::printf("%lu\n", classes);
}

}  // namespace

int main(int argc, char** argv) {
    const bool present = argc == 3 && std::strcmp(argv[1], "present") == 0;
    if (present || (argc == 3 && std::strcmp(argv[1], "absent") == 0)) {
        Check(present, argv[2]);
    } else if (argc == 2 && std::strcmp(argv[1], "snapshot") == 0) {
        Snapshot();
    } else {
        std::printf("usage: registration_host_check present DLL | absent DLL | snapshot\n");
        return 2;
    }
    if (g_checkFailures != 0)
        std::printf("%d check(s) failed\n", g_checkFailures);
    return g_checkFailures == 0 ? 0 : 1;
}
