// The pair a switch publishes is read whole, whoever writes it and however often.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "asio/switch_stamp.h"

namespace ferox {
namespace {

// Every pair written has time = 3 * position + 1, so a pair made of two writes shows.
bool Whole(const SwitchStamp::Pair& p) {
    return (p.position == 0 && p.time == 0) || p.time == 3 * p.position + 1;
}

TEST(SwitchStamp, ReadersNeverSeeHalfAPair) {
    SwitchStamp stamp;
    EXPECT_TRUE(Whole(stamp.Read()));
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::atomic<long> backwards{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            std::uint64_t last = 0;
            while (!done.load()) {
                const SwitchStamp::Pair p = stamp.Read();
                torn.fetch_add(Whole(p) ? 0 : 1);
                backwards.fetch_add(p.position < last ? 1 : 0);
                last = p.position;
            }
        });
    }
    // Values that differ in both 32-bit halves, so a torn 64-bit access on a 32-bit target shows
    // as well.
    constexpr std::uint64_t kHigh = 0x1'0000'0000ull;
    for (std::uint64_t k = 1; k <= 200000; ++k)
        stamp.Publish(kHigh * k + k, 3 * (kHigh * k + k) + 1);
    done = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(backwards.load(), 0);
    const SwitchStamp::Pair last = stamp.Read();
    EXPECT_EQ(last.position, kHigh * 200000 + 200000);
}

// A start resets the pair while an old stream might still publish: two writers at once still
// leave only whole pairs.
TEST(SwitchStamp, TwoWritersLeaveOnlyWholePairs) {
    SwitchStamp stamp;
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::thread reader([&] {
        while (!done.load())
            torn.fetch_add(Whole(stamp.Read()) ? 0 : 1);
    });
    auto writer = [&](std::uint64_t from) {
        for (std::uint64_t k = from; k < from + 100000; ++k)
            stamp.Publish(k, 3 * k + 1);
    };
    std::thread a(writer, 1);
    std::thread b(writer, 1000000);
    a.join();
    b.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_TRUE(Whole(stamp.Read()));
}

}  // namespace
}  // namespace ferox
