// The KS identifiers and records as the device's driver reads them: GUID bytes, constant values,
// and wave-format bytes. Sizes and offsets are checked at compile time in platform/ks.h.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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

#ifdef _WIN32
// Our spelling against the headers' own values (their STATIC_ forms: the named GUIDs would need
// libksguid): a typo in either shows here.
#define HEADER_GUID(name) \
    GUID {                \
        STATIC_##name     \
    }
TEST(KsGuids, MatchTheWindowsHeaders) {
    EXPECT_TRUE(IsEqualGUID(ferox::kKsCategoryAudio, HEADER_GUID(KSCATEGORY_AUDIO)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsCategoryRender, HEADER_GUID(KSCATEGORY_RENDER)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsCategoryCapture, HEADER_GUID(KSCATEGORY_CAPTURE)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsCategoryRealtime, HEADER_GUID(KSCATEGORY_REALTIME)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsCategoryTopology, HEADER_GUID(KSCATEGORY_TOPOLOGY)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsPropSetIdPin, HEADER_GUID(KSPROPSETID_Pin)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsPropSetIdTopology, HEADER_GUID(KSPROPSETID_Topology)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsPropSetIdConnection, HEADER_GUID(KSPROPSETID_Connection)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsPropSetIdAudio, HEADER_GUID(KSPROPSETID_Audio)));
    EXPECT_TRUE(
        IsEqualGUID(ferox::kKsInterfaceSetIdStandard, HEADER_GUID(KSINTERFACESETID_Standard)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsMediumSetIdStandard, HEADER_GUID(KSMEDIUMSETID_Standard)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatTypeAudio, HEADER_GUID(KSDATAFORMAT_TYPE_AUDIO)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatSubtypePcm, HEADER_GUID(KSDATAFORMAT_SUBTYPE_PCM)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatSubtypeIeeeFloat,
                            HEADER_GUID(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatSubtypeWaveFormatEx,
                            HEADER_GUID(KSDATAFORMAT_SUBTYPE_WAVEFORMATEX)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatSpecifierWaveFormatEx,
                            HEADER_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsDataFormatSpecifierDsound,
                            HEADER_GUID(KSDATAFORMAT_SPECIFIER_DSOUND)));
    EXPECT_TRUE(
        IsEqualGUID(ferox::kKsDataFormatSpecifierNone, HEADER_GUID(KSDATAFORMAT_SPECIFIER_NONE)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsNodeTypeSpeaker, HEADER_GUID(KSNODETYPE_SPEAKER)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsNodeTypeHeadphones, HEADER_GUID(KSNODETYPE_HEADPHONES)));
    EXPECT_TRUE(
        IsEqualGUID(ferox::kKsNodeTypeAnalogConnector, HEADER_GUID(KSNODETYPE_ANALOG_CONNECTOR)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsNodeTypeDigitalAudioInterface,
                            HEADER_GUID(KSNODETYPE_DIGITAL_AUDIO_INTERFACE)));
    EXPECT_TRUE(
        IsEqualGUID(ferox::kKsNodeTypeLineConnector, HEADER_GUID(KSNODETYPE_LINE_CONNECTOR)));
    EXPECT_TRUE(
        IsEqualGUID(ferox::kKsNodeTypeSpdifInterface, HEADER_GUID(KSNODETYPE_SPDIF_INTERFACE)));
    EXPECT_TRUE(IsEqualGUID(ferox::kKsNodeTypeDac, HEADER_GUID(KSNODETYPE_DAC)));
}
#endif

TEST(KsConstants, HaveTheValuesWindowsUses) {
    EXPECT_EQ(KSPROPERTY_TYPE_GET, 0x1);
    EXPECT_EQ(KSPROPERTY_TYPE_SET, 0x2);
    EXPECT_EQ(KSPROPERTY_TYPE_TOPOLOGY, 0x10000000);
    EXPECT_EQ(KSPROPERTY_PIN_CINSTANCES, 0);
    EXPECT_EQ(KSPROPERTY_PIN_CTYPES, 1);
    EXPECT_EQ(KSPROPERTY_PIN_DATAFLOW, 2);
    EXPECT_EQ(KSPROPERTY_PIN_DATARANGES, 3);
    EXPECT_EQ(KSPROPERTY_PIN_INTERFACES, 5);
    EXPECT_EQ(KSPROPERTY_PIN_MEDIUMS, 6);
    EXPECT_EQ(KSPROPERTY_PIN_COMMUNICATION, 7);
    EXPECT_EQ(KSPROPERTY_PIN_GLOBALCINSTANCES, 8);
    EXPECT_EQ(KSPROPERTY_PIN_CATEGORY, 11);
    EXPECT_EQ(KSPROPERTY_PIN_NAME, 12);
    EXPECT_EQ(KSPROPERTY_TOPOLOGY_NODES, 1);
    EXPECT_EQ(KSPROPERTY_CONNECTION_STATE, 0);
    EXPECT_EQ(KSPROPERTY_AUDIO_POSITION, 5);
    EXPECT_EQ(KSSTATE_STOP, 0);
    EXPECT_EQ(KSSTATE_ACQUIRE, 1);
    EXPECT_EQ(KSSTATE_PAUSE, 2);
    EXPECT_EQ(KSSTATE_RUN, 3);
    EXPECT_EQ(KSPIN_DATAFLOW_IN, 1);
    EXPECT_EQ(KSPIN_DATAFLOW_OUT, 2);
    EXPECT_EQ(KSPIN_COMMUNICATION_NONE, 0);
    EXPECT_EQ(KSPIN_COMMUNICATION_SINK, 1);
    EXPECT_EQ(KSPIN_COMMUNICATION_SOURCE, 2);
    EXPECT_EQ(KSPIN_COMMUNICATION_BOTH, 3);
    EXPECT_EQ(KSPIN_COMMUNICATION_BRIDGE, 4);
    EXPECT_EQ(KSINTERFACE_STANDARD_STREAMING, 0);
    EXPECT_EQ(KSINTERFACE_STANDARD_LOOPED_STREAMING, 1);
    EXPECT_EQ(KSMEDIUM_TYPE_ANYINSTANCE, 0);
    EXPECT_EQ(KSPRIORITY_NORMAL, 0x40000000);
    EXPECT_EQ(KSINSTANCE_INDETERMINATE, 0xFFFFFFFFu);
    EXPECT_EQ(KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM, 0x200);
    EXPECT_EQ(KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA, 0x80000000u);
    EXPECT_EQ(DIGCF_PRESENT, 0x2);
    EXPECT_EQ(DIGCF_DEVICEINTERFACE, 0x10);
    EXPECT_EQ(SPINT_ACTIVE, 0x1);
    EXPECT_EQ(SPINT_DEFAULT, 0x2);
    EXPECT_EQ(SPINT_REMOVED, 0x4);
    EXPECT_EQ(WAVE_FORMAT_PCM, 1);
    EXPECT_EQ(WAVE_FORMAT_EXTENSIBLE, 0xFFFE);
    EXPECT_EQ(SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT, 3);
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
