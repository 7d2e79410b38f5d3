// Writes the seed corpora of the fuzz targets from the simulated DAC, each in its target's input
// format:
//   DIR/fuzz_pin_replies        the device's own replies to the pin properties the target serves
//                               (a length byte, or 255 and a 16-bit length, then the reply) for a
//                               few pins a real device could have
//   DIR/fuzz_device_interfaces  machines of the simulator's DACs and their neighbours
//   seed_corpora DIR
#include <cstdio>
#include <string>
#include <vector>

#include "platform/device.h"
#include "sim/sim.h"

namespace {

using namespace ferox;
using sim::Bytes;

// The device's whole reply to a GET of a pin property of pin 0, asked as the client asks it.
Bytes Reply(HANDLE filter, ULONG id) {
    KSP_PIN request{};
    request.Property.Set = kKsPropSetIdPin;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    DWORD size = 0;
    Device().DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof(request), nullptr, 0,
                             &size, nullptr);
    Bytes reply(size != 0 ? size : 4096);
    DWORD got = 0;
    if (!Device().DeviceIoControl(filter, IOCTL_KS_PROPERTY, &request, sizeof(request),
                                  reply.data(), static_cast<DWORD>(reply.size()), &got, nullptr)) {
        return {};
    }
    reply.resize(got);
    return reply;
}

void Put(Bytes& input, const Bytes& reply) {
    if (reply.size() < 255) {
        input.push_back(static_cast<BYTE>(reply.size()));
    } else {
        input.push_back(255);
        input.push_back(static_cast<BYTE>(reply.size()));
        input.push_back(static_cast<BYTE>(reply.size() >> 8));
    }
    input.insert(input.end(), reply.begin(), reply.end());
}

sim::Pin ManyRanges() {
    sim::Pin p = sim::RenderPin();
    p.dataRanges = {sim::AudioRange(2, 16, 24, 44100, 192000),
                    sim::AudioRange(8, 32, 32, 8000, 384000, kKsDataFormatSubtypeIeeeFloat),
                    sim::AudioRange(2, 32, 32, 44100, 768000, kKsDataFormatSubtypeWildcard),
                    sim::AudioRange(0xFFFFFFFFu, 8, 32, 1, 0xFFFFFFFFu)};
    p.interfaces = {sim::StandardInterface(KSINTERFACE_STANDARD_LOOPED_STREAMING),
                    sim::StandardInterface()};
    return p;
}

sim::Pin LongName() {
    sim::Pin p = sim::RenderPin();
    p.name = sim::WString(300, WCHAR{'x'});
    return p;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f == nullptr || std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "seed_corpora: cannot write '%s'\n", path.c_str());
        return false;
    }
    return true;
}

bool PinReplies(const std::string& dir) {
    const struct {
        const char* name;
        sim::Pin pin;
    } pins[] = {{"render", sim::RenderPin()},
                {"ranges", ManyRanges()},
                {"name", LongName()},
                {"bridge", sim::BridgePin()}};
    // The order in which the target hands its input out.
    const ULONG ids[] = {KSPROPERTY_PIN_DATARANGES,    KSPROPERTY_PIN_INTERFACES,
                         KSPROPERTY_PIN_MEDIUMS,       KSPROPERTY_PIN_NAME,
                         KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_PIN_DATAFLOW};
    for (const auto& p : pins) {
        sim::Machine machine = sim::DefaultMachine();
        machine.interfaces[0].filter.pins = {p.pin, sim::BridgePin()};
        sim::Reset(machine);
        HANDLE filter =
            Device().CreateFileW(sim::DefaultPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        Bytes input;
        for (ULONG id : ids)
            Put(input, Reply(filter, id));
        Device().CloseHandle(filter);
        // An odd rest turns the size-query quirk on: one seed each way.
        if (!WriteFile(dir + "/" + p.name, input))
            return false;
        input.push_back(0);
        if (!WriteFile(dir + "/" + p.name + "-quirk", input))
            return false;
    }
    return true;
}

// One interface in fuzz_device_interfaces' format.
void PutInterface(Bytes& input, const sim::Interface& iface) {
    BYTE flags = 0;
    for (const auto& r : iface.categories) {
        if (r.category == kKsCategoryAudio)
            flags = static_cast<BYTE>(flags | 1 | (r.flags & 7) << 5);
        if (r.category == kKsCategoryRender)
            flags = static_cast<BYTE>(flags | 2 | (r.flags & 7) << 2);
    }
    input.push_back(flags);
    for (const sim::WString* text : {&iface.instanceId, &iface.referenceString}) {
        input.push_back(static_cast<BYTE>(text->size()));
        for (WCHAR c : *text)
            input.push_back(static_cast<BYTE>(c));
    }
}

bool DeviceInterfaces(const std::string& dir) {
    sim::Interface other = sim::Dac();
    other.instanceId = WSTR("USB\\VID_046D&PID_0A44&MI_00\\7&1F2B6C1&0&0000");
    sim::Interface removed = sim::Dac(1);
    removed.categories[1].flags = SPINT_REMOVED;
    sim::Interface captureOnly = sim::Dac(2);
    captureOnly.categories.pop_back();
    const struct {
        const char* name;
        std::vector<sim::Interface> interfaces;
    } machines[] = {{"dac", sim::DefaultMachine().interfaces},
                    {"two-dacs", {sim::Dac(0), sim::Dac(1)}},
                    {"neighbours", {other, removed, captureOnly, sim::Dac(3)}}};
    for (const auto& m : machines) {
        Bytes input;
        for (const auto& iface : m.interfaces)
            PutInterface(input, iface);
        if (!WriteFile(dir + "/" + m.name, input))
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_corpora DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    return PinReplies(dir + "/fuzz_pin_replies") &&
                   DeviceInterfaces(dir + "/fuzz_device_interfaces")
               ? 0
               : 1;
}
