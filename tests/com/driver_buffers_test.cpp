// The host's double buffers: sizes, channel checks, failures and the callback table.
#include <cstdint>
#include <cstring>

#include "com/driver_fixture.h"
#include "platform/alloc.h"

namespace ferox::test {
namespace {

using BuffersTest = DriverTest;

std::ptrdiff_t Distance(const ASIOBufferInfo& info) {
    return static_cast<const char*>(info.buffers[1]) - static_cast<const char*>(info.buffers[0]);
}

bool Active(IASIO* driver, bool input, AsioLong channel) {
    ASIOChannelInfo info{};
    info.channel = channel;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    driver->getChannelInfo(&info);
    return info.isActive == ASIOTrue;
}

TEST_F(BuffersTest, PcmHalvesAreTheHostsSizeInWords) {
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(Create(infos, 1024), ASE_OK);
    for (const ASIOBufferInfo& info : infos) {
        ASSERT_NE(info.buffers[0], nullptr);
        EXPECT_EQ(Distance(info), 4096);
        std::memset(info.buffers[0], 0x55, 8192);  // the whole block is the host's (ASan checks)
    }
    EXPECT_NE(infos[0].buffers[0], infos[1].buffers[0]);
    AsioLong mn, mx, pref, gran;
    driver->getBufferSize(&mn, &mx, &pref, &gran);
    EXPECT_EQ(pref, 1024);
    EXPECT_TRUE(Active(driver, false, 0));
    EXPECT_TRUE(Active(driver, false, 1));
}

TEST_F(BuffersTest, DsdHalvesCountWordsOf32Samples) {
    SetIoFormat(kASIODSDFormat);
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 32768), ASE_OK);
    EXPECT_EQ(Distance(infos[0]), 4096);
    std::memset(infos[0].buffers[0], 0x69, 8192);
    AsioLong mn, mx, pref, gran;
    driver->getBufferSize(&mn, &mx, &pref, &gran);
    EXPECT_EQ(pref, 32768);
    // Back to PCM: the same buffers, now reported as 1024 frames.
    SetIoFormat(kASIOPCMFormat);
    driver->getBufferSize(&mn, &mx, &pref, &gran);
    EXPECT_EQ(pref, 1024);
}

TEST_F(BuffersTest, SizesTheStreamCannotCarryAreRefused) {
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    for (AsioLong size : {0, -64, 2049, 1 << 30}) {
        EXPECT_EQ(Create(infos, size), ASE_InvalidMode) << size;
    }
    EXPECT_EQ(Create(infos, 2048), ASE_OK);
    ASSERT_NE(infos[0].buffers[0], nullptr);
    SetIoFormat(kASIODSDFormat);
    void* kept = infos[0].buffers[0];
    for (AsioLong size : {33, 16, 65536 + 32, 32 * 2049}) {
        EXPECT_EQ(Create(infos, size), ASE_InvalidMode) << size;
    }
    // A refused size leaves the buffers the host already has.
    EXPECT_EQ(infos[0].buffers[0], kept);
    EXPECT_TRUE(Active(driver, false, 0));
    EXPECT_EQ(Create(infos, 65536), ASE_OK);
}

TEST_F(BuffersTest, ChannelChecksDisposeWhatWasMade) {
    std::vector<ASIOBufferInfo> infos = {
        {ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOFalse, 2, {}}};
    EXPECT_EQ(Create(infos, 256), ASE_InvalidParameter);
    EXPECT_FALSE(Active(driver, false, 0));
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // callbacks not recorded

    infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOFalse, 0, {}}};
    EXPECT_EQ(Create(infos, 256), ASE_InvalidParameter);
    infos = {{ASIOTrue, -1, {}}};
    EXPECT_EQ(Create(infos, 256), ASE_InvalidParameter);

    infos = {{ASIOTrue, 0, {}}, {ASIOTrue, 1, {}}, {ASIOFalse, 1, {}}, {ASIOFalse, 1, {}}};
    EXPECT_EQ(Create(infos, 256), ASE_OK);
    EXPECT_NE(infos[2].buffers[0], infos[3].buffers[0]);  // same channel, own blocks
    EXPECT_TRUE(Active(driver, true, 1));
    EXPECT_FALSE(Active(driver, false, 0));
}

// Whether the callbacks the driver kept reach the host later: a rate set while playing asks it
// whether it takes a reset request (the host's own rate brings no sampleRateDidChange).
bool ReachesTheHostLater(IASIO* driver) {
    Host().messages.clear();
    if (driver->start() != ASE_OK)
        return false;
    EXPECT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_TRUE(Host().rateChanges.empty());
    const std::pair<AsioLong, AsioLong> asked{kAsioSelectorSupported, kAsioResetRequest};
    return !Host().messages.empty() && Host().messages[0] == asked;
}

TEST_F(BuffersTest, ZeroEntriesRecordTheHostAndTheSize) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->createBuffers(nullptr, 0, 512, &callbacks), ASE_OK);
    AsioLong mn, mx, pref, gran;
    driver->getBufferSize(&mn, &mx, &pref, &gran);
    EXPECT_EQ(pref, 512);
    EXPECT_TRUE(ReachesTheHostLater(driver));
}

TEST_F(BuffersTest, HostIsAskedAboutTimeInfoAndTheIoFormatSelectors) {
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 256), ASE_OK);
    const std::vector<std::pair<AsioLong, AsioLong>> expected = {
        {kAsioSupportsTimeInfo, 0},
        {kAsioSelectorSupported, kAsioSetIoFormat},
        {kAsioSelectorSupported, kAsioGetIoFormat},
        {kAsioSelectorSupported, kAsioCanDoIoFormat}};
    EXPECT_EQ(Host().messages, expected);
}

TEST_F(BuffersTest, InputBlocksHoldSilence) {
    std::vector<ASIOBufferInfo> infos = {{ASIOTrue, 0, {}}, {ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 512), ASE_OK);
    for (const ASIOBufferInfo& info : infos) {
        const auto* words = static_cast<const std::int32_t*>(info.buffers[0]);
        for (int i = 0; i < 1024; ++i)
            ASSERT_EQ(words[i], 0) << i;
    }
}

TEST_F(BuffersTest, DriverKeepsItsOwnCopyOfTheCallbackTable) {
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    {
        ASIOCallbacks onStack = RecordingCallbacks();
        std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
        ASSERT_EQ(driver->createBuffers(infos.data(), 1, 256, &onStack), ASE_OK);
        std::memset(&onStack, 0, sizeof onStack);  // the host's table is gone
    }
    EXPECT_TRUE(ReachesTheHostLater(driver));
}

TEST_F(BuffersTest, SecondCreateReplacesTheFirst) {
    std::vector<ASIOBufferInfo> first = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASSERT_EQ(Create(first, 256), ASE_OK);
    std::vector<ASIOBufferInfo> second = {{ASIOFalse, 1, {}}};
    ASSERT_EQ(Create(second, 128), ASE_OK);
    EXPECT_FALSE(Active(driver, false, 0));  // the first set is gone (LeakSanitizer: freed)
    EXPECT_TRUE(Active(driver, false, 1));
    std::memset(second[0].buffers[0], 1, 1024);
}

TEST_F(BuffersTest, OutOfMemoryFinishesTheWalkThenDisposes) {
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}};
    alloc_test::FailNth(2);
    EXPECT_EQ(Create(infos, 256), ASE_NoMemory);
    alloc_test::Reset();
    for (const ASIOBufferInfo& info : infos)
        EXPECT_FALSE(Active(driver, info.isInput, 0));
    EXPECT_EQ(infos[1].buffers[0], nullptr);
    EXPECT_EQ(infos[1].buffers[1], nullptr);
    EXPECT_NE(infos[2].buffers[0], nullptr);  // the walk went on past the failure
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_TRUE(Host().messages.empty());  // the host was never asked anything
}

TEST_F(BuffersTest, DisposeIsAlwaysFine) {
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    std::vector<ASIOBufferInfo> infos = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(Create(infos, 256), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_FALSE(Active(driver, false, 0));
}

}  // namespace
}  // namespace ferox::test
