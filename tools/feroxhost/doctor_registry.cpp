// doctor's registry part: the driver's registration and every entry of the ASIO list, as hosts
// of each bitness find them.
#include <cstring>

#include "asio/driver_id.h"
#include "doctor_checks.h"

namespace ferox::host::doctor {
namespace {

constexpr wchar_t kOurKey[] = L"ASIO ferox Driver";

// ---- the registry views and what they list

struct View {
    int bits;
    REGSAM flag;
};

bool Is64BitWindows() {
    if (sizeof(void*) == 8)
        return true;
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow = FALSE;
    return fn && fn(GetCurrentProcess(), &wow) && wow;
}

std::vector<View> Views() {
    if (Is64BitWindows())
        return {{64, KEY_WOW64_64KEY}, {32, KEY_WOW64_32KEY}};
    return {{32, 0}};
}

// The key a user would delete, as regedit shows it.
std::string ListKey(const View& view, const std::wstring& name) {
    const bool redirected = view.bits == 32 && Is64BitWindows();
    return std::string(redirected ? "HKLM\\SOFTWARE\\WOW6432Node\\ASIO\\"
                                  : "HKLM\\SOFTWARE\\ASIO\\") +
           Narrow(name);
}

// A string value; REG_EXPAND_SZ expanded. Whether it exists in *present.
std::wstring ReadString(HKEY key, const wchar_t* name, bool* present = nullptr) {
    DWORD type = 0, bytes = 0;
    const bool there =
        RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ);
    if (present)
        *present = there;
    if (!there || bytes == 0)
        return {};
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
        ERROR_SUCCESS) {
        return {};
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    if (type == REG_EXPAND_SZ) {
        wchar_t expanded[MAX_PATH * 2];
        const DWORD n = ExpandEnvironmentStringsW(text.c_str(), expanded, MAX_PATH * 2);
        if (n > 0 && n <= MAX_PATH * 2)
            text = expanded;
    }
    return text;
}

// The file a host of the view's bitness loads: the other bitness has another System32.
std::wstring FileForView(std::wstring path, int viewBits) {
    if (viewBits == kOwnBits)
        return path;
    std::wstring lower = path;
    for (auto& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    const auto at = lower.find(L"\\system32\\");
    if (at != std::wstring::npos)
        path.replace(at, 10, viewBits == 32 ? L"\\SysWOW64\\" : L"\\Sysnative\\");
    return path;
}

// 32 or 64 from the PE header; 0 when the file is not a DLL one can tell.
int DllBits(const std::wstring& path) {
    const HANDLE f = CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    BYTE head[4096] = {};
    DWORD got = 0;
    ReadFile(f, head, sizeof head, &got, nullptr);
    CloseHandle(f);
    IMAGE_DOS_HEADER dos;
    if (got < sizeof dos)
        return 0;
    std::memcpy(&dos, head, sizeof dos);
    const auto at = static_cast<DWORD>(dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || at > got - 4 - sizeof(IMAGE_FILE_HEADER) ||
        std::memcmp(head + at, "PE\0\0", 4) != 0) {
        return 0;
    }
    IMAGE_FILE_HEADER file;
    std::memcpy(&file, head + at + 4, sizeof file);
    switch (file.Machine) {
        case IMAGE_FILE_MACHINE_I386:
            return 32;
        case IMAGE_FILE_MACHINE_AMD64:
        case 0xAA64:  // ARM64
            return 64;
        default:
            return 0;
    }
}

std::string FileVersion(const std::wstring& path) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return {};
    std::vector<BYTE> info(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || !fixed ||
        length < sizeof *fixed) {
        return {};
    }
    return Format("%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
}

struct Entry {
    std::wstring key;
    std::wstring clsidText;
    bool hasClsid = false;
    CLSID clsid{};
    bool clsidValid = false;
    std::wstring description;
    bool classKey = false;
    std::wstring dllPath;  // as registered
    std::wstring dllFile;  // what a host of the view's bitness opens
    bool dllExists = false;
    int dllBits = 0;
    std::string version;
    std::string problem;  // why hosts cannot use it; empty when they can

    bool Ours() const { return clsidValid && IsEqualGUID(clsid, kClsidFeroxAsio); }
};

Entry ReadEntry(HKEY asio, const wchar_t* name, const View& view) {
    Entry e;
    e.key = name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(asio, name, 0, KEY_READ | view.flag, &key) == ERROR_SUCCESS) {
        e.clsidText = ReadString(key, L"CLSID", &e.hasClsid);
        e.description = ReadString(key, L"Description");
        RegCloseKey(key);
    }
    e.clsidValid =
        !e.clsidText.empty() && SUCCEEDED(CLSIDFromString(e.clsidText.c_str(), &e.clsid));
    const std::wstring classPath = L"CLSID\\" + e.clsidText;
    if (e.clsidValid && RegOpenKeyExW(HKEY_CLASSES_ROOT, classPath.c_str(), 0, KEY_READ | view.flag,
                                      &key) == ERROR_SUCCESS) {
        e.classKey = true;
        HKEY server = nullptr;
        if (RegOpenKeyExW(key, L"InprocServer32", 0, KEY_READ | view.flag, &server) ==
            ERROR_SUCCESS) {
            e.dllPath = ReadString(server, nullptr);
            RegCloseKey(server);
        }
        RegCloseKey(key);
    }
    if (!e.dllPath.empty()) {
        e.dllFile = FileForView(e.dllPath, view.bits);
        e.dllExists = GetFileAttributesW(e.dllFile.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (e.dllExists) {
            e.dllBits = DllBits(e.dllFile);
            e.version = FileVersion(e.dllFile);
        }
    }
    if (!e.hasClsid) {
        e.problem = "no CLSID value";
    } else if (!e.clsidValid) {
        e.problem = "its CLSID value \"" + Narrow(e.clsidText) + "\" is not a class identifier";
    } else if (!e.classKey) {
        e.problem = "no class key HKCR\\CLSID\\" + Narrow(e.clsidText);
    } else if (e.dllPath.empty()) {
        e.problem = "its class names no DLL (no InprocServer32 path)";
    } else if (!e.dllExists) {
        e.problem = "DLL missing: " + Narrow(e.dllPath);
    } else if (e.dllBits != 0 && e.dllBits != view.bits) {
        e.problem = Format("DLL of the other bitness: %s is %d-bit, hosts of this view are %d-bit",
                           Narrow(e.dllPath).c_str(), e.dllBits, view.bits);
    }
    return e;
}

std::vector<Entry> ReadList(const View& view, bool* listExists) {
    std::vector<Entry> entries;
    HKEY asio = nullptr;
    *listExists = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\ASIO", 0, KEY_READ | view.flag,
                                &asio) == ERROR_SUCCESS;
    if (!*listExists)
        return entries;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD chars = 256;
        const LONG rc = RegEnumKeyExW(asio, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc == ERROR_SUCCESS)
            entries.push_back(ReadEntry(asio, name, view));
    }
    RegCloseKey(asio);
    return entries;
}

json EntryJson(const Entry& e, const View& view) {
    json j{{"key", Narrow(e.key)},
           {"remove_key", ListKey(view, e.key)},
           {"clsid", e.hasClsid ? json(Narrow(e.clsidText)) : json(nullptr)},
           {"description", Narrow(e.description)},
           {"class_key", e.classKey},
           {"dll", e.dllPath.empty() ? json(nullptr) : json(Narrow(e.dllPath))},
           {"dll_exists", e.dllExists},
           {"dll_bits", e.dllBits ? json(e.dllBits) : json(nullptr)},
           {"version", e.version.empty() ? json(nullptr) : json(e.version)},
           {"ours", e.Ours() || e.key == kOurKey},
           {"problem", e.problem.empty() ? json(nullptr) : json(e.problem)}};
    return j;
}

}  // namespace

// ---- registration and the list, in each view; returns our DLL in this process's view

std::wstring CheckRegistry(Checks& checks, json& report) {
    std::wstring ownDll;
    std::string versions[2];  // 64-bit, 32-bit
    report["registration"] = json::array();
    report["asio_list"] = json::array();
    for (const View& view : Views()) {
        bool listExists = false;
        const auto entries = ReadList(view, &listExists);
        const std::string where = Format("%d-bit view", view.bits);
        json list{{"view", view.bits}, {"entries", json::array()}};
        for (const auto& e : entries)
            list["entries"].push_back(EntryJson(e, view));
        report["asio_list"].push_back(list);

        const Entry* ours = nullptr;
        for (const auto& e : entries) {
            if (e.key == kOurKey)
                ours = &e;
        }
        json reg{{"view", view.bits}, {"registered", ours != nullptr}};
        const std::string redo =
            view.bits == 32 && Is64BitWindows()
                ? "run the setup program again, or %windir%\\SysWOW64\\regsvr32 on the 32-bit "
                  "feroxasio.dll"
                : "run the setup program again, or regsvr32 on the feroxasio.dll of this bitness";
        if (!ours) {
            if (view.bits == kOwnBits) {
                checks.Fail(
                    "registration",
                    "registration (" + where + "): \"ASIO ferox Driver\" is not in the ASIO list",
                    redo);
            } else {
                checks.Ok("registration",
                          "registration (" + where + "): not registered; " +
                              std::to_string(view.bits) +
                              "-bit players will not list the driver (install it if you use one)");
            }
        } else if (!ours->problem.empty() || !ours->Ours()) {
            const std::string why =
                ours->problem.empty() ? "its CLSID is not the driver's class" : ours->problem;
            checks.Fail("registration",
                        "registration (" + where + "): \"ASIO ferox Driver\" is broken: " + why,
                        redo);
        } else {
            checks.Ok("registration",
                      Format("registration (%s): \"ASIO ferox Driver\" -> %s -> %s, present, "
                             "%d-bit, version %s",
                             where.c_str(), Narrow(ours->clsidText).c_str(),
                             Narrow(ours->dllPath).c_str(), ours->dllBits,
                             ours->version.empty() ? "(none)" : ours->version.c_str()));
            versions[view.bits == 64 ? 0 : 1] = ours->version;
            if (view.bits == kOwnBits)
                ownDll = ours->dllFile;
        }
        if (ours)
            reg["entry"] = EntryJson(*ours, view);
        report["registration"].push_back(reg);

        // Every other driver, as a host scanning the list meets it.
        int fine = 0;
        for (const auto& e : entries) {
            if (e.key == kOurKey)
                continue;
            if (e.problem.empty()) {
                ++fine;
                continue;
            }
            checks.Warn(
                "asio_list",
                "ASIO list (" + where + "): \"" + Narrow(e.key) + "\" is broken: " + e.problem,
                "hosts may crash or hang scanning it; if its program is gone, remove the key " +
                    ListKey(view, e.key) + " (doctor changes nothing)");
        }
        checks.Ok("asio_list", Format("ASIO list (%s): %d entries, %d usable of other drivers",
                                      where.c_str(), static_cast<int>(entries.size()), fine));
    }
    if (!versions[0].empty() && !versions[1].empty()) {
        if (versions[0] != versions[1]) {
            checks.Warn("registration",
                        "two versions installed: " + versions[0] + " for 64-bit hosts, " +
                            versions[1] + " for 32-bit hosts",
                        "install one release for both (the setup program does)");
        } else {
            checks.Ok("registration", "both views have version " + versions[0]);
        }
    }
    return ownDll;
}

}  // namespace ferox::host::doctor
