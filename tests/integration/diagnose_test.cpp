// The diagnostic when it cannot check everything: each way the DAC can be missing or held ends in
// a report that says so, and both streams skipped with the reason, with nothing left open.
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "asio/diagnose.h"
#include "asio/settings.h"
#include "integration/test_host.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

using json = nlohmann::json;

TEST(DiagnoseTest, SaysWhyTheDacCouldNotBeCheckedOrStreamed) {
    IASIO* holder = nullptr;  // another program playing on the DAC
    struct Row {
        const char* what;
        std::function<void()> setUp;
        bool found;
        bool opened;
        bool created;
        const char* skipped;
    };
    const Row rows[] = {
        {"no DAC", [] { sim::Reset(sim::Machine{}); }, false, false, false,
         "the driver could not open the DAC"},
        {"filter held",
         [] {
             sim::Reset(sim::DefaultMachine());
             sim::Fault f;
             f.error = ERROR_SHARING_VIOLATION;
             f.times = 0;
             sim::InjectFault({sim::Op::CreateFile}, f);
         },
         true, false, false, "another program holds the DAC"},
        {"pin held",
         [&holder] {
             sim::Reset(sim::DefaultMachine());
             TestHost::Get().Reset();
             holder = CreateDriver();
             ASSERT_EQ(holder->init(nullptr), ASIOTrue);
             ASSERT_EQ(CreateOutputs(holder, 2, 256), ASE_OK);
             ASSERT_EQ(holder->start(), ASE_OK);
         },
         true, true, false, "another program holds the DAC"},
    };
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.setUp();
        DiagnoseOptions options;
        options.streamMs = 100;
        const json report = json::parse(Diagnose(options), nullptr, false);
        ASSERT_TRUE(report.is_object());
        // It plays at the rates it tries, and keeps none of them for the user.
        HKEY key = nullptr;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key),
                  ERROR_SUCCESS);
        if (key)
            RegCloseKey(key);
        const json& device = report["device"];
        EXPECT_EQ(device["found"], row.found);
        EXPECT_EQ(device["filter"]["opened"], row.opened);
        EXPECT_EQ(device.value("render_pin", json::object()).value("created", false), row.created);
        ASSERT_EQ(report["streams"].size(), 2u);
        for (const auto& s : report["streams"])
            EXPECT_EQ(s.value("skipped", ""), row.skipped) << s.dump();
        if (holder) {
            holder->stop();
            EXPECT_EQ(holder->Release(), 0u);
            holder = nullptr;
        }
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }
}

}  // namespace
}  // namespace ferox::test
