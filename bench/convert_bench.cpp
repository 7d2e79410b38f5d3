// The copy of one host half into a data slot, against memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "asio/convert.h"

namespace {

struct Half {
    explicit Half(std::size_t words)
        : left(words, 0x01020304), right(words, 0x05060708), out(words * 2) {}
    std::vector<std::int32_t> left, right;
    std::vector<std::uint32_t> out;
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

void ConvertPcm(benchmark::State& state) {
    const auto n = static_cast<AsioLong>(state.range(0));
    Half h(static_cast<std::size_t>(n));
    for (auto _ : state) {
        ferox::ConvertHalf(h.out.data(), h.left.data(), h.right.data(), n, false);
        benchmark::DoNotOptimize(h.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 8));
}

void ConvertDsd(benchmark::State& state) {
    const auto n = static_cast<AsioLong>(state.range(0));
    Half h(static_cast<std::size_t>(n));
    for (auto _ : state) {
        ferox::ConvertHalf(h.out.data(), h.left.data(), h.right.data(), n, true);
        benchmark::DoNotOptimize(h.out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * 8));
}

}  // namespace

BENCHMARK(Memcpy)->Arg(64)->Arg(1024)->Arg(2048);
BENCHMARK(ConvertPcm)->Arg(64)->Arg(1024)->Arg(2048);
BENCHMARK(ConvertDsd)->Arg(64)->Arg(1024)->Arg(2048);
