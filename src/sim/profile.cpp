// Device profiles: the simulated DAC answering as a doctor report says a real one did. Each
// field comes from the device's raw reply when the report kept it, else from the decoded value,
// else from the built-in model.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/sim.h"

namespace ferox::sim {
namespace {

using json = nlohmann::json;

// The rest of a report is not read: a malformed field is treated as missing.
const json* Field(const json& j, const char* name) {
    if (!j.is_object())
        return nullptr;
    const auto it = j.find(name);
    return it == j.end() || it->is_null() ? nullptr : &*it;
}

std::optional<ULONG> Number(const json& j, const char* name) {
    const json* f = Field(j, name);
    if (!f || !f->is_number())
        return std::nullopt;
    return static_cast<ULONG>(f->get<double>());
}

std::string Text(const json& j, const char* name) {
    const json* f = Field(j, name);
    return f && f->is_string() ? f->get<std::string>() : std::string();
}

std::optional<Bytes> FromHex(const std::string& hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    Bytes b;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        const unsigned long v = std::strtoul(pair, &end, 16);
        if (end != pair + 2)
            return std::nullopt;
        b.push_back(static_cast<BYTE>(v));
    }
    return b;
}

std::optional<GUID> ParseGuid(const std::string& text) {
    unsigned d1, d2, d3, b[8];
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11) {
        return std::nullopt;
    }
    GUID g{};
    g.Data1 = d1;
    g.Data2 = static_cast<unsigned short>(d2);
    g.Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<unsigned char>(b[i]);
    return g;
}

WString Wide(const std::string& utf8) {
    WString out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = c;
        std::size_t n = 1;
        if (c >= 0xF0) {
            cp = c & 0x07, n = 4;
        } else if (c >= 0xE0) {
            cp = c & 0x0F, n = 3;
        } else if (c >= 0xC0) {
            cp = c & 0x1F, n = 2;
        }
        for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<WCHAR>(0xD800 + (cp >> 10));
            out += static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<WCHAR>(cp);
        }
    }
    return out;
}

// The bytes of a successful raw reply (report field raw.<name>), if the report kept one.
std::optional<Bytes> RawReply(const json& pin, const char* name) {
    const json* raw = Field(pin, "raw");
    const json* reply = raw ? Field(*raw, name) : nullptr;
    if (!reply)
        return std::nullopt;
    if (Text(*reply, "result") != "0x00000000")
        return Bytes{};  // the device refused it: an empty answer stands for that
    return FromHex(Text(*reply, "raw"));
}

template <typename T>
std::optional<T> RawValue(const json& pin, const char* name) {
    const auto b = RawReply(pin, name);
    if (!b || b->size() < sizeof(T))
        return std::nullopt;
    T v;
    std::memcpy(&v, b->data(), sizeof v);
    return v;
}

// The items of a KSMULTIPLE_ITEM reply, each `size` bytes (0: data ranges, by FormatSize).
std::vector<Bytes> Items(const Bytes& reply, std::size_t size) {
    std::vector<Bytes> items;
    if (reply.size() < sizeof(KSMULTIPLE_ITEM))
        return items;
    KSMULTIPLE_ITEM head;
    std::memcpy(&head, reply.data(), sizeof head);
    std::size_t at = sizeof head;
    for (ULONG i = 0; i < head.Count && at < reply.size(); ++i) {
        std::size_t n = size;
        if (n == 0) {
            KSDATARANGE r;
            if (at + sizeof r > reply.size())
                break;
            std::memcpy(&r, reply.data() + at, sizeof r);
            n = r.FormatSize;
        }
        if (n == 0 || at + n > reply.size())
            break;
        items.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(at),
                           reply.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += size ? n : (n + 7) & ~std::size_t{7};
    }
    return items;
}

template <typename T>
std::vector<T> Records(const std::vector<Bytes>& items) {
    std::vector<T> out;
    for (const auto& b : items) {
        T v;
        std::memcpy(&v, b.data(), sizeof v);
        out.push_back(v);
    }
    return out;
}

std::vector<KSIDENTIFIER> DecodedIdentifiers(const json& list) {
    std::vector<KSIDENTIFIER> out;
    for (const auto& i : list) {
        KSIDENTIFIER id{};
        if (const auto g = ParseGuid(Text(i, "set")))
            id.Set = *g;
        id.Id = Number(i, "id").value_or(0);
        id.Flags = Number(i, "flags").value_or(0);
        out.push_back(id);
    }
    return out;
}

Bytes DecodedRange(const json& r) {
    const json* bits = Field(r, "bits");
    const json* rates = Field(r, "rates");
    const auto pair = [](const json* p, std::size_t k, ULONG fallback) {
        return p && p->is_array() && p->size() == 2 && (*p)[k].is_number()
                   ? static_cast<ULONG>((*p)[k].get<double>())
                   : fallback;
    };
    return AudioRange(Number(r, "max_channels").value_or(2), pair(bits, 0, 32), pair(bits, 1, 32),
                      pair(rates, 0, 44100), pair(rates, 1, 768000),
                      ParseGuid(Text(r, "sub")).value_or(kKsDataFormatSubtypePcm),
                      ParseGuid(Text(r, "major")).value_or(kKsDataFormatTypeAudio),
                      ParseGuid(Text(r, "specifier")).value_or(kKsDataFormatSpecifierWaveFormatEx));
}

Pin ProfilePin(const json& p, const Pin& model) {
    Pin pin = model;
    if (const auto v = RawValue<ULONG>(p, "communication"))
        pin.communication = static_cast<KSPIN_COMMUNICATION>(*v);
    else if (const auto n = Number(p, "communication"))
        pin.communication = static_cast<KSPIN_COMMUNICATION>(*n);
    if (const auto v = RawValue<ULONG>(p, "dataflow"))
        pin.dataFlow = static_cast<KSPIN_DATAFLOW>(*v);
    else if (const auto n = Number(p, "dataflow"))
        pin.dataFlow = static_cast<KSPIN_DATAFLOW>(*n);
    if (const auto v = RawValue<KSPIN_CINSTANCES>(p, "cinstances"))
        pin.instances.PossibleCount = v->PossibleCount;
    else if (const json* i = Field(p, "instances"))
        pin.instances.PossibleCount = Number(*i, "possible").value_or(1);
    if (const auto v = RawValue<KSPIN_CINSTANCES>(p, "globalcinstances"))
        pin.globalInstances.PossibleCount = v->PossibleCount;
    else if (const json* i = Field(p, "global_instances"))
        pin.globalInstances.PossibleCount = Number(*i, "possible").value_or(1);
    if (const auto raw = RawReply(p, "category")) {
        pin.category = raw->size() >= sizeof(GUID) ? RawValue<GUID>(p, "category") : std::nullopt;
    } else if (Field(p, "category")) {
        pin.category = ParseGuid(Text(p, "category"));
    }
    if (const auto raw = RawReply(p, "name")) {
        if (raw->size() < sizeof(WCHAR)) {
            pin.name.reset();
        } else {
            WString name(raw->size() / sizeof(WCHAR), 0);
            std::memcpy(name.data(), raw->data(), name.size() * sizeof(WCHAR));
            name.resize(std::find(name.begin(), name.end(), WCHAR(0)) - name.begin());
            pin.name = name;
        }
    } else if (Field(p, "name")) {
        pin.name = Wide(Text(p, "name"));
    }
    if (const auto raw = RawReply(p, "interfaces"))
        pin.interfaces = Records<KSPIN_INTERFACE>(Items(*raw, sizeof(KSPIN_INTERFACE)));
    else if (const json* list = Field(p, "interfaces"))
        pin.interfaces = DecodedIdentifiers(*list);
    if (const auto raw = RawReply(p, "mediums"))
        pin.mediums = Records<KSPIN_MEDIUM>(Items(*raw, sizeof(KSPIN_MEDIUM)));
    else if (const json* list = Field(p, "mediums"))
        pin.mediums = DecodedIdentifiers(*list);
    if (const auto raw = RawReply(p, "dataranges")) {
        pin.dataRanges = Items(*raw, 0);
    } else if (const json* list = Field(p, "data_ranges"); list && list->is_array()) {
        pin.dataRanges.clear();
        for (const auto& r : *list)
            pin.dataRanges.push_back(DecodedRange(r));
    }
    return pin;
}

Filter ProfileFilter(const json& device, DWORD* bufferMs) {
    Filter filter = DacFilter();
    if (const json* pins = Field(device, "pins"); pins && pins->is_array()) {
        const Filter model = filter;
        filter.pins.clear();
        for (std::size_t i = 0; i < pins->size(); ++i) {
            const Pin& base = i < model.pins.size() ? model.pins[i] : model.pins[0];
            filter.pins.push_back(ProfilePin((*pins)[i], base));
        }
    }
    if (const json* nodes = Field(device, "nodes")) {
        const auto raw =
            Text(*nodes, "result") == "0x00000000" ? FromHex(Text(*nodes, "raw")) : std::nullopt;
        if (raw) {
            filter.nodes = Records<GUID>(Items(*raw, sizeof(GUID)));
        } else if (const json* types = Field(*nodes, "types"); types && types->is_array()) {
            filter.nodes.clear();
            for (const auto& t : *types) {
                if (const auto g = ParseGuid(t.is_string() ? t.get<std::string>() : ""))
                    filter.nodes.push_back(*g);
            }
        }
    }
    const json* pin = Field(device, "render_pin");
    if (const json* vendor = pin ? Field(*pin, "vendor") : nullptr) {
        for (const char* mode : {"pcm", "dsd"}) {
            const json* v = Field(*vendor, mode);
            const json* accepted = v ? Field(*v, "accepted") : nullptr;
            if (accepted && accepted->is_boolean() && !accepted->get<bool>())
                filter.refusedModes.push_back(Number(*v, "mode").value_or(0));
        }
    }
    if (const json* latency = pin ? Field(*pin, "latency") : nullptr) {
        if (Text(*latency, "result") != "0x00000000" && !Text(*latency, "result").empty())
            filter.answersLatency = false;
        if (const json* hns = Field(*latency, "hns"); hns && hns->is_number())
            *bufferMs = static_cast<DWORD>(hns->get<double>() / 10000 + 0.5);
    }
    return filter;
}

// The DAC's interface as the report names it: instance id, and the reference string that ends
// its path.
Interface ProfileInterface(const json& entry, Filter filter) {
    Interface iface = Dac();
    const std::string instance = Text(entry, "instance");
    if (!instance.empty())
        iface.instanceId = Wide(instance);
    const std::string path = Text(entry, "path");
    if (const auto cut = path.rfind("}\\"); cut != std::string::npos)
        iface.referenceString = Wide(path.substr(cut + 2));
    iface.filter = std::move(filter);
    return iface;
}

}  // namespace

std::optional<Profile> ParseProfile(const std::string& text, std::string* error) {
    const json report = json::parse(text, nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
        if (error)
            *error = "not a JSON object";
        return std::nullopt;
    }
    Profile profile;
    profile.machine = DefaultMachine();
    const json none = json::object();
    const json* device = Field(report, "device");
    if (!device)
        device = &none;
    DWORD bufferMs = 0;
    Filter filter = ProfileFilter(*device, &bufferMs);
    if (const json* pace = Field(report, "pace")) {
        if (const json* ratio = Field(*pace, "ratio"); ratio && ratio->is_number() &&
                                                       ratio->get<double>() > 0.01 &&
                                                       ratio->get<double>() < 100) {
            filter.pace = ratio->get<double>();
        }
        if (const auto ms = Number(*pace, "buffer_ms"))
            bufferMs = *ms;
    }
    if (bufferMs > 0 && bufferMs <= 10000)
        profile.bufferMs = bufferMs;
    const json* interfaces = Field(*device, "interfaces");
    const json* found = Field(*device, "found");
    if (interfaces && interfaces->is_array()) {
        profile.machine.interfaces.clear();
        for (const auto& entry : *interfaces) {
            const json* dac = Field(entry, "dac");
            if (dac && dac->is_boolean() && dac->get<bool>()) {
                Interface iface = ProfileInterface(entry, filter);
                if (Text(entry, "render_alias") != "active")
                    iface.categories.resize(1);
                profile.machine.interfaces.push_back(std::move(iface));
            } else if (!Text(entry, "instance").empty()) {
                // Another audio device: listed, never taken.
                Interface other = ProfileInterface(entry, Filter{});
                other.categories = {{kKsCategoryAudio, SPINT_ACTIVE}};
                profile.machine.interfaces.push_back(std::move(other));
            }
        }
    } else if (found && found->is_boolean() && !found->get<bool>()) {
        profile.machine.interfaces.clear();  // a machine without the DAC
    } else {
        profile.machine.interfaces[0].filter = filter;
    }
    return profile;
}

std::optional<Profile> LoadProfile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    auto profile = ParseProfile(text.str(), error);
    if (!profile && error)
        *error = path + ": " + *error;
    return profile;
}

const Profile& EnvironmentProfile() {
    // Read once: every Reset of the process answers as the same device.
    static const Profile profile = [] {
        const char* path = std::getenv("FEROX_SIM_PROFILE");
        if (!path || !*path)
            return Profile{DefaultMachine(), std::nullopt};
        std::string error;
        if (auto p = LoadProfile(path, &error))
            return *p;
        std::fprintf(stderr,
                     "simulated DAC: FEROX_SIM_PROFILE: %s; answering as the built-in model\n",
                     error.c_str());
        return Profile{DefaultMachine(), std::nullopt};
    }();
    return profile;
}

}  // namespace ferox::sim
