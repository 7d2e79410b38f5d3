// The installed ASIO drivers as hosts find them: HKLM\SOFTWARE\ASIO in the process's own
// registry view, each entry's CLSID, and the server DLL that HKCR\CLSID names for it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ferox::host {

struct InstalledDriver {
    std::wstring key;        // the entry's key name: what hosts show and --driver selects
    std::wstring clsidText;  // as registered
    CLSID clsid{};
    bool clsidValid = false;
    std::wstring description;
    std::wstring dllPath;  // HKCR\CLSID\{clsid}\InprocServer32 default value
    bool dllExists = false;
};

std::vector<InstalledDriver> InstalledDrivers();

// Case-insensitive match on the key name, then on the description.
const InstalledDriver* FindDriver(const std::vector<InstalledDriver>& drivers,
                                  const std::wstring& name);

// UTF-8 both ways: feroxhost carries its arguments as UTF-8.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

}  // namespace ferox::host
