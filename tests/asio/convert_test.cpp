// Every vector path of the half conversion against the scalar reference.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "asio/convert.h"

namespace ferox {
namespace {

constexpr ConvertPath kVectorPaths[] = {ConvertPath::Sse2, ConvertPath::Ssse3, ConvertPath::Avx2,
                                        ConvertPath::Avx512};
constexpr std::uint32_t kGuard = 0xDEADBEEFu;

// Words that differ in every byte, so a misplaced or unswapped byte shows.
std::vector<std::int32_t> Pattern(std::size_t words, std::uint32_t seed) {
    std::vector<std::int32_t> v(words);
    std::uint32_t x = seed;
    for (auto& w : v) {
        x = x * 1664525u + 1013904223u;
        w = static_cast<std::int32_t>(x);
    }
    return v;
}

struct Layout {
    int leftOffset, rightOffset, outOffset;  // in words, off the vectors' alignment
};

// Converts n frames with the path and with the reference, from the same inputs placed as the
// layout says, and checks that the results agree and nothing past the n frames was written.
void ExpectSameAsScalar(ConvertPath path, AsioLong n, bool dsd, bool twoOutputs, Layout at) {
    const auto words = static_cast<std::size_t>(n);
    const auto left = Pattern(words + 8, 1);
    const auto right = Pattern(words + 8, 2);
    const std::int32_t* l = left.data() + at.leftOffset;
    const std::int32_t* r = twoOutputs ? right.data() + at.rightOffset : l;
    std::vector<std::uint32_t> want(2 * words + 8, kGuard), got(2 * words + 8, kGuard);
    ConvertHalf(want.data() + at.outOffset, l, r, n, dsd, ConvertPath::Scalar);
    ConvertHalf(got.data() + at.outOffset, l, r, n, dsd, path);
    ASSERT_EQ(want, got) << ConvertPathName(path) << " n=" << n << (dsd ? " DSD" : " PCM")
                         << (twoOutputs ? " two outputs" : " one output") << " offsets "
                         << at.leftOffset << "/" << at.rightOffset << "/" << at.outOffset;
}

TEST(ConvertHalf, ReferenceInterleavesAndReversesDsdBytes) {
    const std::int32_t left[2] = {0x04030201, 0x0D0C0B0A};
    const std::int32_t right[2] = {0x08070605, 0x11100F0E};
    std::uint32_t out[5] = {0, 0, 0, 0, kGuard};
    ConvertHalf(out, left, right, 2, false, ConvertPath::Scalar);
    EXPECT_EQ(out[0], 0x04030201u);
    EXPECT_EQ(out[1], 0x08070605u);
    EXPECT_EQ(out[2], 0x0D0C0B0Au);
    EXPECT_EQ(out[3], 0x11100F0Eu);
    ConvertHalf(out, left, right, 2, true, ConvertPath::Scalar);
    EXPECT_EQ(out[0], 0x01020304u);
    EXPECT_EQ(out[1], 0x05060708u);
    EXPECT_EQ(out[2], 0x0A0B0C0Du);
    EXPECT_EQ(out[3], 0x0E0F1011u);
    EXPECT_EQ(out[4], kGuard);
}

// Every size a half can have, both modes, one and two outputs, aligned buffers.
TEST(ConvertHalf, EveryPathMatchesTheReferenceAtEverySize) {
    for (ConvertPath path : kVectorPaths) {
        if (!ConvertPathAvailable(path))
            continue;
        for (AsioLong n = 1; n <= 2048; ++n) {
            for (bool dsd : {false, true}) {
                for (bool two : {false, true}) {
                    ExpectSameAsScalar(path, n, dsd, two, {0, 0, 0});
                    if (HasFatalFailure())
                        return;
                }
            }
        }
    }
}

// Host buffers and the slot need not share an alignment: each is moved off it on its own.
TEST(ConvertHalf, EveryPathMatchesTheReferenceOnUnalignedBuffers) {
    const AsioLong sizes[] = {1,  3,  4,  5,  7,  8,  9,    15,   16,   17,  31,
                              32, 33, 47, 63, 64, 65, 1023, 1024, 2047, 2048};
    for (ConvertPath path : kVectorPaths) {
        if (!ConvertPathAvailable(path))
            continue;
        for (AsioLong n : sizes) {
            for (int l = 0; l < 4; ++l) {
                for (int r = 0; r < 4; ++r) {
                    for (int o = 0; o < 4; ++o) {
                        for (bool dsd : {false, true}) {
                            ExpectSameAsScalar(path, n, dsd, true, {l, r, o});
                            ExpectSameAsScalar(path, n, dsd, false, {l, r, o});
                            if (HasFatalFailure())
                                return;
                        }
                    }
                }
            }
        }
    }
}

TEST(ConvertHalf, PathsTheCpuLacksFallBackToOneItHas) {
    EXPECT_TRUE(ConvertPathAvailable(ConvertPath::Scalar));
    EXPECT_TRUE(ConvertPathAvailable(BestConvertPath()));
    const std::int32_t left[5] = {1, 2, 3, 4, 5};
    for (ConvertPath path : kVectorPaths) {
        std::uint32_t out[10] = {};
        ConvertHalf(out, left, left, 5, false, path);  // runs whatever the CPU has
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(out[2 * i], static_cast<std::uint32_t>(left[i]));
            EXPECT_EQ(out[2 * i + 1], static_cast<std::uint32_t>(left[i]));
        }
    }
}

// A measured choice is what every switch converts with. Run under the sanitizers, this also holds
// the measurement to its scratch space.
TEST(MeasureConvertChoice, NamesAPathThisCpuRunsForEachModeAndSaysItMeasured) {
    const ConvertChoice choice = MeasureConvertChoice();
    EXPECT_TRUE(choice.measured);
    EXPECT_TRUE(ConvertPathAvailable(choice.pcm)) << ConvertPathName(choice.pcm);
    EXPECT_TRUE(ConvertPathAvailable(choice.dsd)) << ConvertPathName(choice.dsd);
    EXPECT_FALSE(RuleConvertChoice().measured);
}

TEST(FillSilence, WritesTheIdlePatternOfTheModeAndNoMore) {
    std::uint32_t out[7];
    std::memset(out, 0x11, sizeof(out));
    FillSilence(out, 3, true);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out[i], 0xAAAAAAAAu);
    FillSilence(out, 3, false);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out[i], 0u);
    EXPECT_EQ(out[6], 0x11111111u);
}

}  // namespace
}  // namespace ferox
