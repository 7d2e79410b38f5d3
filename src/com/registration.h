// Self-registration: the COM class key and the entry in the machine's ASIO driver list, in the
// registry view that hosts of the DLL's own bitness read.
#pragma once

#include "platform/platform.h"

namespace ferox {

// Results of RegisterDriver and UnregisterDriver.
inline constexpr int kRegOk = 0;
inline constexpr int kRegModuleNotFound = -101;
inline constexpr int kRegModulePathEmpty = -102;
inline constexpr int kRegClsidText = -103;
// The keys could not be written (or removed); the Win32 error is passed out when there is one.
inline constexpr int kRegRegistryFailed = -104;

// Every registry path, the module path and the stored server path.
inline constexpr int kRegPathChars = 360;
inline constexpr int kRegClsidChars = 100;

int RegisterDriver(CLSID clsid, const WCHAR* dllName, const WCHAR* keyName,
                   const WCHAR* description, const WCHAR* threadingModel,
                   LONG* registryError = nullptr);
int UnregisterDriver(CLSID clsid, const WCHAR* dllName, const WCHAR* keyName,
                     LONG* registryError = nullptr);

// A 32-bit process on 64-bit Windows. IsWow64Process is looked up on every call: 32-bit Windows
// before XP SP2 has none, and then there is no other view.
BOOL IsWow64();

// The registry operations, over one view: 0 for native, KEY_WOW64_32KEY for the 32-bit view.
// Paths are logical ("CLSID", "SOFTWARE\ASIO"); the view decides where they land, which is
// right under Windows' redirector and Wine's alike. The first Win32 error met is kept.
class RegistryOps {
  public:
    explicit RegistryOps(REGSAM view) : m_view(view) {}

    // NULL path: -1. 1 if the key opens, 0 if not.
    int KeyExists(HKEY root, const WCHAR* path);
    // 0 when parentPath\name exists or was created; -1 otherwise.
    int CreateSubkey(HKEY root, const WCHAR* parentPath, const WCHAR* name);
    // REG_SZ with its terminator; NULL valueName is the default value. 0 or -1.
    int SetStringValue(HKEY root, const WCHAR* path, const WCHAR* valueName, const WCHAR* text);
    // Reads a value of at most bufferBytes into buffer, whatever its type: 0, or -1 (also when
    // it is larger). *receivedBytes, when given, gets the size read.
    int QueryValue(HKEY root, const WCHAR* path, const WCHAR* valueName, void* buffer,
                   DWORD bufferBytes, DWORD* receivedBytes = nullptr);
    // Deletes parentPath\name with everything below it, deepest keys first: 0 if at least one
    // key was found to delete, -1 otherwise. A subkey that cannot be opened stays, and with it
    // all its ancestors.
    int DeleteKeyTree(HKEY root, const WCHAR* parentPath, const WCHAR* name);

    // The first error a registry call answered with, ERROR_SUCCESS if none.
    LONG FirstError() const { return m_firstError; }

  private:
    struct Entry;
    void Note(LONG error);
    LONG Open(HKEY root, const WCHAR* path, REGSAM access, HKEY* key);
    void Collect(HKEY parent, const WCHAR* name, Entry** head, Entry** tail);

    const REGSAM m_view;
    LONG m_firstError = ERROR_SUCCESS;
};

}  // namespace ferox
