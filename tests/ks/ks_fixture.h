// Shared by the kernel-streaming suites: a fresh simulated DAC, no planned allocation failures,
// the trace captured at every level, and handle-leak checks.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/trace.h"
#include "ks/audio_filter.h"
#include "platform/alloc.h"
#include "platform/wide.h"
#include "sim/sim.h"

namespace ferox::test {

struct TraceLine {
    int level;
    std::basic_string<WCHAR> text;
};

inline std::vector<TraceLine>& TraceLines() {
    static std::vector<TraceLine> lines;
    return lines;
}

inline std::basic_string<WCHAR> W(const char* ascii) {
    std::basic_string<WCHAR> s;
    while (*ascii != 0)
        s += static_cast<WCHAR>(*ascii++);
    return s;
}

class KsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        alloc_test::Reset();
        KsUserLibrary::Forget();
        TraceLines().clear();
        trace_test::SetSink([](int level, const WCHAR* line) {
            TraceLines().push_back({level, line});
        });
        SetTraceLevel(6);
    }
    void TearDown() override {
        alloc_test::Reset();
        SetTraceLevel(0);
        trace_test::SetSink(nullptr);
        sim::Reset();
    }

    // Whether a line with exactly this text was traced at this level.
    static bool Traced(int level, const char* text) {
        const auto wanted = W(text);
        for (const auto& l : TraceLines()) {
            if (l.level == level && l.text == wanted)
                return true;
        }
        return false;
    }
    static int CountTraced(const char* text) {
        const auto wanted = W(text);
        int n = 0;
        for (const auto& l : TraceLines())
            n += l.text == wanted ? 1 : 0;
        return n;
    }

    // An opened filter on the simulated DAC (or whatever machine the test set up).
    template <typename F = CKsFilter>
    static F* OpenFilter() {
        HRESULT hr = E_FAIL;
        const auto path = sim::DefaultPath();
        F* filter = new F(path.c_str(), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }

    static std::vector<BYTE> BytesOf(const void* p, std::size_t n) {
        const auto* b = static_cast<const BYTE*>(p);
        return std::vector<BYTE>(b, b + n);
    }
};

// A one-interface machine whose filter has these pins.
inline sim::Machine MachineWith(std::vector<sim::Pin> pins) {
    sim::Machine m = sim::DefaultMachine();
    m.interfaces[0].filter.pins = std::move(pins);
    return m;
}

// The driver's own format: 32-bit stereo PCM as WAVEFORMATEXTENSIBLE.
inline WAVEFORMATEXTENSIBLE Extensible(DWORD rate, const GUID& sub = kKsDataFormatSubtypePcm) {
    WAVEFORMATEXTENSIBLE f;
    std::memset(&f, 0, sizeof(f));
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = 8;
    f.Format.nAvgBytesPerSec = rate * 8;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = 3;
    f.SubFormat = sub;
    return f;
}

inline WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate) {
    WAVEFORMATEX f;
    std::memset(&f, 0, sizeof(f));
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

}  // namespace ferox::test
