// The audio files feroxhost plays: WAV (integer PCM), DSF and DSDIFF (DSD). Portable, so the
// readers are tested and fuzzed natively; the host only feeds their output to the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ferox::host {

using Bytes = std::vector<std::uint8_t>;

// Random access to a file's bytes.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Bytes copied (fewer only at the end or on a read error).
    virtual std::size_t Read(std::uint64_t offset, void* out, std::size_t n) = 0;
};

class MemorySource final : public ByteSource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    explicit MemorySource(const Bytes& bytes) : MemorySource(bytes.data(), bytes.size()) {}
    std::uint64_t Size() const override { return m_size; }
    std::size_t Read(std::uint64_t offset, void* out, std::size_t n) override;

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

// fopen with a UTF-8 path, on Windows too (where fopen takes the system code page).
std::FILE* OpenFile(const std::string& path, const char* mode);

class FileSource final : public ByteSource {
  public:
    FileSource() = default;
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    // False with the system's reason in *error.
    bool Open(const std::string& path, std::string* error);  // path in UTF-8
    std::uint64_t Size() const override { return m_size; }
    std::size_t Read(std::uint64_t offset, void* out, std::size_t n) override;

  private:
    std::FILE* m_file = nullptr;
    std::uint64_t m_size = 0;
    std::uint64_t m_position = 0;
};

enum class Container { Wav, Dsf, Dff };
enum class Encoding { Pcm, Dsd };

struct AudioInfo {
    Container container = Container::Wav;
    Encoding encoding = Encoding::Pcm;
    std::uint32_t sampleRate = 0;  // PCM: frames a second; DSD: one-bit samples a second
    std::uint16_t channels = 0;
    std::uint16_t bitsPerSample = 0;  // PCM: 16, 24 or 32; DSD: 1
    std::uint64_t frames = 0;         // PCM: frames; DSD: samples (bits) per channel
    double Seconds() const { return sampleRate ? static_cast<double>(frames) / sampleRate : 0; }
};

enum class AudioError {
    None,
    Unsupported,  // a valid file of a kind feroxhost does not play
    Corrupt,      // not a valid file of its kind
    Truncated,    // the file ends before the data its header declares
    Io,           // the file could not be read
};

struct AudioStatus {
    AudioError error = AudioError::None;
    std::string message;
    bool ok() const { return error == AudioError::None; }
};

const char* ContainerName(Container c);
const char* ErrorName(AudioError e);

// Reads one file, mono or stereo (mono plays on both sides), front to back.
class AudioReader {
  public:
    AudioStatus Open(ByteSource& source);
    const AudioInfo& Info() const { return m_info; }

    // PCM: up to `frames` frames as 32-bit integers, left-justified (16- and 24-bit samples
    // widened). Returns the frames delivered; 0 at the end or on a read error (see Status()).
    std::size_t ReadPcm(std::int32_t* left, std::int32_t* right, std::size_t frames);
    // DSD: up to `bytes` bytes a channel, eight samples a byte, the earliest in the most
    // significant bit (a last partial byte is padded as the file pads it).
    std::size_t ReadDsd(std::uint8_t* left, std::uint8_t* right, std::size_t bytes);
    const AudioStatus& Status() const { return m_status; }

  private:
    AudioStatus OpenWav();
    AudioStatus OpenDsf();
    AudioStatus OpenDff();
    bool Fetch(std::uint64_t offset, void* out, std::size_t n);

    ByteSource* m_source = nullptr;
    AudioInfo m_info;
    AudioStatus m_status;
    std::uint64_t m_dataOffset = 0;
    std::uint64_t m_dataBytes = 0;  // per channel for DSD
    std::uint64_t m_position = 0;   // PCM: frames; DSD: bytes a channel
    std::uint32_t m_blockSize = 0;  // DSF: bytes a channel a block
    bool m_lsbFirst = false;        // DSF with one bit per sample
    Bytes m_scratch;
};

// ---- Writers (test signals, the capture comparison's tests)

// Samples are interleaved 32-bit, left-justified; 16/24-bit files keep the high bits.
Bytes MakeWav(std::uint32_t rate, std::uint16_t channels, std::uint16_t bits,
              const std::vector<std::int32_t>& samples);
// DSD channels are MSB-first bytes of equal length; `samples` bits a channel are valid.
Bytes MakeDsf(std::uint32_t rate, const std::vector<Bytes>& channels, std::uint64_t samples);
Bytes MakeDff(std::uint32_t rate, const std::vector<Bytes>& channels);

// ---- Test signals

// A sine per channel (997 Hz left, 1499 Hz right, -6 dB unless told) with a dither that reaches
// every bit.
class PcmTone {
  public:
    // level: the sines' peak against full scale (0.5 is -6 dBFS).
    explicit PcmTone(std::uint32_t rate, double level = 0.5) : m_rate(rate), m_level(level) {}
    void Next(std::int32_t* left, std::int32_t* right, std::size_t frames);

  private:
    std::uint32_t m_rate;
    double m_level;
    std::uint64_t m_n = 0;
    std::uint32_t m_noise = 0x9E3779B9u;
};

// The same sines through a second-order sigma-delta modulator: bytes MSB first.
class DsdTone {
  public:
    explicit DsdTone(std::uint32_t rate, double level = 0.5) : m_rate(rate), m_level(level) {}
    void Next(std::uint8_t* left, std::uint8_t* right, std::size_t bytes);

  private:
    std::uint32_t m_rate;
    double m_level;
    std::uint64_t m_n = 0;
    double m_state[2][2] = {};
};

// ---- What the simulated DAC received against what was played

inline constexpr std::uint8_t kDsdSilenceByte = 0xAA;  // MSB first, as the driver pads

struct CompareResult {
    bool same = false;
    std::string message;  // where and how they differ, or what matched
};
// The capture holds the input's samples from its start, then only silence.
CompareResult CompareCapture(AudioReader& input, AudioReader& capture);

}  // namespace ferox::host
