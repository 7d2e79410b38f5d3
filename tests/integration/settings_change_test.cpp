// A change of the user's buffer size, whoever makes it, reaches a running stream: a host whose
// stream runs at another size is asked once to rebuild and is offered the new size.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "asio/settings.h"
#include "integration/test_host.h"

namespace ferox::test {
namespace {

using std::chrono::milliseconds;

class SettingsChangeTest : public DriverStreamTest {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "the Wine prefix's registry is shared with concurrent host checks";
#endif
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
        DriverStreamTest::SetUp();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    }
    void TearDown() override {
        DriverStreamTest::TearDown();
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
    }
    AsioLong Offered() {
        AsioLong mn = 0, mx = 0, pref = 0, gran = 0;
        driver->getBufferSize(&mn, &mx, &pref, &gran);
        return pref;
    }
    // Waits until the condition holds, or a second has passed; then what it says.
    template <typename F>
    bool Within(F condition) {
        for (int i = 0; i < 1000 && !condition(); ++i)
            std::this_thread::sleep_for(milliseconds(1));
        return condition();
    }
};

TEST_F(SettingsChangeTest, ARunningHostIsAskedOncePerChangeToASizeItDoesNotRun) {
    TestHost& host = TestHost::Get();
    ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(4));
    struct Step {
        const char* what;
        AsioLong stored;
        int resets;  // requests the host has had in all after the step
    };
    const Step steps[] = {
        {"a new size", 256, 1},
        {"the same size again", 256, 1},
        {"back to the size the stream runs", 1024, 1},
        {"another new size", 512, 2},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        ASSERT_EQ(SetUserBufferSize(s.stored), ERROR_SUCCESS);
        EXPECT_TRUE(Within([&] { return Offered() == s.stored; }));
        EXPECT_TRUE(Within([&] { return host.resetRequests.load() >= s.resets; }));
        std::this_thread::sleep_for(milliseconds(150));  // three looks: nothing more comes
        EXPECT_EQ(host.resetRequests.load(), s.resets);
    }
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// A host that cannot rebuild is not asked, but is offered the new size in its own mode's units.
TEST_F(SettingsChangeTest, AHostWithoutResetRequestsIsOfferedTheNewSizeOnly) {
    TestHost& host = TestHost::Get();
    host.supportsReset = 0;
    SetIoFormat(driver, kASIODSDFormat);
    ASSERT_EQ(driver->setSampleRate(2822400.0), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 2, 1024 * 32), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(host.WaitSwitches(4));
    ASSERT_EQ(SetUserBufferSize(128), ERROR_SUCCESS);
    EXPECT_TRUE(Within([&] { return Offered() == 128 * 32; }));
    EXPECT_EQ(host.resetRequests.load(), 0);
    EXPECT_EQ(driver->stop(), ASE_OK);
}

// What the settings window shows: the DAC there, played by another program, or gone; this
// host's stream as it runs.
TEST_F(SettingsChangeTest, StatusTellsTheDacAndThisHostsStream) {
    auto* self = static_cast<ASIOPellinor*>(driver);
    DriverStatus s = self->ReadStatus();
    EXPECT_EQ(s.dac, DriverStatus::Dac::Present);
    EXPECT_FALSE(s.streaming);
    EXPECT_EQ(s.bufferSize, 1024);

    IASIO* other = CreateDriver();
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(other->init(nullptr), ASIOTrue);
    ASSERT_EQ(CreateOutputs(other, 2, 512), ASE_OK);
    ASSERT_EQ(other->start(), ASE_OK);
    EXPECT_EQ(self->ReadStatus().dac, DriverStatus::Dac::InUse);
    EXPECT_EQ(other->Release(), 0u);

    ASSERT_EQ(driver->setSampleRate(48000.0), ASE_OK);
    ASSERT_EQ(CreateOutputs(driver, 2, 256), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    ASSERT_TRUE(TestHost::Get().WaitSwitches(4));
    s = self->ReadStatus();
    EXPECT_EQ(s.dac, DriverStatus::Dac::Present);
    EXPECT_TRUE(s.streaming);
    EXPECT_EQ(s.sampleRate, 48000.0);
    EXPECT_FALSE(s.dsd);
    EXPECT_EQ(s.bufferSize, 256);
    EXPECT_GE(s.outputLatencyMs, 256 * 1000.0 / 48000);
    // A host that keeps a switch three halves long makes the next write late.
    TestHost& host = TestHost::Get();
    host.sleepInSwitchMs = 20;
    EXPECT_TRUE(Within([&] { return self->ReadStatus().lateSwitches >= 1; }));
    host.sleepInSwitchMs = 0;
    EXPECT_EQ(driver->stop(), ASE_OK);

    sim::Unplug();
    EXPECT_EQ(self->ReadStatus().dac, DriverStatus::Dac::NotFound);
}

}  // namespace
}  // namespace ferox::test
