// DSF: DSD in blocks per channel, least significant bit first.
#include "audio_files.h"

#include <algorithm>
#include "audio_bytes.h"

namespace ferox::host {

using namespace bytes;

namespace {
// Larger blocks than any DSF writer uses would only make the reader allocate for a broken file.
constexpr std::uint32_t kMaxDsfBlock = 1u << 20;
}  // namespace

AudioStatus AudioReader::OpenDsf() {
    m_info.container = Container::Dsf;
    m_info.encoding = Encoding::Dsd;
    const std::uint64_t size = m_source->Size();
    std::uint8_t head[28 + 52];
    if (m_source->Read(0, head, sizeof head) != sizeof head) {
        return Fail(AudioError::Corrupt, "the file is shorter than a DSF header");
    }
    if (Le64(head + 4) != 28)
        return Fail(AudioError::Corrupt, "DSD chunk size is not 28");
    const std::uint8_t* f = head + 28;
    if (!Is(f, "fmt "))
        return Fail(AudioError::Corrupt, "no fmt chunk after the DSD chunk");
    const std::uint64_t fmtSize = Le64(f + 4);
    if (fmtSize < 52 || fmtSize > size)
        return Fail(AudioError::Corrupt, "bad fmt chunk size");
    if (Le32(f + 12) != 1)
        return Fail(AudioError::Unsupported, "DSF format version is not 1");
    if (Le32(f + 16) != 0)
        return Fail(AudioError::Unsupported, "compressed DSF");
    const std::uint32_t channels = Le32(f + 24);
    const std::uint32_t rate = Le32(f + 28);
    const std::uint32_t bits = Le32(f + 32);
    const std::uint64_t samples = Le64(f + 36);
    m_blockSize = Le32(f + 44);
    if (channels == 0)
        return Fail(AudioError::Corrupt, "DSF with 0 channels");
    if (channels > 2) {
        return Fail(AudioError::Unsupported,
                    Num(channels) + " channels; feroxhost plays mono and stereo");
    }
    if (rate == 0)
        return Fail(AudioError::Corrupt, "sample rate 0");
    if (bits != 1 && bits != 8)
        return Fail(AudioError::Corrupt, "bits per sample not 1 or 8");
    if (m_blockSize == 0 || m_blockSize > kMaxDsfBlock) {
        return Fail(AudioError::Corrupt, "block size " + Num(m_blockSize));
    }
    std::uint8_t data[12];
    const std::uint64_t dataChunk = 28 + fmtSize;
    if (m_source->Read(dataChunk, data, 12) != 12) {
        return Fail(AudioError::Truncated, "the file ends before its data chunk");
    }
    if (!Is(data, "data"))
        return Fail(AudioError::Corrupt, "no data chunk after the fmt chunk");
    const std::uint64_t declared = Le64(data + 4);
    if (declared < 12)
        return Fail(AudioError::Corrupt, "data chunk size below 12");
    m_dataOffset = dataChunk + 12;
    m_dataBytes = samples / 8 + (samples % 8 ? 1 : 0);
    const std::uint64_t blocks = m_dataBytes / m_blockSize + (m_dataBytes % m_blockSize ? 1 : 0);
    if (blocks > (UINT64_MAX / m_blockSize) / channels) {
        return Fail(AudioError::Corrupt, "sample count " + Num(samples) + " out of range");
    }
    const std::uint64_t needed = blocks * m_blockSize * channels;
    if (declared - 12 < needed) {
        return Fail(AudioError::Corrupt, "the sample count needs " + Num(needed) +
                                             " bytes, the data chunk declares " +
                                             Num(declared - 12));
    }
    // The last block may stop where the samples do: writers differ in padding it.
    const std::uint64_t lastBlockUse = needed == 0 ? 0 : (m_dataBytes - 1) % m_blockSize + 1;
    const std::uint64_t minimum = needed == 0 ? 0 : needed - m_blockSize + lastBlockUse;
    const std::uint64_t available = size - m_dataOffset;
    if (available < minimum) {
        return Fail(AudioError::Truncated, "the samples need " + Num(minimum) +
                                               " bytes, the file holds " + Num(available));
    }
    m_info.channels = static_cast<std::uint16_t>(channels);
    m_info.sampleRate = rate;
    m_info.bitsPerSample = 1;
    m_info.frames = samples;
    m_lsbFirst = bits == 1;
    return AudioStatus{};
}

Bytes MakeDsf(std::uint32_t rate, const std::vector<Bytes>& channels, std::uint64_t samples) {
    constexpr std::uint32_t kBlock = 4096;
    const std::uint64_t perChannel = channels.empty() ? 0 : channels[0].size();
    const std::uint64_t blocks = (perChannel + kBlock - 1) / kBlock;
    const std::uint64_t dataBytes = blocks * kBlock * channels.size();
    Bytes b;
    PutId(b, "DSD ");
    PutLe(b, 28, 8);
    PutLe(b, 28 + 52 + 12 + dataBytes, 8);
    PutLe(b, 0, 8);
    PutId(b, "fmt ");
    PutLe(b, 52, 8);
    PutLe(b, 1, 4);                             // version
    PutLe(b, 0, 4);                             // raw DSD
    PutLe(b, channels.size() == 1 ? 1 : 2, 4);  // channel type: mono, stereo
    PutLe(b, channels.size(), 4);
    PutLe(b, rate, 4);
    PutLe(b, 1, 4);  // LSB first
    PutLe(b, samples, 8);
    PutLe(b, kBlock, 4);
    PutLe(b, 0, 4);
    PutId(b, "data");
    PutLe(b, 12 + dataBytes, 8);
    for (std::uint64_t g = 0; g < blocks; ++g) {
        for (const Bytes& ch : channels) {
            for (std::uint64_t i = g * kBlock; i < (g + 1) * kBlock; ++i) {
                b.push_back(i < ch.size() ? ReverseBits(ch[i]) : 0);
            }
        }
    }
    return b;
}

}  // namespace ferox::host
