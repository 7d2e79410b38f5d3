// The simulated DAC's record for people: what a render pin received, written to a file that is
// complete when the pin closes. Each new pin starts the file afresh.
//   *.wav  the carrier frames exactly as received: 32-bit stereo PCM at the carrier rate
//   *.dsf  the DSD stream recovered from the carrier (DSD streams only; PCM writes nothing)
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace ferox::sim {

class CaptureFile final : public StreamObserver {
  public:
    explicit CaptureFile(std::string path);
    ~CaptureFile() override;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    void PinCreated(HANDLE pin, const BYTE* format, ULONG formatSize) override;
    void VendorMode(HANDLE pin, ULONG mode) override;
    void Received(HANDLE pin, const BYTE* data, std::size_t size) override;
    void PinClosed(HANDLE pin) override;

    // A write that failed (disk full, no such folder): the file is left as far as it got.
    bool Failed() const { return m_failed; }

  private:
    void Start();
    void Finish();
    void Put(const void* data, std::size_t size);
    void FlushDsdBlocks(bool last);

    std::string m_path;
    bool m_dsf = false;
    HANDLE m_pin = nullptr;
    std::uint32_t m_carrierRate = 0;
    bool m_dsdMode = false;
    bool m_failed = false;
    std::FILE* m_file = nullptr;
    std::uint64_t m_bytes = 0;           // WAV: carrier bytes; DSF: bytes a channel
    std::vector<std::uint8_t> m_dsd[2];  // DSF: recovered bytes not yet written as blocks
    std::uint8_t m_partial[8] = {};      // carrier bytes of a frame split across writes
    std::size_t m_partialSize = 0;
};

// The report of a closed pin for host-side tools, one "name=value" a line: bytes, writes,
// underruns, max_gap_ms, turnarounds, turnaround_p99_us, turnaround_max_us, buffer_ms. Each
// pin that closes writes it afresh.
bool WritePinReport(const std::string& path, const PinState& state, DWORD bufferMs);
// Where the report goes: FEROX_SIM_REPORT's file when set, else the capture's path + ".txt",
// else nowhere (empty).
std::string PinReportPath(const char* capture, const char* report);

// Sets the simulated-DAC DLL up: the machine of FEROX_SIM_PROFILE (default: the built-in model),
// made to misbehave as FEROX_SIM_FAULT says (see host_faults.h), real-time playing with a device
// buffer of FEROX_SIM_BUFFER_MS (default: the profile's, or 40), neither a request log nor an
// in-memory capture; when FEROX_SIM_CAPTURE names a file, the capture file; the pin report as
// PinReportPath says.
void SetUpForHosts();

}  // namespace ferox::sim
