// The ASIO ABI as MSVC-built hosts use it: record layouts, and IASIO called slot by slot the way
// such a host calls it (on i386: this in ECX, arguments on the stack, popped by the driver).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "asio/asio.h"

namespace {

TEST(AsioRecords, TimeRecordHasTheMsvcLayout) {
    EXPECT_EQ(offsetof(ASIOTime, reserved), 0u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo), 16u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.speed), 16u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.systemTime), 24u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.samplePosition), 32u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.sampleRate), 40u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.flags), 48u);
    EXPECT_EQ(offsetof(ASIOTime, timeInfo.reserved), 52u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode), 64u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode.speed), 64u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode.timeCodeSamples), 72u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode.flags), 80u);
    EXPECT_EQ(offsetof(ASIOTime, timeCode.future), 84u);
    EXPECT_EQ(sizeof(ASIOTime), 148u);
    // Packed to 4: an array of them steps by 148, not by a rounded-up 152.
    ASIOTime pair[2];
    EXPECT_EQ(reinterpret_cast<char*>(&pair[1]) - reinterpret_cast<char*>(&pair[0]), 148);
}

TEST(AsioRecords, SamplesAreHighWordFirst) {
    ASIOSamples samples{0x01020304u, 0x05060708u};
    unsigned char bytes[8];
    std::memcpy(bytes, &samples, sizeof bytes);
    const unsigned char expected[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
}

TEST(AsioRecords, HostFacingRecordsHaveTheMsvcLayout) {
    constexpr std::size_t p = sizeof(void*);
    EXPECT_EQ(offsetof(ASIOClockSource, isCurrentSource), 12u);
    EXPECT_EQ(offsetof(ASIOClockSource, name), 16u);
    EXPECT_EQ(offsetof(ASIOChannelInfo, isActive), 8u);
    EXPECT_EQ(offsetof(ASIOChannelInfo, channelGroup), 12u);
    EXPECT_EQ(offsetof(ASIOChannelInfo, type), 16u);
    EXPECT_EQ(offsetof(ASIOBufferInfo, channelNum), 4u);
    EXPECT_EQ(offsetof(ASIOBufferInfo, buffers[1]), 8u + p);
    EXPECT_EQ(offsetof(ASIOCallbacks, sampleRateDidChange), p);
    EXPECT_EQ(offsetof(ASIOCallbacks, asioMessage), 2 * p);
    EXPECT_EQ(offsetof(ASIOCallbacks, bufferSwitchTimeInfo), 3 * p);
    EXPECT_EQ(offsetof(ASIOIoFormat, future), 4u);
}

TEST(AsioValues, CountedSelectorsLandOnTheStandardNumbers) {
    EXPECT_EQ(kAsioSupportsTimeInfo, 7);
    EXPECT_EQ(kAsioSupportsTimeCode, 8);
    EXPECT_EQ(kAsioSupportsOutputMeter, 14);
    EXPECT_EQ(kAsioOverload, 15);
    EXPECT_EQ(kAsioSetInputMonitor, 3);
    EXPECT_EQ(kAsioTransport, 4);
    EXPECT_EQ(kAsioGetOutputMeter, 8);
    EXPECT_EQ(kAsioCanInputMonitor, 9);
    EXPECT_EQ(kAsioCanTimeInfo, 10);
    EXPECT_EQ(kAsioCanTimeCode, 11);
    EXPECT_EQ(kAsioCanOutputMeter, 16);
    EXPECT_EQ(kAsioOptionalOne, 17);
    EXPECT_EQ(ASE_SUCCESS, 1061701536);
    EXPECT_EQ(kSystemTimeValid | kSamplePositionValid | kSampleRateValid, 7u);
    EXPECT_EQ(kTcValid | kTcRunning, 3u);
}

// ---- Calling IASIO as a host does.

// Records the last call it received.
class Recorder final : public IASIO {
  public:
    int slot = -1;
    const void* self = nullptr;
    AsioLong longs[3] = {};
    const void* pointers[4] = {};
    double rate = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        Note(0);
        pointers[0] = ppv;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Note(1), 101; }
    ULONG STDMETHODCALLTYPE Release() override { return Note(2), 102; }
    ASIOBool ASIO_METHOD init(void* sysHandle) override {
        Note(3);
        pointers[0] = sysHandle;
        return ASIOTrue;
    }
    void ASIO_METHOD getDriverName(char* name) override {
        Note(4);
        pointers[0] = name;
    }
    AsioLong ASIO_METHOD getDriverVersion() override { return Note(5), 105; }
    void ASIO_METHOD getErrorMessage(char* text) override {
        Note(6);
        pointers[0] = text;
    }
    ASIOError ASIO_METHOD start() override { return Note(7), 107; }
    ASIOError ASIO_METHOD stop() override { return Note(8), 108; }
    ASIOError ASIO_METHOD getChannels(AsioLong* in, AsioLong* out) override {
        return Note(9, in, out), 109;
    }
    ASIOError ASIO_METHOD getLatencies(AsioLong* in, AsioLong* out) override {
        return Note(10, in, out), 110;
    }
    ASIOError ASIO_METHOD getBufferSize(AsioLong* a, AsioLong* b, AsioLong* c,
                                        AsioLong* d) override {
        Note(11, a, b);
        pointers[2] = c;
        pointers[3] = d;
        return 111;
    }
    ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate r) override {
        Note(12);
        rate = r;
        return 112;
    }
    ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate* r) override { return Note(13, r), 113; }
    ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate r) override {
        Note(14);
        rate = r;
        return 114;
    }
    ASIOError ASIO_METHOD getClockSources(ASIOClockSource* c, AsioLong* n) override {
        return Note(15, c, n), 115;
    }
    ASIOError ASIO_METHOD setClockSource(AsioLong reference) override {
        Note(16);
        longs[0] = reference;
        return 116;
    }
    ASIOError ASIO_METHOD getSamplePosition(ASIOSamples* s, ASIOTimeStamp* t) override {
        return Note(17, s, t), 117;
    }
    ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo* info) override {
        return Note(18, info), 118;
    }
    ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo* infos, AsioLong count, AsioLong size,
                                        ASIOCallbacks* callbacks) override {
        Note(19, infos, callbacks);
        longs[0] = count;
        longs[1] = size;
        return 119;
    }
    ASIOError ASIO_METHOD disposeBuffers() override { return Note(20), 120; }
    ASIOError ASIO_METHOD controlPanel() override { return Note(21), 121; }
    ASIOError ASIO_METHOD future(AsioLong selector, void* opt) override {
        Note(22, opt);
        longs[0] = selector;
        return 122;
    }
    ASIOError ASIO_METHOD outputReady() override { return Note(23), 123; }

  private:
    void Note(int s, const void* p0 = nullptr, const void* p1 = nullptr) {
        slot = s;
        self = this;
        pointers[0] = p0;
        pointers[1] = p1;
    }
};

#if defined(_WIN32) && defined(__i386__)
// Calls fn as an MSVC-built caller would: copies argBytes of arguments to the stack, this in
// ECX. stackError receives how far ESP is off afterwards from a callee that popped exactly
// argBytes (0 for __thiscall/__stdcall, -argBytes for a __cdecl callee).
extern "C" std::uint32_t ferox_test_call_msvc(void* self, void* fn, const void* args,
                                              std::uint32_t argBytes, std::int32_t* stackError);
asm(R"(
    .text
    .globl _ferox_test_call_msvc
_ferox_test_call_msvc:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 20(%ebp), %ecx
    subl %ecx, %esp
    movl %esp, %edi
    movl 16(%ebp), %esi
    cld
    rep movsb
    movl %esp, %ebx
    addl 20(%ebp), %ebx
    movl 8(%ebp), %ecx
    call *12(%ebp)
    movl %esp, %ecx
    subl %ebx, %ecx
    movl 24(%ebp), %edx
    movl %ecx, (%edx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

// Lays the arguments out as they sit on the stack, each in a multiple of 4 bytes.
template <typename... A>
std::uint32_t Call(IASIO* object, int slot, bool thisOnStack, A... args) {
    unsigned char stack[64] = {};
    std::uint32_t used = 0;
    auto put = [&](const auto& value) {
        std::memcpy(stack + used, &value, sizeof value);
        used += (sizeof value + 3) & ~3u;
    };
    if (thisOnStack)
        put(object);
    (put(args), ...);
    void** table = *reinterpret_cast<void***>(object);
    std::int32_t stackError = 12345;
    const std::uint32_t result =
        ferox_test_call_msvc(object, table[slot], stack, used, &stackError);
    EXPECT_EQ(stackError, 0) << "slot " << slot << " did not pop its " << used << " bytes";
    return result;
}

// IUnknown's methods are __stdcall: this travels on the stack.
template <typename... A>
std::uint32_t CallUnknown(IASIO* object, int slot, A... args) {
    return Call(object, slot, true, args...);
}
template <typename... A>
std::uint32_t CallAsio(IASIO* object, int slot, A... args) {
    return Call(object, slot, false, args...);
}
#else
// One convention: this is the first argument of the slot's function.
template <typename... A>
std::uint32_t CallAsio(IASIO* object, int slot, A... args) {
    void** table = *reinterpret_cast<void***>(object);
    using Fn = std::intptr_t (*)(IASIO*, A...);
    return static_cast<std::uint32_t>(reinterpret_cast<Fn>(table[slot])(object, args...));
}
template <typename... A>
std::uint32_t CallUnknown(IASIO* object, int slot, A... args) {
    return CallAsio(object, slot, args...);
}
#endif

TEST(AsioInterface, EverySlotReceivesThisAndItsArgumentsAsHostsPassThem) {
    Recorder driver;
    IASIO* asio = &driver;
    void* out = nullptr;
    char text[128];
    AsioLong a = 0, b = 0, c = 0, d = 0;
    double rate = 0;
    ASIOClockSource clocks[1];
    ASIOSamples samples;
    ASIOTimeStamp stamp;
    ASIOChannelInfo info;
    ASIOBufferInfo buffers[2];
    ASIOCallbacks callbacks{};
    ASIOIoFormat format{};
    const IID iid{};

    auto expectCall = [&](int slot) {
        EXPECT_EQ(driver.slot, slot);
        EXPECT_EQ(driver.self, static_cast<const void*>(&driver)) << "slot " << slot;
        driver.slot = -1;
        driver.self = nullptr;
    };

    EXPECT_EQ(CallUnknown(asio, 0, &iid, &out), static_cast<std::uint32_t>(E_NOINTERFACE));
    expectCall(0);
    EXPECT_EQ(driver.pointers[0], &out);
    EXPECT_EQ(CallUnknown(asio, 1), 101u);
    expectCall(1);
    EXPECT_EQ(CallUnknown(asio, 2), 102u);
    expectCall(2);

    EXPECT_EQ(CallAsio(asio, 3, static_cast<void*>(text)), 1u);
    expectCall(3);
    EXPECT_EQ(driver.pointers[0], text);
    CallAsio(asio, 4, text);
    expectCall(4);
    EXPECT_EQ(driver.pointers[0], text);
    EXPECT_EQ(CallAsio(asio, 5), 105u);
    expectCall(5);
    CallAsio(asio, 6, text);
    expectCall(6);
    EXPECT_EQ(driver.pointers[0], text);
    EXPECT_EQ(CallAsio(asio, 7), 107u);
    expectCall(7);
    EXPECT_EQ(CallAsio(asio, 8), 108u);
    expectCall(8);
    EXPECT_EQ(CallAsio(asio, 9, &a, &b), 109u);
    expectCall(9);
    EXPECT_EQ(driver.pointers[0], &a);
    EXPECT_EQ(driver.pointers[1], &b);
    EXPECT_EQ(CallAsio(asio, 10, &b, &a), 110u);
    expectCall(10);
    EXPECT_EQ(driver.pointers[0], &b);
    EXPECT_EQ(CallAsio(asio, 11, &a, &b, &c, &d), 111u);
    expectCall(11);
    EXPECT_EQ(driver.pointers[3], &d);
    EXPECT_EQ(CallAsio(asio, 12, 48000.0), 112u);
    expectCall(12);
    EXPECT_EQ(driver.rate, 48000.0);
    EXPECT_EQ(CallAsio(asio, 13, &rate), 113u);
    expectCall(13);
    EXPECT_EQ(driver.pointers[0], &rate);
    EXPECT_EQ(CallAsio(asio, 14, 2822400.0), 114u);
    expectCall(14);
    EXPECT_EQ(driver.rate, 2822400.0);
    EXPECT_EQ(CallAsio(asio, 15, clocks, &a), 115u);
    expectCall(15);
    EXPECT_EQ(driver.pointers[0], clocks);
    EXPECT_EQ(driver.pointers[1], &a);
    EXPECT_EQ(CallAsio(asio, 16, AsioLong{-7}), 116u);
    expectCall(16);
    EXPECT_EQ(driver.longs[0], -7);
    EXPECT_EQ(CallAsio(asio, 17, &samples, &stamp), 117u);
    expectCall(17);
    EXPECT_EQ(driver.pointers[1], &stamp);
    EXPECT_EQ(CallAsio(asio, 18, &info), 118u);
    expectCall(18);
    EXPECT_EQ(driver.pointers[0], &info);
    EXPECT_EQ(CallAsio(asio, 19, buffers, AsioLong{2}, AsioLong{1024}, &callbacks), 119u);
    expectCall(19);
    EXPECT_EQ(driver.pointers[0], buffers);
    EXPECT_EQ(driver.longs[0], 2);
    EXPECT_EQ(driver.longs[1], 1024);
    EXPECT_EQ(driver.pointers[1], &callbacks);
    EXPECT_EQ(CallAsio(asio, 20), 120u);
    expectCall(20);
    EXPECT_EQ(CallAsio(asio, 21), 121u);
    expectCall(21);
    EXPECT_EQ(CallAsio(asio, 22, AsioLong{kAsioSetIoFormat}, static_cast<void*>(&format)), 122u);
    expectCall(22);
    EXPECT_EQ(driver.longs[0], kAsioSetIoFormat);
    EXPECT_EQ(driver.pointers[0], &format);
    EXPECT_EQ(CallAsio(asio, 23), 123u);
    expectCall(23);
}

}  // namespace
