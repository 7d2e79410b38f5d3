#include "ks_fixture.h"

namespace ferox::test {
namespace {

using CKsFilterTest = KsTest;

TEST_F(CKsFilterTest, NullOrOverlongPathIsRefused) {
    HRESULT hr = S_OK;
    auto* f = new CKsFilter(nullptr, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_TRUE(Traced(1, "pszName cannot be NULL"));
    delete f;

    std::basic_string<WCHAR> longest(259, WCHAR('a'));
    f = new CKsFilter(longest.c_str(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(WideLength(f->m_szFilterName), 259u);
    delete f;
    longest += WCHAR('b');
    f = new CKsFilter(longest.c_str(), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(f->m_szFilterName[0], 0);
    delete f;
}

TEST_F(CKsFilterTest, OpensExclusiveAndOverlappedAndClosesOnDestruction) {
    CKsFilter* f = OpenFilter();
    const auto open = sim::Log(sim::Op::CreateFile).back();
    EXPECT_EQ(open.path, sim::DefaultPath());
    EXPECT_EQ(open.access, DWORD{GENERIC_READ | GENERIC_WRITE});
    EXPECT_EQ(open.share, 0u);
    EXPECT_EQ(open.flags, DWORD{FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED});
    EXPECT_EQ(sim::OpenHandles(), 1u);
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsFilterTest, OpenOfAPathThatNamesNoDeviceTracesPathAndError) {
    HRESULT hr = E_FAIL;
    CKsFilter f(WSTR("\\\\?\\usb#nothing"), &hr);
    EXPECT_EQ(f.Instantiate(), E_FAIL);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(f.GetHandle()));
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
    // The pin-count request is a KSP_PIN for pin 0.
    const auto first = sim::Log(sim::Op::Property).front();
    KSP_PIN want;
    std::memset(&want, 0, sizeof(want));
    want.Property.Set = kKsPropSetIdPin;
    want.Property.Id = KSPROPERTY_PIN_CTYPES;
    want.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(first.in, BytesOf(&want, sizeof(want)));
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsFilterTest, ClassificationByFlowAndCommunication) {
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
    CKsFilter* f = OpenFilter();
    EXPECT_EQ(f->EnumeratePins(), S_OK);
    EXPECT_EQ(f->m_listRenderSinkPins.GetCount(), 1u);
    EXPECT_EQ(f->m_listCaptureSourcePins.GetCount(), 1u);
    EXPECT_EQ(f->m_listRenderSourcePins.GetCount(), 1u);
    EXPECT_EQ(f->m_listCaptureSinkPins.GetCount(), 1u);
    EXPECT_EQ(f->m_listNoCommPins.GetCount(), 1u);
    EXPECT_EQ(f->m_listRenderSinkPins.GetHead()->pData,
              f->m_listCaptureSourcePins.GetHead()->pData);
    delete f;  // the BOTH pin is deleted once (ASan would tell)
}

TEST_F(CKsFilterTest, NoPinsOrOnlyBridgesIsNotViable) {
    sim::Reset(MachineWith({}));
    CKsFilter* f = OpenFilter();
    EXPECT_EQ(f->EnumeratePins(), E_FAIL);
    EXPECT_TRUE(Traced(1, "Filter is not viable. It has no pins."));
    delete f;

    sim::Reset(MachineWith({sim::BridgePin()}));
    f = OpenFilter();
    EXPECT_EQ(f->EnumeratePins(), E_FAIL);
    EXPECT_EQ(f->m_listPins.GetCount(), 1u);
    delete f;
}

TEST_F(CKsFilterTest, PinWhosePropertiesAllFailIsNoCommAndViable) {
    CKsFilter* f = OpenFilter();
    // Every read of pin 0 after the pin count (which is addressed to pin 0 too).
    sim::InjectFault({sim::Op::Property, kKsPropSetIdPin, std::nullopt, 0u},
                     {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 1, 0});
    EXPECT_EQ(f->EnumeratePins(), S_OK);  // pin 1 (bridge) unclassified, pin 0 no comm
    EXPECT_EQ(f->m_listNoCommPins.GetCount(), 1u);
    delete f;
}

TEST_F(CKsFilterTest, PinCountThatCannotBeReadClassifiesNothing) {
    CKsFilter* f = OpenFilter();
    sim::InjectFault({sim::Op::Property, kKsPropSetIdPin, ULONG{KSPROPERTY_PIN_CTYPES}},
                     {sim::Action::Fail});
    EXPECT_EQ(f->EnumeratePins(), E_FAIL);
    EXPECT_EQ(f->m_listPins.GetCount(), 0u);
    EXPECT_TRUE(Traced(1, "Filter is not viable. It has no pins."));
    delete f;
}

TEST_F(CKsFilterTest, EnumeratesNodesInReplyOrderAndAgain) {
    CKsFilter* f = OpenFilter();
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(f->EnumerateNodes(), S_OK);
        ASSERT_EQ(f->m_listNodes.GetCount(), 3u);
        auto* pos = f->m_listNodes.GetHead();
        CKsNode* node = nullptr;
        ULONG i = 0;
        while (f->m_listNodes.GetNext(&pos, &node)) {
            EXPECT_EQ(node->m_nId, i);
            EXPECT_EQ(node->m_guidType, sim::DefaultMachine().interfaces[0].filter.nodes[i]);
            ++i;
        }
    }
    sim::InjectFault({sim::Op::Property, kKsPropSetIdTopology}, {sim::Action::Fail});
    EXPECT_EQ(f->EnumerateNodes(), E_FAIL);
    EXPECT_EQ(f->m_listNodes.GetCount(), 0u);
    EXPECT_TRUE(Traced(4, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
    delete f;
}

TEST_F(CKsFilterTest, NodeReadThatFailsAfterTheSizeQueryLeavesNoNodes) {
    CKsFilter* f = OpenFilter();
    sim::InjectFault({sim::Op::Property, kKsPropSetIdTopology, std::nullopt, std::nullopt, false},
                     {sim::Action::Fail, ERROR_GEN_FAILURE});
    EXPECT_EQ(f->EnumerateNodes(), E_FAIL);
    EXPECT_EQ(f->m_listNodes.GetCount(), 0u);
    delete f;
}

TEST_F(CKsFilterTest, DestroyingAnUnopenedFilterClosesNothing) {
    HRESULT hr;
    auto* f = new CKsFilter(WSTR("x"), &hr);
    delete f;
    EXPECT_TRUE(sim::Log(sim::Op::CloseHandle).empty());
}

TEST_F(CKsFilterTest, EveryAllocationFailureIsSurvived) {
    for (unsigned n = 1; n < 200; ++n) {
        sim::Reset();
        CKsFilter* f = OpenFilter();
        const auto before = alloc_test::Calls();
        alloc_test::FailNth(n);
        const HRESULT pins = f->EnumeratePins();
        const HRESULT nodes = f->EnumerateNodes();
        const bool reached = alloc_test::Calls() - before >= n;
        alloc_test::Reset();
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
