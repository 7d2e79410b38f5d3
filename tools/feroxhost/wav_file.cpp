// WAV: integer PCM in RIFF, as feroxhost plays it and as its tests make it.
#include "audio_files.h"

#include <algorithm>
#include "audio_bytes.h"

namespace ferox::host {

using namespace bytes;

AudioStatus AudioReader::OpenWav() {
    m_info.container = Container::Wav;
    m_info.encoding = Encoding::Pcm;
    const std::uint64_t size = m_source->Size();
    std::uint8_t head[12];
    if (m_source->Read(0, head, 12) != 12 || !Is(head + 8, "WAVE")) {
        return Fail(AudioError::Corrupt, "RIFF file without the WAVE form type");
    }
    bool haveFormat = false;
    std::uint16_t blockAlign = 0;
    std::uint64_t offset = 12;
    for (;;) {
        std::uint8_t chunk[8];
        if (m_source->Read(offset, chunk, 8) != 8) {
            return Fail(haveFormat ? AudioError::Truncated : AudioError::Corrupt,
                        haveFormat ? "the file ends before its data chunk"
                                   : "no fmt chunk before the end of the file");
        }
        const std::uint32_t chunkSize = Le32(chunk + 4);
        const std::uint64_t body = offset + 8;
        if (Is(chunk, "fmt ")) {
            if (chunkSize < 16)
                return Fail(AudioError::Corrupt, "fmt chunk shorter than 16 bytes");
            std::uint8_t f[40] = {};
            const std::size_t want = std::min<std::uint32_t>(chunkSize, 40);
            if (m_source->Read(body, f, want) != want) {
                return Fail(AudioError::Truncated, "the file ends inside the fmt chunk");
            }
            std::uint16_t tag = Le16(f);
            if (tag == 0xFFFE) {
                static const std::uint8_t kPcmTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                          0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
                if (chunkSize < 40 || Le16(f + 16) < 22) {
                    return Fail(AudioError::Corrupt, "extensible fmt chunk shorter than 40 bytes");
                }
                tag = Le16(f + 24);
                if (std::memcmp(f + 26, kPcmTail, sizeof kPcmTail) != 0)
                    tag = 0xFFFF;
            }
            if (tag == 3) {
                return Fail(AudioError::Unsupported,
                            "floating-point WAV; feroxhost plays 16-, 24- and 32-bit integer PCM");
            }
            if (tag != 1) {
                char text[96];
                std::snprintf(text, sizeof text, "WAV format tag 0x%04X is not integer PCM", tag);
                return Fail(AudioError::Unsupported, text);
            }
            m_info.channels = Le16(f + 2);
            m_info.sampleRate = Le32(f + 4);
            blockAlign = Le16(f + 12);
            m_info.bitsPerSample = Le16(f + 14);
            if (m_info.channels == 0)
                return Fail(AudioError::Corrupt, "fmt chunk with 0 channels");
            if (m_info.sampleRate == 0)
                return Fail(AudioError::Corrupt, "sample rate 0");
            const std::uint16_t bits = m_info.bitsPerSample;
            if (bits != 16 && bits != 24 && bits != 32) {
                return Fail(AudioError::Unsupported, Num(bits) +
                                                         "-bit samples; feroxhost plays 16, 24 and "
                                                         "32 bits");
            }
            if (m_info.channels > 2) {
                return Fail(AudioError::Unsupported,
                            Num(m_info.channels) + " channels; feroxhost plays mono and stereo");
            }
            if (blockAlign != m_info.channels * bits / 8) {
                return Fail(AudioError::Corrupt, "block alignment " + Num(blockAlign) +
                                                     " does not match the channels and bits");
            }
            haveFormat = true;
        } else if (Is(chunk, "data")) {
            if (!haveFormat)
                return Fail(AudioError::Corrupt, "data chunk before the fmt chunk");
            const std::uint64_t available = size - body;
            if (chunkSize > available) {
                return Fail(AudioError::Truncated, "the data chunk declares " + Num(chunkSize) +
                                                       " bytes, the file holds " + Num(available));
            }
            if (chunkSize % blockAlign != 0) {
                return Fail(AudioError::Truncated, "the data ends inside a sample frame");
            }
            m_dataOffset = body;
            m_dataBytes = chunkSize;
            m_info.frames = chunkSize / blockAlign;
            return AudioStatus{};
        }
        const std::uint64_t next = body + chunkSize + (chunkSize & 1);
        if (next > size) {
            return Fail(haveFormat ? AudioError::Truncated : AudioError::Corrupt,
                        "a chunk runs past the end of the file");
        }
        offset = next;
    }
}

Bytes MakeWav(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
              const std::vector<std::int32_t>& samples) {
    const unsigned bytes = bits / 8;
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * bytes);
    Bytes b;
    PutId(b, "RIFF");
    PutLe(b, 36 + dataBytes + (dataBytes & 1), 4);
    PutId(b, "WAVE");
    PutId(b, "fmt ");
    PutLe(b, 16, 4);
    PutLe(b, 1, 2);
    PutLe(b, channels, 2);
    PutLe(b, rate, 4);
    PutLe(b, static_cast<std::uint64_t>(rate) * channels * bytes, 4);
    PutLe(b, channels * bytes, 2);
    PutLe(b, bits, 2);
    PutId(b, "data");
    PutLe(b, dataBytes, 4);
    for (std::int32_t s : samples) {
        PutLe(b, static_cast<std::uint32_t>(s) >> (32 - bits), static_cast<int>(bytes));
    }
    if (dataBytes & 1)
        b.push_back(0);
    return b;
}

}  // namespace ferox::host
