// Hundreds of hosts' sessions in one process against the simulated-DAC DLL: create, init,
// buffers, start, a few switches, stop, dispose, release. The process's private bytes, handles
// and threads must be where they were. Ends with one line:
//   churn NAME: N cycles, allocations +A, handles +H, threads +T
// where allocations are the process's private bytes, in KB.
#include <windows.h>
// After windows.h:
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "asio/asio.h"
#include "wine/host_check.h"

namespace {

constexpr int kCycles = 200;
// Private bytes get a margin, handles and threads none. They move with the heap's own bookkeeping
// (a vector's capacity doubling, a page committed on one side of a cycle and not the other), and
// the simulated device keeps a record of every handle and pin it ever made (about 1 KB a cycle
// on 64-bit). 1 MB over 200 cycles is 5 KB a cycle: a leaked driver object (its stream slots
// alone are 256 KB), thread stack or stream buffer shows; leaks of single small blocks are the
// native churn's part, which counts every block of the allocation hook exactly.
constexpr long long kPrivateMarginKb = 1024;
constexpr DWORD kSettleMs = 10000;

volatile LONG g_switches = 0;

void __cdecl OnSwitch(AsioLong, ASIOBool) {
    InterlockedIncrement(&g_switches);
}
void __cdecl OnRate(ASIOSampleRate) {}
AsioLong __cdecl OnMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOCallbacks g_callbacks{&OnSwitch, &OnRate, &OnMessage, nullptr};

bool WaitFor(volatile LONG* value, LONG count, DWORD ms = 10000) {
    for (DWORD waited = 0; *value < count && waited < ms; waited += 1)
        Sleep(1);
    return *value >= count;
}

// Committed private memory: what Windows reports as the process's private bytes. Wine fills
// PrivateUsage from what Linux tells of the process, so when it says nothing, the committed
// private regions are added up instead.
long long PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof pmc;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                             sizeof pmc) &&
        pmc.PrivateUsage != 0) {
        return static_cast<long long>(pmc.PrivateUsage);
    }
    long long total = 0;
    MEMORY_BASIC_INFORMATION mbi{};
    for (const char* p = nullptr; VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi;) {
        if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
            total += static_cast<long long>(mbi.RegionSize);
        const char* next = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
        if (next <= p)
            break;
        p = next;
    }
    return total;
}

long Threads() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    long count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    }
    CloseHandle(snapshot);
    return count;
}

long Handles() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<long>(count) : -1;
}

// Threads end a little after their handle is signalled: wait until the count is back (or the
// time is up) before it counts.
long SettledThreads(long expected) {
    long now = Threads();
    for (DWORD waited = 0; now != expected && waited < kSettleMs; waited += 10) {
        Sleep(10);
        now = Threads();
    }
    return now;
}

bool Cycle(HMODULE dll) {
    void* p = CreateFromExports(dll);
    if (!p)
        return false;
    Driver d{p};
    bool ok = d.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue;
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ok = ok && d.Call<ASIOError>(kCreateBuffers, buffers, AsioLong{2}, AsioLong{64},
                                 &g_callbacks) == ASE_OK;
    const LONG before = g_switches;
    ok = ok && d.Call<ASIOError>(kStart) == ASE_OK;
    ok = ok && WaitFor(&g_switches, before + 4);
    ok = ok && d.Call<ASIOError>(kStop) == ASE_OK;
    ok = ok && d.Call<ASIOError>(kDisposeBuffers) == ASE_OK;
    const ULONG left = d.CallStd<ULONG>(kRelease);
    CHECK(ok);
    CHECK(left == 0);
    return ok && left == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: churn_check path\\to\\feroxasio.dll (the simulated-DAC build)\n");
        return 2;
    }
    ReportCrashes();
    HMODULE dll = LoadLibraryW(WindowsPath(argv[1]).c_str());
    CHECK(dll != nullptr);
    if (!dll)
        return 1;

    // The first cycle makes what is made once (the CRT's and Wine's lazily created parts).
    if (!Cycle(dll))
        return 1;
    const long threads = SettledThreads(Threads());
    const long handles = Handles();
    const long long bytes = PrivateBytes();
    int cycles = 0;
    while (cycles < kCycles && Cycle(dll))
        ++cycles;
    const long threadsDelta = SettledThreads(threads) - threads;
    const long handlesDelta = Handles() - handles;
    const long long kbDelta = (PrivateBytes() - bytes) / 1024;
    std::printf(
        "churn wine %d-bit full (allocations in private KB): %d cycles, allocations %+lld, "
        "handles %+ld, threads %+ld\n",
        sizeof(void*) == 8 ? 64 : 32, cycles, kbDelta, handlesDelta, threadsDelta);
    CHECK(cycles == kCycles);
    CHECK(threads > 0 && handles >= 0);
    CHECK(threadsDelta == 0);
    CHECK(handlesDelta == 0);
    CHECK(kbDelta <= kPrivateMarginKb);
    FreeLibrary(dll);
    return g_checkFailures == 0 ? 0 : 1;
}
