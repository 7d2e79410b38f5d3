#include "driver_list.h"

#include <objbase.h>

namespace ferox::host {

namespace {

std::wstring ReadString(HKEY key, const wchar_t* name) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0) {
        return {};
    }
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<InstalledDriver> InstalledDrivers() {
    std::vector<InstalledDriver> out;
    HKEY asio = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ, &asio) != ERROR_SUCCESS) {
        return out;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD chars = 256;
        const LONG rc = RegEnumKeyExW(asio, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            continue;
        InstalledDriver d;
        d.key = name;
        HKEY entry = nullptr;
        if (RegOpenKeyExW(asio, name, 0, KEY_READ, &entry) == ERROR_SUCCESS) {
            d.clsidText = ReadString(entry, L"CLSID");
            d.description = ReadString(entry, L"Description");
            RegCloseKey(entry);
        }
        d.clsidValid =
            !d.clsidText.empty() && SUCCEEDED(CLSIDFromString(d.clsidText.c_str(), &d.clsid));
        if (d.clsidValid) {
            HKEY server = nullptr;
            const std::wstring path = L"CLSID\\" + d.clsidText + L"\\InprocServer32";
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &server) ==
                ERROR_SUCCESS) {
                d.dllPath = ReadString(server, nullptr);
                RegCloseKey(server);
            }
        }
        d.dllExists =
            !d.dllPath.empty() && GetFileAttributesW(d.dllPath.c_str()) != INVALID_FILE_ATTRIBUTES;
        out.push_back(std::move(d));
    }
    RegCloseKey(asio);
    return out;
}

const InstalledDriver* FindDriver(const std::vector<InstalledDriver>& drivers,
                                  const std::wstring& name) {
    for (const auto& d : drivers) {
        if (SameText(d.key, name))
            return &d;
    }
    for (const auto& d : drivers) {
        if (SameText(d.description, name))
            return &d;
    }
    return nullptr;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace ferox::host
