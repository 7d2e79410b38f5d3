#include "ks_fixture.h"

namespace ferox::test {
namespace {

using CKsAudPinTest = KsTest;
using CKsAudFilterTest = KsTest;

TEST_F(CKsAudPinTest, CreationRequestIsBuiltByteForByteAndPositionIsRead) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_nPinType, 1u);
    const std::size_t plain = sizeof(void*) == 4 ? 146 : sizeof(KSPIN_CONNECT) + 82;
    const std::size_t extensible = sizeof(void*) == 4 ? 168 : sizeof(KSPIN_CONNECT) + 104;
    EXPECT_EQ(pin->m_cbPinCreate, plain);
    WAVEFORMATEXTENSIBLE wfx = Extensible(96000);
    ASSERT_EQ(pin->SetFormat(&wfx.Format), S_OK);
    EXPECT_EQ(pin->m_cbPinCreate, extensible);
    EXPECT_EQ(pin->GetPosition(nullptr), E_INVALIDARG);
    KSAUDIO_POSITION pos{1, 1};
    EXPECT_EQ(pin->GetPosition(&pos), E_FAIL);  // not instantiated
    EXPECT_TRUE(Traced(1, "Failed to retrieve audio stream position - 0x80004005"));
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_EQ(pin->GetPosition(&pos), S_OK);
    EXPECT_EQ(pos.WriteOffset, 0u);

    std::vector<BYTE> want(extensible, 0);
    KSPIN_CONNECT c;
    std::memset(&c, 0, sizeof(c));
    c.Interface.Set = kKsInterfaceSetIdStandard;
    c.Medium.Set = kKsMediumSetIdStandard;
    c.Priority = {KSPRIORITY_NORMAL, 1};
    std::memcpy(want.data(), &c, sizeof(c));
    KSDATAFORMAT df;
    std::memset(&df, 0, sizeof(df));
    df.FormatSize = 104;
    df.SampleSize = 8;
    df.MajorFormat = kKsDataFormatTypeAudio;
    df.SubFormat = kKsDataFormatSubtypePcm;
    df.Specifier = kKsDataFormatSpecifierWaveFormatEx;
    std::memcpy(want.data() + sizeof(c), &df, sizeof(df));
    std::memcpy(want.data() + sizeof(c) + sizeof(df), &wfx, 40);
    EXPECT_EQ(sim::Log(sim::Op::CreatePin).back().in, want);
    EXPECT_EQ(sim::Pins()[0].connect, want);

    // Back to a plain PCM record: 18 bytes whatever cbSize says.
    WAVEFORMATEX pcm = Pcm(2, 32, 48000);
    pcm.cbSize = 22;
    ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->m_cbPinCreate, plain);
    EXPECT_EQ(pin->m_pksDataFormatWfx->DataFormat.FormatSize, 82u);
    EXPECT_EQ(pin->SetFormat(nullptr), E_FAIL);
    EXPECT_TRUE(Traced(1, "pwfx or m_pksDataFormatWfx are NULL"));
    delete pin;
    delete f;
}

TEST_F(CKsAudPinTest, FormatsAreJudgedAgainstTheRanges) {
    sim::Pin p = sim::RenderPin();
    p.dataRanges = {sim::AudioRange(2, 16, 32, 44100, 192000)};
    sim::Reset(MachineWith({p}));
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudPin(f, 0, &hr);
    ASSERT_EQ(hr, S_OK);
    for (WAVEFORMATEX w : {Pcm(2, 32, 192000), Pcm(1, 24, 44100)})
        EXPECT_TRUE(pin->IsFormatSupported(&w));
    for (WAVEFORMATEX w :
         {Pcm(3, 32, 48000), Pcm(2, 8, 48000), Pcm(2, 40, 48000), Pcm(2, 32, 22050)})
        EXPECT_FALSE(pin->IsFormatSupported(&w));
    WAVEFORMATEXTENSIBLE x = Extensible(48000);
    EXPECT_TRUE(pin->IsFormatSupported(&x.Format));
    x.SubFormat = kKsDataFormatSubtypeIeeeFloat;
    EXPECT_FALSE(pin->IsFormatSupported(&x.Format));
    delete pin;
    delete f;
}

TEST_F(CKsAudPinTest, AudioChecksOnInterfacesMediumsAndRanges) {
    sim::Pin looped = sim::RenderPin();
    looped.interfaces = {sim::StandardInterface(KSINTERFACE_STANDARD_LOOPED_STREAMING)};
    sim::Pin noRanges = sim::RenderPin();
    noRanges.dataRanges.clear();
    sim::Pin order = sim::RenderPin();
    order.dataRanges = {sim::AudioRange(2, 32, 32, 44100, 48000, kKsDataFormatSpecifierNone),
                        sim::AudioRange(2, 32, 32, 44100, 48000)};
    sim::Pin bad = sim::RenderPin();
    bad.dataRanges = {sim::AudioRange(2, 32, 32, 1, 2)};
    reinterpret_cast<KSDATARANGE*>(bad.dataRanges[0].data())->FormatSize = 0;  // must not loop
    sim::Reset(MachineWith({looped, noRanges, order, bad}));
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    delete new CKsAudPin(f, 0, &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(Traced(1, "No standard streaming interfaces on the pin"));
    delete new CKsAudPin(f, 1, &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_TRUE(Traced(1, "No audio dataranges on the pin"));
    auto* pin = new CKsAudPin(f, 2, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_listDataRange.GetCount(), 1u);
    delete pin;
    delete new CKsAudPin(f, 3, &hr);
    EXPECT_EQ(hr, E_FAIL);
    delete f;
}

TEST_F(CKsAudFilterTest, EnumeratesAudioPinsByCommunicationAndFlow) {
    sim::Pin source = sim::RenderPin();
    source.communication = KSPIN_COMMUNICATION_SOURCE;
    source.dataFlow = KSPIN_DATAFLOW_OUT;
    sim::Pin none = sim::RenderPin();
    none.communication = KSPIN_COMMUNICATION_NONE;
    sim::Pin capture = sim::RenderPin();
    capture.dataFlow = KSPIN_DATAFLOW_OUT;
    sim::Reset(MachineWith({sim::RenderPin(), source, none, capture}));
    auto* f = OpenFilter<CKsAudRenFilter>();
    EXPECT_EQ(f->m_nFilterType, 1u);
    EXPECT_EQ(f->EnumeratePins(), S_OK);
    ASSERT_EQ(f->m_listPins.GetCount(), 3u);
    EXPECT_TRUE(Traced(1, "Pin communication value doesn't make sense"));
    auto* pos = f->m_listPins.GetHead();
    CKsPin* p = nullptr;
    f->m_listPins.GetNext(&pos, &p);
    EXPECT_NE(dynamic_cast<CKsAudRenPin*>(p), nullptr);
    f->m_listPins.GetNext(&pos, &p);
    EXPECT_EQ(p->m_nPinType, 0u);
    f->m_listPins.GetNext(&pos, &p);
    EXPECT_NE(dynamic_cast<CKsAudCapPin*>(p), nullptr);
    delete f;
}

TEST_F(CKsAudFilterTest, CreatesTheRenderPinForTheFormat) {
    auto* f = OpenFilter<CKsAudRenFilter>();
    ASSERT_EQ(f->EnumeratePins(), S_OK);
    WAVEFORMATEXTENSIBLE wfx = Extensible(352800);
    CKsAudPin* pin = f->CreateRenderPin(&wfx.Format, FALSE);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(sim::Pins().size(), 1u);
    bool traced = false;
    for (const auto& l : TraceLines()) {
        traced = traced ||
                 (l.level == 5 &&
                  l.text.rfind(W("Successfully instantiated Render Pin.  Handle = 0x"), 0) == 0);
    }
    EXPECT_TRUE(traced);
    pin->ClosePin();
    // A failed instantiation is retried from the head of the list.
    sim::InjectFault({sim::Op::CreatePin}, {sim::Action::Fail, ERROR_GEN_FAILURE});
    pin = f->CreateRenderPin(&wfx.Format, FALSE);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(Traced(1, "Failed to instantiate Render Pin"));
    EXPECT_EQ(sim::Log(sim::Op::CreatePin).size(), 3u);
    pin->ClosePin();
    // A rate outside every range: the level-4 notice, then the fallback, which the device refuses.
    WAVEFORMATEXTENSIBLE slow = Extensible(8000);
    EXPECT_EQ(f->CreateRenderPin(&slow.Format, FALSE), nullptr);
    EXPECT_TRUE(Traced(4, "Could not find a Render pin that supports the given wave format"));
    EXPECT_TRUE(Traced(6, "CKsAudRenFilter::CreateRenderPin Leave, returning 0x80070491"));
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsAudFilterTest, NoValidPinsAndEveryAllocationFailure) {
    sim::Reset(MachineWith({sim::BridgePin()}));
    auto* f = OpenFilter<CKsAudRenFilter>();
    EXPECT_EQ(f->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(Traced(1, "No valid pins found on the filter"));
    WAVEFORMATEXTENSIBLE wfx = Extensible(44100);
    EXPECT_EQ(f->CreateRenderPin(&wfx.Format, FALSE), nullptr);
    EXPECT_TRUE(Traced(6, "CKsAudRenFilter::CreateRenderPin Leave, returning 0x80004005"));
    delete f;

    for (unsigned n = 1; n < 300; ++n) {
        sim::Reset();
        auto* g = OpenFilter<CKsAudRenFilter>();
        FailNth fail(n);
        const HRESULT hr = g->EnumeratePins();
        CKsAudPin* pin = SUCCEEDED(hr) ? g->CreateRenderPin(&wfx.Format, FALSE) : nullptr;
        const bool reached = fail.Reached();
        EXPECT_TRUE(hr == S_OK || hr == E_OUTOFMEMORY || hr == E_FAIL) << n;
        if (pin != nullptr)
            pin->ClosePin();
        delete g;
        EXPECT_EQ(sim::OpenHandles(), 0u) << n;
        if (!reached)
            break;
    }
}

}  // namespace
}  // namespace ferox::test
