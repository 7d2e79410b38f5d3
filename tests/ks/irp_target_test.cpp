#include "ks_fixture.h"

#include <chrono>

#include "platform/device.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {
namespace {

class CKsIrpTargetTest : public KsTest {
  protected:
    // A target over a filter handle opened directly on the simulated DAC.
    struct Target : CKsIrpTarget {
        Target() : CKsIrpTarget(Open()) {}
        ~Target() { SafeCloseHandle(m_handle); }
    };
    static HANDLE Open() {
        return Device().CreateFileW(sim::DefaultPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    }
    template <typename R>
    static HRESULT Send(HANDLE h, R r, void* out, ULONG outSize, ULONG* cb,
                        ULONG code = IOCTL_KS_PROPERTY) {
        return CKsIrpTarget::SyncIoctl(h, code, &r, sizeof(r), out, outSize, cb);
    }
    static DWORD LastResult() { return sim::Log(sim::Op::Property).back().result; }
};

TEST_F(CKsIrpTargetTest, HandlesAreValidatedAndClosedOnce) {
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(nullptr));
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(reinterpret_cast<HANDLE>(ULONG_PTR{4})));
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    h = Open();
    ASSERT_EQ(sim::OpenHandles(), 1u);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenHandles(), 0u);
    EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(h));
    EXPECT_EQ(sim::Log(sim::Op::CloseHandle).size(), 1u);
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SafeCloseHandle() Enter"));
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SafeCloseHandle() Leave"));

    // An invalid handle sends nothing and leaves the byte count alone.
    ULONG count = 77;
    EXPECT_EQ(Send(INVALID_HANDLE_VALUE, 0, nullptr, 0, &count), E_FAIL);
    EXPECT_EQ(count, 77u);
    EXPECT_TRUE(sim::Log(sim::Op::Property).empty());
    EXPECT_TRUE(Traced(1, "CKsIrpTarget::SyncIoctl Invalid Handle"));
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::SyncIoctl Leave, returning 0x80004005"));
}

TEST_F(CKsIrpTargetTest, SizeQueriesAndRefusals) {
    Target t;
    const KSP_PIN ranges = PinRequest(KSPROPERTY_PIN_DATARANGES);
    ULONG cb = 0;
    EXPECT_EQ(Send(t.GetHandle(), ranges, nullptr, 0, &cb), S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSDATARANGE_AUDIO));
    // The same answer to a request with a buffer that is too small is a failure, with no bytes.
    BYTE small[16];
    cb = 5;
    EXPECT_EQ(Send(t.GetHandle(), ranges, small, sizeof(small), &cb), E_FAIL);
    EXPECT_EQ(cb, 0u);
    // And to another control code.
    sim::InjectFault({sim::Op::OtherIoctl}, {sim::Action::Fail, ERROR_MORE_DATA});
    EXPECT_EQ(Send(t.GetHandle(), ranges, nullptr, 0, nullptr, IOCTL_KS_METHOD), E_FAIL);
    // A set the filter does not have.
    KSAUDIO_POSITION pos;
    cb = 3;
    EXPECT_EQ(Send(t.GetHandle(), Property(kKsPropSetIdAudio, 0), &pos, sizeof(pos), &cb), E_FAIL);
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(LastResult(), DWORD{ERROR_SET_NOT_FOUND});
    // Drivers that answer a size query with ERROR_INSUFFICIENT_BUFFER.
    sim::SetSizeQueryQuirk(true);
    EXPECT_EQ(Send(t.GetHandle(), PinRequest(KSPROPERTY_PIN_INTERFACES), nullptr, 0, &cb), S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSPIN_INTERFACE));
    EXPECT_EQ(LastResult(), DWORD{ERROR_INSUFFICIENT_BUFFER});
}

TEST_F(CKsIrpTargetTest, PendingRequestIsJudgedByItsCompletion) {
    Target t;
    const KSP_PIN flowRequest = PinRequest(KSPROPERTY_PIN_DATAFLOW);
    const KSP_PIN ranges = PinRequest(KSPROPERTY_PIN_DATARANGES);
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 20});
    ULONG flow = 0, cb = 0;
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), S_OK);
    EXPECT_EQ(cb, 4u);
    EXPECT_EQ(flow, ULONG{KSPIN_DATAFLOW_IN});
    EXPECT_EQ(LastResult(), DWORD{ERROR_IO_PENDING});
    // A size query that went pending reports the size its completion carries.
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 5});
    EXPECT_EQ(Send(t.GetHandle(), ranges, nullptr, 0, &cb), S_OK);
    EXPECT_EQ(cb, 8u + sizeof(KSDATARANGE_AUDIO));
    // One that completes with an error fails, with no bytes.
    sim::InjectFault({sim::Op::Property}, {sim::Action::PendFail, ERROR_NOT_FOUND, 5});
    cb = 9;
    EXPECT_EQ(Send(t.GetHandle(), ranges, nullptr, 0, &cb), E_FAIL);
    EXPECT_EQ(cb, 0u);
    // A null byte count is accepted on the pending path.
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 1});
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), nullptr), S_OK);
}

TEST_F(CKsIrpTargetTest, SimplePropertiesSendTheRequestInstanceDataAndValue) {
    Target t;
    ULONG value = 0;
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &value, 4, nullptr, 0),
              S_OK);
    EXPECT_EQ(value, 2u);
    const ULONG extra[2] = {1, 0};
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_DATAFLOW, &value, 4, extra, 8),
              S_OK);
    EXPECT_EQ(value, ULONG{KSPIN_DATAFLOW_OUT});  // pin 1, the bridge
    EXPECT_TRUE(Traced(6, "CKsIrpTarget::GetPropertySimple Leave, returning 00000000"));
    // A SET carries the value in the output buffer (refused: the filter has no connection state).
    ULONG state = KSSTATE_RUN;
    EXPECT_EQ(t.SetPropertySimple(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, &state, 4,
                                  nullptr, 0),
              E_FAIL);
    const auto log = sim::Log(sim::Op::Property);
    ASSERT_EQ(log.size(), 3u);
    KSPROPERTY p = Property(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES);
    EXPECT_EQ(log[0].in, BytesOf(&p, 24));
    p.Id = KSPROPERTY_PIN_DATAFLOW;
    auto want = BytesOf(&p, 24);
    want.insert(want.end(), {1, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(log[1].in, want);
    p = Property(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(log[2].in, BytesOf(&p, 24));
    EXPECT_EQ(log[2].out, BytesOf(&state, 4));

    // Without memory nothing is sent.
    sim::ClearLog();
    alloc_test::FailNth(1);
    EXPECT_EQ(t.GetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &value, 4, nullptr, 0),
              E_OUTOFMEMORY);
    alloc_test::FailNth(1);
    EXPECT_EQ(t.SetPropertySimple(kKsPropSetIdPin, KSPROPERTY_PIN_CTYPES, &value, 4, nullptr, 0),
              E_OUTOFMEMORY);
    EXPECT_TRUE(sim::Log(sim::Op::Property).empty());
}

TEST_F(CKsIrpTargetTest, GetPropertyMulti) {
    KSMULTIPLE_ITEM* items = nullptr;
    {
        Target t;
        EXPECT_EQ(t.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items),
                  S_OK);
        ASSERT_NE(items, nullptr);
        EXPECT_EQ(items->Count, 3u);
        EXPECT_EQ(items->Size, 8u + 3 * 16);
        Free(items);
    }
    sim::Machine m = sim::DefaultMachine();
    m.interfaces[0].filter.nodes.clear();
    sim::Reset(m);
    Target empty;
    // A reported size of 0 leaves the caller's pointer alone.
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
    items = nullptr;
    for (unsigned n = 1; n <= 2; ++n) {  // the size query's record, then the block
        alloc_test::FailNth(n);
        EXPECT_EQ(empty.GetPropertyMulti(kKsPropSetIdTopology, KSPROPERTY_TOPOLOGY_NODES, &items),
                  E_OUTOFMEMORY);
        EXPECT_EQ(items, nullptr);
    }
}

// A request the device keeps: cancelled after the bound, and failed after as long again when
// not even the cancel ends it. The device may write its reply later, into the request's own
// record: never into the caller's buffer, which is long gone.
TEST_F(CKsIrpTargetTest, RequestTheDeviceKeepsFailsInBoundedTime) {
    Target t;
    const KSP_PIN flowRequest = PinRequest(KSPROPERTY_PIN_DATAFLOW);
    ULONG flow = 7, cb = 9;
    const std::size_t held = CKsIrpTarget::HeldByDevice();
    sim::InjectFault({sim::Op::Property}, {sim::Action::NeverComplete});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1900));
    EXPECT_EQ(sim::Log(sim::Op::CancelIo).size(), 1u);
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held);

    sim::Fault deaf{sim::Action::NeverComplete};
    deaf.ignoreCancel = true;
    sim::InjectFault({sim::Op::Property}, deaf);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_FAIL);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5000));
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(flow, 7u);
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held + 1);
    EXPECT_TRUE(Traced(1,
                       "CKsIrpTarget::SyncIoctl request 0x002f0003 left to the device after "
                       "2000 ms and a cancel"));
    // A reply later than the bound is cancelled: it never reaches the caller's buffer.
    sim::InjectFault({sim::Op::Property}, {sim::Action::Pend, 0, 2500});
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_FAIL);
    EXPECT_EQ(flow, 7u);
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held + 1);
    // The kept one completes at last, into its record; the next request is answered.
    sim::CompleteHeld(static_cast<LONG>(0xC0000120u));
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), S_OK);
    EXPECT_EQ(flow, ULONG{KSPIN_DATAFLOW_IN});
    // No record, no request.
    sim::ClearLog();
    alloc_test::FailNth(1);
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_OUTOFMEMORY);
#ifndef _WIN32
    posix::FailNth(posix::Fault::CreateEvent, 1);
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_OUTOFMEMORY);
#endif
    EXPECT_TRUE(sim::Log(sim::Op::Property).empty());
#ifndef _WIN32
    // A wait that fails is told apart from one that timed out, and still bounded: the request is
    // cancelled and judged by how it ended.
    sim::InjectFault({sim::Op::Property}, {sim::Action::NeverComplete});
    posix::FailNth(posix::Fault::Wait, 1);
    EXPECT_EQ(Send(t.GetHandle(), flowRequest, &flow, sizeof(flow), &cb), E_FAIL);
    EXPECT_TRUE(Traced(1, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0xffffffff"));
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held + 1);
#endif
}

}  // namespace
}  // namespace ferox::test
