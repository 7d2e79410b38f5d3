// doctor: the whole chain from a host to the DAC, one check a line, changing nothing. The
// registration and the ASIO list are read here, in every registry view; the device checks run
// inside the driver DLL (its FeroxDiagnose export), through the driver's own KS client.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "asio/driver_id.h"
#include "commands.h"

namespace ferox::host {
namespace {

using json = nlohmann::ordered_json;

constexpr wchar_t kOurKey[] = L"ASIO ferox Driver";

// ---- the checks and their verdict

class Checks {
  public:
    void Ok(const std::string& area, const std::string& text) { Add("ok", area, text, ""); }
    void Warn(const std::string& area, const std::string& text, const std::string& action) {
        Add("warn", area, text, action);
        m_worst = std::max(m_worst, 1);
    }
    void Fail(const std::string& area, const std::string& text, const std::string& action) {
        Add("FAIL", area, text, action);
        m_worst = 2;
    }
    int ExitCode() const { return m_worst; }
    const json& List() const { return m_list; }

  private:
    void Add(const char* status, const std::string& area, const std::string& text,
             const std::string& action) {
        std::printf("%-5s %s\n", status, text.c_str());
        if (!action.empty())
            std::printf("      what to do: %s\n", action.c_str());
        json c{{"status", status}, {"area", area}, {"text", text}};
        if (!action.empty())
            c["action"] = action;
        m_list.push_back(c);
    }
    int m_worst = 0;
    json m_list = json::array();
};

std::string Format(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

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

constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);

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

// ---- the device, through the driver DLL

using FeroxReportSink = void(WINAPI*)(void* context, const char* json, DWORD length);
using FeroxDiagnoseFn = HRESULT(WINAPI*)(DWORD streamMs, FeroxReportSink sink, void* context);

void WINAPI Collect(void* context, const char* text, DWORD length) {
    static_cast<std::string*>(context)->assign(text, length);
}

std::string RangeText(const json& r) {
    if (!r.contains("rates") || !r.contains("bits") || r["rates"].size() != 2 ||
        r["bits"].size() != 2)
        return "format " + r.value("sub", std::string("?"));
    return Format("%u ch, %u-%u bit, %u-%u Hz", r.value("max_channels", 0u),
                  r["bits"][0].get<unsigned>(), r["bits"][1].get<unsigned>(),
                  r["rates"][0].get<unsigned>(), r["rates"][1].get<unsigned>());
}

void CheckDevice(Checks& checks, const json& d) {
    const json& device = d.value("device", json::object());
    if (!device.value("found", false)) {
        checks.Fail("device",
                    "DAC not found: no audio interface with a render alias has the USB id "
                    "VID_5A4E&PID_0C31",
                    "plug the DAC in and switch it on; Device Manager should list it under "
                    "Sound, video and game controllers");
        return;
    }
    for (const auto& i : device.value("interfaces", json::array())) {
        if (i.value("dac", false)) {
            checks.Ok("device", "DAC found: " + i.value("instance", std::string()) +
                                    ", render alias " + i.value("render_alias", std::string()) +
                                    ", " + i.value("path", std::string()));
        }
    }
    const json& filter = device.value("filter", json::object());
    if (!filter.value("opened", false)) {
        bool busy = false;
        for (const auto& t : filter.value("open_tries", json::array()))
            busy = busy || t.value("busy", false);
        if (busy) {
            checks.Warn("device",
                        "the DAC's filter could not be opened: another program holds the DAC",
                        "close the program that plays through the DAC and run doctor again");
        } else {
            checks.Fail(
                "device",
                "the DAC's filter did not open (" + filter.value("result", std::string()) + ")",
                "unplug and replug the DAC; if it stays, reinstall its USB audio driver");
        }
        return;
    }
    checks.Ok("device", "filter opened, " +
                            std::to_string(device.value("pins", json::array()).size()) +
                            " pin types");
    for (const auto& p : device.value("pins", json::array())) {
        std::string ranges;
        for (const auto& r : p.value("data_ranges", json::array()))
            ranges += (ranges.empty() ? "" : "; ") + RangeText(r);
        const json inst = p.value("instances", json::object());
        checks.Ok("device", Format("pin %u \"%s\": communication %u, data flow %u, instances %u "
                                   "possible %u in use; %s",
                                   p.value("id", 0u), p.value("name", std::string()).c_str(),
                                   p.value("communication", 0u), p.value("dataflow", 0u),
                                   inst.value("possible", 0u), inst.value("current", 0u),
                                   ranges.empty() ? "no data ranges" : ranges.c_str()));
    }
    const json& pin = device.value("render_pin", json::object());
    if (!pin.value("created", false)) {
        if (pin.value("busy", false)) {
            checks.Warn("device", "no render pin at 44.1 kHz: another program holds the DAC",
                        "close the program that plays through the DAC and run doctor again");
        } else {
            checks.Fail("device", "the DAC made no render pin for 32-bit stereo at 44.1 kHz",
                        "the DAC's USB audio driver does not offer the format the driver plays; "
                        "update the DAC's firmware or driver");
        }
        return;
    }
    checks.Ok("device", Format("render pin %u made at 44.1 kHz", pin.value("pin", 0u)));
    const json& latency = pin.value("latency", json::object());
    if (latency.contains("hns")) {
        checks.Ok("device",
                  Format("latency property: %.1f ms", latency["hns"].get<double>() / 10000));
    } else {
        checks.Warn(
            "device",
            "the DAC does not tell its latency (" + latency.value("result", std::string()) + ")",
            "nothing to fix: hosts are told the buffer's latency only, so their timing "
            "may be early by the DAC's own delay");
    }
    const json& position = pin.value("position", json::object());
    if (position.value("result", std::string()) == "0x00000000") {
        checks.Ok("device", "position property answers");
    } else {
        checks.Warn("device",
                    "the position property fails (" + position.value("result", std::string()) + ")",
                    "nothing to fix for playing; report it with the --report file");
    }
    const json& vendor = pin.value("vendor", json::object());
    const json pcm = vendor.value("pcm", json::object());
    const json dsd = vendor.value("dsd", json::object());
    if (pcm.value("accepted", false)) {
        checks.Ok("device", "PCM mode request accepted");
    } else {
        checks.Fail(
            "device",
            "the DAC refused the PCM mode request (" + pcm.value("result", std::string()) + ")",
            "the driver cannot play on this DAC; update its firmware, then report it with the "
            "--report file");
    }
    if (dsd.value("accepted", false)) {
        checks.Ok("device", "DSD mode request accepted");
    } else {
        checks.Warn(
            "device",
            "the DAC refused the DSD mode request (" + dsd.value("result", std::string()) +
                "): DSD cannot play",
            "play PCM, or let the player convert DSD to PCM; a firmware update may add DSD");
    }
    const json& driver = d.value("driver", json::object());
    if (driver.contains("rates")) {
        const auto& rates = driver["rates"];
        checks.Ok("driver",
                  Format("rates the driver accepts: PCM %d of 10, DSD %d of 4 (DSD64 to DSD512)",
                         static_cast<int>(rates.value("pcm", json::array()).size()),
                         static_cast<int>(rates.value("dsd", json::array()).size())));
    }
    for (const auto& s : d.value("streams", json::array())) {
        const std::string name =
            s.value("mode", std::string()) == "dsd" ? "DSD64 stream" : "44.1 kHz PCM stream";
        if (s.contains("skipped")) {
            const std::string why = s.value("skipped", std::string());
            const std::string error = s.value("error", std::string());
            const bool dsdRefused =
                s.value("mode", std::string()) == "dsd" && !pin.value("vendor", json::object())
                                                                .value("dsd", json::object())
                                                                .value("accepted", true);
            if (why == "not asked for")
                checks.Ok("stream", name + " skipped: --seconds 0");
            else if (dsdRefused)
                checks.Warn("stream", name + " skipped: the DAC refuses DSD",
                            "play PCM, or let the player convert DSD to PCM");
            else if (why.find("another program") != std::string::npos)
                checks.Warn("stream", name + " skipped: " + why,
                            "close the program that plays through the DAC and run doctor again");
            else
                checks.Fail("stream",
                            name + " skipped: " + why + (error.empty() ? "" : " (" + error + ")"),
                            "see the lines above for what the DAC refused");
            continue;
        }
        const json& iv = s.value("interval_ms", json::object());
        const json& ta = s.value("turnaround_us", json::object());
        if (!iv.is_object() || iv.empty()) {
            checks.Fail("stream", name + ": no write came back",
                        "unplug and replug the DAC, then run doctor again");
            continue;
        }
        const double half = s.value("half_ms", 0.0);
        const double median = iv.value("median", 0.0);
        const std::string text = Format(
            "%s: %d writes, completion interval min %.2f / median %.2f / p99 %.2f / max %.2f ms "
            "against a half of %.2f ms; driver turnaround median %.0f / p99 %.0f / max %.0f us",
            name.c_str(), s.value("writes", 0), iv.value("min", 0.0), median, iv.value("p99", 0.0),
            iv.value("max", 0.0), half, ta.value("median", 0.0), ta.value("p99", 0.0),
            ta.value("max", 0.0));
        // A write may come back late by what the DAC holds beyond the half (its latency, when
        // it tells it; else a half) before the DAC runs dry: that is a dropout a user hears. The
        // driver's turnaround eats into the same reserve.
        const double headroom =
            latency.contains("hns") ? latency["hns"].get<double>() / 10000 : half;
        if (iv.value("max", 0.0) > half + headroom || ta.value("p99", 0.0) > headroom * 500) {
            checks.Warn("stream", text,
                        "writes came back later than the DAC could wait, or the driver was slow to "
                        "send: expect dropouts; close busy programs or raise the buffer size "
                        "(feroxhost config buffer N)");
        } else if (median < half * 0.9 || median > half * 1.1) {
            checks.Warn("stream", text,
                        "the DAC takes data at another pace than its rate; report it with the "
                        "--report file");
        } else {
            checks.Ok("stream", text);
        }
    }
}

int Doctor(const Args& args) {
    Checks checks;
    json report;
    report["doctor"] = {{"bits", kOwnBits}};
    const std::wstring dll = CheckRegistry(checks, report);
    json device;
    if (dll.empty()) {
        checks.Fail("device",
                    "device checks not run: no usable driver DLL registered for " +
                        std::to_string(kOwnBits) + "-bit hosts",
                    "mend the registration above first");
    } else {
        // Kept loaded to the end: a thread of the driver may still be on its way out.
        const HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        const auto diagnose = module ? reinterpret_cast<FeroxDiagnoseFn>(reinterpret_cast<void*>(
                                           GetProcAddress(module, "FeroxDiagnose")))
                                     : nullptr;
        std::string text;
        HRESULT hr = E_FAIL;
        if (!module) {
            checks.Fail("device",
                        Format("the driver DLL does not load (error %lu)", GetLastError()),
                        "reinstall the driver");
        } else if (!diagnose) {
            checks.Fail(
                "device",
                "the driver DLL has no diagnostic entry point: it is older than this feroxhost",
                "install the same release of the driver and feroxhost");
        } else if (FAILED(hr =
                              diagnose(static_cast<DWORD>(args.seconds * 1000), &Collect, &text))) {
            checks.Fail(
                "device",
                Format("the driver's diagnostic failed (0x%08lX)", static_cast<unsigned long>(hr)),
                "run doctor again; if it stays, report it");
        } else {
            device = json::parse(text, nullptr, false);
            if (device.is_discarded() || !device.is_object()) {
                checks.Fail("device", "the driver's diagnostic gave no report", "report it");
            } else {
                // A report of another release may differ in its types: it ends the checks, not
                // the program.
                try {
                    CheckDevice(checks, device);
                } catch (const json::exception& e) {
                    checks.Fail("device",
                                std::string("the driver's report could not be read: ") + e.what(),
                                "install the same release of the driver and feroxhost");
                }
                for (auto& [key, value] : device.items())
                    report[key] = value;
            }
        }
    }
    const int code = checks.ExitCode();
    report["doctor"]["checks"] = checks.List();
    report["doctor"]["exit"] = code;
    std::printf("doctor: %s\n", code == 0   ? "all is well"
                                : code == 1 ? "warnings above"
                                            : "failures above");
    if (!args.report.empty()) {
        std::ofstream out(args.report, std::ios::binary | std::ios::trunc);
        out << report.dump(2) << "\n";
        out.close();
        if (!out) {
            std::fprintf(stderr, "feroxhost: cannot write the report to %s\n", args.report.c_str());
            return 2;
        }
        std::printf("report: %s\n", args.report.c_str());
    }
    return code;
}

}  // namespace

const Command kDoctorCommand{
    "doctor",
    "doctor [--report FILE] [--seconds N]   (checks the chain; changes nothing)",
    kOptionReport | kOptionSeconds,
    0,
    0,
    &Doctor};

}  // namespace ferox::host
