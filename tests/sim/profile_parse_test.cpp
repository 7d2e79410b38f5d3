// Reports as device profiles: whatever a report holds, or lacks, or holds malformed, the machine
// is the report's where it can be read and the built-in model's elsewhere.
#include <gtest/gtest.h>

#include <cstring>

#include "sim/sim.h"

namespace ferox::sim {
namespace {

ULONG MaxRate(const Bytes& range) {
    KSDATARANGE_AUDIO r;
    std::memcpy(&r, range.data(), sizeof r);
    return r.MaximumSampleFrequency;
}

TEST(ProfileParseTest, ReadsWhatItCanAndTakesTheRestFromTheModel) {
    // A DATARANGES reply: KSMULTIPLE_ITEM claiming 2 ranges, then one range of 88 bytes with
    // rates 44100..96000 (the second is cut off).
    Bytes reply(8 + 88, 0);
    const ULONG head[2] = {8 + 88 * 2, 2};
    std::memcpy(reply.data(), head, 8);
    const Bytes range = AudioRange(2, 32, 32, 44100, 96000);
    std::memcpy(reply.data() + 8, range.data(), 88);
    std::string hex;
    for (BYTE b : reply) {
        char two[3];
        std::snprintf(two, 3, "%02x", b);
        hex += two;
    }
    struct Row {
        const char* what;
        std::string text;
        bool ok;
        std::size_t interfaces;
        std::size_t pins;    // of the first interface
        std::size_t ranges;  // of its first pin
        ULONG maxRate;       // of that pin's first range
        double pace;
    };
    const Row rows[] = {
        {"not JSON", "{\"device\": ", false, 0, 0, 0, 0, 1},
        {"an array", "[1, 2]", false, 0, 0, 0, 0, 1},
        {"empty: the model", "{}", true, 1, 2, 1, 768000, 1},
        {"no DAC found", R"({"device": {"found": false}})", true, 0, 0, 0, 0, 1},
        {"decoded range",
         R"({"device": {"pins": [{"data_ranges": [{"rates": [44100, 192000]}]}]}})", true, 1, 1, 1,
         192000, 1},
        {"raw reply cut short, counted past its end",
         R"({"device": {"pins": [{"raw": {"dataranges": {"result": "0x00000000", "raw": ")" + hex +
             R"("}}}, {}]}})",
         true, 1, 2, 1, 96000, 1},
        {"raw reply of odd length: the model's",
         R"({"device": {"pins": [{"raw": {"dataranges": {"result": "0x00000000", "raw": "abc"}}}]}})",
         true, 1, 1, 1, 768000, 1},
        {"fields of the wrong type",
         R"({"device": {"pins": [{"communication": "sink", "data_ranges": 7}]}, "pace": {"ratio": "fast"}})",
         true, 1, 1, 1, 768000, 1},
        {"pace out of reach", R"({"pace": {"ratio": 1e9}})", true, 1, 2, 1, 768000, 1},
        {"pace", R"({"pace": {"ratio": 2.0}})", true, 1, 2, 1, 768000, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string error;
        const auto p = ParseProfile(row.text, &error);
        ASSERT_EQ(p.has_value(), row.ok) << error;
        if (!p) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ASSERT_EQ(p->machine.interfaces.size(), row.interfaces);
        if (row.interfaces == 0)
            continue;
        const Filter& f = p->machine.interfaces[0].filter;
        EXPECT_EQ(f.pace, row.pace);
        ASSERT_EQ(f.pins.size(), row.pins);
        ASSERT_EQ(f.pins[0].dataRanges.size(), row.ranges);
        EXPECT_EQ(MaxRate(f.pins[0].dataRanges[0]), row.maxRate);
    }
}

}  // namespace
}  // namespace ferox::sim
