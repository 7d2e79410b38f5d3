// The sample position and system time of the latest buffer switch, published by the streaming
// thread and read by any thread (a host's GUI, or its audio thread inside the switch) without a
// lock, a request or a handle.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace ferox {

class SwitchStamp {
  public:
    struct Pair {
        std::uint64_t position = 0;  // host samples
        std::uint64_t time = 0;      // nanoseconds
    };

    // A sequence count, odd while a pair is being written, keeps the two halves of a pair
    // together: a reader that saw it change reads again. A writer claims the odd count with a
    // compare-exchange, so even two writers at once cannot tear a pair. Release stores and
    // acquire loads rather than fences (ThreadSanitizer does not model fences): a reader that
    // sees a value of a write also sees that write's odd count when it checks again.
    void Publish(std::uint64_t position, std::uint64_t time) {
        std::uint32_t s = m_sequence.load(std::memory_order_relaxed);
        do {
            s &= ~1u;
        } while (!m_sequence.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed));
        m_position.store(position, std::memory_order_release);
        m_time.store(time, std::memory_order_release);
        m_sequence.store(s + 2, std::memory_order_release);
    }

    Pair Read() const {
        for (unsigned tries = 1;; ++tries) {
            const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
            Pair p;
            p.position = m_position.load(std::memory_order_acquire);
            p.time = m_time.load(std::memory_order_acquire);
            if ((before & 1) == 0 && m_sequence.load(std::memory_order_relaxed) == before)
                return p;
            // A writer is never blocked inside a write, but it may have been preempted there,
            // at a lower priority than this reader: Sleep(0) would never let it run. A short
            // spin, then any ready thread on this CPU, then any thread at all.
            if (tries > kSpinTries + kSwitchTries)
                Sleep(1);
            else if (tries > kSpinTries)
                SwitchToThread();
        }
    }

  private:
    static constexpr unsigned kSpinTries = 16;
    static constexpr unsigned kSwitchTries = 16;

    // Lock-free on 32-bit targets too, or a read could take a lock hidden in the runtime.
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
    static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<std::uint64_t> m_position{0};
    std::atomic<std::uint64_t> m_time{0};
};

}  // namespace ferox
