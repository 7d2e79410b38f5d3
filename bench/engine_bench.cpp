// The streaming engine against a device that takes every write at once: the time of one cycle
// (wake on the completion, copy a half, submit, call the host), against memcpy of the same half.
#include <benchmark/benchmark.h>

#include <atomic>

#include "asio/driver_id.h"
#include "asio/pellinor.h"
#include "sim/sim.h"
#include "support/driver.h"

namespace {

std::atomic<long> g_switches{0};

void ASIO_CALLBACK OnSwitch(AsioLong, ASIOBool) {
    g_switches.fetch_add(1);
}
void ASIO_CALLBACK OnRate(ASIOSampleRate) {}
AsioLong ASIO_CALLBACK OnMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOTime* ASIO_CALLBACK OnSwitchTime(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}

void EngineCycle(benchmark::State& state) {
    ferox::sim::Reset();
    ferox::sim::SetWriteMode(ferox::sim::WriteMode::Fast);
    ferox::sim::SetMemoryCapture(false);
    IASIO* driver = ferox::test::CreateDriver();
    ASIOCallbacks callbacks{&OnSwitch, &OnRate, &OnMessage, &OnSwitchTime};
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    const auto n = static_cast<AsioLong>(state.range(0));
    if (driver->init(nullptr) != ASIOTrue ||
        driver->createBuffers(infos, 2, n, &callbacks) != ASE_OK || driver->start() != ASE_OK) {
        state.SkipWithError("the driver did not start");
        driver->Release();
        return;
    }
    for (auto _ : state) {
        const long at = g_switches.load();
        while (g_switches.load() == at) {
        }
    }
    driver->stop();
    driver->Release();
    ferox::sim::SetMemoryCapture(true);
    ferox::sim::ClearLog();
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n * 8);
}

}  // namespace

BENCHMARK(EngineCycle)->Arg(64)->Arg(1024)->Arg(2048)->UseRealTime();
