// Thousands of hosts' lives in one process: whatever a cycle makes (blocks of the allocation
// hook, handles of the stand-in and the simulated device, threads) is gone at its end. Each case
// ends with one line: churn NAME: N cycles, allocations +A, handles +H, threads +T.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdio>

#include "integration/test_host.h"
#include "platform/alloc.h"
#include "platform/posix/testing.h"
#include "sim/sim.h"

namespace ferox::test {
namespace {

struct Counts {
    long blocks;
    long handles;
    long threads;
};

Counts Now() {
    return {alloc_test::Live(), static_cast<long>(posix::OpenHandleCount() + sim::OpenHandles()),
            static_cast<long>(posix::LiveThreadCount())};
}

class ChurnTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetWriteMode(sim::WriteMode::Fast);
        // The simulated device's own memory stays flat too: nothing reads its log or capture.
        sim::SetLogLimit(0);
        sim::SetMemoryCapture(false);
        host.Reset();
    }
    void TearDown() override {
        EXPECT_EQ(DllCanUnloadNow(), S_OK);
        EXPECT_EQ(sim::OpenHandles(), 0u);
    }

    // Runs `cycle` once to warm up (what is made once, lazily, is not churn), then `cycles`
    // times, and reports and checks the difference.
    template <typename Cycle>
    void Churn(const char* name, int cycles, Cycle cycle) {
        cycle();
        ASSERT_FALSE(HasFatalFailure());
        const Counts before = Now();
        for (int i = 0; i < cycles; ++i) {
            cycle();
            ASSERT_FALSE(HasFatalFailure()) << "cycle " << i;
        }
        const Counts after = Now();
        const long blocks = after.blocks - before.blocks;
        const long handles = after.handles - before.handles;
        const long threads = after.threads - before.threads;
        std::printf("churn %s: %d cycles, allocations %+ld, handles %+ld, threads %+ld\n", name,
                    cycles, blocks, handles, threads);
        std::fflush(stdout);
        EXPECT_EQ(blocks, 0);
        EXPECT_EQ(handles, 0);
        EXPECT_EQ(threads, 0);
    }

    TestHost& host = TestHost::Get();
};

TEST_F(ChurnTest, CreateAndRelease) {
    Churn("create-release", 10000, [] {
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->Release(), 0u);
    });
}

// A host's whole session: open the device, play a few switches, end, release.
TEST_F(ChurnTest, FullCycles) {
    Churn("full", 1000, [this] {
        IASIO* driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, 64), ASE_OK);
        const int before = host.switches.load();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(before + 4));
        ASSERT_EQ(driver->stop(), ASE_OK);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
        ASSERT_EQ(driver->Release(), 0u);
    });
}

}  // namespace
}  // namespace ferox::test

#endif  // _WIN32
