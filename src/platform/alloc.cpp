#include "platform/alloc.h"

#include <atomic>
#include <cstdlib>

namespace ferox {
namespace {
std::atomic<unsigned long> g_calls{0};
std::atomic<unsigned long> g_failAt{0};  // call number that fails; 0 = none
std::atomic<bool> g_failAll{false};
std::atomic<long> g_live{0};
}  // namespace

void* Allocate(std::size_t bytes) noexcept {
    const unsigned long call = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (g_failAll.load(std::memory_order_relaxed))
        return nullptr;
    unsigned long at = call;
    if (g_failAt.compare_exchange_strong(at, 0, std::memory_order_relaxed))
        return nullptr;
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p)
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void Free(void* p) noexcept {
    if (p)
        g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

namespace alloc_test {
void FailNth(unsigned n) {
    g_failAt.store(n == 0 ? 0 : g_calls.load(std::memory_order_relaxed) + n,
                   std::memory_order_relaxed);
}
void FailFromNow() {
    g_failAll.store(true, std::memory_order_relaxed);
}
void Reset() {
    g_failAll.store(false, std::memory_order_relaxed);
    g_failAt.store(0, std::memory_order_relaxed);
}
unsigned long Calls() {
    return g_calls.load(std::memory_order_relaxed);
}
long Live() {
    return g_live.load(std::memory_order_relaxed);
}
}  // namespace alloc_test

}  // namespace ferox
