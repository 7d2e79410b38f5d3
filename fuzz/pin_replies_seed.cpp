// Writes the seed corpus of fuzz_pin_replies: the simulated DAC's own replies to the pin
// properties the target serves from its input, for a few pins that a real device could have, in
// the target's input format (a length byte, or 255 and a 16-bit length, then the reply).
//   pin_replies_seed DIR
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pin_replies_seed DIR\n");
        return 2;
    }
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
        for (int quirk = 0; quirk < 2; ++quirk) {
            if (quirk)
                input.push_back(0);
            const std::string path = std::string(argv[1]) + "/" + p.name + (quirk ? "-quirk" : "");
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr || std::fwrite(input.data(), 1, input.size(), f) != input.size() ||
                std::fclose(f) != 0) {
                std::fprintf(stderr, "pin_replies_seed: cannot write '%s'\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
