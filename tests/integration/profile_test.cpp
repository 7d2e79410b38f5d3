// The diagnostic's report as a device: the simulated DAC loaded with it answers the driver as the
// device did, and the shipped profiles make the driver behave as such devices demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "asio/diagnose.h"
#include "asio/settings.h"
#include "integration/test_host.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

using json = nlohmann::json;

// What a host sees of a machine: the report's device and driver parts, and the bytes a short
// stream of numbered words delivers.
struct Seen {
    json device;
    json driver;
    sim::Bytes stream;
};

Seen Observe(const sim::Machine& machine, DWORD bufferMs) {
    Seen seen;
    sim::Reset(machine);
    sim::SetWriteMode(sim::WriteMode::RealTime, bufferMs);
    DiagnoseOptions options;
    options.streamMs = 0;
    const json report = json::parse(Diagnose(options), nullptr, false);
    EXPECT_TRUE(report.is_object());
    seen.device = report.value("device", json());
    seen.driver = report.value("driver", json());

    sim::Reset(machine);
    TestHost::Get().Reset();
    IASIO* driver = CreateDriver();
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(CreateOutputs(driver, 2, 256), ASE_OK);
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(TestHost::Get().WaitSwitches(40));
    driver->stop();
    EXPECT_EQ(driver->Release(), 0u);
    seen.stream = sim::Captured();
    return seen;
}

TEST(ProfileTest, ReportLoadedAsDeviceAnswersTheSameAndStreamsBitExact) {
    sim::Reset(sim::DefaultMachine());
    sim::SetWriteMode(sim::WriteMode::RealTime, 40);
    DiagnoseOptions options;
    options.streamMs = 300;
    const std::string text = Diagnose(options);
    const json report = json::parse(text, nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(sim::OpenHandles(), 0u);

    // The model as the report tells it.
    const json& device = report["device"];
    EXPECT_TRUE(device["found"].get<bool>());
    EXPECT_EQ(device["interfaces"][0]["instance"],
              "USB\\VID_5A4E&PID_0C31&MI_00\\7&1F2B6C1&0&0000");
    ASSERT_EQ(device["pins"].size(), 2u);
    EXPECT_EQ(device["pins"][0]["data_ranges"][0]["rates"], json({44100, 768000}));
    EXPECT_EQ(device["render_pin"]["latency"]["hns"], 400000.0);
    EXPECT_TRUE(device["render_pin"]["vendor"]["dsd"]["accepted"].get<bool>());
    EXPECT_EQ(report["driver"]["rates"]["pcm"].size(), 10u);
    EXPECT_EQ(report["driver"]["rates"]["dsd"].size(), 4u);
    for (const auto& s : report["streams"]) {
        EXPECT_FALSE(s.contains("skipped")) << s.dump();
        EXPECT_GT(s["writes"].get<int>(), 3) << s.dump();
    }
    EXPECT_EQ(report["pace"]["buffer_ms"], 40);

    std::string error;
    const auto profile = sim::ParseProfile(text, &error);
    ASSERT_TRUE(profile) << error;
    ASSERT_EQ(profile->bufferMs, 40u);
    const Seen model = Observe(sim::DefaultMachine(), 40);
    const Seen loaded = Observe(profile->machine, *profile->bufferMs);
    EXPECT_EQ(loaded.device, model.device);
    EXPECT_EQ(loaded.driver, model.driver);
    // The halves filled before the 40th switch reached both devices; where the stop fell, and
    // the silence after it, vary from run to run.
    const std::size_t filled = 32u * 256 * 8;
    ASSERT_GE(std::min(model.stream.size(), loaded.stream.size()), filled);
    EXPECT_TRUE(
        std::equal(model.stream.begin(), model.stream.begin() + filled, loaded.stream.begin()));
}

// One row a question the driver answers, asked of each shipped profile.
TEST(ProfileTest, ShippedProfilesDecideWhatTheDriverAccepts) {
    struct Row {
        const char* profile;
        bool dsd;
        double rate;
        ASIOError canRate;
        ASIOError start;  // with buffers of 512 samples
        AsioLong outputLatency;
        const char* message;  // after start
    };
    const Row rows[] = {
        // Halves of 512 at the device for the 10 ms margin, the one in the host's buffer, and
        // the device's own part: 0.67 ms halves at 768 kHz fill the 14 slots a stream keeps.
        {"builtin.json", false, 768000, ASE_OK, ASE_OK, 15 * 512 + 30720, ""},
        {"builtin.json", false, 44100, ASE_OK, ASE_OK, 2 * 512 + 1764, ""},
        {"builtin.json", true, 2822400, ASE_OK, ASE_OK, 15 * 512 + 112896, ""},
        {"limited.json", false, 384000, ASE_OK, ASE_OK, 9 * 512, ""},
        {"limited.json", false, 705600, ASE_NoClock, ASE_NoClock, 2 * 512, ""},
        {"limited.json", false, 768000, ASE_NoClock, ASE_NoClock, 2 * 512, ""},
        {"limited.json", false, 44100, ASE_OK, ASE_OK, 2 * 512, ""},
        {"limited.json", true, 2822400, ASE_OK, ASE_HWMalfunction, 15 * 512,
         "ASIO Pellinor Device refused DSD mode"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + (row.dsd ? " DSD " : " PCM ") +
                     std::to_string(row.rate));
        std::string error;
        const auto profile =
            sim::LoadProfile(std::string(FEROX_SOURCE_DIR "/profiles/") + row.profile, &error);
        ASSERT_TRUE(profile) << error;
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);  // a rate set before is kept
        sim::Reset(profile->machine);
        sim::SetWriteMode(sim::WriteMode::RealTime, profile->bufferMs.value_or(40));
        TestHost::Get().Reset();
        IASIO* driver = CreateDriver();
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        SetIoFormat(driver, row.dsd ? kASIODSDFormat : kASIOPCMFormat);
        EXPECT_EQ(driver->canSampleRate(row.rate), row.canRate);
        driver->setSampleRate(row.rate);
        ASSERT_EQ(CreateOutputs(driver, 2, 512), ASE_OK);
        const ASIOError started = row.canRate == ASE_OK ? driver->start() : ASE_NoClock;
        EXPECT_EQ(started, row.start);
        AsioLong in = 0, out = 0;
        driver->getLatencies(&in, &out);
        EXPECT_EQ(out, row.outputLatency);
        char message[128] = {};
        driver->getErrorMessage(message);
        EXPECT_STREQ(message, row.message);
        driver->stop();
        EXPECT_EQ(driver->Release(), 0u);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }
}

// The limited profile's clock runs at twice the format's rate: the diagnostic sees its writes
// come back at twice the pace, and tells so for the next profile.
TEST(ProfileTest, DiagnosticMeasuresTheProfilesPace) {
    std::string error;
    const auto profile = sim::LoadProfile(FEROX_SOURCE_DIR "/profiles/limited.json", &error);
    ASSERT_TRUE(profile) << error;
    sim::Reset(profile->machine);
    sim::SetWriteMode(sim::WriteMode::RealTime, *profile->bufferMs);
    DiagnoseOptions options;
    options.streamMs = 400;
    const json report = json::parse(Diagnose(options), nullptr, false);
    ASSERT_TRUE(report.is_object());
    EXPECT_NEAR(report["pace"]["ratio"].get<double>(), 2.0, 0.4) << report["streams"].dump();
    EXPECT_FALSE(report["pace"].contains("buffer_ms"));  // no latency property to tell it
    EXPECT_EQ(report["streams"][1]["skipped"], "the driver could not start");
    EXPECT_EQ(report["streams"][1]["error"], "ASIO Pellinor Device refused DSD mode");
}

}  // namespace
}  // namespace ferox::test
