// Self-registration. Both places are written in the view of the DLL's own bitness: a 32-bit DLL
// on 64-bit Windows goes where 32-bit hosts and the 32-bit COM runtime look. The paths stay
// logical and the view is asked for with KEY_WOW64_32KEY: a path that names "Wow6432Node"
// itself is reserved on Windows, and some Wine versions redirect it a second time, to
// "Wow6432Node\Wow6432Node", where no host looks.
#include "com/registration.h"

#include "asio/driver_id.h"
#include "platform/alloc.h"
#include "platform/wide.h"

#ifdef _WIN32
#include <olectl.h>  // SELFREG_E_CLASS
#endif

namespace ferox {
namespace {

constexpr const WCHAR* kDllName = WSTR("feroxasio.dll");
constexpr const WCHAR* kDriverKeyName = WSTR("ASIO ferox Driver");
constexpr const WCHAR* kDescription = WSTR("ASIO ferox");
constexpr const WCHAR* kThreadingModel = WSTR("Apartment");
constexpr const WCHAR* kClassRoot = WSTR("CLSID");
constexpr const WCHAR* kSoftwareRoot = WSTR("SOFTWARE");
constexpr const WCHAR* kAsioList = WSTR("ASIO");
constexpr const WCHAR* kServerKey = WSTR("InprocServer32");

// What both routines need before they touch the registry.
struct Subject {
    REGSAM view = 0;
    WCHAR modulePath[kRegPathChars];
    WCHAR clsidText[kRegClsidChars];
};

int Prepare(const CLSID& clsid, const WCHAR* dllName, Subject* s) {
    s->view = IsWow64() ? KEY_WOW64_32KEY : 0;
    HMODULE module = GetModuleHandleW(dllName);
    if (module == nullptr)
        return kRegModuleNotFound;
    s->modulePath[0] = 0;
    GetModuleFileNameW(module, s->modulePath, kRegPathChars);
    // Windows XP leaves a path that fills the buffer without a terminator.
    s->modulePath[kRegPathChars - 1] = 0;
    if (s->modulePath[0] == 0)
        return kRegModulePathEmpty;
    CharLowerW(s->modulePath);
    LPOLESTR text = nullptr;
    if (FAILED(StringFromCLSID(clsid, &text)) || text == nullptr) {
        CoTaskMemFree(text);
        return kRegClsidText;
    }
    WideCopy(s->clsidText, kRegClsidChars, text);
    CoTaskMemFree(text);
    return kRegOk;
}

int Finish(bool ok, const RegistryOps& ops, LONG* registryError) {
    if (registryError != nullptr)
        *registryError = ok ? ERROR_SUCCESS : ops.FirstError();
    return ok ? kRegOk : kRegRegistryFailed;
}

HRESULT ToHresult(int result, LONG registryError) {
    if (result == kRegOk)
        return S_OK;
    if (result == kRegRegistryFailed) {
        return registryError != ERROR_SUCCESS ? HRESULT_FROM_WIN32(registryError) : SELFREG_E_CLASS;
    }
    return static_cast<HRESULT>(0xFFFFFFFFu);
}

}  // namespace

BOOL IsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, BOOL*);
    HMODULE kernel32 = GetModuleHandleW(WSTR("kernel32"));
    if (kernel32 == nullptr)
        return FALSE;
    FARPROC proc = GetProcAddress(kernel32, "IsWow64Process");
    if (proc == nullptr)
        return FALSE;
    // GetProcAddress's generic pointer type; the export's own type is IsWow64Process's.
    auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void (*)()>(proc));
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64))
        return FALSE;
    return wow64;
}

// ---- Registry operations

struct RegistryOps::Entry {
    FEROX_HEAP_OBJECT
    HKEY parent;
    HKEY key;
    Entry* next;
    WCHAR name[kRegPathChars];
};

void RegistryOps::Note(LONG error) {
    if (m_firstError == ERROR_SUCCESS)
        m_firstError = error;
}

LONG RegistryOps::Open(HKEY root, const WCHAR* path, REGSAM access, HKEY* key) {
    return RegOpenKeyExW(root, path, 0, access | m_view, key);
}

int RegistryOps::KeyExists(HKEY root, const WCHAR* path) {
    if (path == nullptr)
        return -1;
    HKEY key = nullptr;
    if (Open(root, path, MAXIMUM_ALLOWED, &key) != ERROR_SUCCESS)
        return 0;
    RegCloseKey(key);
    return 1;
}

int RegistryOps::CreateSubkey(HKEY root, const WCHAR* parentPath, const WCHAR* name) {
    WCHAR path[kRegPathChars];
    FormatW(path, kRegPathChars, WSTR("%s\\%s"), parentPath, name);
    if (KeyExists(root, path) == 1)
        return 0;
    HKEY parent = nullptr;
    LONG e = Open(root, parentPath, MAXIMUM_ALLOWED, &parent);
    if (e != ERROR_SUCCESS) {
        Note(e);
        return -1;
    }
    HKEY created = nullptr;
    e = RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED | m_view,
                        nullptr, &created, nullptr);
    if (e == ERROR_SUCCESS) {
        RegCloseKey(created);
    } else {
        Note(e);
    }
    RegCloseKey(parent);
    return e == ERROR_SUCCESS ? 0 : -1;
}

int RegistryOps::SetStringValue(HKEY root, const WCHAR* path, const WCHAR* valueName,
                                const WCHAR* text) {
    if (path == nullptr)
        return -1;
    HKEY key = nullptr;
    LONG e = Open(root, path, MAXIMUM_ALLOWED, &key);
    if (e != ERROR_SUCCESS) {
        Note(e);
        return -1;
    }
    const auto bytes = static_cast<DWORD>((WideLength(text) + 1) * sizeof(WCHAR));
    e = RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    if (e != ERROR_SUCCESS)
        Note(e);
    RegCloseKey(key);
    return e == ERROR_SUCCESS ? 0 : -1;
}

int RegistryOps::QueryValue(HKEY root, const WCHAR* path, const WCHAR* valueName, void* buffer,
                            DWORD bufferBytes, DWORD* receivedBytes) {
    if (receivedBytes != nullptr)
        *receivedBytes = 0;
    if (path == nullptr)
        return -1;
    HKEY key = nullptr;
    if (Open(root, path, MAXIMUM_ALLOWED, &key) != ERROR_SUCCESS)
        return -1;
    int result = -1;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
        size <= bufferBytes) {
        if (RegQueryValueExW(key, valueName, nullptr, nullptr, static_cast<BYTE*>(buffer), &size) ==
            ERROR_SUCCESS) {
            if (receivedBytes != nullptr)
                *receivedBytes = size;
            result = 0;
        }
    }
    RegCloseKey(key);
    return result;
}

void RegistryOps::Collect(HKEY parent, const WCHAR* name, Entry** head, Entry** tail) {
    HKEY key = nullptr;
    LONG e = RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS | m_view, &key);
    if (e != ERROR_SUCCESS) {
        Note(e);
        return;
    }
    // Nothing is deleted during the walk, so the enumeration indexes stay valid.
    WCHAR subkey[kRegPathChars];
    for (DWORD index = 0; RegEnumKeyW(key, index, subkey, kRegPathChars) == ERROR_SUCCESS;
         ++index) {
        Collect(key, subkey, head, tail);
    }
    auto* entry = new Entry;
    if (entry == nullptr) {
        Note(ERROR_NOT_ENOUGH_MEMORY);
        RegCloseKey(key);
        return;
    }
    entry->parent = parent;
    entry->key = key;
    entry->next = nullptr;
    WideCopy(entry->name, kRegPathChars, name);
    if (*tail != nullptr) {
        (*tail)->next = entry;
    } else {
        *head = entry;
    }
    *tail = entry;
}

int RegistryOps::DeleteKeyTree(HKEY root, const WCHAR* parentPath, const WCHAR* name) {
    HKEY parent = nullptr;
    LONG e = Open(root, parentPath, MAXIMUM_ALLOWED, &parent);
    if (e != ERROR_SUCCESS) {
        Note(e);
        return -1;
    }
    Entry* head = nullptr;
    Entry* tail = nullptr;
    Collect(parent, name, &head, &tail);
    const bool any = head != nullptr;
    // Each key comes after all of its subkeys, and its parent's handle is still open. The
    // handles already name keys in the chosen view, so the one-level names need no view flag
    // (RegDeleteKeyExW is missing on 32-bit Windows XP, and this DLL must load there).
    while (head != nullptr) {
        Entry* entry = head;
        head = entry->next;
        RegCloseKey(entry->key);
        e = RegDeleteKeyW(entry->parent, entry->name);
        if (e != ERROR_SUCCESS)
            Note(e);
        delete entry;
    }
    RegCloseKey(parent);
    return any ? 0 : -1;
}

// ---- Registration

int RegisterDriver(CLSID clsid, const WCHAR* dllName, const WCHAR* keyName,
                   const WCHAR* description, const WCHAR* threadingModel, LONG* registryError) {
    Subject s;
    if (int r = Prepare(clsid, dllName, &s); r != kRegOk)
        return r;
    RegistryOps ops(s.view);
    bool ok = true;

    WCHAR classKey[kRegPathChars];
    WCHAR serverKey[kRegPathChars];
    FormatW(classKey, kRegPathChars, WSTR("%s\\%s"), kClassRoot, s.clsidText);
    FormatW(serverKey, kRegPathChars, WSTR("%s\\%s\\%s"), kClassRoot, s.clsidText, kServerKey);
    bool current = false;
    if (ops.KeyExists(HKEY_CLASSES_ROOT, classKey) == 1) {
        // One character more than the value may fill, for a terminator the value may lack.
        WCHAR stored[kRegPathChars + 1];
        DWORD bytes = 0;
        if (ops.QueryValue(HKEY_CLASSES_ROOT, serverKey, nullptr, stored,
                           kRegPathChars * sizeof(WCHAR), &bytes) == 0) {
            stored[bytes / sizeof(WCHAR)] = 0;
            CharLowerW(stored);
            current = WideCompare(stored, s.modulePath) == 0;
        }
        if (!current)
            ops.DeleteKeyTree(HKEY_CLASSES_ROOT, kClassRoot, s.clsidText);
    }
    if (!current) {
        ok &= ops.CreateSubkey(HKEY_CLASSES_ROOT, kClassRoot, s.clsidText) == 0;
        ok &= ops.SetStringValue(HKEY_CLASSES_ROOT, classKey, nullptr, description) == 0;
        ok &= ops.CreateSubkey(HKEY_CLASSES_ROOT, classKey, kServerKey) == 0;
        ok &= ops.SetStringValue(HKEY_CLASSES_ROOT, serverKey, nullptr, s.modulePath) == 0;
        ok &= ops.SetStringValue(HKEY_CLASSES_ROOT, serverKey, WSTR("ThreadingModel"),
                                 threadingModel) == 0;
    }

    WCHAR listKey[kRegPathChars];
    WCHAR driverKey[kRegPathChars];
    FormatW(listKey, kRegPathChars, WSTR("%s\\%s"), kSoftwareRoot, kAsioList);
    FormatW(driverKey, kRegPathChars, WSTR("%s\\%s\\%s"), kSoftwareRoot, kAsioList, keyName);
    if (ops.KeyExists(HKEY_LOCAL_MACHINE, listKey) == 1) {
        if (ops.KeyExists(HKEY_LOCAL_MACHINE, driverKey) == 1) {
            ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, listKey, keyName);
        }
    } else {
        ok &= ops.CreateSubkey(HKEY_LOCAL_MACHINE, kSoftwareRoot, kAsioList) == 0;
    }
    ok &= ops.CreateSubkey(HKEY_LOCAL_MACHINE, listKey, keyName) == 0;
    ok &= ops.SetStringValue(HKEY_LOCAL_MACHINE, driverKey, WSTR("CLSID"), s.clsidText) == 0;
    ok &= ops.SetStringValue(HKEY_LOCAL_MACHINE, driverKey, WSTR("Description"), description) == 0;
    return Finish(ok, ops, registryError);
}

int UnregisterDriver(CLSID clsid, const WCHAR* dllName, const WCHAR* keyName, LONG* registryError) {
    Subject s;
    if (int r = Prepare(clsid, dllName, &s); r != kRegOk)
        return r;
    RegistryOps ops(s.view);
    bool ok = true;

    // The class key goes whichever DLL it names.
    WCHAR classKey[kRegPathChars];
    FormatW(classKey, kRegPathChars, WSTR("%s\\%s"), kClassRoot, s.clsidText);
    if (ops.KeyExists(HKEY_CLASSES_ROOT, classKey) == 1) {
        ops.DeleteKeyTree(HKEY_CLASSES_ROOT, kClassRoot, s.clsidText);
        ok &= ops.KeyExists(HKEY_CLASSES_ROOT, classKey) == 0;
    }

    // The list key itself stays, even when left empty: other drivers' entries live there.
    WCHAR listKey[kRegPathChars];
    WCHAR driverKey[kRegPathChars];
    FormatW(listKey, kRegPathChars, WSTR("%s\\%s"), kSoftwareRoot, kAsioList);
    FormatW(driverKey, kRegPathChars, WSTR("%s\\%s\\%s"), kSoftwareRoot, kAsioList, keyName);
    if (ops.KeyExists(HKEY_LOCAL_MACHINE, listKey) == 1 &&
        ops.KeyExists(HKEY_LOCAL_MACHINE, driverKey) == 1) {
        ops.DeleteKeyTree(HKEY_LOCAL_MACHINE, listKey, keyName);
        ok &= ops.KeyExists(HKEY_LOCAL_MACHINE, driverKey) == 0;
    }
    return Finish(ok, ops, registryError);
}

}  // namespace ferox

using namespace ferox;

extern "C" HRESULT STDMETHODCALLTYPE DllRegisterServer() {
    LONG error = ERROR_SUCCESS;
    const int r = RegisterDriver(kClsidFeroxAsio, kDllName, kDriverKeyName, kDescription,
                                 kThreadingModel, &error);
    return ToHresult(r, error);
}

extern "C" HRESULT STDMETHODCALLTYPE DllUnregisterServer() {
    LONG error = ERROR_SUCCESS;
    const int r = UnregisterDriver(kClsidFeroxAsio, kDllName, kDriverKeyName, &error);
    return ToHresult(r, error);
}
