// The default model: our DAC as a USB audio filter presents it.
#include <cstring>

#include "platform/wide.h"
#include "sim/sim.h"

namespace ferox::sim {
namespace {

constexpr GUID kSubtypeAnalog{
    0x6DBA3190, 0x67BD, 0x11CF, {0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID kNodeTypeVolume{
    0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kNodeTypeMute{
    0x02B223C0, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

WString Lower(WString s) {
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<WCHAR>(c + 0x20);
    }
    return s;
}

WString GuidText(const GUID& g) {
    WCHAR text[40];
    FormatW(text, 40, WSTR("{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}"), g.Data1, g.Data2,
            g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
            g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace

Bytes AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                 const GUID& subFormat, const GUID& majorFormat, const GUID& specifier) {
    KSDATARANGE_AUDIO range;
    std::memset(&range, 0, sizeof(range));
    range.DataRange.FormatSize = sizeof(range);
    range.DataRange.MajorFormat = majorFormat;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = specifier;
    range.MaximumChannels = maxChannels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    Bytes bytes(sizeof(range));
    std::memcpy(bytes.data(), &range, sizeof(range));
    return bytes;
}

KSPIN_INTERFACE StandardInterface(ULONG id) {
    KSPIN_INTERFACE i;
    std::memset(&i, 0, sizeof(i));
    i.Set = kKsInterfaceSetIdStandard;
    i.Id = id;
    return i;
}

KSPIN_MEDIUM StandardMedium() {
    KSPIN_MEDIUM m;
    std::memset(&m, 0, sizeof(m));
    m.Set = kKsMediumSetIdStandard;
    m.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    return m;
}

Pin RenderPin() {
    Pin pin;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    pin.dataFlow = KSPIN_DATAFLOW_IN;
    pin.interfaces = {StandardInterface()};
    pin.mediums = {StandardMedium()};
    pin.dataRanges = {AudioRange(2, 32, 32, 44100, 768000)};
    pin.category = kKsCategoryAudio;
    pin.name = WSTR("ferox DAC");
    return pin;
}

Pin BridgePin() {
    Pin pin;
    pin.communication = KSPIN_COMMUNICATION_BRIDGE;
    pin.dataFlow = KSPIN_DATAFLOW_OUT;
    pin.interfaces = {StandardInterface()};
    pin.mediums = {StandardMedium()};
    KSDATARANGE analog;
    std::memset(&analog, 0, sizeof(analog));
    analog.FormatSize = sizeof(analog);
    analog.MajorFormat = kKsDataFormatTypeAudio;
    analog.SubFormat = kSubtypeAnalog;
    analog.Specifier = kKsDataFormatSpecifierNone;
    Bytes bytes(sizeof(analog));
    std::memcpy(bytes.data(), &analog, sizeof(analog));
    pin.dataRanges = {bytes};
    pin.instances = {0, 0};
    pin.globalInstances = {0, 0};
    pin.category = kKsNodeTypeSpeaker;
    pin.name = WSTR("Speakers");
    return pin;
}

Filter DacFilter() {
    Filter filter;
    filter.pins = {RenderPin(), BridgePin()};
    filter.nodes = {kKsNodeTypeDac, kNodeTypeVolume, kNodeTypeMute};
    return filter;
}

Interface Dac(unsigned serial) {
    Interface iface;
    WCHAR id[100];
    FormatW(id, 100, WSTR("USB\\VID_5A4E&PID_0C31&MI_00\\7&%X&0&0000"), 0x1F2B6C1u + serial);
    iface.instanceId = id;
    iface.referenceString = WSTR("global");
    iface.categories = {{kKsCategoryAudio, SPINT_ACTIVE}, {kKsCategoryRender, SPINT_ACTIVE}};
    iface.filter = DacFilter();
    return iface;
}

Machine DefaultMachine() {
    Machine machine;
    machine.interfaces = {Dac()};
    return machine;
}

WString DevicePath(const Interface& iface, const GUID& category) {
    WString path = WSTR("\\\\?\\");
    for (WCHAR c : Lower(iface.instanceId))
        path += c == '\\' ? WCHAR('#') : c;
    path += WSTR("#");
    path += GuidText(category);
    if (!iface.referenceString.empty()) {
        path += WSTR("\\");
        path += iface.referenceString;
    }
    return path;
}

}  // namespace ferox::sim
