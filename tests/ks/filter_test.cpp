#include "ks_fixture.h"

namespace ferox::test {
namespace {

using CKsFilterTest = KsTest;

TEST_F(CKsFilterTest, PathsAndOpening) {
    HRESULT hr = S_OK;
    delete new CKsFilter(nullptr, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_TRUE(Traced(1, "pszName cannot be NULL"));
    // 259 characters fit; 260 are refused, never copied past the buffer.
    std::basic_string<WCHAR> path(259, WCHAR('a'));
    for (HRESULT want : {S_OK, E_INVALIDARG}) {
        auto* f = new CKsFilter(path.c_str(), &hr);
        EXPECT_EQ(hr, want);
        EXPECT_EQ(WideLength(f->m_szFilterName), want == S_OK ? 259u : 0u);
        delete f;  // never opened: closes nothing
        path += WCHAR('b');
    }
    EXPECT_TRUE(sim::Log(sim::Op::CloseHandle).empty());

    CKsFilter* f = OpenFilter();
    const auto open = sim::Log(sim::Op::CreateFile).back();
    EXPECT_EQ(open.path, sim::DefaultPath());
    EXPECT_EQ(open.access, DWORD{GENERIC_READ | GENERIC_WRITE});
    EXPECT_EQ(open.share, 0u);
    EXPECT_EQ(open.flags, DWORD{FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED});
    EXPECT_EQ(sim::OpenHandles(), 1u);
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);

    CKsFilter none(WSTR("\\\\?\\usb#nothing"), &hr);
    EXPECT_EQ(none.Instantiate(), E_FAIL);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(none.GetHandle()));
    EXPECT_TRUE(Traced(1,
                       "CKsFilter::Instantiate: CreateFile failed for device \\\\?\\usb#nothing.  "
                       "ErrorCode = 0x00000003"));
}

TEST_F(CKsFilterTest, EnumeratesOnePinPerTypeAndClassifiesThem) {
    CKsFilter* f = OpenFilter();
    EXPECT_EQ(f->EnumeratePins(), S_OK);
    EXPECT_EQ(f->m_listPins.GetCount(), 2u);
    EXPECT_EQ(f->m_listRenderSinkPins.GetCount(), 1u);
    EXPECT_EQ(f->m_listCaptureSourcePins.GetCount(), 0u);
    EXPECT_EQ(f->m_listNoCommPins.GetCount(), 0u);
    EXPECT_TRUE(Traced(5, "Pin communication type not recognized"));  // the bridge
    const KSP_PIN count = PinRequest(KSPROPERTY_PIN_CTYPES);
    EXPECT_EQ(sim::Log(sim::Op::Property).front().in, BytesOf(&count, sizeof(count)));
    delete f;

    auto pin = [](KSPIN_COMMUNICATION c, KSPIN_DATAFLOW d) {
        sim::Pin p = sim::RenderPin();
        p.communication = c;
        p.dataFlow = d;
        return p;
    };
    sim::Reset(MachineWith({pin(KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN),
                            pin(KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT),
                            pin(KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT),
                            pin(KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN)}));
    f = OpenFilter();
    EXPECT_EQ(f->EnumeratePins(), S_OK);
    for (auto* list : {&f->m_listRenderSinkPins, &f->m_listCaptureSourcePins,
                       &f->m_listRenderSourcePins, &f->m_listCaptureSinkPins, &f->m_listNoCommPins})
        EXPECT_EQ(list->GetCount(), 1u);
    EXPECT_EQ(f->m_listRenderSinkPins.GetHead()->pData,
              f->m_listCaptureSourcePins.GetHead()->pData);
    delete f;  // the BOTH pin is deleted once (ASan would tell)
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsFilterTest, FiltersThatAreNotViable) {
    for (const auto& pins : {std::vector<sim::Pin>{}, std::vector<sim::Pin>{sim::BridgePin()}}) {
        sim::Reset(MachineWith(pins));
        CKsFilter* f = OpenFilter();
        EXPECT_EQ(f->EnumeratePins(), E_FAIL);
        EXPECT_EQ(f->m_listPins.GetCount(), pins.size());
        delete f;
    }
    EXPECT_TRUE(Traced(1, "Filter is not viable. It has no pins."));

    // The pin count cannot be read.
    sim::Reset();
    TraceLines().clear();
    CKsFilter* f = OpenFilter();
    sim::InjectFault({sim::Op::Property, kKsPropSetIdPin, ULONG{KSPROPERTY_PIN_CTYPES}},
                     {sim::Action::Fail});
    EXPECT_EQ(f->EnumeratePins(), E_FAIL);
    EXPECT_EQ(f->m_listPins.GetCount(), 0u);
    EXPECT_TRUE(Traced(1, "Filter is not viable. It has no pins."));
    // Every read of pin 0 after the pin count fails: a no-communication pin, still viable.
    sim::InjectFault({sim::Op::Property, kKsPropSetIdPin, std::nullopt, 0u},
                     {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 1, 0});
    EXPECT_EQ(f->EnumeratePins(), S_OK);
    EXPECT_EQ(f->m_listNoCommPins.GetCount(), 1u);
    delete f;
}

TEST_F(CKsFilterTest, EnumeratesNodesInReplyOrderAndAgain) {
    CKsFilter* f = OpenFilter();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(f->EnumerateNodes(), S_OK);
        ASSERT_EQ(f->m_listNodes.GetCount(), 3u);
        auto* pos = f->m_listNodes.GetHead();
        CKsNode* node = nullptr;
        for (ULONG i = 0; f->m_listNodes.GetNext(&pos, &node); ++i) {
            EXPECT_EQ(node->m_nId, i);
            EXPECT_EQ(node->m_guidType, sim::DefaultMachine().interfaces[0].filter.nodes[i]);
        }
    }
    sim::InjectFault({sim::Op::Property, kKsPropSetIdTopology}, {sim::Action::Fail});
    EXPECT_EQ(f->EnumerateNodes(), E_FAIL);
    EXPECT_EQ(f->m_listNodes.GetCount(), 0u);
    EXPECT_TRUE(Traced(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
    // The read after the size query fails.
    EXPECT_EQ(f->EnumerateNodes(), S_OK);
    sim::InjectFault({sim::Op::Property, kKsPropSetIdTopology, std::nullopt, std::nullopt, false},
                     {sim::Action::Fail, ERROR_GEN_FAILURE});
    EXPECT_EQ(f->EnumerateNodes(), E_FAIL);
    EXPECT_EQ(f->m_listNodes.GetCount(), 0u);
    delete f;
}

TEST_F(CKsFilterTest, EveryAllocationFailureIsSurvived) {
    for (unsigned n = 1; n < 200; ++n) {
        sim::Reset();
        CKsFilter* f = OpenFilter();
        FailNth fail(n);
        const HRESULT pins = f->EnumeratePins();
        const HRESULT nodes = f->EnumerateNodes();
        const bool reached = fail.Reached();
        EXPECT_TRUE(pins == S_OK || pins == E_OUTOFMEMORY || pins == E_FAIL) << n;
        EXPECT_TRUE(nodes == S_OK || nodes == E_FAIL || nodes == E_OUTOFMEMORY) << n;
        delete f;
        EXPECT_EQ(sim::OpenHandles(), 0u);
        if (!reached)
            break;
    }
}

}  // namespace
}  // namespace ferox::test
