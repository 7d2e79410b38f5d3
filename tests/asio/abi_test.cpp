// The ASIO ABI as MSVC-built hosts use it: record layouts, and IASIO called slot by slot the way
// such a host calls it (on i386: this in ECX, arguments on the stack, popped by the driver).
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "asio/asio.h"

namespace {

// What asio.h does not check itself: the members between those it pins, and the selector values
// that come from counting enumerators.
constexpr std::size_t kPtr = sizeof(void*);
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12 &&
              offsetof(ASIOClockSource, name) == 16);
static_assert(offsetof(ASIOChannelInfo, isActive) == 8 &&
              offsetof(ASIOChannelInfo, channelGroup) == 12 &&
              offsetof(ASIOChannelInfo, type) == 16);
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4 &&
              offsetof(ASIOBufferInfo, buffers[1]) == 8 + kPtr);
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == kPtr &&
              offsetof(ASIOCallbacks, asioMessage) == 2 * kPtr &&
              offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * kPtr);
static_assert(offsetof(ASIOIoFormat, future) == 4);
static_assert(kAsioSupportsTimeInfo == 7 && kAsioSupportsTimeCode == 8 &&
              kAsioSupportsOutputMeter == 14 && kAsioOverload == 15);
static_assert(kAsioSetInputMonitor == 3 && kAsioTransport == 4 && kAsioGetOutputMeter == 8 &&
              kAsioCanInputMonitor == 9 && kAsioCanTimeInfo == 10 && kAsioCanTimeCode == 11 &&
              kAsioCanOutputMeter == 16 && kAsioOptionalOne == 17);
static_assert(ASE_SUCCESS == 1061701536);
static_assert((kSystemTimeValid | kSamplePositionValid | kSampleRateValid) == 7u);
static_assert((kTcValid | kTcRunning) == 3u);

TEST(AsioRecords, SamplesAreHighWordFirst) {
    ASIOSamples samples{0x01020304u, 0x05060708u};
    unsigned char bytes[8];
    std::memcpy(bytes, &samples, sizeof bytes);
    const unsigned char expected[8] = {4, 3, 2, 1, 8, 7, 6, 5};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
}

// ---- Calling IASIO as a host does.

// An argument as recorded: pointers and integers by value, doubles by their bits.
template <typename T>
std::uint64_t Bits(T value) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<std::uintptr_t>(value);
    else if constexpr (std::is_floating_point_v<T>)
        return std::bit_cast<std::uint64_t>(value);
    else
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// Records the slot, this and the arguments of the last call; slot n returns 100 + n.
class Recorder final : public IASIO {
  public:
    int slot = -1;
    const void* self = nullptr;
    std::vector<std::uint64_t> args;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID i, void** p) override { return Note(0, &i, p); }
    ULONG STDMETHODCALLTYPE AddRef() override { return Note(1); }
    ULONG STDMETHODCALLTYPE Release() override { return Note(2); }
    ASIOBool ASIO_METHOD init(void* sys) override { return Note(3, sys); }
    void ASIO_METHOD getDriverName(char* name) override { Note(4, name); }
    AsioLong ASIO_METHOD getDriverVersion() override { return Note(5); }
    void ASIO_METHOD getErrorMessage(char* text) override { Note(6, text); }
    ASIOError ASIO_METHOD start() override { return Note(7); }
    ASIOError ASIO_METHOD stop() override { return Note(8); }
    ASIOError ASIO_METHOD getChannels(AsioLong* i, AsioLong* o) override { return Note(9, i, o); }
    ASIOError ASIO_METHOD getLatencies(AsioLong* i, AsioLong* o) override { return Note(10, i, o); }
    ASIOError ASIO_METHOD getBufferSize(AsioLong* a, AsioLong* b, AsioLong* c,
                                        AsioLong* d) override {
        return Note(11, a, b, c, d);
    }
    ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate r) override { return Note(12, r); }
    ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate* r) override { return Note(13, r); }
    ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate r) override { return Note(14, r); }
    ASIOError ASIO_METHOD getClockSources(ASIOClockSource* c, AsioLong* n) override {
        return Note(15, c, n);
    }
    ASIOError ASIO_METHOD setClockSource(AsioLong ref) override { return Note(16, ref); }
    ASIOError ASIO_METHOD getSamplePosition(ASIOSamples* s, ASIOTimeStamp* t) override {
        return Note(17, s, t);
    }
    ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo* info) override { return Note(18, info); }
    ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo* b, AsioLong n, AsioLong size,
                                        ASIOCallbacks* c) override {
        return Note(19, b, n, size, c);
    }
    ASIOError ASIO_METHOD disposeBuffers() override { return Note(20); }
    ASIOError ASIO_METHOD controlPanel() override { return Note(21); }
    ASIOError ASIO_METHOD future(AsioLong sel, void* opt) override { return Note(22, sel, opt); }
    ASIOError ASIO_METHOD outputReady() override { return Note(23); }

  private:
    template <typename... A>
    AsioLong Note(int s, A... a) {
        slot = s;
        self = this;
        args = {Bits(a)...};
        return 100 + s;
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

// Lays the arguments out as they sit on the stack, each in a multiple of 4 bytes. IUnknown's
// methods (slots 0-2) are __stdcall: this travels on the stack too.
template <typename... A>
std::uint32_t Call(IASIO* object, int slot, A... args) {
    unsigned char stack[64] = {};
    std::uint32_t used = 0;
    auto put = [&](const auto& value) {
        std::memcpy(stack + used, &value, sizeof value);
        used += (sizeof value + 3) & ~3u;
    };
    if (slot < 3)
        put(object);
    (put(args), ...);
    void** table = *reinterpret_cast<void***>(object);
    std::int32_t stackError = 12345;
    const std::uint32_t result =
        ferox_test_call_msvc(object, table[slot], stack, used, &stackError);
    EXPECT_EQ(stackError, 0) << "slot " << slot << " did not pop its " << used << " bytes";
    return result;
}
#else
// One convention: this is the first argument of the slot's function.
template <typename... A>
std::uint32_t Call(IASIO* object, int slot, A... args) {
    void** table = *reinterpret_cast<void***>(object);
    using Fn = std::intptr_t (*)(IASIO*, A...);
    return static_cast<std::uint32_t>(reinterpret_cast<Fn>(table[slot])(object, args...));
}
#endif

TEST(AsioInterface, EverySlotReceivesThisAndItsArgumentsAsHostsPassThem) {
    Recorder driver;
    // Distinct addresses, one for each pointer argument of a slot; only their places matter.
    char memory[4];
    void* const p[4] = {&memory[0], &memory[1], &memory[2], &memory[3]};
    auto expectCall = [&](int slot, bool returns, auto... args) {
        driver.slot = -1;
        driver.self = nullptr;
        const std::uint32_t result = Call(&driver, slot, args...);
        if (returns) {
            EXPECT_EQ(result, 100u + slot) << "slot " << slot;
        }
        EXPECT_EQ(driver.slot, slot);
        EXPECT_EQ(driver.self, static_cast<const void*>(&driver)) << "slot " << slot;
        EXPECT_EQ(driver.args, std::vector<std::uint64_t>{Bits(args)...}) << "slot " << slot;
    };
    for (int slot : {1, 2, 5, 7, 8, 20, 21, 23})
        expectCall(slot, true);
    for (int slot : {3, 13, 18})
        expectCall(slot, true, p[0]);
    for (int slot : {4, 6})  // void
        expectCall(slot, false, p[1]);
    for (int slot : {0, 9, 10, 15, 17})
        expectCall(slot, true, p[2], p[0]);
    expectCall(11, true, p[0], p[1], p[2], p[3]);
    expectCall(12, true, 48000.0);
    expectCall(14, true, 2822400.0);
    expectCall(16, true, AsioLong{-7});
    expectCall(19, true, p[1], AsioLong{2}, AsioLong{1024}, p[3]);
    expectCall(22, true, AsioLong{kAsioSetIoFormat}, p[2]);
}

}  // namespace
