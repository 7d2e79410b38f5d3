// The SetupAPI view of the machine comes from the fuzzer's bytes: which interfaces exist, their
// instance ids and reference strings (so their paths), and under which categories they are
// registered with which flags. The enumerator must pick exactly the DAC's active render
// interfaces, whatever the ids and paths look like, and open their filters.
#include <cstddef>
#include <cstdint>

#include "ks/enum_filters.h"
#include "sim/sim.h"

namespace {

using ferox::sim::WString;

// A length byte, then that many bytes, each one character (fewer at the end of the input).
WString Text(const uint8_t*& data, size_t& size) {
    if (size == 0)
        return {};
    size_t n = data[0];
    ++data;
    --size;
    n = n < size ? n : size;
    WString out(data, data + n);
    data += n;
    size -= n;
    return out;
}

}  // namespace

// Per interface: flags byte, instance id, reference string. The flags byte: bit 0 registered
// under KSCATEGORY_AUDIO, bit 1 under KSCATEGORY_RENDER, bits 2-4 the render registration's
// SPINT flags, bits 5-7 the audio registration's.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ferox;
    sim::Machine machine;
    while (size > 0 && machine.interfaces.size() < 8) {
        const uint8_t flags = data[0];
        ++data;
        --size;
        sim::Interface iface = sim::Dac();
        iface.instanceId = Text(data, size);
        iface.referenceString = Text(data, size);
        iface.categories.clear();
        if (flags & 1)
            iface.categories.push_back({kKsCategoryAudio, DWORD{flags} >> 5});
        if (flags & 2)
            iface.categories.push_back({kKsCategoryRender, (DWORD{flags} >> 2) & 7});
        machine.interfaces.push_back(iface);
    }
    sim::Reset(machine);
    sim::SetLogLimit(0);

    HRESULT hr = S_OK;
    auto* enumerator = new CKsEnumFilters(&hr);
    if (enumerator != nullptr && SUCCEEDED(hr)) {
        const GUID categories[] = {kKsCategoryAudio, kKsCategoryRender};
        enumerator->EnumFilters(FILTER_TYPE_AUDIO_RENDER, categories, 2, TRUE, FALSE, FALSE);
    }
    delete enumerator;
    return 0;
}
