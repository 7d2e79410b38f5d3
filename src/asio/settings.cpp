#include "asio/settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/trace.h"
#include "platform/wide.h"

namespace ferox {

namespace {

// A DWORD setting as the registry holds it; `present` false when the key or the value is missing.
struct Stored {
    bool present = false;
    bool dword = false;  // a REG_DWORD of four bytes
    DWORD type = 0;
    DWORD size = 0;
    DWORD value = 0;
};

Stored ReadStored(const WCHAR* name) noexcept {
    Stored s;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return s;
    s.size = sizeof(s.value);
    const LONG rc =
        RegQueryValueExW(key, name, nullptr, &s.type, reinterpret_cast<BYTE*>(&s.value), &s.size);
    RegCloseKey(key);
    s.present = rc != ERROR_FILE_NOT_FOUND;
    s.dword = rc == ERROR_SUCCESS && s.type == REG_DWORD && s.size == sizeof(s.value);
    return s;
}

// The setting when `accept` takes it, else `fallback`. A value that is there and not taken is
// traced, so that a mistyped one can be found.
DWORD ReadSetting(const WCHAR* name, bool (*accept)(DWORD), const char* wanted,
                  DWORD fallback) noexcept {
    const Stored s = ReadStored(name);
    if (!s.present)
        return fallback;
    if (!s.dword || !accept(s.value)) {
        Trace(kTraceError,
              WSTR("%s in HKCU\\Software\\feroxasio ignored (not a DWORD of %hs: type %u, %u "
                   "bytes, value %u); using %u"),
              name, wanted, static_cast<unsigned>(s.type), static_cast<unsigned>(s.size),
              static_cast<unsigned>(s.value), static_cast<unsigned>(fallback));
        return fallback;
    }
    Trace(kTraceNotice, WSTR("%s %u from HKCU\\Software\\feroxasio"), name,
          static_cast<unsigned>(s.value));
    return s.value;
}

LONG WriteSetting(const WCHAR* name, DWORD value) noexcept {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
    RegCloseKey(key);
    return rc;
}

bool IsKeptRate(DWORD rate) noexcept {
    return rate >= kLowestKeptRate && rate <= kHighestKeptRate;
}

}  // namespace

bool IsBufferSizeChoice(AsioLong size) noexcept {
    return std::ranges::find(kBufferSizeChoices, size) != std::end(kBufferSizeChoices);
}

AsioLong UserBufferSize() noexcept {
    const auto accept = [](DWORD v) noexcept {
        return IsBufferSizeChoice(static_cast<AsioLong>(v));
    };
    return static_cast<AsioLong>(ReadSetting(kBufferSizeValue, accept,
                                             "64, 128, 256, 512, 1024 or 2048",
                                             static_cast<DWORD>(kDefaultBufferSize)));
}

LONG SetUserBufferSize(AsioLong size) noexcept {
    if (!IsBufferSizeChoice(size))
        return ERROR_INVALID_PARAMETER;
    return WriteSetting(kBufferSizeValue, static_cast<DWORD>(size));
}

bool IsMarginChoice(AsioLong ms) noexcept {
    return std::ranges::find(kMarginChoices, ms) != std::end(kMarginChoices);
}

AsioLong UserMargin() noexcept {
    const auto accept = [](DWORD v) noexcept { return IsMarginChoice(static_cast<AsioLong>(v)); };
    return static_cast<AsioLong>(ReadSetting(kMarginValue, accept, "0, 5, 10, 20 or 40 ms",
                                             static_cast<DWORD>(kDefaultMargin)));
}

LONG SetUserMargin(AsioLong ms) noexcept {
    if (!IsMarginChoice(ms))
        return ERROR_INVALID_PARAMETER;
    return WriteSetting(kMarginValue, static_cast<DWORD>(ms));
}

void DescribeMarginChoice(WCHAR* out, std::size_t cap, AsioLong ms) noexcept {
    char text[32];
    if (ms == kMinimalMargin)
        std::snprintf(text, sizeof text, "minimal (one write)");
    else
        std::snprintf(text, sizeof text, "%d ms%s", static_cast<int>(ms),
                      ms == kDefaultMargin ? " - default" : "");
    WideCopyNarrow(out, cap, text);
}

double UserSampleRate() noexcept {
    return ReadSetting(kSampleRateValue, &IsKeptRate, "8000 to 768000 Hz", 0);
}

LONG SetUserSampleRate(double rate) noexcept {
    if (!(rate >= kLowestKeptRate && rate <= kHighestKeptRate) || rate != std::floor(rate))
        return ERROR_INVALID_PARAMETER;
    const auto hz = static_cast<DWORD>(rate);
    // Hosts set the rate they already have often; an unchanged value is not written, as a write
    // wakes every process's settings watch.
    const Stored s = ReadStored(kSampleRateValue);
    if (s.dword && s.value == hz)
        return ERROR_SUCCESS;
    return WriteSetting(kSampleRateValue, hz);
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
