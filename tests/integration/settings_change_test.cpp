// A change of the user's buffer size, whoever makes it, reaches a running stream: a host whose
// stream runs at another size is asked once to rebuild and is offered the new size.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "asio/pellinor.h"
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
    static bool KeyExists() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != 0)
            return false;
        RegCloseKey(key);
        return true;
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

// A change is told to the host once, whatever comes between it and the message: a save before
// the host's first start, the switch in which the host stops, the window's status read, the key
// deleted and made again. Each row leaves a stream playing at 1024; a later change must still
// reach it (the watch lives on), and nothing but a save may write the key.
TEST_F(SettingsChangeTest, AChangeIsToldOnceWhateverComesBetween) {
    TestHost& host = TestHost::Get();
    auto play = [&] {
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(before + 4));
    };
    struct Row {
        const char* what;
        std::function<void()> run;  // ends playing, with the host told once
    };
    const Row rows[] = {
        {"a size saved before the first start",
         [&] {
             ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
             ASSERT_EQ(SetUserBufferSize(256), ERROR_SUCCESS);
             play();
             EXPECT_TRUE(Within([&] { return host.resetRequests.load() == 1; }));
         }},
        {"a size saved in the switch in which the host stops",
         [&] {
             ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
             std::atomic<bool> stopped{false};
             host.inSwitch = [&](int k) {
                 if (k != 5)
                     return;
                 SetUserBufferSize(256);
                 // Until the watch has read it: the change meets the stream's end.
                 Within([&] { return Offered() == 256; });
                 driver->stop();
                 stopped = true;
             };
             play();
             ASSERT_TRUE(Within([&] { return stopped.load(); }));
             host.inSwitch = nullptr;
             EXPECT_EQ(host.resetRequests.load(), 0);
             play();
             EXPECT_TRUE(Within([&] { return host.resetRequests.load() == 1; }));
         }},
        {"the window's status read between a latency change and its message",
         [&] {
             sim::SetWriteMode(sim::WriteMode::RealTime, 20);  // a device that holds audio
             ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
             AsioLong in = 0, out = 0;
             driver->getLatencies(&in, &out);
             play();
             ASSERT_EQ(driver->stop(), ASE_OK);
             EXPECT_FALSE(KeyExists());  // a start only reads it
             const int told = host.latencyChanges.load();
             // The device's part, in samples, moves with the rate; the host learns at start.
             ASSERT_EQ(driver->setSampleRate(96000.0), ASE_OK);
             static_cast<ASIOPellinor*>(driver)->ReadStatus();
             play();
             EXPECT_EQ(host.latencyChanges.load(), told + 1);
             EXPECT_EQ(host.resetRequests.load(), 0);
         }},
        {"the key deleted while playing, then made again",
         [&] {
             ASSERT_EQ(SetUserBufferSize(1024), ERROR_SUCCESS);
             ASSERT_EQ(CreateOutputs(driver, 2, 1024), ASE_OK);
             play();
             ASSERT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey), ERROR_SUCCESS);
             std::this_thread::sleep_for(milliseconds(100));
             EXPECT_EQ(host.resetRequests.load(), 0);  // the default is the stream's size
             ASSERT_EQ(SetUserBufferSize(256), ERROR_SUCCESS);
             EXPECT_TRUE(Within([&] { return host.resetRequests.load() == 1; }));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        DriverStreamTest::TearDown();
        SetUp();
        row.run();
        std::this_thread::sleep_for(milliseconds(100));  // nothing more comes
        const int told = host.resetRequests.load();
        EXPECT_LE(told, 1);
        ASSERT_EQ(SetUserBufferSize(512), ERROR_SUCCESS);
        EXPECT_TRUE(Within([&] { return host.resetRequests.load() == told + 1; }));
        EXPECT_EQ(driver->stop(), ASE_OK);
    }
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
