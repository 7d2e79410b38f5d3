// The one allocation function of the system. Tests make it fail to reach every out-of-memory path.
#pragma once

#include <cstddef>

namespace ferox {

// Null when memory is exhausted or a test has made this call fail.
void* Allocate(std::size_t bytes) noexcept;
void Free(void* p) noexcept;

// Test controls. Counting is process-wide and thread-safe.
namespace alloc_test {
void FailNth(unsigned n);  // the n-th call from now on (1 = the next one) fails, once
void FailFromNow();        // every call fails until Reset
void Reset();              // no failures planned
unsigned long Calls();     // calls of Allocate since the process started
long Live();               // blocks Allocate gave out that Free has not taken back
}  // namespace alloc_test

}  // namespace ferox

// Routes a class's new/delete through Allocate/Free. The operator new is noexcept, so a failed
// allocation makes the new-expression yield null without running the constructor.
#define FEROX_HEAP_OBJECT                               \
    static void* operator new(std::size_t n) noexcept { \
        return ::ferox::Allocate(n);                    \
    }                                                   \
    static void operator delete(void* p) noexcept {     \
        ::ferox::Free(p);                               \
    }
