#include "ks_fixture.h"

#include "platform/device.h"

namespace ferox::test {
namespace {

class CKsIrpTargetTest : public KsTest {
  protected:
    // A filter handle opened directly on the simulated DAC, and a target over it.
    struct Target : CKsIrpTarget {
        explicit Target(HANDLE h) : CKsIrpTarget(h) {}
        ~Target() { SafeCloseHandle(m_handle); }
    };
    static HANDLE Open() {
        const auto path = sim::DefaultPath();
        return Device().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                    nullptr);
    }
    static KSP_PIN PinRequest(ULONG id, ULONG pin = 0) {
        KSP_PIN r;
        std::memset(&r, 0, sizeof(r));
        r.Property.Set = kKsPropSetIdPin;
        r.Property.Id = id;
        r.Property.Flags = KSPROPERTY_TYPE_GET;
        r.PinId = pin;
        return r;
    }
};

TEST_F(CKsIrpTargetTest, HandleValidity) {
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(nullptr));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(reinterpret_cast<HANDLE>(ULONG_PTR{4})));
}

TEST_F(CKsIrpTargetTest, SafeCloseClosesOnceAndLeavesInvalid) {
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    h = Open();
    ASSERT_EQ(sim::OpenHandles(), 1u);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenHandles(), 0u);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SafeCloseHandle() Enter"));
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SafeCloseHandle() Leave"));
}

TEST_F(CKsIrpTargetTest, InvalidHandleSendsNothingAndKeepsTheCount) {
    ULONG count = 77;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, nullptr, 0, nullptr,
                                      0, &count),
              E_FAIL);
    EXPECT_EQ(count, 77u);
    EXPECT_TRUE(sim::Log(sim::Op::Property).empty());
    EXPECT_TRUE(Traced(1, "CKsIrpTarget::SyncIoctl Invalid Handle"));
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SyncIoctl Leave, returning 0x80004005"));
}

TEST_F(CKsIrpTargetTest, SizeQueryReportsTheSizeOnlyWithoutAnOutputBuffer) {
    Target t(Open());
    KSP_PIN r = PinRequest(KSPROPERTY_PIN_DATARANGES);
    ULONG cb = 0;
    EXPECT_EQ(
        CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &r, sizeof(r), nullptr, 0, &cb),
        S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSDATARANGE_AUDIO));
    // The same answer to a request with a buffer that is too small is a failure.
    BYTE small[16];
    cb = 5;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &r, sizeof(r), small,
                                      sizeof(small), &cb),
              E_FAIL);
    EXPECT_EQ(cb, 0u);
    // And to another control code.
    sim::InjectFault({sim::Op::OtherIoctl}, {sim::Action::Fail, ERROR_MORE_DATA});
    EXPECT_EQ(
        CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_METHOD, &r, sizeof(r), nullptr, 0, nullptr),
        E_FAIL);
}

TEST_F(CKsIrpTargetTest, SizeQueryQuirkIsAcceptedToo) {
    sim::SetSizeQueryQuirk(true);
    Target t(Open());
    KSP_PIN r = PinRequest(KSPROPERTY_PIN_INTERFACES);
    ULONG cb = 0;
    EXPECT_EQ(
        CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &r, sizeof(r), nullptr, 0, &cb),
        S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSPIN_INTERFACE));
    EXPECT_EQ(sim::Log(sim::Op::Property).back().result, DWORD{ERROR_INSUFFICIENT_BUFFER});
}

TEST_F(CKsIrpTargetTest, PendingRequestIsJudgedByItsCompletion) {
    Target t(Open());
    KSP_PIN r = PinRequest(KSPROPERTY_PIN_DATAFLOW);
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 20});
    ULONG flow = 0, cb = 0;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &r, sizeof(r), &flow,
                                      sizeof(flow), &cb),
              S_OK);
    EXPECT_EQ(cb, 4u);
    EXPECT_EQ(flow, ULONG{KSPIN_DATAFLOW_IN});
    EXPECT_EQ(sim::Log(sim::Op::Property).back().result, DWORD{ERROR_IO_PENDING});

    // A size query that went pending reports the size its completion carries.
    KSP_PIN ranges = PinRequest(KSPROPERTY_PIN_DATARANGES);
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 5});
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &ranges, sizeof(ranges),
                                      nullptr, 0, &cb),
              S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSDATARANGE_AUDIO));

    // One that completes with an error fails, with no bytes.
    sim::InjectFault({sim::Op::Property}, {sim::Action::PendFail, ERROR_NOT_FOUND, 5});
    cb = 9;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &ranges, sizeof(ranges),
                                      nullptr, 0, &cb),
              E_FAIL);
    EXPECT_EQ(cb, 0u);
    // A null byte count is accepted on the pending path.
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 1});
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &r, sizeof(r), &flow,
                                      sizeof(flow), nullptr),
              S_OK);
}

TEST_F(CKsIrpTargetTest, RefusedRequestFailsWithNoBytes) {
    Target t(Open());
    KSPROPERTY p;
    std::memset(&p, 0, sizeof(p));
    p.Set = kKsPropSetIdAudio;  // not a set of the filter
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG cb = 3;
    KSAUDIO_POSITION pos;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(t.GetHandle(), IOCTL_KS_PROPERTY, &p, sizeof(p), &pos,
                                      sizeof(pos), &cb),
              E_FAIL);
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(sim::Log(sim::Op::Property).back().result, DWORD{ERROR_SET_NOT_FOUND});
}

TEST_F(CKsIrpTargetTest, GetPropertySimpleSendsTheRequestAndInstanceData) {
    Target t(Open());
    ULONG value = 0;
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &value, 4, nullptr, 0),
              S_OK);
    EXPECT_EQ(value, 2u);
    const ULONG extra[2] = {1, 0};
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_DATAFLOW, &value, 4, extra, 8),
              S_OK);
    EXPECT_EQ(value, ULONG{KSPIN_DATAFLOW_OUT});  // pin 1, the bridge
    const auto log = sim::Log(sim::Op::Property);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].in.size(), 24u);
    KSPROPERTY expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.Set = kKsPropSetIdPin;
    expected.Id = KSPROPERTY_PIN_CTYPES;
    expected.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(log[0].in, BytesOf(&expected, 24));
    ASSERT_EQ(log[1].in.size(), 32u);
    expected.Id = KSPROPERTY_PIN_DATAFLOW;
    auto want = BytesOf(&expected, 24);
    const auto tail = BytesOf(extra, 8);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(log[1].in, want);
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::GetPropertySimple Leave, returning 00000000"));
}

TEST_F(CKsIrpTargetTest, SetPropertySimpleCarriesTheValueInTheOutputBuffer) {
    Target t(Open());
    ULONG state = KSSTATE_RUN;
    EXPECT_EQ(t.SetPropertySimple(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, &state, 4,
                                  nullptr, 0),
              E_FAIL);  // the filter has no connection state
    const auto l = sim::Log(sim::Op::Property).back();
    KSPROPERTY p;
    std::memcpy(&p, l.in.data(), sizeof(p));
    EXPECT_EQ(p.Flags, ULONG{KSPROPERTY_TYPE_SET});
    EXPECT_EQ(l.out, BytesOf(&state, 4));
}

TEST_F(CKsIrpTargetTest, GetPropertyMulti) {
    Target t(Open());
    KSMULTIPLE_ITEM* items = nullptr;
    EXPECT_EQ(t.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items), S_OK);
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(items->Count, 3u);
    EXPECT_EQ(items->Size, 8u + 3 * 16);
    Free(items);

    // A reported size of 0 leaves the caller's pointer alone.
    sim::Machine m = sim::DefaultMachine();
    m.interfaces[0].filter.nodes.clear();
    sim::Reset(m);
    Target empty(Open());
    sim::InjectFault({sim::Op::Property, std::nullopt, std::nullopt, std::nullopt, true},
                     {sim::Action::Fail, ERROR_MORE_DATA});
    items = nullptr;
    EXPECT_EQ(empty.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items),
              S_OK);
    EXPECT_EQ(items, nullptr);

    // The second request fails: the block is the caller's.
    sim::InjectFault({sim::Op::Property, std::nullopt, std::nullopt, std::nullopt, false},
                     {sim::Action::Fail, ERROR_GEN_FAILURE});
    EXPECT_EQ(empty.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items),
              E_FAIL);
    EXPECT_NE(items, nullptr);
    Free(items);

    // No memory for the block.
    items = nullptr;
    alloc_test::FailNth(1);
    EXPECT_EQ(empty.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items),
              E_OUTOFMEMORY);
    EXPECT_EQ(items, nullptr);
}

TEST_F(CKsIrpTargetTest, SimplePropertiesWithoutMemorySendNothing) {
    Target t(Open());
    ULONG v = 0;
    alloc_test::FailNth(1);
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &v, 4, nullptr, 0),
              E_OUTOFMEMORY);
    alloc_test::FailNth(1);
    EXPECT_EQ(t.SetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &v, 4, nullptr, 0),
              E_OUTOFMEMORY);
    EXPECT_TRUE(sim::Log(sim::Op::Property).empty());
}

}  // namespace
}  // namespace ferox::test
