// The simulated DAC answers as the facts about KS drivers, SetupAPI and ksuser say.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/device.h"
#include "sim/sim.h"

namespace ferox::sim {
namespace {

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static HANDLE Open() {
        return Device().CreateFileW(DefaultPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }
    static BOOL Ioctl(HANDLE h, const void* in, DWORD inSize, void* out, DWORD outSize,
                      DWORD* n = nullptr, OVERLAPPED* ov = nullptr,
                      DWORD code = IOCTL_KS_PROPERTY) {
        DWORD ignored = 0;
        return Device().DeviceIoControl(h, code, const_cast<void*>(in), inSize, out, outSize,
                                        n ? n : &ignored, ov);
    }
    static KsCreatePinFn CreatePinFn() {
        HMODULE m =
            Device().LoadLibraryExW(WSTR("ksuser.dll"), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return reinterpret_cast<KsCreatePinFn>(
            reinterpret_cast<void (*)()>(Device().GetProcAddress(m, "KsCreatePin")));
    }
    struct Connect {
        KSPIN_CONNECT c;
        KSDATAFORMAT f;
        WAVEFORMATEX w;
    };
    static Connect RenderConnect(DWORD rate = 48000) {
        Connect r;
        std::memset(&r, 0, sizeof(r));
        r.c.Interface = StandardInterface();
        r.c.Medium = StandardMedium();
        r.c.Priority = {KSPRIORITY_NORMAL, 1};
        r.f.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
        r.f.MajorFormat = kKsDataFormatTypeAudio;
        r.f.SubFormat = kKsDataFormatSubtypePcm;
        r.f.Specifier = kKsDataFormatSpecifierWaveFormatEx;
        r.w = {WAVE_FORMAT_PCM, 2, rate, rate * 8, 8, 32, 0};
        return r;
    }
    // A render pin on the filter, as created by KsCreatePin.
    static HANDLE CreatePin(HANDLE filter) {
        Connect c = RenderConnect();
        HANDLE pin = nullptr;
        EXPECT_EQ(CreatePinFn()(filter, &c.c, GENERIC_WRITE, &pin), 0u);
        return pin;
    }
    static BOOL SetState(HANDLE pin, KSSTATE state) {
        KSPROPERTY p;
        std::memset(&p, 0, sizeof(p));
        p.Set = kKsPropSetIdConnection;
        p.Id = KSPROPERTY_CONNECTION_STATE;
        p.Flags = KSPROPERTY_TYPE_SET;
        return Ioctl(pin, &p, sizeof(p), &state, sizeof(state));
    }
    // What SetupAPI lists as present under KSCATEGORY_AUDIO: each interface's path and
    // device instance id.
    static std::vector<std::pair<WString, WString>> Present() {
        std::vector<std::pair<WString, WString>> found;
        DeviceApi& d = Device();
        HDEVINFO set = d.SetupDiGetClassDevsW(&kKsCategoryAudio, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        for (DWORD i = 0; d.SetupDiEnumDeviceInterfaces(set, nullptr, &kKsCategoryAudio, i, &data);
             ++i) {
            alignas(8) BYTE buffer[600];
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
            detail->cbSize = sizeof(*detail);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof(info);
            WCHAR id[100] = {};
            EXPECT_TRUE(d.SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof(buffer),
                                                           nullptr, &info));
            EXPECT_TRUE(d.SetupDiGetDeviceInstanceIdW(set, &info, id, 100, nullptr));
            found.emplace_back(detail->DevicePath, id);
        }
        d.SetupDiDestroyDeviceInfoList(set);
        return found;
    }
    static KSPIN_CINSTANCES Instances(HANDLE filter) {
        KSP_PIN request;
        std::memset(&request, 0, sizeof(request));
        request.Property.Set = kKsPropSetIdPin;
        request.Property.Id = KSPROPERTY_PIN_CINSTANCES;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        KSPIN_CINSTANCES count{};
        EXPECT_TRUE(Ioctl(filter, &request, sizeof(request), &count, sizeof(count)));
        return count;
    }
    // One write of `size` bytes; h and ov must outlive it.
    static BOOL Write(HANDLE pin, BYTE* data, ULONG size, KSSTREAM_HEADER* h, OVERLAPPED* ov,
                      HANDLE event) {
        std::memset(h, 0, sizeof(*h));
        h->Size = sizeof(*h);
        h->Data = data;
        h->FrameExtent = h->DataUsed = size;
        std::memset(ov, 0, sizeof(*ov));
        ov->hEvent = event;
        return Ioctl(pin, nullptr, 0, h, h->Size, nullptr, ov, IOCTL_KS_WRITE_STREAM);
    }
};

TEST_F(SimTest, FastWritesAreCapturedInOrderAndPositionResetsOnStop) {
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    BYTE data[2][16];
    for (int i = 0; i < 16; ++i) {
        data[0][i] = static_cast<BYTE>(i);
        data[1][i] = static_cast<BYTE>(100 + i);
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (auto& d : data) {
        KSSTREAM_HEADER h;
        OVERLAPPED ov;
        EXPECT_FALSE(Write(pin, d, sizeof(d), &h, &ov, event));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
        EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
        DWORD n = 0;
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
    HANDLE pin = CreatePin(f);  // 384000 bytes/s: 10 ms = 3840 bytes
    std::vector<BYTE> block(3840, 0x11);
    HANDLE events[3];
    OVERLAPPED ov[3];
    KSSTREAM_HEADER h[3];
    for (int i = 0; i < 3; ++i) {
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        Write(pin, block.data(), 3840, &h[i], &ov[i], events[i]);
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

// A write longer than the device's buffer is taken all the same and completes once the buffer's
// depth of it is left, so the next write in time keeps the device playing.
TEST_F(SimTest, AWriteLongerThanTheBufferCompletesWithTheBuffersDepthLeft) {
    SetWriteMode(WriteMode::RealTime, 100);
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);  // 384000 bytes/s: 100 ms = 38400 bytes
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    std::vector<BYTE> block(76800, 0x22);  // 200 ms
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    KSSTREAM_HEADER h[2];
    OVERLAPPED ov[2];
    Write(pin, block.data(), 76800, &h[0], &ov[0], event);
    EXPECT_EQ(Pins()[0].position.WriteOffset, 76800u);  // the data is in at once
    ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    // About 100 ms of it are left to play: plenty of time for the next.
    Write(pin, block.data(), 76800, &h[1], &ov[1], event);
    ASSERT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    const PinState s = Pins()[0];
    EXPECT_EQ(s.underruns, 0u);
    EXPECT_GE(s.position.PlayOffset, 76800u);
    CloseHandle(event);
    Device().CloseHandle(pin);
    Device().CloseHandle(f);
}

// What a host-side tool learns when the pin closes: the writes, the longest gap between two,
// and the turnaround from each completion to the next write.
TEST_F(SimTest, AClosingPinReportsThePaceOfItsWrites) {
    struct Recorder final : StreamObserver {
        void PinCreated(HANDLE, const BYTE*, ULONG) override {}
        void VendorMode(HANDLE, ULONG) override {}
        void Received(HANDLE, const BYTE*, std::size_t) override {}
        void PinFinished(HANDLE, const PinState& s) override { finished.push_back(s); }
        void PinClosed(HANDLE) override { closed = finished.size(); }
        std::vector<PinState> finished;
        std::size_t closed = 0;
    } recorder;
    SetStreamObserver(&recorder);
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    BYTE d[64] = {};
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (int i = 0; i < 3; ++i) {
        if (i == 2)
            Sleep(25);
        KSSTREAM_HEADER h;
        OVERLAPPED ov;
        Write(pin, d, sizeof d, &h, &ov, event);
        EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    }
    Device().CloseHandle(pin);
    SetStreamObserver(nullptr);
    ASSERT_EQ(recorder.finished.size(), 1u);
    EXPECT_EQ(recorder.closed, 1u);  // finished came first
    const PinState& s = recorder.finished[0];
    EXPECT_EQ(s.writes, 3u);
    EXPECT_EQ(s.bytesReceived, 3u * sizeof d);
    EXPECT_GE(s.maxWriteGapMs, 25.0);
    EXPECT_EQ(s.turnarounds, 2u);  // the first write followed no completion
    EXPECT_GE(s.turnaroundMaxUs, 25000.0);
    // Two samples: the 99th percentile is the larger; past the buckets it is their edge.
    EXPECT_GE(s.turnaroundP99Us, 19999.0);
    EXPECT_LE(s.turnaroundP99Us, s.turnaroundMaxUs);
    EXPECT_EQ(s.underruns, 0u);
    CloseHandle(event);
    Device().CloseHandle(f);
}

TEST_F(SimTest, HeldRequestsCompleteOnCancelAndUnplugFailsTheRest) {
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);
    InjectFault({Op::WriteStream}, {Action::NeverComplete});
    BYTE d[8] = {};
    KSSTREAM_HEADER h;
    OVERLAPPED ov;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(Write(pin, d, 8, &h, &ov, event));
    DWORD n;
    EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_TRUE(Device().CancelIoEx(pin, &ov));
    EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    Unplug();
    EXPECT_FALSE(SetState(pin, KSSTATE_RUN));
    EXPECT_EQ(GetLastError(), 1167u);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    CloseHandle(event);
    EXPECT_TRUE(Device().CloseHandle(pin));
    EXPECT_TRUE(Device().CloseHandle(f));
}

// What gives a held write back: a deaf driver ignores the cancel, maybe the stop, maybe even
// the close; a request other than a write is not the stop's to give back.
TEST_F(SimTest, HeldWritesGoBackOnStopOrCloseUnlessIgnored) {
    struct Case {
        bool ignoreStop;
        bool closeEndsIt;
        bool write;
        bool backOnStop, backOnClose;
    };
    const Case cases[] = {
        {false, false, true, true, true},     // honours the stop
        {true, true, true, false, true},      // only its cleanup at close
        {true, false, true, false, false},    // nothing: only CompleteHeld
        {false, false, false, false, false},  // a vendor request is no write
    };
    HANDLE f = Open();
    for (const Case& c : cases) {
        HANDLE pin = CreatePin(f);
        ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
        Fault deaf{Action::NeverComplete};
        deaf.ignoreCancel = true;
        deaf.ignoreStop = c.ignoreStop;
        deaf.closeEndsIt = c.closeEndsIt;
        InjectFault({c.write ? Op::WriteStream : Op::VendorMode}, deaf);
        BYTE d[8] = {};
        KSSTREAM_HEADER h;
        OVERLAPPED ov;
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (c.write) {
            EXPECT_FALSE(Write(pin, d, 8, &h, &ov, event));
        } else {
            std::memset(&ov, 0, sizeof ov);
            ov.hEvent = event;
            ULONG mode[2] = {0x10000, 0};
            EXPECT_FALSE(Device().DeviceIoControl(pin, IOCTL_VENDOR_SET_MODE, mode, sizeof mode,
                                                  nullptr, 0, nullptr, &ov));
        }
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
        EXPECT_TRUE(Device().CancelIoEx(pin, &ov));  // found, and left as it was
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD{WAIT_TIMEOUT});
        EXPECT_TRUE(SetState(pin, KSSTATE_STOP));
        EXPECT_EQ(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, c.backOnStop);
        EXPECT_TRUE(Device().CloseHandle(pin));
        EXPECT_EQ(WaitForSingleObject(event, 0) == WAIT_OBJECT_0, c.backOnStop || c.backOnClose);
        // Completed at last, on a handle long closed.
        CompleteHeld(static_cast<LONG>(0xC0000120u));
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD{WAIT_OBJECT_0});
        DWORD n = 5;
        EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, FALSE));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
        EXPECT_EQ(n, 0u);
        CloseHandle(event);
    }
    EXPECT_TRUE(Device().CloseHandle(f));
}

// A re-plugged DAC comes back as the same device; what was opened on the old one stays dead,
// and its pin, still open, does not take the new device's one instance.
TEST_F(SimTest, ReplugBringsTheDeviceBackAndLeavesOldHandlesDead) {
    const auto plugged = Present();
    ASSERT_EQ(plugged.size(), 1u);
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    Replug();  // not unplugged: nothing changes
    EXPECT_TRUE(SetState(pin, KSSTATE_RUN));

    Unplug();
    EXPECT_TRUE(Present().empty());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    Replug();
    EXPECT_EQ(Present(), plugged);  // same instance id, same path

    EXPECT_FALSE(SetState(pin, KSSTATE_RUN));
    EXPECT_EQ(GetLastError(), 1167u);
    Connect c = RenderConnect();
    HANDLE refused = nullptr;
    EXPECT_EQ(CreatePinFn()(f, &c.c, GENERIC_WRITE, &refused), 1167u);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);

    HANDLE f2 = Open();
    ASSERT_NE(f2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Instances(f2).CurrentCount, 0u);  // the old pin is still open, but dead
    HANDLE pin2 = CreatePin(f2);
    ASSERT_NE(pin2, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Instances(f2).CurrentCount, 1u);
    EXPECT_EQ(CreatePinFn()(f2, &c.c, GENERIC_WRITE, &refused), 1450u);
    ASSERT_TRUE(SetState(pin2, KSSTATE_RUN));
    BYTE d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    KSSTREAM_HEADER h;
    OVERLAPPED ov;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(Write(pin2, d, 8, &h, &ov, event));
    DWORD n = 0;
    EXPECT_TRUE(Device().GetOverlappedResult(pin2, &ov, &n, TRUE));
    EXPECT_EQ(Captured(), Bytes(d, d + 8));

    EXPECT_EQ(OpenHandles(), 4u);
    EXPECT_TRUE(Device().CloseHandle(pin));
    EXPECT_TRUE(Device().CloseHandle(f));
    EXPECT_FALSE(Device().CloseHandle(f));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(Instances(f2).CurrentCount, 1u);
    EXPECT_TRUE(WorkerRunning());  // the new pin lives on
    CloseHandle(event);
    Device().CloseHandle(pin2);
    Device().CloseHandle(f2);
    EXPECT_EQ(OpenHandles(), 0u);
    EXPECT_FALSE(WorkerRunning());
}

// Writes the device held when it went complete with the unplug; a pin of the re-plugged device
// plays on its own clock while the dead one neither plays nor completes anything any more.
TEST_F(SimTest, UnplugCompletesHeldWritesAndADeadPinPlaysNoMore) {
    SetWriteMode(WriteMode::RealTime, 10);
    HANDLE f = Open();
    HANDLE pin = CreatePin(f);
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN));
    std::vector<BYTE> data(48000 * 8 / 10);  // 100 ms at 48 kHz: held past the buffer's 10 ms
    KSSTREAM_HEADER h;
    OVERLAPPED ov;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(Write(pin, data.data(), static_cast<ULONG>(data.size()), &h, &ov, event));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(Pins()[0].writesPending, 1u);
    Unplug();
    DWORD n = 0;
    EXPECT_FALSE(Device().GetOverlappedResult(pin, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), 1167u);
    const ULONGLONG played = Pins()[0].position.PlayOffset;
    EXPECT_LT(played, data.size());
    Replug();

    HANDLE f2 = Open();
    HANDLE pin2 = CreatePin(f2);
    ASSERT_TRUE(SetState(pin2, KSSTATE_RUN));
    ResetEvent(event);
    EXPECT_FALSE(Write(pin2, data.data(), 4800, &h, &ov, event));  // 12.5 ms: held briefly
    EXPECT_TRUE(Device().GetOverlappedResult(pin2, &ov, &n, TRUE));
    EXPECT_EQ(n, 4800u);
    const std::vector<PinState> pins = Pins();
    ASSERT_EQ(pins.size(), 2u);
    EXPECT_EQ(pins[0].position.PlayOffset, played);
    EXPECT_TRUE(pins[0].open);
    EXPECT_EQ(pins[0].writesPending, 0u);
    EXPECT_EQ(pins[1].bytesReceived, 4800u);
    CloseHandle(event);
    for (HANDLE handle : {pin, f, pin2, f2})
        EXPECT_TRUE(Device().CloseHandle(handle));
}

// As a KS driver: any number of clients open the filter, the render pin has one instance and
// says so, and the device tells what it holds. The worker thread lives only while a pin does.
TEST_F(SimTest, SharedFilterOnePinInstanceLatencyAndAWorkerOnlyWhilePlaying) {
    EXPECT_FALSE(WorkerRunning());
    HANDLE first = Open();
    HANDLE second = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WorkerRunning());
    HANDLE pin = CreatePin(first);
    EXPECT_TRUE(WorkerRunning());

    Connect c = RenderConnect();
    HANDLE other = nullptr;
    EXPECT_EQ(CreatePinFn()(second, &c.c, GENERIC_WRITE, &other), 1450u);
    EXPECT_EQ(other, INVALID_HANDLE_VALUE);
    const KSPIN_CINSTANCES count = Instances(second);
    EXPECT_EQ(count.PossibleCount, 1u);
    EXPECT_EQ(count.CurrentCount, 1u);

    KSPROPERTY latency;
    std::memset(&latency, 0, sizeof(latency));
    latency.Set = kKsPropSetIdAudio;
    latency.Id = KSPROPERTY_AUDIO_LATENCY;
    latency.Flags = KSPROPERTY_TYPE_GET;
    KSTIME t{};
    ASSERT_TRUE(Ioctl(pin, &latency, sizeof(latency), &t, sizeof(t)));
    EXPECT_EQ(t.Time, 0);  // fast mode holds nothing
    SetWriteMode(WriteMode::RealTime, 40);
    ASSERT_TRUE(Ioctl(pin, &latency, sizeof(latency), &t, sizeof(t)));
    EXPECT_EQ(t.Time * t.Numerator / t.Denominator, 400000);  // 40 ms in 100 ns units

    Device().CloseHandle(pin);
    EXPECT_FALSE(WorkerRunning());
    Device().CloseHandle(first);
    Device().CloseHandle(second);
}

TEST_F(SimTest, TheLogKeepsOnlyTheLatestRequestsUpToItsLimit) {
    HANDLE f = Open();
    KSPROPERTY p;
    std::memset(&p, 0, sizeof(p));
    p.Set = kKsPropSetIdPin;
    p.Id = KSPROPERTY_PIN_CTYPES;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG count = 0;
    SetLogLimit(2);
    for (ULONG size : {1u, 2u, 4u})
        Ioctl(f, &p, sizeof(p), &count, size);
    std::vector<Logged> log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].outSize, 2u);
    EXPECT_EQ(log[1].outSize, 4u);
    EXPECT_EQ(log[1].result, 0u);  // the result lands in the entry the ring still holds

    SetLogLimit(0);
    count = 0;
    EXPECT_TRUE(Ioctl(f, &p, sizeof(p), &count, 4));
    EXPECT_EQ(count, 2u);  // still answered
    EXPECT_TRUE(Log().empty());

    Reset();
    f = Open();
    for (int i = 0; i < 3; ++i)
        Ioctl(f, &p, sizeof(p), &count, 4);
    EXPECT_EQ(Log(Op::Property).size(), 3u);
    Device().CloseHandle(f);
}

// A process that never reads the history keeps none: pins, handles and vendor modes of streams
// that ended are forgotten, and a forgotten handle is refused like a closed one.
TEST_F(SimTest, ABoundedLogForgetsWhatEnded) {
    SetLogLimit(0);
    HANDLE f = Open();
    for (int i = 0; i < 3; ++i) {
        HANDLE pin = CreatePin(f);
        ULONG mode[2] = {0x10000, 0};
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Device().DeviceIoControl(pin, IOCTL_VENDOR_SET_MODE, mode, sizeof mode, nullptr, 0, nullptr,
                                 &ov);
        CloseHandle(ov.hEvent);
        EXPECT_EQ(Pins().size(), 1u);  // the open one stays
        EXPECT_TRUE(Device().CloseHandle(pin));
        EXPECT_TRUE(Pins().empty());
        EXPECT_FALSE(Device().CloseHandle(pin));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    }
    EXPECT_TRUE(VendorModes().empty());
    EXPECT_EQ(OpenHandles(), 1u);
    EXPECT_TRUE(Device().CloseHandle(f));
    EXPECT_EQ(OpenHandles(), 0u);
}

}  // namespace
}  // namespace ferox::sim
