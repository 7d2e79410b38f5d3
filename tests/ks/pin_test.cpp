#include "ks_fixture.h"

namespace ferox::test {
namespace {

class CKsPinTest : public KsTest {
  protected:
    CKsPin* MakePin(CKsFilter* f, ULONG id, HRESULT* hr) { return new CKsPin(f, id, hr); }
};

TEST_F(CKsPinTest, ReadsTheDescriptorOfItsPinType) {
    CKsFilter* f = OpenFilter();
    HRESULT hr = E_FAIL;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_Descriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(pin->m_Descriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(pin->m_Descriptor.cInterfaces, 1u);
    EXPECT_EQ(pin->m_Descriptor.cMediums, 1u);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 1u);
    EXPECT_EQ(pin->m_Descriptor.CInstances.PossibleCount, 1u);
    EXPECT_EQ(pin->m_guidCategory, kKsCategoryAudio);
    EXPECT_EQ(std::basic_string<WCHAR>(pin->m_szFriendlyName), W("ferox DAC"));
    // The name is read with 519 bytes of room.
    for (const auto& l : sim::Log(sim::Op::Property)) {
        KSP_PIN r;
        std::memcpy(&r, l.in.data(), sizeof(r));
        if (r.Property.Id == KSPROPERTY_PIN_NAME) {
            EXPECT_EQ(l.outSize, 519u);
        }
    }
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, AllReadsFailingStillConstructsWithZeroFields) {
    CKsFilter* f = OpenFilter();
    sim::InjectFault({sim::Op::Property}, {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 0, 0});
    HRESULT hr = E_FAIL;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    EXPECT_EQ(pin->m_Descriptor.DataFlow, 0);
    EXPECT_EQ(pin->m_Descriptor.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(pin->m_guidCategory, GUID_NULL);
    EXPECT_EQ(pin->m_szFriendlyName[0], 0);
    EXPECT_TRUE(
        Traced(3, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: 0"));
    EXPECT_TRUE(Traced(3, "Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: 0"));
    EXPECT_TRUE(Traced(3, "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 0"));
    EXPECT_TRUE(Traced(6, "CKsPin::Init Leave, returning 0x000001") ||
                Traced(6, "CKsPin::Init Leave, returning 0x0001"));
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, DataRangeReadFailingAloneCountsNoRanges) {
    CKsFilter* f = OpenFilter();
    sim::InjectFault(
        {sim::Op::Property, kKsPropSetIdPin, ULONG{KSPROPERTY_PIN_DATARANGES}, std::nullopt, false},
        {sim::Action::Fail});
    HRESULT hr;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    EXPECT_NE(pin->m_Descriptor.m_pmiDataRanges, nullptr);  // freed by the destructor
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, ShortRepliesAreNotReadPastTheirEnd) {
    sim::Pin p = sim::RenderPin();
    // A reply of 3 bytes, one claiming 50 interfaces in 8 + 24 bytes, and an empty one.
    p.rawProperties = {{KSPROPERTY_PIN_INTERFACES, {1, 2, 3}},
                       {KSPROPERTY_PIN_MEDIUMS, sim::Bytes(32, 0)},
                       {KSPROPERTY_PIN_DATARANGES, {}}};
    KSMULTIPLE_ITEM lie{32, 50};
    std::memcpy(p.rawProperties[1].second.data(), &lie, sizeof(lie));
    sim::Reset(MachineWith({p}));
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(pin->m_Descriptor.cInterfaces, 0u);
    EXPECT_EQ(pin->m_Descriptor.cMediums, 1u);
    EXPECT_EQ(pin->m_Descriptor.cDataRanges, 0u);
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, NameIsTerminatedInsideItsBuffer) {
    sim::Pin p = sim::RenderPin();
    p.rawProperties = {{KSPROPERTY_PIN_NAME, sim::Bytes(519, 'x')}};
    sim::Reset(MachineWith({p}));
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(pin->m_szFriendlyName[kPinNameChars - 1], 0);
    EXPECT_EQ(WideLength(pin->m_szFriendlyName), kPinNameChars - 1);
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, PlainPinInstantiatesNothingAndCannotChangeState) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    CKsPin* pin = MakePin(f, 0, &hr);
    EXPECT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), E_FAIL);
    EXPECT_EQ(pin->m_ksState, KSSTATE_STOP);
    EXPECT_TRUE(Traced(1, "Failed to Set Pin State"));
    EXPECT_TRUE(sim::Log(sim::Op::CreatePin).empty());
    pin->ClosePin();
    pin->ClosePin();
    EXPECT_TRUE(sim::Log(sim::Op::CloseHandle).empty());
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, VendorRequestIs264BytesWithTheModeFirstAndZerosAfter) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    ASSERT_EQ(hr, S_OK);
    WAVEFORMATEXTENSIBLE wfx = Extensible(48000);
    ASSERT_EQ(pin->SetFormat(&wfx.Format), S_OK);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    EXPECT_TRUE(pin->SetVendorMode(0x10000));
    const auto l = sim::Log(sim::Op::VendorMode).back();
    EXPECT_EQ(l.code, DWORD{IOCTL_VENDOR_SET_MODE});
    ASSERT_EQ(l.in.size(), 264u);
    const BYTE head[8] = {0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<BYTE>(l.in.begin(), l.in.begin() + 8), BytesOf(head, 8));
    EXPECT_EQ(std::vector<BYTE>(l.in.begin() + 8, l.in.end()), std::vector<BYTE>(256, 0));
    EXPECT_EQ(l.outSize, 0u);
    EXPECT_FALSE(l.overlapped);
    EXPECT_EQ(sim::VendorModes(), (std::vector<ULONG>{0x10000}));
    // Refused by the device: still TRUE.
    sim::InjectFault({sim::Op::VendorMode}, {sim::Action::Fail});
    EXPECT_TRUE(pin->SetVendorMode(0x8002));
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, StateWritesTheConnectionStateAndFollowsSuccessOnly) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    WAVEFORMATEXTENSIBLE wfx = Extensible(44100);
    pin->SetFormat(&wfx.Format);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
    sim::ClearLog();
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(pin->m_ksState, KSSTATE_RUN);
    const auto l = sim::Log(sim::Op::Property).back();
    KSPROPERTY want;
    std::memset(&want, 0, sizeof(want));
    want.Set = kKsPropSetIdConnection;
    want.Id = KSPROPERTY_CONNECTION_STATE;
    want.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(l.in, BytesOf(&want, sizeof(want)));
    const ULONG run = KSSTATE_RUN;
    EXPECT_EQ(l.out, BytesOf(&run, 4));
    EXPECT_EQ(l.target, sim::Target::Pin);
    EXPECT_EQ(sim::Pins()[0].state, KSSTATE_RUN);

    sim::InjectFault({sim::Op::Property, kKsPropSetIdConnection}, {sim::Action::Fail});
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
    EXPECT_EQ(pin->m_ksState, KSSTATE_RUN);
    // Closing stops the pin, closes the handle, and a second close sends nothing.
    sim::ClearLog();
    pin->ClosePin();
    EXPECT_EQ(sim::Pins()[0].open, false);
    EXPECT_EQ(sim::Log(sim::Op::Property).size(), 1u);
    pin->ClosePin();
    EXPECT_EQ(sim::Log(sim::Op::CloseHandle).size(), 1u);
    delete pin;
    delete f;
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

TEST_F(CKsPinTest, WriteDataSubmitsTheHeaderAndDoesNotWait) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    WAVEFORMATEXTENSIBLE wfx = Extensible(44100);
    pin->SetFormat(&wfx.Format);
    ASSERT_EQ(pin->Instantiate(FALSE), S_OK);
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
    const auto l = sim::Log(sim::Op::WriteStream).back();
    EXPECT_TRUE(l.in.empty());
    EXPECT_EQ(l.out, BytesOf(&h, sizeof(h)));

    sim::InjectFault({sim::Op::WriteStream}, {sim::Action::Fail, ERROR_INVALID_HANDLE});
    EXPECT_EQ(pin->WriteData(&h, &ov), E_FAIL);
    EXPECT_TRUE(Traced(1, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x000006"));
    CloseHandle(ov.hEvent);
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, MissingKsUserIsRetriedAtTheNextInstantiate) {
    sim::Machine m = sim::DefaultMachine();
    m.ksUserPresent = false;
    sim::Reset(m);
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    WAVEFORMATEXTENSIBLE wfx = Extensible(44100);
    pin->SetFormat(&wfx.Format);
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(Traced(1, "Failed to instantiate pin. hr=0x80070002"));
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(sim::Log(sim::Op::LoadLibrary).size(), 2u);
    EXPECT_EQ(sim::Log(sim::Op::LoadLibrary)[0].path, W("ksuser.dll"));
    delete pin;
    delete f;
}

TEST_F(CKsPinTest, CreatePinErrorsBecomeWin32Results) {
    CKsFilter* f = OpenFilter();
    HRESULT hr;
    auto* pin = new CKsAudRenPin(f, 0, &hr);
    WAVEFORMATEXTENSIBLE wfx = Extensible(44100);
    pin->SetFormat(&wfx.Format);
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
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

}  // namespace
}  // namespace ferox::test
