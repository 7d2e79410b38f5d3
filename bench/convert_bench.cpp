// The copy of one host half into a data slot, against memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "convert_bench.h"

namespace ferox::bench {
ConvertChoice PickedConvertChoice() {
    static const ConvertChoice choice = MeasureConvertChoice();
    return choice;
}
}  // namespace ferox::bench

namespace {

// As in the driver: host halves from the heap, the slot on a cache line.
struct Half {
    explicit Half(std::size_t words) : left(words, 0x01020304), right(words, 0x05060708) {}
    std::vector<std::int32_t> left, right;
    struct alignas(64) Slot {
        std::uint32_t words[2 * 2048];
        std::uint32_t* data() { return words; }
    } out;
};

// The baseline: the same bytes moved without interleaving or conversion.
void Memcpy(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    Half h(n);
    for (auto _ : state) {
        std::memcpy(h.out.data(), h.left.data(), n * 4);
        std::memcpy(h.out.data() + n, h.right.data(), n * 4);
        benchmark::DoNotOptimize(h.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 8));
}

// The path the driver picks on this CPU (range 1 -1), or the one named.
void Convert(benchmark::State& state, bool dsd) {
    const auto n = static_cast<AsioLong>(state.range(0));
    const auto path = state.range(1) < 0 ? ferox::bench::PickedConvertChoice().For(dsd)
                                         : static_cast<ferox::ConvertPath>(state.range(1));
    if (!ferox::ConvertPathAvailable(path)) {
        state.SkipWithError("this CPU lacks the path");
        return;
    }
    state.SetLabel(ferox::ConvertPathName(path));
    Half h(static_cast<std::size_t>(n));
    for (auto _ : state) {
        ferox::ConvertHalf(h.out.data(), h.left.data(), h.right.data(), n, dsd, path);
        benchmark::DoNotOptimize(h.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 8));
}

void ConvertPcm(benchmark::State& state) {
    Convert(state, false);
}
void ConvertDsd(benchmark::State& state) {
    Convert(state, true);
}

// A whole switch: the host fills its half with SSE code of its own (floats scaled to 32-bit
// words, as a mixer does), then the driver converts it, and the host's next fill follows on the
// same thread. A path that leaves wide registers dirty or slows the core shows here, not in the
// copy alone.
void Switch(benchmark::State& state, bool dsd) {
    const auto n = static_cast<AsioLong>(state.range(0));
    const auto path = static_cast<ferox::ConvertPath>(state.range(1));
    if (!ferox::ConvertPathAvailable(path)) {
        state.SkipWithError("this CPU lacks the path");
        return;
    }
    state.SetLabel(ferox::ConvertPathName(path));
    Half h(static_cast<std::size_t>(n));
    std::vector<float> mix(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < mix.size(); ++i)
        mix[i] = static_cast<float>(i % 200) / 200.0f - 0.5f;
    float gain = 0.5f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gain);
        for (std::size_t i = 0; i < mix.size(); ++i) {
            h.left[i] = static_cast<std::int32_t>(mix[i] * gain * 2147483647.0f);
            h.right[i] = static_cast<std::int32_t>(mix[i] * -gain * 2147483647.0f);
        }
        ferox::ConvertHalf(h.out.data(), h.left.data(), h.right.data(), n, dsd, path);
        benchmark::DoNotOptimize(h.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 8));
}
void SwitchPcm(benchmark::State& state) {
    Switch(state, false);
}
void SwitchDsd(benchmark::State& state) {
    Switch(state, true);
}
void WidePaths(benchmark::internal::Benchmark* b) {
    for (long n : {256, 1024, 2048}) {
        for (auto p : {ferox::ConvertPath::Avx2, ferox::ConvertPath::Avx512})
            b->Args({n, static_cast<long>(p)});
    }
}

// Every size with the driver's own choice, and each path at the sizes the figures use.
void Sizes(benchmark::internal::Benchmark* b) {
    for (long n : {64, 1024, 2048})
        b->Args({n, -1});
    for (long n : {1024, 2048}) {
        for (long p = 0; p <= static_cast<long>(ferox::ConvertPath::Avx512); ++p)
            b->Args({n, p});
    }
}

// The choice itself, as the first start makes it: bounded at a few milliseconds.
void ChooseConvertPath(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(ferox::MeasureConvertChoice());
}

}  // namespace

BENCHMARK(ChooseConvertPath)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Memcpy)->Arg(64)->Arg(1024)->Arg(2048);
BENCHMARK(ConvertPcm)->Apply(Sizes);
BENCHMARK(ConvertDsd)->Apply(Sizes);
BENCHMARK(SwitchPcm)->Apply(WidePaths);
BENCHMARK(SwitchDsd)->Apply(WidePaths);
