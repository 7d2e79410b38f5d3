#include "streaming_allocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "asio/asio.h"
#include "platform/alloc.h"
#include "sim/sim.h"
#include "support/driver.h"

namespace {

thread_local bool t_streaming = false;
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_switches{0};

void ASIO_CALLBACK OnSwitch(AsioLong, ASIOBool) {
    t_streaming = true;  // only the streaming thread calls back
    g_switches.fetch_add(1);
}
void ASIO_CALLBACK OnRate(ASIOSampleRate) {}
AsioLong ASIO_CALLBACK OnMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOTime* ASIO_CALLBACK OnSwitchTime(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}

void Count() {
    if (t_streaming && g_counting.load(std::memory_order_relaxed) && !ferox::sim::InDevice())
        g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

// The replacements below pair malloc with free themselves; GCC cannot see that once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t n) {
    Count();
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace ferox::bench {

long StreamingAllocations(long switches) {
    sim::Reset();
    sim::SetWriteMode(sim::WriteMode::Fast);
    sim::SetMemoryCapture(false);
    IASIO* driver = test::CreateDriver();
    if (!driver)
        return -1;
    ASIOCallbacks callbacks{&OnSwitch, &OnRate, &OnMessage, &OnSwitchTime};
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    long result = -1;
    if (driver->init(nullptr) == ASIOTrue &&
        driver->createBuffers(infos, 2, 256, &callbacks) == ASE_OK && driver->start() == ASE_OK) {
        auto waitFor = [](long n) {
            const long until = g_switches.load() + n;
            while (g_switches.load() < until) {
            }
        };
        waitFor(100);  // past the start
        const unsigned long before = alloc_test::Calls();
        g_allocations.store(0);
        g_counting.store(true);
        waitFor(switches);
        g_counting.store(false);
        const long system = static_cast<long>(alloc_test::Calls() - before);
        result = (g_allocations.load() + system) * 10000 / switches;
        driver->stop();
    }
    driver->disposeBuffers();
    driver->Release();
    sim::SetMemoryCapture(true);
    sim::ClearLog();
    return result;
}

}  // namespace ferox::bench
