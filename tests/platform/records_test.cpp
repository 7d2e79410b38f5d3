// The KS identifiers and records as the device's driver reads them: GUID bytes, constant values,
// and wave-format bytes. Sizes and offsets are checked at compile time in platform/ks.h.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/ks.h"

namespace {

// The registry form without braces, built from the bytes in memory (Data1-3 little-endian).
std::string GuidText(const GUID& guid) {
    unsigned char b[16];
    std::memcpy(b, &guid, sizeof b);
    char text[40];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[3],
                  b[2], b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

TEST(KsGuids, HaveTheValuesWindowsUses) {
    struct {
        const GUID& guid;
        const char* text;
    } const cases[] = {
        {ferox::kKsCategoryAudio, "6994AD04-93EF-11D0-A3CC-00A0C9223196"},
        {ferox::kKsCategoryRender, "65E8773E-8F56-11D0-A3B9-00A0C9223196"},
        {ferox::kKsCategoryCapture, "65E8773D-8F56-11D0-A3B9-00A0C9223196"},
        {ferox::kKsCategoryRealtime, "EB115FFC-10C8-4964-831D-6DCB02E6F23F"},
        {ferox::kKsCategoryTopology, "DDA54A40-1E4C-11D1-A050-405705C10000"},
        {ferox::kKsPropSetIdPin, "8C134960-51AD-11CF-878A-94F801C10000"},
        {ferox::kKsPropSetIdTopology, "720D4AC0-7533-11D0-A5D6-28DB04C10000"},
        {ferox::kKsPropSetIdConnection, "1D58C920-AC9B-11CF-A5D6-28DB04C10000"},
        {ferox::kKsPropSetIdAudio, "45FFAAA0-6E1B-11D0-BCF2-444553540000"},
        {ferox::kKsInterfaceSetIdStandard, "1A8766A0-62CE-11CF-A5D6-28DB04C10000"},
        {ferox::kKsMediumSetIdStandard, "4747B320-62CE-11CF-A5D6-28DB04C10000"},
        {ferox::kKsDataFormatTypeAudio, "73647561-0000-0010-8000-00AA00389B71"},
        {ferox::kKsDataFormatSubtypePcm, "00000001-0000-0010-8000-00AA00389B71"},
        {ferox::kKsDataFormatSubtypeIeeeFloat, "00000003-0000-0010-8000-00AA00389B71"},
        {ferox::kKsDataFormatSubtypeWaveFormatEx, "00000000-0000-0010-8000-00AA00389B71"},
        {ferox::kKsDataFormatSpecifierWaveFormatEx, "05589F81-C356-11CE-BF01-00AA0055595A"},
        {ferox::kKsDataFormatSpecifierDsound, "518590A2-A184-11D0-8522-00C04FD9BAF3"},
        {ferox::kKsDataFormatSpecifierNone, "0F6417D6-C318-11D0-A43F-00A0C9223196"},
        {ferox::kKsDataFormatTypeWildcard, "00000000-0000-0000-0000-000000000000"},
        {ferox::kKsDataFormatSubtypeWildcard, "00000000-0000-0000-0000-000000000000"},
        {ferox::kKsDataFormatSpecifierWildcard, "00000000-0000-0000-0000-000000000000"},
        {ferox::kKsNodeTypeSpeaker, "DFF21CE1-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeHeadphones, "DFF21CE2-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeAnalogConnector, "DFF21FE1-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeDigitalAudioInterface, "DFF21FE2-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeLineConnector, "DFF21FE3-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeSpdifInterface, "DFF21FE5-F70F-11D0-B917-00A0C9223196"},
        {ferox::kKsNodeTypeDac, "507AE360-C554-11D0-8A2B-00A0C9255AC1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GuidText(c.guid), c.text);
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatTypeWildcard, GUID_NULL));
}

// Values the Windows headers give on Windows and ours on POSIX: a typo in either shows here.
void ExpectValues(std::initializer_list<unsigned long long> ours,
                  std::initializer_list<unsigned long long> windows) {
    EXPECT_EQ(std::vector(ours), std::vector(windows));
}

TEST(KsConstants, HaveTheValuesWindowsUses) {
    ExpectValues({KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_TOPOLOGY},
                 {1, 2, 0x10000000});
    ExpectValues({KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_CTYPES, KSPROPERTY_PIN_DATAFLOW,
                  KSPROPERTY_PIN_DATARANGES, KSPROPERTY_PIN_INTERFACES, KSPROPERTY_PIN_MEDIUMS,
                  KSPROPERTY_PIN_COMMUNICATION, KSPROPERTY_PIN_GLOBALCINSTANCES,
                  KSPROPERTY_PIN_CATEGORY, KSPROPERTY_PIN_NAME},
                 {0, 1, 2, 3, 5, 6, 7, 8, 11, 12});
    ExpectValues(
        {KSPROPERTY_TOPOLOGY_NODES, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_AUDIO_POSITION},
        {1, 0, 5});
    ExpectValues({KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}, {0, 1, 2, 3});
    ExpectValues(
        {KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, KSPIN_COMMUNICATION_SINK,
         KSPIN_COMMUNICATION_SOURCE, KSPIN_COMMUNICATION_BOTH, KSPIN_COMMUNICATION_BRIDGE},
        {1, 2, 0, 1, 2, 3, 4});
    ExpectValues({KSINTERFACE_STANDARD_STREAMING, KSINTERFACE_STANDARD_LOOPED_STREAMING,
                  KSMEDIUM_TYPE_ANYINSTANCE, KSPRIORITY_NORMAL, KSINSTANCE_INDETERMINATE,
                  KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA},
                 {0, 1, 0, 0x40000000, 0xFFFFFFFF, 0x200, 0x80000000});
    ExpectValues({DIGCF_PRESENT, DIGCF_DEVICEINTERFACE, SPINT_ACTIVE, SPINT_DEFAULT, SPINT_REMOVED},
                 {2, 0x10, 1, 2, 4});
    ExpectValues(
        {WAVE_FORMAT_PCM, WAVE_FORMAT_EXTENSIBLE, SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT},
        {1, 0xFFFE, 3});
}

// The driver's wave format as the device receives it inside the pin-creation request.
TEST(KsRecords, WaveFormatExtensibleBytesFollowTheWindowsLayout) {
    KSDATAFORMAT header{};
    unsigned char block[sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE)] = {};
    static_assert(sizeof block == 104);
    WAVEFORMATEXTENSIBLE wfx{};
    wfx.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wfx.Format.nChannels = 2;
    wfx.Format.nSamplesPerSec = 44100;
    wfx.Format.nAvgBytesPerSec = 176400;
    wfx.Format.nBlockAlign = 4;
    wfx.Format.wBitsPerSample = 32;
    wfx.Format.cbSize = 22;
    wfx.Samples.wValidBitsPerSample = 32;
    wfx.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    wfx.SubFormat = ferox::kKsDataFormatSubtypePcm;
    header.FormatSize = sizeof block;
    std::memcpy(block, &header, sizeof header);
    std::memcpy(block + sizeof(KSDATAFORMAT), &wfx, sizeof wfx);

    const unsigned char expected[40] = {0xFE, 0xFF, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x10, 0xB1,
                                        0x02, 0x00, 0x04, 0x00, 0x20, 0x00, 0x16, 0x00, 0x20, 0x00,
                                        0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    EXPECT_EQ(0, std::memcmp(block + 64, expected, sizeof expected));
    EXPECT_EQ(block[0], 104);
}

}  // namespace
