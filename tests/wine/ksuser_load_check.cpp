// The driver takes ksuser.dll from the system folder only: a DLL of that name beside the
// program (as in a host's folder) is never loaded. Only the library is resolved here, since
// Wine's KsCreatePin is a stub that ends the process when called.
//   ksuser_load_check        the driver's own load
//   ksuser_load_check bare   a load by bare name, which must take the planted DLL: without that
//                            the first check would prove nothing
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "ks/pin.h"
#include "wine/host_check.h"

namespace {

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() &&
           _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::wstring exe = ModulePath(nullptr);
    const std::wstring folder = exe.substr(0, exe.rfind(L'\\') + 1);
    CHECK(GetFileAttributesW((folder + L"ksuser.dll").c_str()) != INVALID_FILE_ATTRIBUTES);

    HMODULE module = nullptr;
    if (argc > 1 && std::strcmp(argv[1], "bare") == 0) {
        module = LoadLibraryW(L"ksuser.dll");
        CHECK(module != nullptr);
        CHECK(GetProcAddress(module, "FeroxPlanted") != nullptr);
    } else {
        CHECK(ferox::KsUserLibrary::Load() == ERROR_SUCCESS);
        CHECK(ferox::KsUserLibrary::m_pfnKsCreatePin != nullptr);
        module = ferox::KsUserLibrary::m_hModule;
        CHECK(module != nullptr);
        CHECK(GetProcAddress(module, "FeroxPlanted") == nullptr);
        wchar_t windows[MAX_PATH] = {};
        GetSystemWindowsDirectoryW(windows, MAX_PATH);
        const std::wstring path = ModulePath(module);
        std::printf("ksuser.dll loaded from %ls\n", path.c_str());
        CHECK(!StartsWith(path, folder));
        CHECK(StartsWith(path, windows));
        // Loaded once, kept: a second call resolves nothing anew.
        CHECK(ferox::KsUserLibrary::Load() == ERROR_SUCCESS);
        CHECK(ferox::KsUserLibrary::m_hModule == module);
    }
    std::printf("%s\n", g_checkFailures == 0 ? "ok" : "FAILED");
    return g_checkFailures == 0 ? 0 : 1;
}
