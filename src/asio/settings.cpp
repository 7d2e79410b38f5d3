#include "asio/settings.h"

#include <cstdio>
#include <cstring>

#include "common/trace.h"
#include "platform/wide.h"

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

double BufferMilliseconds(AsioLong size, double rate, bool dsd) noexcept {
    if (!(rate > 0))
        return 0;
    const double samples = dsd ? size * 32.0 : static_cast<double>(size);
    return samples * 1000.0 / rate;
}

namespace {

// "44.1 kHz", "DSD64", or "3.072 MHz" for a DSD rate outside the 44.1 kHz family.
void DescribeRate(char* out, std::size_t cap, double rate, bool dsd) {
    const double multiple = rate / 44100.0;
    if (dsd && multiple == static_cast<double>(static_cast<long>(multiple)))
        std::snprintf(out, cap, "DSD%ld", static_cast<long>(multiple));
    else if (dsd)
        std::snprintf(out, cap, "%g MHz", rate / 1e6);
    else
        std::snprintf(out, cap, "%g kHz", rate / 1e3);
}

}  // namespace

void DescribeBufferChoice(WCHAR* out, std::size_t cap, AsioLong size, double rate,
                          bool dsd) noexcept {
    char where[32];
    DescribeRate(where, sizeof where, rate, dsd);
    const int n = static_cast<int>(size);
    const double ms = BufferMilliseconds(size, rate, dsd);
    char text[128];
    if (dsd)
        std::snprintf(text, sizeof text, "%d: %d DSD samples, %.1f ms at %s", n, n * 32, ms, where);
    else
        std::snprintf(text, sizeof text, "%d samples: %.1f ms at %s (DSD: %d samples)", n, ms,
                      where, n * 32);
    if (size == kDefaultBufferSize)
        std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), " - default");
    WideCopyNarrow(out, cap, text);
}

}  // namespace ferox
