// Loading a DLL from the system folder only: a bare name would search the host program's folder
// first, and whatever DLL of that name lay there would run inside every host.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace ferox {

// LOAD_LIBRARY_SEARCH_SYSTEM32 where the loader knows it. Windows 7 without KB2533623 refuses the
// flag (ERROR_INVALID_PARAMETER): the file is then named by its full path in the system folder,
// its own dependencies searched from there first. `loadEx` has LoadLibraryExW's signature.
template <typename LoadEx>
HMODULE LoadSystemLibrary(LoadEx&& loadEx, const WCHAR* name) {
    HMODULE module = loadEx(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    WCHAR path[MAX_PATH];
    const UINT folder = GetSystemDirectoryW(path, MAX_PATH);
    std::size_t length = 0;
    while (name[length] != 0)
        ++length;
    if (folder == 0 || folder + 1 + length >= MAX_PATH)
        return nullptr;
    path[folder] = WSTR('\\');
    for (std::size_t i = 0; i <= length; ++i)
        path[folder + 1 + i] = name[i];
    return loadEx(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace ferox
