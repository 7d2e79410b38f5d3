// The baseline of the streaming turnaround: how long a thread of this process takes to wake from
// a wait on an event that another thread sets (auto-reset events, as the stream's). Two threads
// play ping-pong; each wake-up is timed from just before SetEvent to the first thing the woken
// thread does.
//   ferox_wakeup [ROUNDS]   prints: wakeup rounds=N p50_us=.. p99_us=.. max_us=..
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct PingPong {
    HANDLE ping = nullptr, pong = nullptr;
    std::atomic<LONGLONG> sentAt{0};
    std::atomic<bool> done{false};
    std::vector<LONGLONG> ticks;
};

DWORD WINAPI Waiter(LPVOID param) {
    auto& pp = *static_cast<PingPong*>(param);
    for (;;) {
        if (WaitForSingleObject(pp.ping, INFINITE) != WAIT_OBJECT_0)
            return 1;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        if (pp.done.load())
            return 0;
        pp.ticks.push_back(now.QuadPart - pp.sentAt.load());
        SetEvent(pp.pong);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 20000;
    if (rounds < 100 || rounds > 10000000) {
        std::fprintf(stderr, "usage: ferox_wakeup [ROUNDS]   (100 to 10000000, default 20000)\n");
        return 2;
    }
    PingPong pp;
    pp.ticks.reserve(static_cast<std::size_t>(rounds));
    pp.ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    pp.pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread =
        pp.ping && pp.pong ? CreateThread(nullptr, 0, &Waiter, &pp, 0, nullptr) : nullptr;
    if (!thread) {
        std::fprintf(stderr, "ferox_wakeup: cannot create events or the thread (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    int rc = 0;
    for (long i = 0; i < rounds; ++i) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        pp.sentAt.store(now.QuadPart);
        SetEvent(pp.ping);
        if (WaitForSingleObject(pp.pong, 10000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "ferox_wakeup: the other thread stopped answering\n");
            rc = 1;
            break;
        }
    }
    pp.done.store(true);
    SetEvent(pp.ping);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(pp.ping);
    CloseHandle(pp.pong);
    if (rc != 0 || pp.ticks.empty())
        return 1;

    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<LONGLONG>& t = pp.ticks;
    std::sort(t.begin(), t.end());
    auto us = [&](std::size_t rank) {
        return 1e6 * static_cast<double>(t[std::min(rank, t.size() - 1)]) /
               static_cast<double>(frequency.QuadPart);
    };
    const std::size_t n = t.size();
    std::printf("wakeup rounds=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f\n", n, us(n / 2),
                us((n * 99 + 99) / 100 - 1), us(n - 1));
    return 0;
}
