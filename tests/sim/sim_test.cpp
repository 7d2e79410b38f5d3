// The simulated DAC answers as the facts about KS drivers, SetupAPI and ksuser say.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/device.h"
#include "sim/sim.h"

namespace ferox::sim {
namespace {

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static HANDLE Open() {
        const auto path = DefaultPath();
        return Device().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    static KSP_PIN Request(ULONG id, ULONG pin = 0) {
        KSP_PIN r;
        std::memset(&r, 0, sizeof(r));
        r.Property.Set = kKsPropSetIdPin;
        r.Property.Id = id;
        r.Property.Flags = KSPROPERTY_TYPE_GET;
        r.PinId = pin;
        return r;
    }
    static KsCreatePinFn CreatePinFn() {
        HMODULE m = Device().LoadLibraryW(WSTR("ksuser.dll"));
        return reinterpret_cast<KsCreatePinFn>(
            reinterpret_cast<void (*)()>(Device().GetProcAddress(m, "KsCreatePin")));
    }
    struct Connect {
        KSPIN_CONNECT c;
        KSDATAFORMAT f;
        WAVEFORMATEX w;
    };
    static Connect RenderConnect(DWORD rate) {
        Connect r;
        std::memset(&r, 0, sizeof(r));
        r.c.Interface = StandardInterface();
        r.c.Medium = StandardMedium();
        r.c.Priority = {KSPRIORITY_NORMAL, 1};
        r.f.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
        r.f.MajorFormat = kKsDataFormatTypeAudio;
        r.f.SubFormat = kKsDataFormatSubtypePcm;
        r.f.Specifier = kKsDataFormatSpecifierWaveFormatEx;
        r.w.wFormatTag = WAVE_FORMAT_PCM;
        r.w.nChannels = 2;
        r.w.wBitsPerSample = 32;
        r.w.nBlockAlign = 8;
        r.w.nSamplesPerSec = rate;
        r.w.nAvgBytesPerSec = rate * 8;
        return r;
    }
    static BOOL SetState(HANDLE pin, KSSTATE state) {
        KSPROPERTY p;
        std::memset(&p, 0, sizeof(p));
        p.Set = kKsPropSetIdConnection;
        p.Id = KSPROPERTY_CONNECTION_STATE;
        p.Flags = KSPROPERTY_TYPE_SET;
        DWORD n = 0;
        return Device().DeviceIoControl(pin, IOCTL_KS_PROPERTY, &p, sizeof(p), &state,
                                        sizeof(state), &n, nullptr);
    }
};

TEST_F(SimTest, SizeQueryAnswersMoreDataWithTheSizeAndPartialListReads) {
    HANDLE f = Open();
    KSP_PIN r = Request(KSPROPERTY_PIN_DATARANGES);
    DWORD n = 0;
    EXPECT_FALSE(
        Device().DeviceIoControl(f, IOCTL_KS_PROPERTY, &r, sizeof(r), nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(n, 96u);
    KSMULTIPLE_ITEM head{};
    EXPECT_TRUE(
        Device().DeviceIoControl(f, IOCTL_KS_PROPERTY, &r, sizeof(r), &head, 8, &n, nullptr));
    EXPECT_EQ(head.Size, 96u);
    EXPECT_EQ(head.Count, 1u);
    BYTE some[20];
    EXPECT_FALSE(
        Device().DeviceIoControl(f, IOCTL_KS_PROPERTY, &r, sizeof(r), some, 20, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    KSP_PIN bad = Request(KSPROPERTY_PIN_DATAFLOW, 9);
    EXPECT_FALSE(
        Device().DeviceIoControl(f, IOCTL_KS_PROPERTY, &bad, sizeof(bad), some, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(Device().CloseHandle(f));
    EXPECT_FALSE(Device().CloseHandle(f));
}

TEST_F(SimTest, FilterIsOpenedExclusively) {
    HANDLE f = Open();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    Device().CloseHandle(f);
    f = Open();
    EXPECT_NE(f, INVALID_HANDLE_VALUE);
    Device().CloseHandle(f);
}

TEST_F(SimTest, CreatePinChecksConnectAndFormat) {
    HANDLE f = Open();
    auto create = CreatePinFn();
    ASSERT_NE(create, nullptr);
    Connect c = RenderConnect(48000);
    HANDLE pin = nullptr;
    c.w.nSamplesPerSec = 22050;
    EXPECT_EQ(create(f, &c.c, GENERIC_READ | GENERIC_WRITE, &pin), DWORD{ERROR_NO_MATCH});
    EXPECT_EQ(pin, INVALID_HANDLE_VALUE);
    c = RenderConnect(48000);
    c.c.Medium.Id = 5;
    EXPECT_EQ(create(f, &c.c, GENERIC_READ | GENERIC_WRITE, &pin), DWORD{ERROR_NO_MATCH});
    c = RenderConnect(48000);
    c.c.PinId = 7;
    EXPECT_EQ(create(f, &c.c, GENERIC_READ | GENERIC_WRITE, &pin), DWORD{ERROR_INVALID_PARAMETER});
    c = RenderConnect(48000);
    EXPECT_EQ(create(f, &c.c, GENERIC_READ | GENERIC_WRITE, &pin), 0u);
    ASSERT_EQ(Pins().size(), 1u);
    EXPECT_EQ(Pins()[0].connect.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT_WAVEFORMATEX));
    // One instance only.
    HANDLE second = nullptr;
    EXPECT_NE(create(f, &c.c, GENERIC_READ | GENERIC_WRITE, &second), 0u);
    Device().CloseHandle(pin);
    Device().CloseHandle(f);
    EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(SimTest, FastWritesAreCapturedInOrderAndPositionResetsOnStop) {
    HANDLE f = Open();
    Connect c = RenderConnect(48000);
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePinFn()(f, &c.c, GENERIC_WRITE, &pin), 0u);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    BYTE data[2][16];
    for (int i = 0; i < 16; ++i) {
        data[0][i] = static_cast<BYTE>(i);
        data[1][i] = static_cast<BYTE>(100 + i);
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto& d : data) {
        KSSTREAM_HEADER h;
        std::memset(&h, 0, sizeof(h));
        h.Size = sizeof(h);
        h.Data = d;
        h.FrameExtent = h.DataUsed = sizeof(d);
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = event;
        DWORD n = 0;
        EXPECT_FALSE(
            Device().DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &h, h.Size, &n, &ov));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
        EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
        EXPECT_TRUE(Device().GetOverlappedResult(pin, &ov, &n, FALSE));
        EXPECT_EQ(n, 16u);
    }
    const Bytes got = Captured();
    ASSERT_EQ(got.size(), 32u);
    EXPECT_EQ(got[16], 100);
    EXPECT_EQ(Pins()[0].position.WriteOffset, 32u);
    ASSERT_TRUE(SetState(pin, KSSTATE_STOP));
    EXPECT_EQ(Pins()[0].position.WriteOffset, 0u);
    CloseHandle(event);
    Device().CloseHandle(pin);
    Device().CloseHandle(f);
}

TEST_F(SimTest, RealTimeWritesCompleteAsTheBufferDrainsAndCountUnderruns) {
    SetWriteMode(WriteMode::RealTime, 10);
    HANDLE f = Open();
    Connect c = RenderConnect(48000);  // 384000 bytes/s: 10 ms = 3840 bytes
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePinFn()(f, &c.c, GENERIC_WRITE, &pin), 0u);
    std::vector<BYTE> block(3840, 0x11);
    HANDLE events[3];
    OVERLAPPED ov[3];
    KSSTREAM_HEADER h[3];
    for (int i = 0; i < 3; ++i) {
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        std::memset(&ov[i], 0, sizeof(OVERLAPPED));
        ov[i].hEvent = events[i];
        std::memset(&h[i], 0, sizeof(KSSTREAM_HEADER));
        h[i].Size = sizeof(KSSTREAM_HEADER);
        h[i].Data = block.data();
        h[i].FrameExtent = h[i].DataUsed = 3840;
        DWORD n;
        Device().DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &h[i], h[i].Size, &n,
                                 &ov[i]);
    }
    // Stopped: the first fills the buffer, the others wait.
    EXPECT_EQ(WaitForSingleObject(events[0], 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[1], 30), DWORD{WAIT_TIMEOUT});
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    EXPECT_EQ(WaitForSingleObject(events[1], 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(events[2], 1000), WAIT_OBJECT_0);
    Sleep(60);  // nothing more to play
    const PinState s = Pins()[0];
    EXPECT_GE(s.underruns, 1u);
    EXPECT_EQ(s.position.WriteOffset, 3u * 3840);
    EXPECT_EQ(s.position.PlayOffset, 3u * 3840);
    for (HANDLE e : events)
        CloseHandle(e);
    Device().CloseHandle(pin);
    Device().CloseHandle(f);
}

TEST_F(SimTest, HeldRequestsCompleteOnCancelAndUnplugFailsTheRest) {
    HANDLE f = Open();
    Connect c = RenderConnect(48000);
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePinFn()(f, &c.c, GENERIC_WRITE, &pin), 0u);
    InjectFault({Op::WriteStream}, {Action::NeverComplete});
    BYTE d[8] = {};
    KSSTREAM_HEADER h;
    std::memset(&h, 0, sizeof(h));
    h.Size = sizeof(h);
    h.Data = d;
    h.FrameExtent = h.DataUsed = 8;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n;
    EXPECT_FALSE(
        Device().DeviceIoControl(pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &h, h.Size, &n, &ov));
    EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_TRUE(Device().CancelIoEx(pin, &ov));
    EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    Unplug();
    EXPECT_FALSE(SetState(pin, KSSTATE_RUN));
    EXPECT_EQ(GetLastError(), 1167u);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(Device().CloseHandle(pin));
    EXPECT_TRUE(Device().CloseHandle(f));
}

TEST_F(SimTest, SetupApiSeesTheDacUnderAudioWithARenderAlias) {
    HDEVINFO set = Device().SetupDiGetClassDevsW(&kKsCategoryAudio, nullptr, nullptr,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(Device().SetupDiEnumDeviceInterfaces(set, nullptr, &kKsCategoryAudio, 0, &data));
    EXPECT_FALSE(Device().SetupDiEnumDeviceInterfaces(set, nullptr, &kKsCategoryAudio, 1, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
    alignas(8) BYTE buffer[526];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(Device().SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer),
                                                          nullptr, &info));
    EXPECT_EQ(WString(detail->DevicePath), DefaultPath());
    WCHAR id[100];
    ASSERT_TRUE(Device().SetupDiGetDeviceInstanceIdW(set, &info, id, 100, nullptr));
    EXPECT_EQ(WString(id).substr(0, 21), WString(WSTR("USB\\VID_5A4E&PID_0C31")));
    SP_DEVICE_INTERFACE_DATA alias{};
    alias.cbSize = sizeof(alias);
    ASSERT_TRUE(Device().SetupDiGetDeviceInterfaceAlias(set, &data, &kKsCategoryRender, &alias));
    EXPECT_EQ(alias.Flags, DWORD{SPINT_ACTIVE});
    EXPECT_FALSE(Device().SetupDiGetDeviceInterfaceAlias(set, &data, &kKsCategoryCapture, &alias));
    EXPECT_TRUE(Device().SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(OpenHandles(), 0u);
}

}  // namespace
}  // namespace ferox::sim
