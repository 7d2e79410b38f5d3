#include "ks_fixture.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::test {
namespace {

using CKsPinTest = KsTest;

TEST_F(CKsPinTest, ReadsTheDescriptorOfItsPinType) {
    CKsFilter* f = OpenFilter();
    HRESULT hr = E_FAIL;
    auto* pin = new CKsPin(f, 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_Descriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(pin->m_Descriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(pin->m_Descriptor.cInterfaces, 1u);
    EXPECT_EQ(pin->m_Descriptor.cMediums, 1u);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 1u);
    EXPECT_EQ(pin->m_Descriptor.CInstances.PossibleCount, 1u);
    EXPECT_EQ(pin->m_guidCategory, kKsCategoryAudio);
    EXPECT_EQ(std::basic_string<WCHAR>(pin->m_szFriendlyName), W("ferox DAC"));
    for (const auto& l : sim::Log(sim::Op::Property)) {
        KSP_PIN r;
        std::memcpy(&r, l.in.data(), sizeof(r));
        if (r.Property.Id == KSPROPERTY_PIN_NAME) {
            EXPECT_EQ(l.outSize, 519u);
        }
    }
    // A plain pin instantiates nothing and cannot change state.
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);
    EXPECT_EQ(pin->m_ksState, KSSTATE_STOP);
    EXPECT_TRUE(Traced(1, "Failed to Set Pin State"));
    pin->ClosePin();
    pin->ClosePin();
    EXPECT_TRUE(sim::Log(sim::Op::CreatePin).empty());
    EXPECT_TRUE(sim::Log(sim::Op::CloseHandle).empty());
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, FailedReadsLeaveZeroFields) {
    CKsFilter* f = OpenFilter();
    sim::InjectFault({sim::Op::Property}, {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 0, 0});
    HRESULT hr = E_FAIL;
    auto* pin = new CKsPin(f, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    EXPECT_EQ(pin->m_Descriptor.DataFlow, 0);
    EXPECT_EQ(pin->m_Descriptor.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(pin->m_guidCategory, GUID_NULL);
    EXPECT_EQ(pin->m_szFriendlyName[0], 0);
    for (const char* what :
         {"KSPROPERTY_PIN_COMMUNICATION", "KSPROPETY_PIN_INTERFACES", "KSPROPERTY_PIN_NAME"}) {
        EXPECT_TRUE(
            Traced(3, std::string("Failed to retrieve pin property ") + what + " on PinID: 0"));
    }
    EXPECT_TRUE(Traced(6, "CKsPin::Init Leave, returning 0x000001") ||
                Traced(6, "CKsPin::Init Leave, returning 0x0001"));
    delete pin;

    // Only the data-range read fails: no ranges counted, the size-query block freed later.
    sim::ClearFaults();
    sim::InjectFault(
        {sim::Op::Property, kKsPropSetIdPin, ULONG{KSPROPERTY_PIN_DATARANGES}, std::nullopt, false},
        {sim::Action::Fail});
    pin = new CKsPin(f, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    EXPECT_NE(pin->m_Descriptor.m_pmiDataRanges, nullptr);
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, MalformedRepliesAreReadWithinTheirBounds) {
    // Pin 0: a reply of 3 bytes, one claiming 50 mediums in 8 + 24 bytes, and an empty one.
    sim::Pin shortReplies = sim::RenderPin();
    shortReplies.rawProperties = {{KSPROPERTY_PIN_INTERFACES, {1, 2, 3}},
                                  {KSPROPERTY_PIN_MEDIUMS, sim::Bytes(32, 0)},
                                  {KSPROPERTY_PIN_DATARANGES, {}}};
    KSMULTIPLE_ITEM lie{32, 50};
    std::memcpy(shortReplies.rawProperties[1].second.data(), &lie, sizeof(lie));
    // Pin 1: a name that fills the buffer without a terminator; a data flow and a
    // communication that no enum value stands for.
    sim::Pin longName = sim::RenderPin();
    longName.rawProperties = {{KSPROPERTY_PIN_NAME, sim::Bytes(519, 'x')},
                              {KSPROPERTY_PIN_DATAFLOW, {1, 0, 0x40, 0}},
                              {KSPROPERTY_PIN_COMMUNICATION, {1, 0, 0x40, 0}}};
    sim::Reset(MachineWith({shortReplies, longName}));
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsPin(f, 0, &hr);
    EXPECT_EQ(pin->m_Descriptor.cInterfaces, 0u);
    EXPECT_EQ(pin->m_Descriptor.cMediums, 1u);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    delete pin;
    pin = new CKsPin(f, 1, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_szFriendlyName[kPinNameChars - 1], 0);
    EXPECT_EQ(WideLength(pin->m_szFriendlyName), kPinNameChars - 1);
    KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN;
    pin->GetDataFlow(&flow);
    EXPECT_EQ(static_cast<ULONG>(flow), 0u);
    KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
    pin->GetCommunication(&communication);
    EXPECT_GT(static_cast<ULONG>(communication), ULONG{KSPIN_COMMUNICATION_BRIDGE});
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, InstantiatedPinSendsVendorModeStateAndData) {
    CKsFilter* f = OpenFilter();
    CKsAudRenPin* pin = RenderPin(f, 48000);
    // The vendor request: 264 bytes, the mode first and zeros after, overlapped as every
    // request on the pin's handle must be.
    EXPECT_EQ(pin->SetVendorMode(0x10000), S_OK);
    const auto vendor = sim::Log(sim::Op::VendorMode).back();
    EXPECT_EQ(vendor.code, DWORD{IOCTL_VENDOR_SET_MODE});
    std::vector<BYTE> want(264, 0);
    want[2] = 0x01;
    EXPECT_EQ(vendor.in, want);
    EXPECT_EQ(vendor.outSize, 0u);
    EXPECT_TRUE(vendor.overlapped);
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000}));
    sim::InjectFault({sim::Op::VendorMode}, {sim::Action::Fail});
    EXPECT_EQ(pin->SetVendorMode(0x8002), E_FAIL);

    // The connection state, written to the pin; the state follows success only.
    sim::ClearLog();
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(pin->m_ksState, KSSTATE_RUN);
    const auto state = sim::Log(sim::Op::Property).back();
    const KSPROPERTY p =
        Property(kKsPropSetIdConnection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET);
    EXPECT_EQ(state.in, BytesOf(&p, sizeof(p)));
    const ULONG run = KSSTATE_RUN;
    EXPECT_EQ(state.out, BytesOf(&run, 4));
    EXPECT_EQ(state.target, sim::Target::Pin);
    EXPECT_EQ(sim::Pins()[0].state, KSSTATE_RUN);
    sim::InjectFault({sim::Op::Property, kKsPropSetIdConnection}, {sim::Action::Fail});
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
    EXPECT_EQ(pin->m_ksState, KSSTATE_RUN);

    // A write submits the header as the output buffer and does not wait.
    BYTE data[64];
    for (int i = 0; i < 64; ++i)
        data[i] = static_cast<BYTE>(i * 3);
    KSSTREAM_HEADER h;
    std::memset(&h, 0, sizeof(h));
    h.Size = sizeof(h);
    h.PresentationTime.Numerator = h.PresentationTime.Denominator = 1;
    h.Data = data;
    h.FrameExtent = h.DataUsed = sizeof(data);
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(pin->WriteData(&h, &ov), S_OK);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(sim::Captured(), BytesOf(data, sizeof(data)));
    const auto write = sim::Log(sim::Op::WriteStream).back();
    EXPECT_TRUE(write.in.empty());
    EXPECT_EQ(write.out, BytesOf(&h, sizeof(h)));
    sim::InjectFault({sim::Op::WriteStream}, {sim::Action::Fail, ERROR_INVALID_HANDLE});
    EXPECT_EQ(pin->WriteData(&h, &ov), E_FAIL);
    EXPECT_TRUE(Traced(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x000006"));
    CloseHandle(ov.hEvent);

    // Closing stops the pin and closes the handle; a second close sends nothing.
    sim::ClearLog();
    pin->ClosePin();
    EXPECT_FALSE(sim::Pins()[0].open);
    EXPECT_EQ(sim::Log(sim::Op::Property).size(), 1u);
    pin->ClosePin();
    EXPECT_EQ(sim::Log(sim::Op::CloseHandle).size(), 1u);
    delete pin;
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

// The device may refuse a mode, answer late, never answer, or not even let a cancel end it: the
// result says which, and no call waits for more than twice the request's bound.
TEST_F(CKsPinTest, VendorRequestResultCountsAndItsWaitIsBounded) {
    sim::Machine m = sim::DefaultMachine();
    m.interfaces[0].filter.refusedModes = {0x8000};
    sim::Reset(m);
    CKsFilter* f = OpenFilter();
    CKsAudRenPin* pin = RenderPin(f, 48000);

    // Out of memory for the request's record or its event: nothing is sent.
    alloc_test::FailNth(1);
    EXPECT_EQ(pin->SetVendorMode(0x10000), E_OUTOFMEMORY);
#ifndef _WIN32
    posix::FailNth(posix::Fault::CreateEvent, 1);
    EXPECT_EQ(pin->SetVendorMode(0x10000), E_OUTOFMEMORY);
#endif
    EXPECT_TRUE(sim::Log(sim::Op::VendorMode).empty());

    EXPECT_EQ(pin->SetVendorMode(0x8000), E_FAIL);  // a DAC without DSD
    // Answered late, and a completion at once before it must not count as this one's.
    EXPECT_EQ(pin->SetVendorMode(0x10000), S_OK);
    sim::InjectFault({sim::Op::VendorMode}, {sim::Action::Pend, 0, 100});
    EXPECT_EQ(pin->SetVendorMode(0x10000), S_OK);
    sim::InjectFault({sim::Op::VendorMode}, {sim::Action::PendFail, ERROR_GEN_FAILURE, 50});
    EXPECT_EQ(pin->SetVendorMode(0x10000), E_FAIL);
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000, 0x10000}));  // not the failed ones

    // Never answered: cancelled after the bound, and the cancel ends it.
    const std::size_t held = CKsIrpTarget::HeldByDevice();
    sim::InjectFault({sim::Op::VendorMode}, {sim::Action::NeverComplete});
    EXPECT_EQ(pin->SetVendorMode(0x10000), E_FAIL);
    EXPECT_EQ(sim::Log(sim::Op::CancelIo).size(), 1u);
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held);

    // Not even the cancel ends it: the request's record stays the device's, and the next
    // request gets a new one.
    sim::Fault deaf{sim::Action::NeverComplete};
    deaf.ignoreCancel = true;
    sim::InjectFault({sim::Op::VendorMode}, deaf);
    EXPECT_EQ(pin->SetVendorMode(0x8002), E_FAIL);
    EXPECT_EQ(CKsIrpTarget::HeldByDevice(), held + 1);
    EXPECT_TRUE(Traced(1,
                       "CKsIrpTarget::SyncIoctl request 0x002f200c left to the device after "
                       "2000 ms and a cancel"));
    EXPECT_EQ(pin->SetVendorMode(0x10000), S_OK);
    // The device completes it at last, into memory that is still there.
    sim::CompleteHeld(static_cast<LONG>(0xC0000120u));
    delete pin;
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsPinTest, InstantiateFailures) {
    CKsFilter* f = OpenFilter();
    CKsAudRenPin* pin = RenderPin(f, 44100, false);
    sim::InjectFault({sim::Op::CreatePin}, {sim::Action::Fail, ERROR_ACCESS_DENIED});
    EXPECT_EQ(pin->Instantiate(FALSE), E_ACCESSDENIED);
    EXPECT_EQ(pin->Instantiate(TRUE), static_cast<HRESULT>(0x80070491));  // no looped interface
    KSPIN_CONNECT sent;
    std::memcpy(&sent, sim::Log(sim::Op::CreatePin).back().in.data(), sizeof(sent));
    EXPECT_EQ(sent.Interface.Id, ULONG{KSINTERFACE_STANDARD_LOOPED_STREAMING});
    EXPECT_EQ(sim::Log(sim::Op::CreatePin).back().access, DWORD{GENERIC_READ | GENERIC_WRITE});
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    std::memcpy(&sent, sim::Log(sim::Op::CreatePin).back().in.data(), sizeof(sent));
    EXPECT_EQ(sent.Interface.Id, ULONG{KSINTERFACE_STANDARD_STREAMING});
    delete pin;
    delete f;

    // Without ksuser.dll: the load is tried again at the next instantiation.
    sim::Machine m = sim::DefaultMachine();
    m.ksUserPresent = false;
    sim::Reset(m);
    KsUserLibrary::Forget();
    f = OpenFilter();
    pin = RenderPin(f, 44100, false);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(Traced(1, "Failed to instantiate pin. hr=0x80070002"));
    EXPECT_EQ(sim::Log(sim::Op::LoadLibrary).size(), 2u);
    EXPECT_EQ(sim::Log(sim::Op::LoadLibrary)[0].path, W("ksuser.dll"));
    // Never by bare name: the host program's own folder is searched first then.
    EXPECT_EQ(sim::Log(sim::Op::LoadLibrary)[0].flags, DWORD{LOAD_LIBRARY_SEARCH_SYSTEM32});
    delete pin;
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

}  // namespace
}  // namespace ferox::test
