// The ASIO driver ABI, declared from the standard's published values: types, result codes,
// records as MSVC-built hosts lay them out, and the IASIO interface with the calling conventions
// those hosts use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The standard's "long" is 32 bits on every platform the driver runs on; C long is not (LP64).
using AsioLong = std::int32_t;
using AsioULong = std::uint32_t;

// MSVC-built hosts call IASIO's own methods with __thiscall on i386 (IUnknown's stay __stdcall),
// and the callbacks with __cdecl. x64 has one convention.
#if defined(_WIN32) && defined(__i386__)
#define ASIO_METHOD __thiscall
#define ASIO_CALLBACK __cdecl
#else
#define ASIO_METHOD
#define ASIO_CALLBACK
#endif

using ASIOBool = AsioLong;
enum : ASIOBool { ASIOFalse = 0, ASIOTrue = 1 };

using ASIOError = AsioLong;
enum : ASIOError {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3f4847a0,  // success of a future() selector the driver handles
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

using ASIOSampleRate = double;

// 64-bit quantities split in two 32-bit halves.
struct ASIOSamples {
    AsioULong hi;
    AsioULong lo;
};
struct ASIOTimeStamp {
    AsioULong hi;
    AsioULong lo;
};

using ASIOSampleType = AsioLong;
enum : ASIOSampleType {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
    ASIOSTDSDInt8LSB1 = 32,  // DSD, 8 samples a byte, first sample in the least significant bit
    ASIOSTDSDInt8MSB1 = 33,  // DSD, 8 samples a byte, first sample in the most significant bit
    ASIOSTDSDInt8NER8 = 40,  // DSD, one sample a byte
    ASIOSTLastEntry
};

// AsioTimeInfo::flags
enum : AsioULong {
    kSystemTimeValid = 1,
    kSamplePositionValid = 1 << 1,
    kSampleRateValid = 1 << 2,
    kSpeedValid = 1 << 3,
    kSampleRateChanged = 1 << 4,
    kClockSourceChanged = 1 << 5,
};

// ASIOTimeCode::flags
enum : AsioULong {
    kTcValid = 1,
    kTcRunning = 1 << 1,
    kTcReverse = 1 << 2,
    kTcOnspeed = 1 << 3,
    kTcStill = 1 << 4,
    kTcSpeedValid = 1 << 8,
};

// Selectors of the host's asioMessage callback.
enum : AsioLong {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion,
    kAsioResetRequest,
    kAsioBufferSizeChange,
    kAsioResyncRequest,
    kAsioLatenciesChanged,
    kAsioSupportsTimeInfo,
    kAsioSupportsTimeCode,
    kAsioMMCCommand,
    kAsioSupportsInputMonitor,
    kAsioSupportsInputGain,
    kAsioSupportsInputMeter,
    kAsioSupportsOutputGain,
    kAsioSupportsOutputMeter,
    kAsioOverload,
    kAsioNumMessageSelectors
};

// Selectors of the driver's future().
enum : AsioLong {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead,
    kAsioSetInputMonitor,
    kAsioTransport,
    kAsioSetInputGain,
    kAsioGetInputMeter,
    kAsioSetOutputGain,
    kAsioGetOutputMeter,
    kAsioCanInputMonitor,
    kAsioCanTimeInfo,
    kAsioCanTimeCode,
    kAsioCanTransport,
    kAsioCanInputGain,
    kAsioCanInputMeter,
    kAsioCanOutputGain,
    kAsioCanOutputMeter,
    kAsioOptionalOne,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
    kAsioCanReportOverload = 0x24042012,
    kAsioGetInternalBufferSamples = 0x25042012,
    kAsioSupportsInputResampling = 0x26092017,
};

using ASIOIoFormatType = AsioLong;
enum : ASIOIoFormatType { kASIOFormatInvalid = -1, kASIOPCMFormat = 0, kASIODSDFormat = 1 };

// MSVC-built hosts see these records packed to 4 bytes.
#pragma pack(push, 4)

struct AsioTimeInfo {
    double speed;  // 1.0 is nominal
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    AsioULong flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    AsioULong flags;
    char future[64];
};

struct ASIOTime {
    AsioLong reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOClockSource {
    AsioLong index;
    AsioLong associatedChannel;
    AsioLong associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    AsioLong channel;  // in
    ASIOBool isInput;  // in
    ASIOBool isActive;
    AsioLong channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;     // in
    AsioLong channelNum;  // in
    void* buffers[2];     // out: the two halves
};

struct ASIOCallbacks {
    void(ASIO_CALLBACK* bufferSwitch)(AsioLong doubleBufferIndex, ASIOBool directProcess);
    void(ASIO_CALLBACK* sampleRateDidChange)(ASIOSampleRate sRate);
    AsioLong(ASIO_CALLBACK* asioMessage)(AsioLong selector, AsioLong value, void* message,
                                         double* opt);
    ASIOTime*(ASIO_CALLBACK* bufferSwitchTimeInfo)(ASIOTime* params, AsioLong doubleBufferIndex,
                                                   ASIOBool directProcess);
};

struct ASIOIoFormat {
    ASIOIoFormatType FormatType;
    char future[512 - sizeof(ASIOIoFormatType)];
};

// Argument of future(kAsioSetInputMonitor).
struct ASIOInputMonitor {
    AsioLong input;  // -1: all
    AsioLong output;
    AsioLong gain;  // 0 (-inf) to 0x7fffffff (+12 dB), 0x20000000 is 0 dB
    ASIOBool state;
    AsioLong pan;  // 0 left to 0x7fffffff right
};

#pragma pack(pop)

// The driver interface. Hosts ask for it under the driver's class identifier.
struct IASIO : public IUnknown {
    virtual ASIOBool ASIO_METHOD init(void* sysHandle) = 0;
    virtual void ASIO_METHOD getDriverName(char* name) = 0;  // at most 32 bytes
    virtual AsioLong ASIO_METHOD getDriverVersion() = 0;
    virtual void ASIO_METHOD getErrorMessage(char* string) = 0;  // at most 124 bytes
    virtual ASIOError ASIO_METHOD start() = 0;
    virtual ASIOError ASIO_METHOD stop() = 0;
    virtual ASIOError ASIO_METHOD getChannels(AsioLong* numInputChannels,
                                              AsioLong* numOutputChannels) = 0;
    virtual ASIOError ASIO_METHOD getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) = 0;
    virtual ASIOError ASIO_METHOD getBufferSize(AsioLong* minSize, AsioLong* maxSize,
                                                AsioLong* preferredSize, AsioLong* granularity) = 0;
    virtual ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError ASIO_METHOD getClockSources(ASIOClockSource* clocks,
                                                  AsioLong* numSources) = 0;
    virtual ASIOError ASIO_METHOD setClockSource(AsioLong reference) = 0;
    virtual ASIOError ASIO_METHOD getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels,
                                                AsioLong bufferSize, ASIOCallbacks* callbacks) = 0;
    virtual ASIOError ASIO_METHOD disposeBuffers() = 0;
    virtual ASIOError ASIO_METHOD controlPanel() = 0;
    virtual ASIOError ASIO_METHOD future(AsioLong selector, void* opt) = 0;
    virtual ASIOError ASIO_METHOD outputReady() = 0;
};

// ---- The layouts MSVC-built hosts use.
namespace ferox::asio_layout {
inline constexpr bool k64 = sizeof(void*) == 8;
static_assert(sizeof(AsioLong) == 4 && sizeof(ASIOBool) == 4 && sizeof(ASIOSampleType) == 4);
static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, systemTime) == 8);
static_assert(offsetof(AsioTimeInfo, samplePosition) == 16);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24);
static_assert(offsetof(AsioTimeInfo, flags) == 32);
static_assert(offsetof(AsioTimeInfo, reserved) == 36);
static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8);
static_assert(offsetof(ASIOTimeCode, flags) == 16);
static_assert(offsetof(ASIOTimeCode, future) == 20);
static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, name) == 20);
static_assert(sizeof(ASIOBufferInfo) == (k64 ? 24 : 16));
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);
static_assert(sizeof(ASIOCallbacks) == (k64 ? 32 : 16));
static_assert(sizeof(ASIOIoFormat) == 512);
static_assert(sizeof(ASIOInputMonitor) == 20);
}  // namespace ferox::asio_layout
