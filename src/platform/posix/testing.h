// Test controls of the POSIX stand-in: what a test can see and switch that Windows keeps to
// itself. Not available on Windows.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/win32.h"

namespace ferox::posix {

// ---- Handles
// Handles open now: events, threads and registry keys (predefined roots and pseudo handles are not
// counted).
std::size_t OpenHandleCount();

// ---- Threads
// Threads made by CreateThread whose routine has not returned yet (counted until just before
// their handle is signalled).
std::size_t LiveThreadCount();
// Called on a thread made by CreateThread once its routine has returned, before the thread counts
// as ended and its handle is signalled: where Windows cancels the thread's own I/O and waits for
// it. Null: none.
void SetThreadExitHook(void (*hook)());
// Called on the calling thread at the start of every SetEvent, before the event is set: where
// a thread can be made to wake another late. Null: none.
void SetBeforeSetEventHook(void (*hook)(HANDLE event));

// ---- Fault injection for object creation
enum class Fault { CreateEvent, CreateThread, Wait };
// The n-th call from now on (1 = the next one) of that kind fails once, with
// ERROR_NOT_ENOUGH_MEMORY (a wait: WAIT_FAILED with ERROR_INVALID_HANDLE, as for a handle closed
// under it); 0 cancels.
void FailNth(Fault fault, unsigned n);
void ResetFaults();

// ---- Thread priorities
// Every SetThreadPriority that succeeded since the last call, in order, as (thread id, priority);
// clears them.
std::vector<std::pair<DWORD, int>> TakeThreadPriorityLog();

// ---- Time
// Added to timeGetTime's value, so tests can take it across the 32-bit wrap.
void SetTimeOffset(DWORD milliseconds);

// ---- Debug output
// The lines passed to OutputDebugStringW since the last call, in order; clears them.
std::vector<std::u16string> TakeDebugOutput();

// ---- Modules
// Makes a module known to the loader as loaded: GetModuleHandleW and LoadLibraryW find it by
// `name` (a file name such as u"feroxasio.dll") or by its full path.
HMODULE RegisterModule(std::u16string_view name, std::u16string_view fullPath);
void RegisterProc(HMODULE module, const char* name, FARPROC proc);
void UnregisterModule(HMODULE module);
// Forgets every registered module; kernel32 and the main program remain.
void ResetModules();

// The system folder GetSystemDirectoryW names; modules registered with a path in it load by
// that full path too.
inline constexpr char16_t kSystemFolder[] = u"C:\\windows\\system32";
// Whether LoadLibraryExW knows the LOAD_LIBRARY_SEARCH_* flags (on after ResetModules). Off: as
// Windows 7 without KB2533623, it refuses them with ERROR_INVALID_PARAMETER.
void SetLoadSearchFlags(bool known);

// What kernel32 offers as IsWow64Process. Absent: no such export (32-bit Windows before XP SP2,
// no 32-bit registry view). No: a native process (KEY_WOW64_32KEY selects the 32-bit view).
// Yes: a 32-bit process on 64-bit Windows (the 32-bit view is the default).
enum class Wow64 { Absent, No, Yes };
void SetWow64(Wow64 mode);
Wow64 GetWow64();

// ---- Registry
// Empties the registry down to its standard keys and clears the injected failures. Handles still
// open then answer ERROR_KEY_DELETED.
void ResetRegistry();
// Creating, writing and deleting at or below root\path (a stored path: no redirection applied)
// fail with `error` from now on.
void RegistryDenyBelow(HKEY root, std::u16string_view path, LONG error);
// Inspection of stored paths, without redirection.
bool RegistryKeyExists(HKEY root, std::u16string_view path);
bool RegistryValue(HKEY root, std::u16string_view path, std::u16string_view valueName, DWORD* type,
                   std::vector<BYTE>* data);
// Subkey names in enumeration order.
std::vector<std::u16string> RegistrySubkeys(HKEY root, std::u16string_view path);
// The whole tree below a root as indented text, for failure messages.
std::string RegistryDump(HKEY root);

}  // namespace ferox::posix
