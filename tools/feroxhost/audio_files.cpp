#include "audio_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace ferox::host {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Larger blocks than any DSF writer uses would only make the reader allocate for a broken file.
constexpr std::uint32_t kMaxDsfBlock = 1u << 20;

std::uint16_t Le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t Le64(const std::uint8_t* p) {
    return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}
std::uint16_t Be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}
std::uint32_t Be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
std::uint64_t Be64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(Be32(p)) << 32 | Be32(p + 4);
}
bool Is(const std::uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

std::uint8_t ReverseBits(std::uint8_t b) {
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

AudioStatus Fail(AudioError e, std::string message) {
    return AudioStatus{e, std::move(message)};
}

std::string Num(std::uint64_t v) {
    return std::to_string(v);
}

void PutLe(Bytes& b, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutBe(Bytes& b, std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutId(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(id[i]));
}

}  // namespace

const char* ContainerName(Container c) {
    switch (c) {
        case Container::Wav:
            return "WAV";
        case Container::Dsf:
            return "DSF";
        case Container::Dff:
            return "DFF";
    }
    return "?";
}

const char* ErrorName(AudioError e) {
    switch (e) {
        case AudioError::None:
            return "ok";
        case AudioError::Unsupported:
            return "unsupported file";
        case AudioError::Corrupt:
            return "corrupt header";
        case AudioError::Truncated:
            return "truncated data";
        case AudioError::Io:
            return "read error";
    }
    return "?";
}

// ---- sources

std::size_t MemorySource::Read(std::uint64_t offset, void* out, std::size_t n) {
    if (offset >= m_size)
        return 0;
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, m_size - offset));
    std::memcpy(out, m_data + offset, take);
    return take;
}

FileSource::~FileSource() {
    if (m_file)
        std::fclose(m_file);
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
#ifdef _WIN32
    std::wstring wide(path.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(),
                                      static_cast<int>(wide.size()));
    if (n <= 0) {
        errno = EINVAL;
        return nullptr;
    }
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(wide.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool FileSource::Open(const std::string& path, std::string* error) {
    m_file = OpenFile(path, "rb");
    if (!m_file) {
        *error = std::strerror(errno);
        return false;
    }
    // 64-bit seeks: DSD files pass 2 GB.
#ifdef _WIN32
    if (_fseeki64(m_file, 0, SEEK_END) != 0) {
#else
    if (fseeko(m_file, 0, SEEK_END) != 0) {
#endif
        *error = "cannot seek";
        return false;
    }
#ifdef _WIN32
    const long long end = _ftelli64(m_file);
#else
    const long long end = ftello(m_file);
#endif
    if (end < 0) {
        *error = "cannot tell its size";
        return false;
    }
    m_size = static_cast<std::uint64_t>(end);
    m_position = m_size;
    return true;
}

std::size_t FileSource::Read(std::uint64_t offset, void* out, std::size_t n) {
    if (!m_file || offset >= m_size)
        return 0;
    if (offset != m_position) {
#ifdef _WIN32
        if (_fseeki64(m_file, static_cast<long long>(offset), SEEK_SET) != 0)
            return 0;
#else
        if (fseeko(m_file, static_cast<off_t>(offset), SEEK_SET) != 0)
            return 0;
#endif
    }
    const std::size_t got = std::fread(out, 1, n, m_file);
    m_position = offset + got;
    return got;
}

// ---- reader

bool AudioReader::Fetch(std::uint64_t offset, void* out, std::size_t n) {
    if (m_source->Read(offset, out, n) == n)
        return true;
    m_status = Fail(AudioError::Io, "the file could not be read at byte " + Num(offset));
    return false;
}

AudioStatus AudioReader::Open(ByteSource& source) {
    m_source = &source;
    m_info = AudioInfo{};
    m_status = AudioStatus{};
    m_position = 0;
    std::uint8_t magic[4] = {};
    if (source.Read(0, magic, 4) != 4) {
        m_status = Fail(AudioError::Unsupported, "the file is too short for any audio file");
    } else if (Is(magic, "RIFF")) {
        m_status = OpenWav();
    } else if (Is(magic, "DSD ")) {
        m_status = OpenDsf();
    } else if (Is(magic, "FRM8")) {
        m_status = OpenDff();
    } else if (Is(magic, "RF64") || Is(magic, "FORM")) {
        m_status = Fail(AudioError::Unsupported, "RF64 and AIFF files are not supported");
    } else {
        m_status = Fail(AudioError::Unsupported, "not a WAV, DSF or DFF file");
    }
    return m_status;
}

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

std::size_t AudioReader::ReadPcm(std::int32_t* left, std::int32_t* right, std::size_t frames) {
    if (!m_status.ok() || m_info.encoding != Encoding::Pcm)
        return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(frames, m_info.frames - m_position));
    if (n == 0)
        return 0;
    const unsigned bytes = m_info.bitsPerSample / 8;
    const unsigned frameBytes = bytes * m_info.channels;
    m_scratch.resize(n * frameBytes);
    if (!Fetch(m_dataOffset + m_position * frameBytes, m_scratch.data(), m_scratch.size())) {
        return 0;
    }
    const std::uint8_t* p = m_scratch.data();
    for (std::size_t i = 0; i < n; ++i) {
        std::int32_t v[2] = {0, 0};
        for (unsigned c = 0; c < m_info.channels; ++c, p += bytes) {
            std::uint32_t u = 0;
            for (unsigned b = 0; b < bytes; ++b)
                u |= static_cast<std::uint32_t>(p[b]) << (8 * b);
            v[c] = static_cast<std::int32_t>(u << (32 - 8 * bytes));
        }
        left[i] = v[0];
        right[i] = m_info.channels == 2 ? v[1] : v[0];
    }
    m_position += n;
    return n;
}

std::size_t AudioReader::ReadDsd(std::uint8_t* left, std::uint8_t* right, std::size_t bytes) {
    if (!m_status.ok() || m_info.encoding != Encoding::Dsd)
        return 0;
    std::uint8_t* out[2] = {left, right};
    std::size_t done = 0;
    while (done < bytes && m_position < m_dataBytes) {
        std::size_t chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes - done, m_dataBytes - m_position));
        if (m_info.container == Container::Dsf) {
            const std::uint64_t within = m_position % m_blockSize;
            const std::uint64_t group = m_position / m_blockSize;
            chunk = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, m_blockSize - within));
            for (unsigned c = 0; c < m_info.channels; ++c) {
                const std::uint64_t at =
                    m_dataOffset + (group * m_info.channels + c) * m_blockSize + within;
                // A last block cut short reads as padding.
                const std::size_t got = m_source->Read(at, out[c] + done, chunk);
                std::memset(out[c] + done + got, 0, chunk - got);
                if (m_lsbFirst) {
                    for (std::size_t i = 0; i < chunk; ++i) {
                        out[c][done + i] = ReverseBits(out[c][done + i]);
                    }
                }
            }
        } else {
            chunk = std::min<std::size_t>(chunk, 1 << 15);
            m_scratch.resize(chunk * m_info.channels);
            if (!Fetch(m_dataOffset + m_position * m_info.channels, m_scratch.data(),
                       m_scratch.size())) {
                return 0;
            }
            for (std::size_t i = 0; i < chunk; ++i) {
                for (unsigned c = 0; c < m_info.channels; ++c) {
                    out[c][done + i] = m_scratch[i * m_info.channels + c];
                }
            }
        }
        if (m_info.channels == 1)
            std::memcpy(right + done, left + done, chunk);
        done += chunk;
        m_position += chunk;
    }
    return done;
}

// ---- writers

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

// ---- test signals

void PcmTone::Next(std::int32_t* left, std::int32_t* right, std::size_t frames) {
    for (std::size_t i = 0; i < frames; ++i, ++m_n) {
        const double t = static_cast<double>(m_n) / m_rate;
        std::int32_t v[2];
        for (int c = 0; c < 2; ++c) {
            m_noise ^= m_noise << 13;
            m_noise ^= m_noise >> 17;
            m_noise ^= m_noise << 5;
            const double s = std::sin(2 * kPi * (c == 0 ? 997.0 : 1499.0) * t);
            v[c] = static_cast<std::int32_t>(s * m_level * 2147483648.0) ^
                   static_cast<std::int32_t>(m_noise & 0xFFF);
        }
        left[i] = v[0];
        right[i] = v[1];
    }
}

void DsdTone::Next(std::uint8_t* left, std::uint8_t* right, std::size_t bytes) {
    std::uint8_t* out[2] = {left, right};
    for (std::size_t i = 0; i < bytes; ++i) {
        std::uint8_t b[2] = {0, 0};
        for (int bit = 0; bit < 8; ++bit, ++m_n) {
            const double t = static_cast<double>(m_n) / m_rate;
            for (int c = 0; c < 2; ++c) {
                const double x = m_level * std::sin(2 * kPi * (c == 0 ? 997.0 : 1499.0) * t);
                double* s = m_state[c];
                const double q = s[1] >= 0 ? 1.0 : -1.0;
                s[0] += x - q;
                s[1] += s[0] - q;
                b[c] = static_cast<std::uint8_t>(b[c] << 1 | (q > 0 ? 1 : 0));
            }
        }
        out[0][i] = b[0];
        out[1][i] = b[1];
    }
}

// ---- comparison

CompareResult CompareCapture(AudioReader& input, AudioReader& capture) {
    const AudioInfo& in = input.Info();
    const AudioInfo& cap = capture.Info();
    CompareResult r;
    if (in.encoding != cap.encoding) {
        r.message = "the capture is not of the input's kind (PCM against DSD)";
        return r;
    }
    if (in.sampleRate != cap.sampleRate) {
        r.message = "the capture runs at " + Num(cap.sampleRate) + " Hz, the input at " +
                    Num(in.sampleRate) + " Hz";
        return r;
    }
    constexpr std::size_t kChunk = 4096;
    if (in.encoding == Encoding::Pcm) {
        if (cap.channels != 2 || cap.bitsPerSample != 32) {
            r.message = "the capture is not 32-bit stereo";
            return r;
        }
        std::vector<std::int32_t> a[2], b[2];
        for (auto* v : {&a[0], &a[1], &b[0], &b[1]})
            v->resize(kChunk);
        std::uint64_t frame = 0;
        for (;;) {
            const std::size_t n = input.ReadPcm(a[0].data(), a[1].data(), kChunk);
            if (n == 0)
                break;
            const std::size_t m = capture.ReadPcm(b[0].data(), b[1].data(), n);
            for (std::size_t i = 0; i < m; ++i) {
                for (int c = 0; c < 2; ++c) {
                    if (a[c][i] != b[c][i]) {
                        char text[160];
                        std::snprintf(
                            text, sizeof text, "frame %llu %s: played 0x%08X, received 0x%08X",
                            static_cast<unsigned long long>(frame + i), c ? "right" : "left",
                            static_cast<unsigned>(a[c][i]), static_cast<unsigned>(b[c][i]));
                        r.message = text;
                        return r;
                    }
                }
            }
            frame += m;
            if (m < n) {
                r.message =
                    "the capture ends after " + Num(frame) + " of " + Num(in.frames) + " frames";
                return r;
            }
        }
        std::uint64_t tail = 0;
        for (;;) {
            const std::size_t m = capture.ReadPcm(b[0].data(), b[1].data(), kChunk);
            if (m == 0)
                break;
            for (std::size_t i = 0; i < m; ++i) {
                if (b[0][i] != 0 || b[1][i] != 0) {
                    r.message = "frame " + Num(frame + tail + i) + " after the input is not silent";
                    return r;
                }
            }
            tail += m;
        }
        r.same = true;
        r.message = Num(frame) + " frames identical, then " + Num(tail) + " silent";
        return r;
    }

    Bytes a[2], b[2];
    for (auto* v : {&a[0], &a[1], &b[0], &b[1]})
        v->resize(kChunk);
    const std::uint64_t fullBytes = in.frames / 8;
    const unsigned restBits = static_cast<unsigned>(in.frames % 8);
    std::uint64_t at = 0;
    for (;;) {
        const std::size_t n = input.ReadDsd(a[0].data(), a[1].data(), kChunk);
        if (n == 0)
            break;
        const std::size_t m = capture.ReadDsd(b[0].data(), b[1].data(), n);
        for (std::size_t i = 0; i < m; ++i) {
            // Bits past the input's last sample are padding, not signal.
            const std::uint8_t mask =
                at + i < fullBytes ? 0xFF : static_cast<std::uint8_t>(0xFF00 >> restBits);
            for (int c = 0; c < 2; ++c) {
                if (((a[c][i] ^ b[c][i]) & mask) != 0) {
                    char text[160];
                    std::snprintf(text, sizeof text, "byte %llu %s: played 0x%02X, received 0x%02X",
                                  static_cast<unsigned long long>(at + i), c ? "right" : "left",
                                  a[c][i], b[c][i]);
                    r.message = text;
                    return r;
                }
            }
        }
        at += m;
        if (m < n) {
            r.message =
                "the capture ends after " + Num(at * 8) + " of " + Num(in.frames) + " samples";
            return r;
        }
    }
    std::uint64_t tail = 0;
    for (;;) {
        const std::size_t m = capture.ReadDsd(b[0].data(), b[1].data(), kChunk);
        if (m == 0)
            break;
        for (std::size_t i = 0; i < m; ++i) {
            if (b[0][i] != kDsdSilenceByte || b[1][i] != kDsdSilenceByte) {
                r.message = "byte " + Num(at + tail + i) + " after the input is not DSD silence";
                return r;
            }
        }
        tail += m;
    }
    r.same = true;
    r.message = Num(in.frames) + " samples a channel identical, then " + Num(tail * 8) + " silent";
    return r;
}

}  // namespace ferox::host
