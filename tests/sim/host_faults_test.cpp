// FEROX_SIM_FAULT as the simulated-DAC DLL reads it: each value's machine and faults, and every
// malformed item refused by name (the DLL then says so instead of guessing).
#include <gtest/gtest.h>

#include <string>

#include "sim/host_faults.h"

namespace ferox::sim {
namespace {

TEST(HostFaultsTest, EachValueShapesTheMachineOrInjectsItsFault) {
    std::string bad;
    auto none = ParseHostFaults(nullptr, &bad);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->machine.interfaces.size(), 1u);
    EXPECT_TRUE(none->faults.empty());

    EXPECT_TRUE(ParseHostFaults("absent", &bad)->machine.interfaces.empty());

    auto both = ParseHostFaults(",busy,no-dsd,", &bad);
    ASSERT_TRUE(both);
    const Filter& f = both->machine.interfaces.at(0).filter;
    EXPECT_EQ(f.pins.at(0).heldElsewhere, f.pins.at(0).instances.PossibleCount);
    ASSERT_EQ(f.refusedModes.size(), 1u);
    EXPECT_EQ(f.refusedModes[0], 0x8000u);

    auto slow = ParseHostFaults("slow,slow=250,unplug-after=1.5", &bad);
    ASSERT_TRUE(slow);
    ASSERT_EQ(slow->faults.size(), 3u);
    for (const auto& [match, fault] : slow->faults)
        EXPECT_EQ(match.op, Op::WriteStream);
    EXPECT_EQ(slow->faults[0].second.action, Action::Pend);
    EXPECT_EQ(slow->faults[0].second.delayMs, 100u);
    EXPECT_EQ(slow->faults[0].second.times, 0u);  // every write, not the first
    EXPECT_EQ(slow->faults[1].second.delayMs, 250u);
    EXPECT_EQ(slow->faults[2].second.action, Action::Unplug);
    EXPECT_EQ(slow->faults[2].second.afterMs, 1500u);
}

TEST(HostFaultsTest, MalformedItemsAreRefusedByName) {
    for (const char* item : {"slow=", "slow=x", "slow=0", "slow=-5", "slow=20000", "unplug-after",
                             "unplug-after=", "unplug-after=inf", "unplug-after=nan",
                             "unplug-after=-1", "unplug-after=2s", "Busy", "absent=1"}) {
        std::string bad;
        EXPECT_FALSE(ParseHostFaults(item, &bad)) << item;
        EXPECT_EQ(bad, item);
    }
    std::string bad;
    EXPECT_FALSE(ParseHostFaults("busy,frob", &bad));
    EXPECT_EQ(bad, "frob");
}

}  // namespace
}  // namespace ferox::sim
