// Shared by the kernel-streaming suites: a fresh simulated DAC, no planned allocation failures,
// the trace captured at every level.
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

inline std::basic_string<WCHAR> W(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

inline std::vector<BYTE> BytesOf(const void* p, std::size_t n) {
    const auto* b = static_cast<const BYTE*>(p);
    return {b, b + n};
}

inline KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET) {
    KSPROPERTY p;
    std::memset(&p, 0, sizeof(p));
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    return p;
}

inline KSP_PIN PinRequest(ULONG id, ULONG pin = 0) {
    KSP_PIN r;
    std::memset(&r, 0, sizeof(r));
    r.Property = Property(kKsPropSetIdPin, id);
    r.PinId = pin;
    return r;
}

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
    f.Format = {WAVE_FORMAT_EXTENSIBLE, 2, rate, rate * 8, 8, 32, 22};
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = 3;
    f.SubFormat = sub;
    return f;
}

inline WAVEFORMATEX Pcm(WORD channels, WORD bits, DWORD rate) {
    const WORD align = static_cast<WORD>(channels * bits / 8);
    return {WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0};
}

// Fails the nth allocation from now on; Reached() tells whether the code got that far.
struct FailNth {
    explicit FailNth(unsigned nth) : n(nth), start(alloc_test::Calls()) { alloc_test::FailNth(n); }
    bool Reached() {
        const bool reached = alloc_test::Calls() - start >= n;
        alloc_test::Reset();
        return reached;
    }
    unsigned n;
    unsigned long start;
};

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

    static int CountTraced(const std::string& text, int level = -1) {
        int n = 0;
        for (const auto& l : TraceLines())
            n += l.text == W(text) && (level < 0 || l.level == level) ? 1 : 0;
        return n;
    }
    static bool Traced(int level, const std::string& text) { return CountTraced(text, level) > 0; }

    template <typename F = CKsFilter>
    static F* OpenFilter() {
        HRESULT hr = E_FAIL;
        F* filter = new F(sim::DefaultPath().c_str(), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }

    // Pin 0 of the filter as a render pin set to Extensible(rate), instantiated if asked.
    static CKsAudRenPin* RenderPin(CKsFilter* f, DWORD rate = 44100, bool instantiate = true) {
        HRESULT hr = E_FAIL;
        auto* pin = new CKsAudRenPin(f, 0, &hr);
        EXPECT_EQ(hr, S_OK);
        WAVEFORMATEXTENSIBLE wfx = Extensible(rate);
        EXPECT_EQ(pin->SetFormat(&wfx.Format), S_OK);
        if (instantiate) {
            EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
        }
        return pin;
    }
};

}  // namespace ferox::test
