// The loader (a table of modules that tests fill), IsWow64Process, CharLowerW and the COM helpers.
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/alloc.h"
#include "platform/posix/internal.h"
#include "platform/posix/testing.h"

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

namespace ferox::posix::detail {
namespace {

struct Module {
    std::u16string name;  // file name, as the loader matches it
    std::u16string path;
    std::map<std::string, FARPROC> procs;
    bool builtin = false;
};

const auto kMainModule = reinterpret_cast<HMODULE>(ULONG_PTR{0x00400000});
const auto kKernel32 = reinterpret_cast<HMODULE>(ULONG_PTR{0x7B000000});

struct Loader {
    std::mutex mutex;
    std::map<HMODULE, Module> modules;
    ULONG_PTR nextBase = 0x10000000;
    Loader() {
        modules[kMainModule] = {u"ferox_tests.exe", u"C:\\feroxasio\\ferox_tests.exe", {}, true};
        modules[kKernel32] = {u"kernel32.dll", u"C:\\windows\\system32\\kernel32.dll", {}, true};
    }
};

Loader& L() {
    static Loader* loader = new Loader;
    return *loader;
}

std::atomic<ferox::posix::Wow64> g_wow64{ferox::posix::Wow64::No};
std::atomic<bool> g_searchFlagsKnown{true};

// As the loader reads a module name: a bare name without extension means ".dll", a trailing dot
// means no extension.
std::u16string NormalName(std::u16string_view name) {
    std::u16string n = Fold(name);
    if (!n.empty() && n.back() == u'.') {
        n.pop_back();
        return n;
    }
    if (n.find(u'.') == std::u16string::npos)
        n += u".dll";
    return n;
}

// With the loader mutex held.
Module* Find(std::u16string_view name) {
    Loader& l = L();
    const bool isPath = name.find_first_of(u"\\/") != std::u16string_view::npos;
    const std::u16string wanted = isPath ? Fold(name) : NormalName(name);
    for (auto& [handle, module] : l.modules) {
        if (isPath ? Fold(module.path) == wanted : NormalName(module.name) == wanted) {
            return &module;
        }
    }
    return nullptr;
}

HMODULE HandleOf(const Module* m) {
    for (auto& [handle, module] : L().modules) {
        if (&module == m)
            return handle;
    }
    return nullptr;
}

int HexDigit(WCHAR c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false when one is not a hex digit.
bool ReadHex(LPCOLESTR text, int pos, int digits, ULONG& value) {
    value = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = HexDigit(text[pos + i]);
        if (d < 0)
            return false;
        value = value << 4 | static_cast<ULONG>(d);
    }
    return true;
}

}  // namespace
}  // namespace ferox::posix::detail

using namespace ferox::posix::detail;

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (name == nullptr)
        return kMainModule;
    std::lock_guard lock(L().mutex);
    if (Module* m = Find(name))
        return HandleOf(m);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    std::u16string path;
    {
        Loader& l = L();
        std::lock_guard lock(l.mutex);
        auto it = l.modules.find(module == nullptr ? kMainModule : module);
        if (it == l.modules.end()) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = it->second.path;
    }
    if (path.size() < size) {
        std::memcpy(fileName, path.data(), path.size() * sizeof(WCHAR));
        fileName[path.size()] = 0;
        SetLastError(ERROR_SUCCESS);
        return static_cast<DWORD>(path.size());
    }
    // Too small: as Windows Vista and later, the text is cut to size - 1 characters and
    // terminated, and the result is the buffer size.
    if (size > 0) {
        std::memcpy(fileName, path.data(), (size - 1) * sizeof(WCHAR));
        fileName[size - 1] = 0;
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
}

HMODULE LoadLibraryW(LPCWSTR name) {
    if (name == nullptr || *name == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return GetModuleHandleW(name);  // sets ERROR_MOD_NOT_FOUND
}

HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags /*one folder of modules here*/) {
    constexpr DWORD kSearchFlags = 0x00001F00u;  // LOAD_LIBRARY_SEARCH_*
    if (file != nullptr || ((flags & kSearchFlags) != 0 && !g_searchFlagsKnown.load())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryW(name);
}

BOOL FreeLibrary(HMODULE module) {
    if (module == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    if (l.modules.count(module) == 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    return TRUE;  // registered modules stay loaded
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT size) {
    const std::u16string_view folder = ferox::posix::kSystemFolder;
    const auto length = static_cast<UINT>(folder.size());
    if (buffer == nullptr || size <= length)
        return length + 1;  // the size needed, terminator included
    std::memcpy(buffer, folder.data(), length * sizeof(WCHAR));
    buffer[length] = 0;
    return length;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    auto it = l.modules.find(module == nullptr ? kMainModule : module);
    if (it == l.modules.end()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Names below 0x10000 are ordinals, which no module here exports.
    if (reinterpret_cast<ULONG_PTR>(name) >= 0x10000) {
        if (it->first == kKernel32 && std::strcmp(name, "IsWow64Process") == 0 &&
            g_wow64.load() != ferox::posix::Wow64::Absent) {
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&IsWow64Process));
        }
        auto proc = it->second.procs.find(name);
        if (proc != it->second.procs.end())
            return proc->second;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL IsWow64Process(HANDLE process, BOOL* wow64) {
    if (process != GetCurrentProcess()) {  // only the own process is modelled
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *wow64 = g_wow64.load() == ferox::posix::Wow64::Yes ? TRUE : FALSE;
    return TRUE;
}

LPWSTR CharLowerW(LPWSTR text) {
    const auto value = reinterpret_cast<ULONG_PTR>(text);
    if (value >> 16 == 0) {  // a single character passed in the pointer's low word
        return reinterpret_cast<LPWSTR>(
            static_cast<ULONG_PTR>(FoldChar(static_cast<WCHAR>(value))));
    }
    for (WCHAR* p = text; *p != 0; ++p)
        *p = FoldChar(*p);
    return text;
}

LPVOID CoTaskMemAlloc(SIZE_T bytes) {
    return ferox::Allocate(bytes);
}
void CoTaskMemFree(LPVOID p) {
    ferox::Free(p);
}

HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    constexpr int kChars = 39;  // braces, 32 digits, 4 dashes, terminator
    auto* out = static_cast<WCHAR*>(CoTaskMemAlloc(kChars * sizeof(WCHAR)));
    *text = out;
    if (out == nullptr)
        return E_OUTOFMEMORY;
    static constexpr char kHex[] = "0123456789ABCDEF";
    int pos = 0;
    auto put = [&](ULONG v, int digits) {
        for (int i = digits - 1; i >= 0; --i)
            out[pos++] = static_cast<WCHAR>(kHex[(v >> (i * 4)) & 0xF]);
    };
    out[pos++] = u'{';
    put(clsid.Data1, 8);
    out[pos++] = u'-';
    put(clsid.Data2, 4);
    out[pos++] = u'-';
    put(clsid.Data3, 4);
    out[pos++] = u'-';
    put(clsid.Data4[0], 2);
    put(clsid.Data4[1], 2);
    out[pos++] = u'-';
    for (int i = 2; i < 8; ++i)
        put(clsid.Data4[i], 2);
    out[pos++] = u'}';
    out[pos] = 0;
    return S_OK;
}

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
    *clsid = GUID_NULL;
    if (text == nullptr)
        return S_OK;
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}; program ids are not modelled.
    if (View(text).size() != 38 || text[0] != u'{' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-' || text[37] != u'}') {
        return CO_E_CLASSSTRING;
    }
    GUID g{};
    ULONG v = 0;
    if (!ReadHex(text, 1, 8, v))
        return CO_E_CLASSSTRING;
    g.Data1 = v;
    if (!ReadHex(text, 10, 4, v))
        return CO_E_CLASSSTRING;
    g.Data2 = static_cast<USHORT>(v);
    if (!ReadHex(text, 15, 4, v))
        return CO_E_CLASSSTRING;
    g.Data3 = static_cast<USHORT>(v);
    static constexpr int kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePos[i], 2, v))
            return CO_E_CLASSSTRING;
        g.Data4[i] = static_cast<UCHAR>(v);
    }
    *clsid = g;
    return S_OK;
}

namespace ferox::posix {

HMODULE RegisterModule(std::u16string_view name, std::u16string_view fullPath) {
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    const auto handle = reinterpret_cast<HMODULE>(l.nextBase);
    l.nextBase += 0x10000;
    l.modules[handle] = {std::u16string(name), std::u16string(fullPath), {}, false};
    return handle;
}

void RegisterProc(HMODULE module, const char* name, FARPROC proc) {
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    auto it = l.modules.find(module);
    if (it != l.modules.end())
        it->second.procs[name] = proc;
}

void UnregisterModule(HMODULE module) {
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    auto it = l.modules.find(module);
    if (it != l.modules.end() && !it->second.builtin)
        l.modules.erase(it);
}

void ResetModules() {
    Loader& l = L();
    std::lock_guard lock(l.mutex);
    std::erase_if(l.modules, [](const auto& entry) { return !entry.second.builtin; });
    g_searchFlagsKnown.store(true);
}

void SetLoadSearchFlags(bool known) {
    g_searchFlagsKnown.store(known);
}

void SetWow64(Wow64 mode) {
    g_wow64.store(mode);
}
Wow64 GetWow64() {
    return g_wow64.load();
}

}  // namespace ferox::posix
