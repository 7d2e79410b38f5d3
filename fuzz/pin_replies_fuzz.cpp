// The simulated DAC answers the pin-property and data-range reads with the fuzzer's bytes; the
// client must describe the pin, judge formats and create the render pin without reading past
// any reply.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ks/audio_filter.h"
#include "sim/sim.h"

namespace {

// Takes a length byte, then that many bytes (fewer at the end of the input).
ferox::sim::Bytes Take(const uint8_t*& data, size_t& size) {
    if (size == 0)
        return {};
    size_t n = data[0];
    ++data;
    --size;
    if (n == 255 && size >= 2) {  // longer replies: a 16-bit length
        n = data[0] | (data[1] << 8);
        data += 2;
        size -= 2;
    }
    n = n < size ? n : size;
    ferox::sim::Bytes out(data, data + n);
    data += n;
    size -= n;
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ferox;
    sim::Pin pin = sim::RenderPin();
    const ULONG ids[] = {KSPROPERTY_PIN_DATARANGES,    KSPROPERTY_PIN_INTERFACES,
                         KSPROPERTY_PIN_MEDIUMS,       KSPROPERTY_PIN_NAME,
                         KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_PIN_DATAFLOW};
    for (ULONG id : ids) {
        if (size == 0)
            break;
        pin.rawProperties.push_back({id, Take(data, size)});
    }
    sim::Machine machine = sim::DefaultMachine();
    machine.interfaces[0].filter.pins = {pin, sim::BridgePin()};
    sim::Reset(machine);
    // Nothing reads the log here; kept, it would count as a leak of every run.
    sim::SetLogLimit(0);
    sim::SetSizeQueryQuirk(size % 2 == 1);

    HRESULT hr = S_OK;
    const auto path = sim::DefaultPath();
    auto* filter = new CKsAudRenFilter(path.c_str(), &hr);
    if (filter != nullptr && SUCCEEDED(hr) && SUCCEEDED(filter->Instantiate()) &&
        SUCCEEDED(filter->EnumeratePins())) {
        WAVEFORMATEXTENSIBLE wfx;
        std::memset(&wfx, 0, sizeof(wfx));
        wfx.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        wfx.Format.nChannels = 2;
        wfx.Format.nSamplesPerSec = 44100;
        wfx.Format.wBitsPerSample = 32;
        wfx.Format.nBlockAlign = 8;
        wfx.Format.cbSize = 22;
        wfx.SubFormat = kKsDataFormatSubtypePcm;
        if (CKsAudPin* p = filter->CreateRenderPin(&wfx.Format, FALSE))
            p->ClosePin();
    }
    delete filter;
    return 0;
}
