// The diagnostic's device half: the DAC as the driver's KS client finds it, with the device's
// raw replies, so that an owner's report can become a profile of the simulated DAC.
#include <cstring>
#include <memory>
#include <vector>

#include "asio/diagnose_report.h"
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"
#include "platform/device.h"
#include "platform/wide.h"

namespace ferox::diagnose {

std::string HrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

namespace {

std::string Hex(const void* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        const auto b = static_cast<const BYTE*>(data)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(const WCHAR* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length && text[i] != 0; ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Utf8(const WCHAR* text) {
    return Utf8(text, WideLength(text));
}

// The reply of a property read: its bytes, or the failure.
json Reply(HRESULT hr, const void* data, std::size_t size) {
    json r;
    r["result"] = HrText(hr);
    if (SUCCEEDED(hr))
        r["raw"] = Hex(data, size);
    return r;
}

template <typename T>
T Read(const BYTE* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// ---- the device interfaces, as SetupAPI lists them

struct Found {
    json list = json::array();
    std::vector<std::basic_string<WCHAR>> dacPaths;  // ours, with an active render alias
};

Found ScanInterfaces() {
    Found found;
    DeviceApi& device = Device();
    HDEVINFO set = device.SetupDiGetClassDevsW(&kKsCategoryAudio, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (!CKsIrpTarget::IsValidHandle(set))
        return found;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!device.SetupDiEnumDeviceInterfaces(set, nullptr, &kKsCategoryAudio, index, &data))
            break;
        // 8-aligned room for the detail record and a long path.
        alignas(8) BYTE detailSpace[2048] = {};
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailSpace);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        json entry;
        if (!device.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof detailSpace,
                                                     nullptr, &info)) {
            entry["error"] = HrText(HRESULT_FROM_WIN32(GetLastError()));
            found.list.push_back(entry);
            continue;
        }
        WCHAR instance[512] = {};
        device.SetupDiGetDeviceInstanceIdW(set, &info, instance, 512, nullptr);
        const bool dac = WideStartsWithNoCase(instance, kDacHardwareId);
        entry["path"] = Utf8(detail->DevicePath);
        entry["instance"] = Utf8(instance);
        entry["dac"] = dac;
        // The render alias is asked only of the DAC's interfaces, as the driver does.
        if (dac) {
            SP_DEVICE_INTERFACE_DATA alias{};
            alias.cbSize = sizeof alias;
            const bool haveAlias =
                device.SetupDiGetDeviceInterfaceAlias(set, &data, &kKsCategoryRender, &alias);
            const bool active = haveAlias && alias.Flags != 0 && !(alias.Flags & SPINT_REMOVED);
            entry["render_alias"] = !haveAlias ? "none" : active ? "active" : "inactive";
            if (active)
                found.dacPaths.emplace_back(detail->DevicePath);
        }
        found.list.push_back(entry);
    }
    device.SetupDiDestroyDeviceInfoList(set);
    return found;
}

// Why the DAC's filter did not open: the error of a plain exclusive open, as the driver makes it.
json OpenError(const std::basic_string<WCHAR>& path) {
    DeviceApi& device = Device();
    const HANDLE h =
        device.CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD error = GetLastError();
    json r;
    r["path"] = Utf8(path.c_str());
    if (CKsIrpTarget::IsValidHandle(h)) {
        device.CloseHandle(h);
        r["result"] = HrText(S_OK);
    } else {
        r["result"] = HrText(HRESULT_FROM_WIN32(error));
        r["busy"] = error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED;
    }
    return r;
}

// ---- the filter's pins and nodes

json DataRanges(const BYTE* block, ULONG valid) {
    json ranges = json::array();
    if (valid < sizeof(KSMULTIPLE_ITEM))
        return ranges;
    const ULONG count = Read<KSMULTIPLE_ITEM>(block).Count;
    ULONG at = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < count && at + sizeof(KSDATARANGE) <= valid; ++i) {
        const auto range = Read<KSDATARANGE>(block + at);
        json r;
        r["format_size"] = range.FormatSize;
        r["major"] = GuidText(range.MajorFormat);
        r["sub"] = GuidText(range.SubFormat);
        r["specifier"] = GuidText(range.Specifier);
        if (range.FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
            at + sizeof(KSDATARANGE_AUDIO) <= valid) {
            const auto audio = Read<KSDATARANGE_AUDIO>(block + at);
            r["max_channels"] = audio.MaximumChannels;
            r["bits"] = {audio.MinimumBitsPerSample, audio.MaximumBitsPerSample};
            r["rates"] = {audio.MinimumSampleFrequency, audio.MaximumSampleFrequency};
        }
        ranges.push_back(r);
        if (range.FormatSize < sizeof(KSDATARANGE))
            break;
        at += (range.FormatSize + 7) & ~7u;  // ranges start 8-aligned
    }
    return ranges;
}

json Identifiers(const BYTE* block, ULONG valid) {
    json list = json::array();
    if (valid < sizeof(KSMULTIPLE_ITEM))
        return list;
    const ULONG count = Read<KSMULTIPLE_ITEM>(block).Count;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG at = sizeof(KSMULTIPLE_ITEM) + i * sizeof(KSIDENTIFIER);
        if (at + sizeof(KSIDENTIFIER) > valid)
            break;
        const auto id = Read<KSIDENTIFIER>(block + at);
        list.push_back({{"set", GuidText(id.Set)}, {"id", id.Id}, {"flags", id.Flags}});
    }
    return list;
}

json Pin(CKsFilter& filter, ULONG id) {
    json pin;
    pin["id"] = id;
    json raw;
    struct Simple {
        const char* name;
        ULONG property;
        ULONG size;
    };
    static constexpr Simple simple[] = {
        {"communication", KSPROPERTY_PIN_COMMUNICATION, sizeof(ULONG)},
        {"dataflow", KSPROPERTY_PIN_DATAFLOW, sizeof(ULONG)},
        {"cinstances", KSPROPERTY_PIN_CINSTANCES, sizeof(KSPIN_CINSTANCES)},
        {"globalcinstances", KSPROPERTY_PIN_GLOBALCINSTANCES, sizeof(KSPIN_CINSTANCES)},
        {"category", KSPROPERTY_PIN_CATEGORY, sizeof(GUID)},
    };
    for (const Simple& s : simple) {
        BYTE value[sizeof(GUID)] = {};
        const HRESULT hr =
            filter.GetPinPropertySimple(id, kKsPropSetIdPin, s.property, value, s.size);
        raw[s.name] = Reply(hr, value, s.size);
        if (FAILED(hr))
            continue;
        if (s.property == KSPROPERTY_PIN_CATEGORY) {
            pin["category"] = GuidText(Read<GUID>(value));
        } else if (s.size == sizeof(ULONG)) {
            pin[s.name] = Read<ULONG>(value);
        } else {
            const auto c = Read<KSPIN_CINSTANCES>(value);
            pin[std::string(s.name) == "cinstances" ? "instances" : "global_instances"] = {
                {"possible", c.PossibleCount}, {"current", c.CurrentCount}};
        }
    }
    static constexpr std::pair<const char*, ULONG> multi[] = {
        {"interfaces", KSPROPERTY_PIN_INTERFACES},
        {"mediums", KSPROPERTY_PIN_MEDIUMS},
        {"dataranges", KSPROPERTY_PIN_DATARANGES},
        {"name", KSPROPERTY_PIN_NAME},
    };
    for (const auto& [name, property] : multi) {
        KSMULTIPLE_ITEM* block = nullptr;
        ULONG valid = 0;
        const HRESULT hr =
            filter.GetPinPropertyMulti(id, kKsPropSetIdPin, property, &block, &valid);
        const auto* bytes = reinterpret_cast<const BYTE*>(block);
        raw[name] = Reply(hr, bytes, valid);
        if (SUCCEEDED(hr) && bytes) {
            if (property == KSPROPERTY_PIN_DATARANGES) {
                pin["data_ranges"] = DataRanges(bytes, valid);
            } else if (property == KSPROPERTY_PIN_NAME) {
                pin["name"] = Utf8(reinterpret_cast<const WCHAR*>(bytes), valid / sizeof(WCHAR));
            } else {
                pin[name] = Identifiers(bytes, valid);
            }
        }
        Free(block);
    }
    pin["raw"] = raw;
    return pin;
}

json Nodes(CKsFilter& filter) {
    json nodes;
    KSMULTIPLE_ITEM* block = nullptr;
    ULONG valid = 0;
    const HRESULT hr =
        filter.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &block, &valid);
    const auto* bytes = reinterpret_cast<const BYTE*>(block);
    nodes = Reply(hr, bytes, valid);
    json types = json::array();
    if (SUCCEEDED(hr) && bytes && valid >= sizeof(KSMULTIPLE_ITEM)) {
        const ULONG count = Read<KSMULTIPLE_ITEM>(bytes).Count;
        for (ULONG i = 0; i < count; ++i) {
            const ULONG at = sizeof(KSMULTIPLE_ITEM) + i * sizeof(GUID);
            if (at + sizeof(GUID) > valid)
                break;
            types.push_back(GuidText(Read<GUID>(bytes + at)));
        }
    }
    nodes["types"] = types;
    Free(block);
    return nodes;
}

// A render pin at 44.1 kHz, the format the driver starts with: what it answers once it exists,
// and whether it takes each mode's vendor request.
json RenderPin(CKsAudRenFilter& filter, const WAVEFORMATEX* pwfx) {
    json r;
    CKsAudPin* viable = filter.FindViablePin(pwfx);
    r["viable_pin"] = viable ? json(viable->m_nId) : json(nullptr);
    CKsAudPin* pin = filter.CreateRenderPin(const_cast<WAVEFORMATEX*>(pwfx), FALSE);
    r["created"] = pin != nullptr;
    if (!pin) {
        r["busy"] = filter.RenderPinBusy(pwfx);
        return r;
    }
    r["pin"] = pin->m_nId;
    KSTIME latency{};
    HRESULT hr = pin->GetLatency(&latency);
    r["latency"] = Reply(hr, &latency, sizeof latency);
    if (SUCCEEDED(hr) && latency.Denominator != 0) {
        r["latency"]["hns"] =
            static_cast<double>(latency.Time) * latency.Numerator / latency.Denominator;
    }
    KSAUDIO_POSITION position{};
    hr = pin->GetPosition(&position);
    r["position"] = Reply(hr, &position, sizeof position);
    KSPIN_CINSTANCES count{};
    hr = filter.GetPinPropertySimple(pin->m_nId, kKsPropSetIdPin, KSPROPERTY_PIN_CINSTANCES, &count,
                                     sizeof count);
    r["instances_while_open"] = Reply(hr, &count, sizeof count);
    for (const auto& [name, mode] :
         {std::pair{"pcm", kVendorModePcm}, std::pair{"dsd", kVendorModeDsd}}) {
        hr = pin->SetVendorMode(mode);
        r["vendor"][name] = {{"mode", mode}, {"result", HrText(hr)}, {"accepted", SUCCEEDED(hr)}};
    }
    pin->SetVendorMode(kVendorModeEndOfStream);
    pin->ClosePin();
    return r;
}

}  // namespace

json DeviceChecks(const WAVEFORMATEX* pwfx, bool* busy) {
    json d;
    d["usb_id"] = Utf8(kDacHardwareId);
    Found found = ScanInterfaces();
    d["interfaces"] = found.list;
    d["found"] = !found.dacPaths.empty();

    HRESULT hr = S_OK;
    std::unique_ptr<CKsAudRenFilter> filter(OpenDacRenderFilter(&hr));
    const bool opened = filter != nullptr;
    d["filter"] = {{"result", HrText(hr)}, {"opened", opened}};
    if (!opened) {
        json tries = json::array();
        for (const auto& path : found.dacPaths) {
            tries.push_back(OpenError(path));
            *busy = *busy || tries.back().value("busy", false);
        }
        d["filter"]["open_tries"] = tries;
        return d;
    }
    d["filter"]["path"] = Utf8(filter->m_szFilterName);
    ULONG pinCount = 0;
    hr = filter->GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &pinCount,
                                   sizeof pinCount, nullptr, 0);
    d["filter"]["pin_count"] = Reply(hr, &pinCount, sizeof pinCount);
    json pins = json::array();
    for (ULONG id = 0; SUCCEEDED(hr) && id < pinCount && id < 64; ++id)
        pins.push_back(Pin(*filter, id));
    d["pins"] = pins;
    d["nodes"] = Nodes(*filter);
    d["render_pin"] = RenderPin(*filter, pwfx);
    *busy = *busy || d["render_pin"].value("busy", false);
    return d;
}

}  // namespace ferox::diagnose
