// Kernel-streaming, wave-format and SetupAPI records and constants, and the KS identifiers.
// Windows builds take the records from mingw-w64's headers, POSIX builds from our own
// declarations; the checks below hold both to the layouts the device's driver sees.
#pragma once

#include <cstddef>

#include "platform/platform.h"

#ifdef _WIN32
// KSDATAFORMAT_WAVEFORMATEX in ksmedia.h exists only when mmreg.h came first.
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#else
#include "platform/posix/ks_records.h"
#endif

// The device's own request that tells it which stream mode the carrier holds.
#define IOCTL_VENDOR_SET_MODE CTL_CODE(FILE_DEVICE_KS, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

namespace ferox {

// One spelling on every platform: mingw's GUID macros go through __uuidof in C++.
inline constexpr GUID kKsCategoryAudio{
    0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsCategoryRender{
    0x65E8773E, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsCategoryCapture{
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsCategoryRealtime{
    0xEB115FFC, 0x10C8, 0x4964, {0x83, 0x1D, 0x6D, 0xCB, 0x02, 0xE6, 0xF2, 0x3F}};
inline constexpr GUID kKsCategoryTopology{
    0xDDA54A40, 0x1E4C, 0x11D1, {0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00}};

inline constexpr GUID kKsPropSetIdPin{
    0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
inline constexpr GUID kKsPropSetIdTopology{
    0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kKsPropSetIdConnection{
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kKsPropSetIdAudio{
    0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

inline constexpr GUID kKsInterfaceSetIdStandard{
    0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID kKsMediumSetIdStandard{
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

inline constexpr GUID kKsDataFormatTypeAudio{
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kKsDataFormatSubtypePcm{
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kKsDataFormatSubtypeIeeeFloat{
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// The base of every wave-format subtype: the format tag goes into the low word of Data1.
inline constexpr GUID kKsDataFormatSubtypeWaveFormatEx{
    0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID kKsDataFormatSpecifierWaveFormatEx{
    0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID kKsDataFormatSpecifierDsound{
    0x518590A2, 0xA184, 0x11D0, {0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3}};
inline constexpr GUID kKsDataFormatSpecifierNone{
    0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsDataFormatTypeWildcard{};
inline constexpr GUID kKsDataFormatSubtypeWildcard{};
inline constexpr GUID kKsDataFormatSpecifierWildcard{};

// Pin categories that USB audio reports for its terminals.
inline constexpr GUID kKsNodeTypeSpeaker{
    0xDFF21CE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeHeadphones{
    0xDFF21CE2, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeAnalogConnector{
    0xDFF21FE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeDigitalAudioInterface{
    0xDFF21FE2, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeLineConnector{
    0xDFF21FE3, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeSpdifInterface{
    0xDFF21FE5, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID kKsNodeTypeDac{
    0x507AE360, 0xC554, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

// The DAC's own mode request (IOCTL_VENDOR_SET_MODE) on a render pin: how it reads the carrier,
// and that the stream ends.
inline constexpr ULONG kVendorModePcm = 0x10000;
inline constexpr ULONG kVendorModeDsd = 0x8000;
inline constexpr ULONG kVendorModeEndOfStream = 0x8002;

}  // namespace ferox

// ---- The layouts the device's driver reads, on this target.
namespace ferox::ks_layout {
inline constexpr bool k64 = sizeof(void*) == 8;

static_assert(IOCTL_KS_PROPERTY == 0x002F0003);
static_assert(IOCTL_KS_WRITE_STREAM == 0x002F8013);
static_assert(IOCTL_VENDOR_SET_MODE == 0x002F200C);

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8);
static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSPIN_INTERFACE) == 24);
static_assert(sizeof(KSPIN_MEDIUM) == 24);
static_assert(offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20);
static_assert(sizeof(KSP_PIN) == 32 && offsetof(KSP_PIN, PinId) == 24);
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);
static_assert(sizeof(KSPIN_CINSTANCES) == 8);
static_assert(sizeof(KSSTATE) == 4 && sizeof(KSPIN_DATAFLOW) == 4);
static_assert(sizeof(KSPIN_COMMUNICATION) == 4);
static_assert(sizeof(KSPRIORITY) == 8);
static_assert(sizeof(KSTIME) == 16);
static_assert(sizeof(KSAUDIO_POSITION) == 16);

static_assert(sizeof(KSDATAFORMAT) == 64 && alignof(KSDATAFORMAT) == 8);
static_assert(offsetof(KSDATAFORMAT, FormatSize) == 0 && offsetof(KSDATAFORMAT, Flags) == 4);
static_assert(offsetof(KSDATAFORMAT, SampleSize) == 8 && offsetof(KSDATAFORMAT, Reserved) == 12);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, SubFormat) == 32);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);

static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64);
static_assert(offsetof(KSDATARANGE_AUDIO, MinimumBitsPerSample) == 68);
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumBitsPerSample) == 72);
static_assert(offsetof(KSDATARANGE_AUDIO, MinimumSampleFrequency) == 76);
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);

static_assert(sizeof(KSPIN_CONNECT) == (k64 ? 72 : 64));
static_assert(offsetof(KSPIN_CONNECT, Interface) == 0);
static_assert(offsetof(KSPIN_CONNECT, Medium) == 24);
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48);
static_assert(offsetof(KSPIN_CONNECT, PinToHandle) == (k64 ? 56 : 52));
static_assert(offsetof(KSPIN_CONNECT, Priority) == (k64 ? 64 : 56));

static_assert(sizeof(KSSTREAM_HEADER) == (k64 ? 56 : 48));
static_assert(offsetof(KSSTREAM_HEADER, Size) == 0);
static_assert(offsetof(KSSTREAM_HEADER, TypeSpecificFlags) == 4);
static_assert(offsetof(KSSTREAM_HEADER, PresentationTime) == 8);
static_assert(offsetof(KSSTREAM_HEADER, Duration) == 24);
static_assert(offsetof(KSSTREAM_HEADER, FrameExtent) == 32);
static_assert(offsetof(KSSTREAM_HEADER, DataUsed) == 36);
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40);
static_assert(offsetof(KSSTREAM_HEADER, OptionsFlags) == (k64 ? 48 : 44));

static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (k64 ? 32 : 28));
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(sizeof(SP_DEVINFO_DATA) == (k64 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (k64 ? 8 : 6));
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
}  // namespace ferox::ks_layout
