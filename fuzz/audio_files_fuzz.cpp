// One of feroxhost's readers (FUZZ_MAGIC: "RIFF", "DSD " or "FRM8" starts every input) over
// arbitrary bytes: opening and reading every sample must stay inside the input and end. The
// first byte picks the read size, so reads cross DSF blocks every way.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const std::size_t step = 1 + data[0] * 37u;
    std::vector<std::uint8_t> file(&FUZZ_MAGIC[0], &FUZZ_MAGIC[4]);
    file.insert(file.end(), data + 1, data + size);
    ferox::host::MemorySource source(file);
    ferox::host::AudioReader reader;
    if (!reader.Open(source).ok())
        return 0;
    std::vector<std::int32_t> l(step), r(step);
    std::vector<std::uint8_t> a(step), b(step);
    // Bounded: a header may promise far more samples than any input holds.
    for (int i = 0; i < 4096; ++i) {
        const bool pcm = reader.Info().encoding == ferox::host::Encoding::Pcm;
        const std::size_t n = pcm ? reader.ReadPcm(l.data(), r.data(), step)
                                  : reader.ReadDsd(a.data(), b.data(), step);
        if (n == 0)
            break;
    }
    return 0;
}
