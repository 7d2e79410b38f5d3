// DSDIFF: DSD interleaved by byte, most significant bit first.
#include "audio_files.h"

#include <algorithm>
#include "audio_bytes.h"

namespace ferox::host {

using namespace bytes;

AudioStatus AudioReader::OpenDff() {
    m_info.container = Container::Dff;
    m_info.encoding = Encoding::Dsd;
    const std::uint64_t size = m_source->Size();
    std::uint8_t head[16];
    if (m_source->Read(0, head, 16) != 16 || !Is(head + 12, "DSD ")) {
        return Fail(AudioError::Corrupt, "FRM8 file without the DSD form type");
    }
    const std::uint64_t end = std::min<std::uint64_t>(size, 12 + Be64(head + 4));
    std::uint64_t offset = 16;
    bool haveProp = false;
    while (offset + 12 <= end) {
        std::uint8_t chunk[12];
        if (m_source->Read(offset, chunk, 12) != 12)
            break;
        const std::uint64_t chunkSize = Be64(chunk + 4);
        const std::uint64_t body = offset + 12;
        if (Is(chunk, "DST "))
            return Fail(AudioError::Unsupported, "DST-compressed DSDIFF");
        if (Is(chunk, "PROP")) {
            if (chunkSize < 4 || chunkSize > size - body) {
                return Fail(AudioError::Corrupt, "PROP chunk runs past the end of the file");
            }
            std::uint8_t type[4];
            if (m_source->Read(body, type, 4) != 4 || !Is(type, "SND ")) {
                return Fail(AudioError::Corrupt, "PROP chunk is not of type SND");
            }
            std::uint64_t p = body + 4;
            const std::uint64_t propEnd = body + chunkSize;
            while (p + 12 <= propEnd) {
                std::uint8_t sub[12];
                if (m_source->Read(p, sub, 12) != 12)
                    break;
                const std::uint64_t subSize = Be64(sub + 4);
                if (subSize > propEnd - p - 12) {
                    return Fail(AudioError::Corrupt, "a property runs past its PROP chunk");
                }
                std::uint8_t v[4] = {};
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(subSize, 4));
                if (m_source->Read(p + 12, v, n) != n)
                    break;
                if (Is(sub, "FS  ") && n == 4) {
                    m_info.sampleRate = Be32(v);
                } else if (Is(sub, "CHNL") && n >= 2) {
                    m_info.channels = Be16(v);
                } else if (Is(sub, "CMPR") && n == 4 && !Is(v, "DSD ")) {
                    return Fail(AudioError::Unsupported, "compressed DSDIFF (DST)");
                }
                p += 12 + subSize + (subSize & 1);
            }
            haveProp = true;
        } else if (Is(chunk, "DSD ")) {
            if (!haveProp)
                return Fail(AudioError::Corrupt, "sound data before the PROP chunk");
            if (m_info.channels == 0)
                return Fail(AudioError::Corrupt, "no channel count");
            if (m_info.channels > 2) {
                return Fail(AudioError::Unsupported,
                            Num(m_info.channels) + " channels; feroxhost plays mono and stereo");
            }
            if (m_info.sampleRate == 0)
                return Fail(AudioError::Corrupt, "no sample rate");
            if (chunkSize > size - body) {
                return Fail(AudioError::Truncated, "the sound data declares " + Num(chunkSize) +
                                                       " bytes, the file holds " +
                                                       Num(size - body));
            }
            if (chunkSize % m_info.channels != 0) {
                return Fail(AudioError::Truncated, "the sound data ends inside a sample frame");
            }
            m_dataOffset = body;
            m_dataBytes = chunkSize / m_info.channels;
            m_info.bitsPerSample = 1;
            m_info.frames = m_dataBytes * 8;
            return AudioStatus{};
        }
        if (chunkSize > end - body) {
            return Fail(AudioError::Corrupt, "a chunk runs past the end of the file");
        }
        offset = body + chunkSize + (chunkSize & 1);
    }
    return Fail(haveProp ? AudioError::Truncated : AudioError::Corrupt,
                "no DSD sound data chunk in the file");
}

Bytes MakeDff(std::uint32_t rate, const std::vector<Bytes>& channels) {
    const std::uint64_t perChannel = channels.empty() ? 0 : channels[0].size();
    Bytes prop;
    PutId(prop, "SND ");
    PutId(prop, "FS  ");
    PutBe(prop, 4, 8);
    PutBe(prop, rate, 4);
    PutId(prop, "CHNL");
    PutBe(prop, 2 + 4 * channels.size(), 8);
    PutBe(prop, channels.size(), 2);
    for (std::size_t c = 0; c < channels.size(); ++c) {
        PutId(prop, channels.size() == 1 ? "C   " : c == 0 ? "SLFT" : "SRGT");
    }
    static const char kName[] = "not compressed";
    const std::uint64_t nameBytes = 1 + sizeof kName - 1;
    PutId(prop, "CMPR");
    PutBe(prop, 4 + nameBytes + (nameBytes & 1), 8);
    PutId(prop, "DSD ");
    prop.push_back(static_cast<std::uint8_t>(sizeof kName - 1));
    for (std::size_t i = 0; i + 1 < sizeof kName; ++i)
        prop.push_back(static_cast<std::uint8_t>(kName[i]));
    if (nameBytes & 1)
        prop.push_back(0);

    const std::uint64_t sound = perChannel * channels.size();
    Bytes b;
    PutId(b, "FRM8");
    PutBe(b, 4 + 16 + 12 + prop.size() + 12 + sound + (sound & 1), 8);
    PutId(b, "DSD ");
    PutId(b, "FVER");
    PutBe(b, 4, 8);
    PutBe(b, 0x01050000, 4);
    PutId(b, "PROP");
    PutBe(b, prop.size(), 8);
    b.insert(b.end(), prop.begin(), prop.end());
    PutId(b, "DSD ");
    PutBe(b, sound, 8);
    for (std::uint64_t i = 0; i < perChannel; ++i) {
        for (const Bytes& ch : channels)
            b.push_back(ch[i]);
    }
    if (sound & 1)
        b.push_back(0);
    return b;
}

}  // namespace ferox::host
