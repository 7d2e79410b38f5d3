#include "asio/settings.h"

#include "common/trace.h"

namespace ferox {

bool IsBufferSizeChoice(AsioLong size) noexcept {
    for (AsioLong choice : kBufferSizeChoices) {
        if (size == choice)
            return true;
    }
    return false;
}

AsioLong UserBufferSize() noexcept {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return kDefaultBufferSize;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG rc = RegQueryValueExW(key, kBufferSizeValue, nullptr, &type,
                                     reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (rc == ERROR_FILE_NOT_FOUND)
        return kDefaultBufferSize;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value) ||
        !IsBufferSizeChoice(static_cast<AsioLong>(value))) {
        Trace(kTraceError,
              WSTR("BufferSize in HKCU\\Software\\feroxasio ignored (not a DWORD of 64, 128, 256, "
                   "512, 1024 or 2048: type %u, %u bytes, value %u); using %d"),
              static_cast<unsigned>(type), static_cast<unsigned>(size),
              static_cast<unsigned>(value), static_cast<int>(kDefaultBufferSize));
        return kDefaultBufferSize;
    }
    Trace(kTraceNotice, WSTR("BufferSize %u from HKCU\\Software\\feroxasio"),
          static_cast<unsigned>(value));
    return static_cast<AsioLong>(value);
}

LONG SetUserBufferSize(AsioLong size) noexcept {
    if (!IsBufferSizeChoice(size))
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    const DWORD value = static_cast<DWORD>(size);
    rc = RegSetValueExW(key, kBufferSizeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
    RegCloseKey(key);
    return rc;
}

}  // namespace ferox
