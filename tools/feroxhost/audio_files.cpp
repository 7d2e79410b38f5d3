#include "audio_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "audio_bytes.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ferox::host {

using namespace bytes;

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

}  // namespace ferox::host
