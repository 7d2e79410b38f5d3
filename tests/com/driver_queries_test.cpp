// What the driver reports before and without a device, and how it takes bad arguments.
#include <cstring>

#include "com/driver_fixture.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

using QueriesTest = DriverTest;

TEST_F(QueriesTest, IdentityAndFixedFacts) {
    char name[32];
    std::memset(name, 0x7e, sizeof name);
    driver->getDriverName(name);
    EXPECT_STREQ(name, "Pellinor ASIO 1.03");
    EXPECT_EQ(name[19], 0x7e);  // 19 bytes written, not more
    EXPECT_EQ(driver->getDriverVersion(), 2);

    char text[128];
    std::memset(text, 0x7e, sizeof text);
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "");

    AsioLong in = -1, out = -1;
    EXPECT_EQ(driver->getChannels(&in, &out), ASE_OK);
    EXPECT_EQ(in, 2);
    EXPECT_EQ(out, 2);
    // A half in; out, the half at the device and the one the host filled before it, which waits
    // for the next switch: no device has told its own part yet.
    EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, 1024);
    EXPECT_EQ(out, 2048);
#ifndef _WIN32
    EXPECT_EQ(driver->controlPanel(), ASE_NotPresent);  // the settings window is Windows only
#endif
    EXPECT_EQ(driver->outputReady(), ASE_OK);
}

TEST_F(QueriesTest, BufferSizeFollowsTheMode) {
    AsioLong mn = 0, mx = 0, pref = 0, gran = -1;
    EXPECT_EQ(driver->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    EXPECT_EQ(mn, 1024);
    EXPECT_EQ(mx, 1024);
    EXPECT_EQ(pref, 1024);
    EXPECT_EQ(gran, 0);
    SetIoFormat(kASIODSDFormat);
    EXPECT_EQ(driver->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    EXPECT_EQ(mn, 32768);
    EXPECT_EQ(mx, 32768);
    EXPECT_EQ(pref, 32768);
    // Any other format behaves as PCM, and is read back as stored.
    SetIoFormat(7);
    ASIOIoFormat format{};
    EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, 7);
    EXPECT_EQ(driver->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
    EXPECT_EQ(pref, 1024);
    ASIOChannelInfo info{};
    info.channel = 0;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
}

TEST_F(QueriesTest, OneInternalClockSource) {
    ASIOClockSource clocks[2];
    std::memset(clocks, 0x7e, sizeof clocks);
    AsioLong count = 2;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(clocks[1].index, 0x7e7e7e7e);

    // A host with no room gets the count and nothing written.
    std::memset(clocks, 0x7e, sizeof clocks);
    count = 0;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0x7e7e7e7e);

    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
}

TEST_F(QueriesTest, ChannelInfoNamesEveryChannelAndMarksActiveOnes) {
    ASIOChannelInfo info{};
    info.channel = 1;
    info.isInput = ASIOTrue;
    info.isActive = ASIOTrue;
    info.channelGroup = 9;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    EXPECT_EQ(info.channelGroup, 0);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_STREQ(info.name, " channel 1");

    for (AsioLong bad : {2, -1}) {
        ASIOChannelInfo untouched{};
        untouched.channel = bad;
        untouched.type = 77;
        EXPECT_EQ(driver->getChannelInfo(&untouched), ASE_InvalidParameter);
        EXPECT_EQ(untouched.type, 77);
    }

    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}};
    ASSERT_EQ(Create(infos, 256), ASE_OK);
    info = {};
    info.channel = 1;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);
    EXPECT_STREQ(info.name, " channel 1");
    info.channel = 0;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.isInput = ASIOTrue;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.isActive, ASIOTrue);

    // The mode changes the reported type at once, buffers or not.
    SetIoFormat(kASIODSDFormat);
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
}

TEST_F(QueriesTest, FutureSelectors) {
    for (AsioLong s : {kAsioEnableTimeCodeRead, kAsioDisableTimeCodeRead, kAsioSetInputMonitor,
                       kAsioCanInputMonitor, kAsioCanTimeInfo, kAsioCanTimeCode}) {
        EXPECT_EQ(driver->future(s, nullptr), ASE_SUCCESS) << s;
    }
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    EXPECT_EQ(driver->future(kAsioCanDoIoFormat, &format), ASE_SUCCESS);
    for (AsioLong s : {0, 4, 5, 6, 7, 8, 12, 0x7fffffff}) {
        EXPECT_EQ(driver->future(s, &format), ASE_NotPresent) << s;
    }
}

TEST_F(QueriesTest, NullArgumentsAreRefusedNotFollowed) {
    AsioLong v = 0;
    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
    EXPECT_EQ(driver->getChannels(nullptr, &v), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannels(&v, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(nullptr, &v), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&v, &v, nullptr, &v), ASE_InvalidParameter);
    AsioLong one = 1;
    EXPECT_EQ(driver->getClockSources(nullptr, &one), ASE_InvalidParameter);
    ASIOClockSource clock{};
    EXPECT_EQ(driver->getClockSources(&clock, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(driver->getSamplePosition(nullptr, &stamp), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(&pos, nullptr), ASE_InvalidParameter);
    for (AsioLong s : {kAsioSetIoFormat, kAsioGetIoFormat, kAsioCanDoIoFormat}) {
        EXPECT_EQ(driver->future(s, nullptr), ASE_InvalidParameter) << s;
    }
    EXPECT_EQ(driver->createBuffers(nullptr, 1, 256, &callbacks), ASE_InvalidParameter);
    ASIOBufferInfo info{ASIOFalse, 0, {}};
    EXPECT_EQ(driver->createBuffers(&info, 1, 256, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(info.buffers[0], nullptr);
    // The mode was not changed by the refused selector.
    ASIOIoFormat format{};
    EXPECT_EQ(driver->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
    EXPECT_EQ(format.FormatType, kASIOPCMFormat);
}

TEST_F(QueriesTest, WithoutTheDeviceNothingStarts) {
    sim::Reset(sim::Machine{});  // a machine without the DAC
    ASIOSamples pos{1, 1};
    ASIOTimeStamp stamp{1, 1};
    EXPECT_EQ(driver->getSamplePosition(&pos, &stamp), ASE_OK);
    EXPECT_EQ(pos.hi | pos.lo | stamp.hi | stamp.lo, 0u);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // no buffers
    char text[128];
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "");

    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor Driver Enum Failure!");

    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 256), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    driver->getErrorMessage(text);
    EXPECT_STREQ(text, "ASIO Pellinor No pins available for rendering");
    sim::Reset();
}

}  // namespace
}  // namespace ferox::test
