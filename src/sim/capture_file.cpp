#include "sim/capture_file.h"

#include <cstdlib>
#include <cstring>

#include "sim/host_faults.h"

namespace ferox::sim {

namespace {

constexpr std::size_t kDsfBlock = 4096;
constexpr long kDsfHeader = 28 + 52 + 12;

std::uint8_t ReverseBits(std::uint8_t b) {
    b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

void Le(std::uint8_t* p, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool EndsWith(const std::string& s, const char* tail) {
    const std::size_t n = std::strlen(tail);
    if (s.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 0x20);
        if (c != tail[i])
            return false;
    }
    return true;
}

}  // namespace

CaptureFile::CaptureFile(std::string path)
    : m_path(std::move(path)), m_dsf(EndsWith(m_path, ".dsf")) {}

CaptureFile::~CaptureFile() {
    Finish();
}

void CaptureFile::PinCreated(HANDLE pin, const BYTE* format, ULONG formatSize) {
    Finish();
    m_pin = pin;
    m_dsdMode = false;
    m_carrierRate = 0;
    // KSDATAFORMAT, then the wave format: nSamplesPerSec at offset 4 of it.
    if (formatSize >= sizeof(KSDATAFORMAT) + 8) {
        std::uint32_t rate;
        std::memcpy(&rate, format + sizeof(KSDATAFORMAT) + 4, sizeof rate);
        m_carrierRate = rate;
    }
    // A WAV starts at once; a DSF waits for the mode, which follows the pin's creation.
    if (!m_dsf)
        Start();
}

void CaptureFile::VendorMode(HANDLE pin, ULONG mode) {
    if (pin != m_pin)
        return;
    if (mode == kVendorModeDsd && !m_dsdMode) {
        m_dsdMode = true;
        if (m_dsf && !m_file)
            Start();
    } else if (mode == kVendorModePcm) {
        m_dsdMode = false;
    }
}

void CaptureFile::Start() {
    m_file = std::fopen(m_path.c_str(), "wb");
    m_failed = m_file == nullptr;
    m_bytes = 0;
    m_partialSize = 0;
    m_dsd[0].clear();
    m_dsd[1].clear();
    // Sizes are filled in at the close.
    const std::uint8_t zeros[kDsfHeader] = {};
    Put(zeros, m_dsf ? kDsfHeader : 44);
}

void CaptureFile::Put(const void* data, std::size_t size) {
    if (m_file && std::fwrite(data, 1, size, m_file) != size)
        m_failed = true;
}

void CaptureFile::Received(HANDLE pin, const BYTE* data, std::size_t size) {
    if (pin != m_pin || !m_file)
        return;
    if (!m_dsf) {
        Put(data, size);
        m_bytes += size;
        return;
    }
    // Each carrier word holds 32 samples of one channel, bytes reversed: undo that, and store
    // them least significant bit first, as DSF has them.
    for (std::size_t i = 0; i < size; ++i) {
        m_partial[m_partialSize++] = data[i];
        if (m_partialSize < 8)
            continue;
        m_partialSize = 0;
        for (int c = 0; c < 2; ++c) {
            for (int b = 3; b >= 0; --b)
                m_dsd[c].push_back(ReverseBits(m_partial[4 * c + b]));
        }
    }
    FlushDsdBlocks(false);
}

void CaptureFile::FlushDsdBlocks(bool last) {
    std::size_t done = 0;
    while (m_dsd[0].size() - done >= kDsfBlock || (last && m_dsd[0].size() > done)) {
        const std::size_t n = std::min(kDsfBlock, m_dsd[0].size() - done);
        for (int c = 0; c < 2; ++c) {
            Put(m_dsd[c].data() + done, n);
            static const std::uint8_t kPad[kDsfBlock] = {};
            Put(kPad, kDsfBlock - n);
        }
        m_bytes += n;
        done += n;
    }
    for (int c = 0; c < 2; ++c)
        m_dsd[c].erase(m_dsd[c].begin(), m_dsd[c].begin() + done);
}

void CaptureFile::PinClosed(HANDLE pin) {
    if (pin == m_pin)
        Finish();
}

void CaptureFile::Finish() {
    m_pin = nullptr;
    if (!m_file)
        return;
    if (!m_dsf) {
        // RIFF sizes are 32 bits: a capture past 4 GB keeps its first 4 GB readable.
        const std::uint32_t data =
            m_bytes > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<std::uint32_t>(m_bytes);
        std::uint8_t h[44] = {'R', 'I', 'F', 'F', 0,   0,   0,   0,
                              'W', 'A', 'V', 'E', 'f', 'm', 't', ' '};
        Le(h + 4, 36 + static_cast<std::uint64_t>(data), 4);
        Le(h + 16, 16, 4);
        Le(h + 20, 1, 2);
        Le(h + 22, 2, 2);
        Le(h + 24, m_carrierRate, 4);
        Le(h + 28, static_cast<std::uint64_t>(m_carrierRate) * 8, 4);
        Le(h + 32, 8, 2);
        Le(h + 34, 32, 2);
        std::memcpy(h + 36, "data", 4);
        Le(h + 40, data, 4);
        if (std::fseek(m_file, 0, SEEK_SET) != 0)
            m_failed = true;
        Put(h, sizeof h);
    } else {
        FlushDsdBlocks(true);
        const std::uint64_t blocks = (m_bytes + kDsfBlock - 1) / kDsfBlock;
        const std::uint64_t dataBytes = blocks * kDsfBlock * 2;
        std::uint8_t h[kDsfHeader] = {'D', 'S', 'D', ' '};
        Le(h + 4, 28, 8);
        Le(h + 12, kDsfHeader + dataBytes, 8);
        std::uint8_t* f = h + 28;
        std::memcpy(f, "fmt ", 4);
        Le(f + 4, 52, 8);
        Le(f + 12, 1, 4);                                               // version
        Le(f + 16, 0, 4);                                               // raw DSD
        Le(f + 20, 2, 4);                                               // stereo
        Le(f + 24, 2, 4);                                               // channels
        Le(f + 28, static_cast<std::uint64_t>(m_carrierRate) * 64, 4);  // the carrier is rate/64
        Le(f + 32, 1, 4);            // least significant bit first
        Le(f + 36, m_bytes * 8, 8);  // samples a channel
        Le(f + 44, kDsfBlock, 4);
        std::memcpy(h + 80, "data", 4);
        Le(h + 84, 12 + dataBytes, 8);
        if (std::fseek(m_file, 0, SEEK_SET) != 0)
            m_failed = true;
        Put(h, sizeof h);
    }
    if (std::fclose(m_file) != 0)
        m_failed = true;
    m_file = nullptr;
}

namespace {

// The simulated-DAC DLL's observer: the capture file when one is asked for, and the report of
// every pin's pace for host-side tools.
class HostObserver final : public StreamObserver {
  public:
    HostObserver(CaptureFile* capture, std::string report)
        : m_capture(capture), m_report(std::move(report)) {}
    void PinCreated(HANDLE pin, const BYTE* format, ULONG formatSize) override {
        if (m_capture)
            m_capture->PinCreated(pin, format, formatSize);
    }
    void VendorMode(HANDLE pin, ULONG mode) override {
        if (m_capture)
            m_capture->VendorMode(pin, mode);
    }
    void Received(HANDLE pin, const BYTE* data, std::size_t size) override {
        if (m_capture)
            m_capture->Received(pin, data, size);
    }
    void PinFinished(HANDLE, const PinState& state) override {
        if (!m_report.empty())
            WritePinReport(m_report, state, m_bufferMs);
    }
    void PinClosed(HANDLE pin) override {
        if (m_capture)
            m_capture->PinClosed(pin);
    }
    void SetBufferMs(DWORD ms) { m_bufferMs = ms; }

  private:
    CaptureFile* m_capture;
    std::string m_report;
    DWORD m_bufferMs = 40;
};

}  // namespace

std::string PinReportPath(const char* capture, const char* report) {
    if (report && *report)
        return report;
    if (capture && *capture)
        return std::string(capture) + ".txt";
    return {};
}

bool WritePinReport(const std::string& path, const PinState& state, DWORD bufferMs) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::fprintf(f,
                 "bytes=%llu\nwrites=%u\nunderruns=%u\nmax_gap_ms=%.3f\nturnarounds=%u\n"
                 "turnaround_p99_us=%.1f\nturnaround_max_us=%.1f\nbuffer_ms=%u\n",
                 static_cast<unsigned long long>(state.bytesReceived), state.writes,
                 state.underruns, state.maxWriteGapMs, state.turnarounds, state.turnaroundP99Us,
                 state.turnaroundMaxUs, static_cast<unsigned>(bufferMs));
    return std::fclose(f) == 0;
}

void SetUpForHosts() {
    const Profile& profile = EnvironmentProfile();
    std::string bad;
    std::optional<HostFaults> faults =
        ParseHostFaults(std::getenv("FEROX_SIM_FAULT"), &bad, profile.machine);
    if (!faults) {
        // Said where a person running a host sees it; the DAC then behaves.
        std::fprintf(stderr,
                     "simulated DAC: FEROX_SIM_FAULT: '%s' is not one of absent, busy, no-dsd, "
                     "slow[=MS], unplug-after=SECONDS; ignored\n",
                     bad.c_str());
        faults = HostFaults{profile.machine, {}};
    }
    Reset(faults->machine);
    for (const auto& [match, fault] : faults->faults)
        InjectFault(match, fault);
    DWORD bufferMs = profile.bufferMs.value_or(40);
    if (const char* ms = std::getenv("FEROX_SIM_BUFFER_MS")) {
        const long v = std::strtol(ms, nullptr, 10);
        if (v > 0 && v <= 10000)
            bufferMs = static_cast<DWORD>(v);
    }
    SetWriteMode(WriteMode::RealTime, bufferMs);
    // Nothing in a host reads the request log or the memory capture: keeping them would grow
    // the process with every second played.
    SetLogLimit(0);
    SetMemoryCapture(false);
    const char* path = std::getenv("FEROX_SIM_CAPTURE");
    // Live as long as the process: the simulator may report to them until the end.
    CaptureFile* capture = path && *path ? new CaptureFile(path) : nullptr;
    static HostObserver* observer =
        new HostObserver(capture, PinReportPath(path, std::getenv("FEROX_SIM_REPORT")));
    observer->SetBufferMs(bufferMs);
    SetStreamObserver(observer);
}

}  // namespace ferox::sim
