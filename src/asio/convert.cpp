#include "asio/convert.h"

#include <chrono>
#include <cstring>
#include <initializer_list>

#if defined(__i386__) || defined(__x86_64__)
#define FEROX_X86 1
#include <immintrin.h>
#endif

namespace ferox {

namespace {
constexpr std::uint32_t kDsdSilence = 0xAAAAAAAAu;

std::uint32_t ByteSwap(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

std::uint32_t LoadWord(const std::int32_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// The reference: one frame at a time, as the device expects it.
void ConvertScalar(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                   AsioLong n, bool dsd) {
    if (dsd) {
        for (AsioLong i = 0; i < n; ++i) {
            out[2 * i] = ByteSwap(LoadWord(left + i));
            out[2 * i + 1] = ByteSwap(LoadWord(right + i));
        }
    } else {
        for (AsioLong i = 0; i < n; ++i) {
            out[2 * i] = LoadWord(left + i);
            out[2 * i + 1] = LoadWord(right + i);
        }
    }
}

// Frames converted one at a time until the output reaches a 64-byte line, so the wide stores
// that follow never split one. An output off 8-byte alignment never gets there and goes as is.
AsioLong AlignOutput(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                     AsioLong n, bool dsd) {
    const auto at = reinterpret_cast<std::uintptr_t>(out);
    if (at % 8 != 0)
        return 0;
    const auto frames = static_cast<AsioLong>((64 - at % 64) % 64 / 8);
    const AsioLong lead = frames < n ? frames : n;
    ConvertScalar(out, left, right, lead, dsd);
    return lead;
}

#ifdef FEROX_X86

// Byte reversal of each 32-bit word without pshufb: swap the bytes of every 16-bit lane, then
// the two lanes of every word.
__attribute__((target("sse2"))) inline __m128i SwapSse2(__m128i v) {
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
}

// Four frames a step: the words of both sides interleaved, byte-reversed for DSD. The tail goes
// to the reference.
template <bool kDsd>
__attribute__((target("sse2"))) inline void Convert128(std::uint32_t* out, const std::int32_t* left,
                                                       const std::int32_t* right, AsioLong n) {
    AsioLong i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + i));
        __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + i));
        if constexpr (kDsd) {
            l = SwapSse2(l);
            r = SwapSse2(r);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi32(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 4), _mm_unpackhi_epi32(l, r));
    }
    ConvertScalar(out + 2 * i, left + i, right + i, n - i, kDsd);
}

__attribute__((target("sse2"))) void ConvertSse2(std::uint32_t* out, const std::int32_t* left,
                                                 const std::int32_t* right, AsioLong n, bool dsd) {
    if (dsd)
        Convert128<true>(out, left, right, n);
    else
        Convert128<false>(out, left, right, n);
}

// PCM has nothing to gain from SSSE3; DSD reverses with one pshufb a register.
__attribute__((target("ssse3"))) void ConvertSsse3(std::uint32_t* out, const std::int32_t* left,
                                                   const std::int32_t* right, AsioLong n,
                                                   bool dsd) {
    if (!dsd)
        return ConvertSse2(out, left, right, n, false);
    const __m128i reverse = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    AsioLong i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i l =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(left + i)), reverse);
        const __m128i r =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(right + i)), reverse);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi32(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 4), _mm_unpackhi_epi32(l, r));
    }
    ConvertScalar(out + 2 * i, left + i, right + i, n - i, true);
}

// Eight frames a step. The unpacks work within 128-bit lanes, so the two results are put back
// in frame order across the lanes.
__attribute__((target("avx2"))) void ConvertAvx2(std::uint32_t* out, const std::int32_t* left,
                                                 const std::int32_t* right, AsioLong n, bool dsd) {
    const __m256i reverse = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3,
                                            12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    AsioLong i = AlignOutput(out, left, right, n, dsd);
    for (; i + 8 <= n; i += 8) {
        __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(left + i));
        __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(right + i));
        if (dsd) {
            l = _mm256_shuffle_epi8(l, reverse);
            r = _mm256_shuffle_epi8(r, reverse);
        }
        const __m256i lo = _mm256_unpacklo_epi32(l, r);
        const __m256i hi = _mm256_unpackhi_epi32(l, r);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                            _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 8),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    // The host's SSE code runs next on this thread: clean upper halves spare it the transition
    // penalty or false dependencies. Said here, as the compiler leaves it out of a tail call.
    _mm256_zeroupper();
    ConvertScalar(out + 2 * i, left + i, right + i, n - i, dsd);
}

// Sixteen frames a step; one two-source permute builds eight frames, so the shuffle unit is no
// longer the bound.
__attribute__((target("avx512f,avx512bw"))) void ConvertAvx512(std::uint32_t* out,
                                                               const std::int32_t* left,
                                                               const std::int32_t* right,
                                                               AsioLong n, bool dsd) {
    const __m512i first = _mm512_set_epi32(23, 7, 22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
    const __m512i second =
        _mm512_set_epi32(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8);
    // Each word's bytes 3 2 1 0, within each 128-bit lane.
    const __m512i reverse = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    AsioLong i = AlignOutput(out, left, right, n, dsd);
    for (; i + 16 <= n; i += 16) {
        __m512i l = _mm512_loadu_si512(left + i);
        __m512i r = _mm512_loadu_si512(right + i);
        if (dsd) {
            l = _mm512_shuffle_epi8(l, reverse);
            r = _mm512_shuffle_epi8(r, reverse);
        }
        _mm512_storeu_si512(out + 2 * i, _mm512_permutex2var_epi32(l, first, r));
        _mm512_storeu_si512(out + 2 * i + 16, _mm512_permutex2var_epi32(l, second, r));
    }
    _mm256_zeroupper();
    ConvertAvx2(out + 2 * i, left + i, right + i, n - i, dsd);
}

#endif  // FEROX_X86

}  // namespace

bool ConvertPathAvailable(ConvertPath path) noexcept {
    switch (path) {
        case ConvertPath::Scalar:
            return true;
#ifdef FEROX_X86
        case ConvertPath::Sse2:
            return __builtin_cpu_supports("sse2");
        case ConvertPath::Ssse3:
            return __builtin_cpu_supports("ssse3");
        case ConvertPath::Avx2:
            return __builtin_cpu_supports("avx2");
        case ConvertPath::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
#endif
        default:
            return false;
    }
}

ConvertPath BestConvertPath() noexcept {
    for (ConvertPath p : {ConvertPath::Avx2, ConvertPath::Ssse3, ConvertPath::Sse2}) {
        if (ConvertPathAvailable(p))
            return p;
    }
    return ConvertPath::Scalar;
}

namespace {
using Clock = std::chrono::steady_clock;

constexpr AsioLong kScratchFrames = 2048;
// Large halves only: there the copy is a part of a switch worth choosing for; on a small one the
// few nanoseconds a call costs more or less vanish in the switch's own microseconds. Each size
// converts the whole scratch half; two passes, so that a 100 ns clock (Windows') still resolves a
// few per cent on the fastest path.
constexpr AsioLong kTrialSizes[] = {2048, 1024, 512};
constexpr int kTrialPasses = 2;
// The first round warms caches and wide units and is not counted; a round takes 40-100 us on a
// current x86.
constexpr int kMinRounds = 3;
constexpr int kMaxRounds = 24;
constexpr auto kBudget = std::chrono::milliseconds(2);
// Within this of the fastest, the narrower path: it costs the core less.
constexpr double kTie = 1.02;
constexpr int kPaths = static_cast<int>(ConvertPath::Avx512) + 1;

std::uint32_t* LineAligned(std::uint32_t* p, std::size_t words) {
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    return p + ((64 - at % 64) % 64) / sizeof(*p) + words;
}

Clock::duration Trial(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                      ConvertPath path, bool dsd) {
    const Clock::time_point begin = Clock::now();
    for (int pass = 0; pass < kTrialPasses; ++pass) {
        for (AsioLong n : kTrialSizes) {
            for (AsioLong at = 0; at < kScratchFrames; at += n)
                ConvertHalf(out + 2 * at, left + at, right + at, n, dsd, path);
        }
    }
    // Nothing reads the scratch: without this the conversions could go.
    asm volatile("" : : "r"(out) : "memory");
    return Clock::now() - begin;
}

ConvertPath Fastest(const Clock::duration (&best)[kPaths]) {
    auto fastest = Clock::duration::max();
    for (const auto& t : best)
        fastest = t < fastest ? t : fastest;
    for (int p = 0; p < kPaths; ++p) {
        if (best[p] != Clock::duration::max() && best[p].count() <= fastest.count() * kTie)
            return static_cast<ConvertPath>(p);
    }
    return BestConvertPath();
}
}  // namespace

ConvertChoice RuleConvertChoice() noexcept {
    return {BestConvertPath(), BestConvertPath(), false};
}

ConvertChoice MeasureConvertChoice() noexcept {
    // On the stack, not the heap: the caller's allocations stay as they were. The lines are
    // found by hand, whatever the stack's alignment. The host's halves come from the heap, 16
    // bytes past a line; the slot starts on one.
    std::uint32_t outSpace[2 * kScratchFrames + 16];
    std::uint32_t inSpace[2 * (kScratchFrames + 32)];
    std::uint32_t* const out = LineAligned(outSpace, 0);
    auto* const left = reinterpret_cast<std::int32_t*>(LineAligned(inSpace, 4));
    std::int32_t* const right = left + kScratchFrames + 16;
    std::uint32_t x = 1;
    for (std::uint32_t& w : inSpace) {
        x = x * 1664525u + 1013904223u;
        w = x;
    }
    Clock::duration best[2][kPaths];
    for (auto& mode : best) {
        for (auto& t : mode)
            t = Clock::duration::max();
    }
    const Clock::time_point begin = Clock::now();
    // Round by round, so that a burst of load on the machine falls on every path alike.
    for (int round = 0; round < kMaxRounds; ++round) {
        if (round >= kMinRounds && Clock::now() - begin > kBudget)
            break;
        for (int p = 0; p < kPaths; ++p) {
            const auto path = static_cast<ConvertPath>(p);
            if (!ConvertPathAvailable(path))
                continue;
            for (bool dsd : {false, true}) {
                const Clock::duration t = Trial(out, left, right, path, dsd);
                if (round > 0 && t < best[dsd][p])
                    best[dsd][p] = t;
            }
        }
    }
    return {Fastest(best[0]), Fastest(best[1]), true};
}

const char* ConvertPathName(ConvertPath path) noexcept {
    switch (path) {
        case ConvertPath::Scalar:
            return "scalar";
        case ConvertPath::Sse2:
            return "sse2";
        case ConvertPath::Ssse3:
            return "ssse3";
        case ConvertPath::Avx2:
            return "avx2";
        case ConvertPath::Avx512:
            return "avx512";
    }
    return "?";
}

void ConvertHalf(std::uint32_t* out, const std::int32_t* left, const std::int32_t* right,
                 AsioLong n, bool dsd, ConvertPath path) noexcept {
    if (!ConvertPathAvailable(path))
        path = BestConvertPath();
    switch (path) {
#ifdef FEROX_X86
        case ConvertPath::Sse2:
            return ConvertSse2(out, left, right, n, dsd);
        case ConvertPath::Ssse3:
            return ConvertSsse3(out, left, right, n, dsd);
        case ConvertPath::Avx2:
            return ConvertAvx2(out, left, right, n, dsd);
        case ConvertPath::Avx512:
            return ConvertAvx512(out, left, right, n, dsd);
#endif
        default:
            return ConvertScalar(out, left, right, n, dsd);
    }
}

void FillSilence(std::uint32_t* out, AsioLong n, bool dsd) noexcept {
    const std::uint32_t word = dsd ? kDsdSilence : 0;
    for (AsioLong i = 0; i < 2 * n; ++i)
        out[i] = word;
}

}  // namespace ferox
