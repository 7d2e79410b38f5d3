// Hosts as they really behave, against the built DLL: scanning (create, a few queries, release,
// let COM or FreeLibrary unload the DLL at once), a factory kept across an unload attempt, and
// with the simulated DAC calls back into the driver from its callbacks, rate changes, sessions
// whose every half is traced to the DAC (latencies, stop's time), the rate kept for the next
// object and a second host on a busy DAC. The process must survive all of it.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "asio/driver_id.h"
#include "wine/host_check.h"

namespace {

constexpr int kRounds = 50;

using CanUnloadFn = HRESULT(__stdcall*)();
using RegisterFn = HRESULT(__stdcall*)();

// What the callbacks see: they carry no context of their own.
Driver g_driver{nullptr};
volatile LONG g_switches = 0;
volatile LONG g_resets = 0;
volatile LONG g_latencyChanges = 0;
AsioLong g_supportsReset = 0;
double g_rateSeen = 0;  // the latest sampleRateDidChange
// What the next callbacks do: 0 nothing; 1 stop inside switch 5; 2 change the rate inside
// switch 5 and answer the reset request with stop and disposeBuffers.
int g_action = 0;
DWORD g_stopTicks = 0;
volatile LONG g_answered = 0;
// Output halves the host fills, when set: each entry with a word of its own for each fill
// (FillWord), the pre-fill before start being fill 0 and switch k fill k.
ASIOBufferInfo g_fill[2] = {};
int g_fillCount = 0;
AsioLong g_fillWords = 0;
bool g_outputReady = false;  // said in every switch, once the half is filled
// The index of each switch, the first ones (from the latest reset of g_switches).
constexpr int kIndexesKept = 64;
AsioLong g_indexes[kIndexesKept] = {};
std::uint32_t FillWord(int entry, LONG fill) {
    return 0x11000000u + 0x10000u * static_cast<std::uint32_t>(entry + 1) +
           static_cast<std::uint32_t>(fill);
}
void FillHalf(AsioLong index, LONG fill) {
    for (int e = 0; e < g_fillCount; ++e) {
        auto* half = static_cast<std::uint32_t*>(g_fill[e].buffers[index]);
        for (AsioLong i = 0; half && i < g_fillWords; ++i)
            half[i] = FillWord(e, fill);
    }
}

void __cdecl OnSwitch(AsioLong index, ASIOBool) {
    const LONG k = InterlockedIncrement(&g_switches);
    if (k <= kIndexesKept)
        g_indexes[k - 1] = index;
    FillHalf(index, k);
    if (g_outputReady)
        CHECK(g_driver.Call<ASIOError>(kOutputReady) == ASE_OK);
    if (k != 5)
        return;
    if (g_action == 1) {
        const DWORD t0 = GetTickCount();
        CHECK(g_driver.Call<ASIOError>(kStop) == ASE_OK);
        g_stopTicks = GetTickCount() - t0;
        InterlockedIncrement(&g_answered);
    } else if (g_action == 2) {
        CHECK(g_driver.Call<ASIOError>(kSetSampleRate, 48000.0) == ASE_OK);
    }
}
void __cdecl OnRate(ASIOSampleRate r) {
    g_rateSeen = r;
}
AsioLong __cdecl OnMessage(AsioLong selector, AsioLong value, void*, double*) {
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest ? g_supportsReset : value == kAsioLatenciesChanged;
        case kAsioResetRequest:
            InterlockedIncrement(&g_resets);
            if (g_action == 2) {
                CHECK(g_driver.Call<ASIOError>(kStop) == ASE_OK);
                CHECK(g_driver.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
                InterlockedIncrement(&g_answered);
            }
            return 1;
        case kAsioLatenciesChanged:
            InterlockedIncrement(&g_latencyChanges);
            return 1;
        default:
            return 0;
    }
}

bool WaitFor(volatile LONG* value, LONG count, DWORD ms = 5000) {
    for (DWORD waited = 0; *value < count && waited < ms; waited += 5)
        Sleep(5);
    return *value >= count;
}

ASIOCallbacks g_callbacks{&OnSwitch, &OnRate, &OnMessage, nullptr};

ASIOError CreateBuffers(const Driver& d, AsioLong size) {
    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    return d.Call<ASIOError>(kCreateBuffers, buffers, AsioLong{2}, size, &g_callbacks);
}

// The simulated DAC's capture of the latest pin, once it closed: the file is complete only then,
// and the pin closes after its silent tail, which goes on after stop returned.
std::string g_capturePath;
struct Capture {
    DWORD rate = 0;
    std::vector<std::uint32_t> words;  // left, right, left, ...
};
bool ReadClosedCapture(Capture* c) {
    std::FILE* f = std::fopen(g_capturePath.c_str(), "rb");
    if (!f)
        return false;
    std::vector<unsigned char> b;
    unsigned char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        b.insert(b.end(), chunk, chunk + n);
    std::fclose(f);
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) != 0)
        return false;
    std::memcpy(&c->rate, b.data() + 24, 4);
    for (std::size_t at = 12; at + 8 <= b.size();) {
        std::uint32_t size = 0;
        std::memcpy(&size, b.data() + at + 4, 4);
        if (std::memcmp(b.data() + at, "data", 4) == 0) {
            const std::size_t bytes = std::min<std::size_t>(size, b.size() - at - 8) / 4 * 4;
            c->words.resize(bytes / 4);
            std::memcpy(c->words.data(), b.data() + at + 8, bytes);
            return true;
        }
        at += 8 + size;
    }
    return false;
}
bool ReadCapture(Capture* c) {
    for (int waited = 0; waited < 5000; waited += 20) {
        if (ReadClosedCapture(c))
            return true;
        Sleep(20);
    }
    return false;
}

// Plays a few switches with the output entries listed as given, each entry filled with its own
// word, and returns the first frame the DAC received: the pre-fill's.
bool PlayChannels(const Driver& d, const std::vector<AsioLong>& channels, std::uint32_t frame[2]) {
    CHECK(d.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    g_fillCount = 0;
    for (AsioLong c : channels)
        g_fill[g_fillCount++] = {ASIOFalse, c, {}};
    g_fillWords = 256;
    if (d.Call<ASIOError>(kCreateBuffers, g_fill, static_cast<AsioLong>(g_fillCount), AsioLong{256},
                          &g_callbacks) != ASE_OK) {
        return false;
    }
    FillHalf(1, 0);
    g_switches = 0;
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_switches, 5));
    CHECK(d.Call<ASIOError>(kStop) == ASE_OK);
    g_fillCount = 0;
    Capture c;
    if (!ReadCapture(&c) || c.words.size() < 2)
        return false;
    frame[0] = c.words[0];
    frame[1] = c.words[1];
    return true;
}

// What a scanning host asks; every other round also plays a little, and every fourth releases
// the driver while it still plays.
void ScanQueries(const Driver& d, bool device, int round) {
    CHECK(d.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == (device ? ASIOTrue : ASIOFalse));
    AsioLong in = 0, out = 0, mn = 0, mx = 0, pref = 0, gran = 0;
    CHECK(d.Call<ASIOError>(kGetChannels, &in, &out) == ASE_OK && out == 2);
    CHECK(d.Call<ASIOError>(kGetBufferSize, &mn, &mx, &pref, &gran) == ASE_OK);
    CHECK(d.Call<ASIOError>(kCanSampleRate, 44100.0) == ASE_OK);
    if (!device || round % 2 == 0)
        return;
    g_switches = 0;
    CHECK(CreateBuffers(d, 256) == ASE_OK);
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_switches, 3));
    if (round % 4 == 1) {
        CHECK(d.Call<ASIOError>(kStop) == ASE_OK);
        CHECK(d.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    }
}

bool Loaded() {
    return GetModuleHandleW(L"feroxasio.dll") != nullptr;
}

void ScanThroughCom(bool device) {
    int unloaded = 0;
    for (int round = 0; round < kRounds; ++round) {
        void* p = nullptr;
        CHECK(CoCreateInstance(ferox::kClsidFeroxAsio, nullptr, CLSCTX_INPROC_SERVER,
                               ferox::kClsidFeroxAsio, &p) == S_OK);
        if (!p)
            return;
        Driver d{p};
        ScanQueries(d, device, round);
        CHECK(d.CallStd<ULONG>(kRelease) == 0);
        CoFreeUnusedLibrariesEx(0, 0);
        CoFreeUnusedLibrariesEx(0, 0);
        unloaded += Loaded() ? 0 : 1;
        Sleep(2);
    }
    std::printf("COM scan: %d rounds, DLL unloaded after %d\n", kRounds, unloaded);
    CHECK(unloaded > 0);
}

void ScanThroughLoadLibrary(const std::wstring& path, bool device) {
    for (int round = 0; round < kRounds; ++round) {
        HMODULE dll = LoadLibraryW(path.c_str());
        CHECK(dll != nullptr);
        if (!dll)
            return;
        auto canUnload = reinterpret_cast<CanUnloadFn>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
        void* p = CreateFromExports(dll);
        if (!p)
            return;
        Driver d{p};
        ScanQueries(d, device, round);
        CHECK(d.CallStd<ULONG>(kRelease) == 0);
        CHECK(canUnload() == S_OK);
        FreeLibrary(dll);
        CHECK(!Loaded());
        Sleep(2);
    }
    std::printf("LoadLibrary scan: %d rounds\n", kRounds);
}

// A host that keeps the class factory without locking the server.
void FactoryKeptAcrossUnload() {
    IClassFactory* factory = nullptr;
    CHECK(CoGetClassObject(ferox::kClsidFeroxAsio, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                           reinterpret_cast<void**>(&factory)) == S_OK);
    if (!factory)
        return;
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    CHECK(Loaded());
    void* p = nullptr;
    CHECK(factory->CreateInstance(nullptr, ferox::kClsidFeroxAsio, &p) == S_OK);
    if (p)
        CHECK(Driver{p}.CallStd<ULONG>(kRelease) == 0);
    CHECK(factory->Release() == 0);
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    CHECK(!Loaded());
}

Driver NewDriver() {
    void* p = nullptr;
    CHECK(CoCreateInstance(ferox::kClsidFeroxAsio, nullptr, CLSCTX_INPROC_SERVER,
                           ferox::kClsidFeroxAsio, &p) == S_OK);
    return Driver{p};
}

// With the simulated DAC: calls from inside callbacks, rates, a second host.
void PlayingHost() {
    Driver d = NewDriver();
    if (!d.self)
        return;
    g_driver = d;
    CHECK(d.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue);
    CHECK(CreateBuffers(d, 512) == ASE_OK);
    // The host's own rate, before start and (below) while playing and inside a switch, is no
    // change under it: no sampleRateDidChange, which hosts answer by reloading the driver.
    g_rateSeen = 0;
    CHECK(d.Call<ASIOError>(kSetSampleRate, 48000.0) == ASE_OK);
    CHECK(d.Call<ASIOError>(kSetSampleRate, 44100.0) == ASE_OK);
    CHECK(g_rateSeen == 0);
    g_switches = 0;
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);

    // Rates: one the DAC cannot take is refused and changes nothing; one changed while playing
    // goes on at the new rate.
    CHECK(WaitFor(&g_switches, 5));
    CHECK(d.Call<ASIOError>(kCanSampleRate, 22050.0) == ASE_NoClock);
    CHECK(d.Call<ASIOError>(kSetSampleRate, 22050.0) == ASE_NoClock);
    double rate = 0;
    CHECK(d.Call<ASIOError>(kGetSampleRate, &rate) == ASE_OK && rate == 44100.0);
    CHECK(d.Call<ASIOError>(kSetSampleRate, 96000.0) == ASE_OK);
    const LONG before = g_switches;
    CHECK(WaitFor(&g_switches, before + 20));

    // A second host: the DAC opens, but its one render pin is taken.
    Driver second = NewDriver();
    if (second.self) {
        CHECK(second.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue);
        CHECK(CreateBuffers(second, 512) == ASE_OK);
        CHECK(second.Call<ASIOError>(kStart) == ASE_NotPresent);
        char text[128] = {};
        second.Call<void>(kGetErrorMessage, text);
        std::printf("second host: %s\n", text);
        CHECK(std::strcmp(text, "ASIO Pellinor DAC in use by another program") == 0);
        const LONG now = g_switches;
        CHECK(WaitFor(&g_switches, now + 10));  // the first plays on
        CHECK(second.CallStd<ULONG>(kRelease) == 0);
    }
    CHECK(d.Call<ASIOError>(kStop) == ASE_OK);

    // Two rate changes in a row while playing: the DAC ends up at the second.
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_switches, g_switches + 5));
    CHECK(d.Call<ASIOError>(kSetSampleRate, 48000.0) == ASE_OK);
    CHECK(d.Call<ASIOError>(kSetSampleRate, 88200.0) == ASE_OK);
    CHECK(WaitFor(&g_switches, g_switches + 20));
    CHECK(d.Call<ASIOError>(kStop) == ASE_OK);
    Capture played;
    CHECK(ReadCapture(&played) && played.rate == 88200);
    std::printf("two rate changes while playing: the DAC plays at %lu\n",
                static_cast<unsigned long>(played.rate));

    // Left is channel 0 and right channel 1 in either order; a lone channel 0 is on both
    // sides, a lone channel 1 on the right only.
    std::uint32_t frame[2] = {};
    const auto word = [](int entry) { return FillWord(entry, 0); };
    CHECK(PlayChannels(d, {0, 1}, frame) && frame[0] == word(0) && frame[1] == word(1));
    CHECK(PlayChannels(d, {1, 0}, frame) && frame[0] == word(1) && frame[1] == word(0));
    CHECK(PlayChannels(d, {0}, frame) && frame[0] == word(0) && frame[1] == word(0));
    CHECK(PlayChannels(d, {1}, frame) && frame[0] == 0 && frame[1] == word(0));
    CHECK(d.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    CHECK(CreateBuffers(d, 512) == ASE_OK);

    // stop inside bufferSwitch returns at once (it once waited a second on its own thread).
    g_switches = 0;
    g_answered = 0;
    g_action = 1;
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_answered, 1));
    std::printf("stop inside bufferSwitch took %lu ms\n", g_stopTicks);
    CHECK(g_stopTicks < 500);
    Sleep(100);
    CHECK(g_switches == 5);

    // disposeBuffers inside the reset request, sent on the streaming thread when the rate
    // changes inside a switch.
    g_switches = 0;
    g_answered = 0;
    g_resets = 0;
    g_supportsReset = 1;
    g_action = 2;
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_answered, 1));
    CHECK(g_resets == 1);
    CHECK(d.Call<ASIOError>(kStart) == ASE_NotPresent);  // no buffers any more
    g_action = 0;
    CHECK(g_rateSeen == 0);
    std::printf("sampleRateDidChange for the host's own rates: %s\n",
                g_rateSeen == 0 ? "none" : "called");
    CHECK(d.CallStd<ULONG>(kRelease) == 0);
}

// What the DAC received in a session whose host filled `fills` halves after its pre-fill: the
// pre-fill first, then each fill once and in order, then silence only.
void CheckFillsInOrder(const std::vector<std::uint32_t>& words, AsioLong n, LONG fills) {
    std::vector<std::uint32_t> expected;
    for (LONG k = 0; k <= fills; ++k) {
        for (AsioLong i = 0; i < n; ++i) {
            expected.push_back(FillWord(0, k));
            expected.push_back(FillWord(1, k));
        }
    }
    CHECK(words.size() >= expected.size());
    expected.resize(std::max(expected.size(), words.size()), 0);
    const auto diff = std::mismatch(words.begin(), words.end(), expected.begin());
    if (diff.first != words.end()) {
        const auto at = static_cast<unsigned long>(diff.first - words.begin());
        std::printf("capture: half %lu holds %08lx where %08lx belongs\n",
                    at / (2 * static_cast<unsigned long>(n)),
                    static_cast<unsigned long>(*diff.first),
                    static_cast<unsigned long>(*diff.second));
        ++g_checkFailures;
    }
}

// A host's session on a fresh object as the standard's description of ASIOStart has it: half 1
// filled before start, each switch filling the half it names, stop at the end.
struct Session {
    AsioLong size;
    double rate;
    bool outputReady;  // probed before createBuffers, as SDK hosts do, and said in every switch
    AsioLong latency;  // the output latency told before start and while playing
};
// With the default 10 ms margin: writes at the device for 10 ms in whole halves, the half that
// waits in the host's buffer unless it says outputReady, and the 40 ms the DAC holds.
constexpr Session kSessions[] = {
    {1024, 44100, false, 2 * 1024 + 1764},
    {256, 44100, false, 3 * 256 + 1764},
    {512, 48000, true, 512 + 1920},
};

void PlaySession(const Session& row) {
    Driver d = NewDriver();
    if (!d.self)
        return;
    g_driver = d;
    CHECK(d.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue);
    if (row.outputReady)
        CHECK(d.Call<ASIOError>(kOutputReady) == ASE_OK);
    CHECK(d.Call<ASIOError>(kSetSampleRate, row.rate) == ASE_OK);
    g_fill[0] = {ASIOFalse, 0, {}};
    g_fill[1] = {ASIOFalse, 1, {}};
    g_fillCount = 2;
    g_fillWords = row.size;
    CHECK(d.Call<ASIOError>(kCreateBuffers, g_fill, AsioLong{2}, row.size, &g_callbacks) == ASE_OK);
    AsioLong in = 0, before = 0, playing = 0;
    CHECK(d.Call<ASIOError>(kGetLatencies, &in, &before) == ASE_OK);
    FillHalf(1, 0);
    g_switches = 0;
    g_latencyChanges = 0;
    g_outputReady = row.outputReady;
    CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
    CHECK(WaitFor(&g_switches, 12));
    CHECK(d.Call<ASIOError>(kGetLatencies, &in, &playing) == ASE_OK);
    LARGE_INTEGER hz, t0, t1;
    QueryPerformanceFrequency(&hz);
    QueryPerformanceCounter(&t0);
    CHECK(d.Call<ASIOError>(kStop) == ASE_OK);
    QueryPerformanceCounter(&t1);
    const LONG fills = g_switches;
    g_outputReady = false;
    const double stopMs =
        1000.0 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(hz.QuadPart);
    const double halfMs = 1000.0 * static_cast<double>(row.size) / row.rate;
    std::printf(
        "%ld samples at %.0f Hz%s: output latency %ld before start, %ld playing; %ld "
        "fills; stop took %.1f ms (a half is %.1f ms)\n",
        static_cast<long>(row.size), row.rate, row.outputReady ? ", outputReady" : "",
        static_cast<long>(before), static_cast<long>(playing), static_cast<long>(fills), stopMs,
        halfMs);
    CHECK(before == row.latency && playing == before && g_latencyChanges == 0);
    // A DAW calls stop on its UI thread: no more than a switch in progress may hold it.
    CHECK(stopMs < halfMs + 100);
    int outOfTurn = 0;
    for (LONG k = 0; k < std::min<LONG>(fills, kIndexesKept); ++k)
        outOfTurn += g_indexes[k] != k % 2;
    CHECK(outOfTurn == 0);
    // Silent once stopped: a host that does not fill before its next start plays no old audio.
    for (int e = 0; e < 2; ++e) {
        const auto* block = static_cast<const std::uint32_t*>(g_fill[e].buffers[0]);
        CHECK(block && std::all_of(block, block + 2 * row.size, [](auto w) { return w == 0; }));
    }
    Capture c;
    CHECK(ReadCapture(&c) && c.rate == row.rate);
    CheckFillsInOrder(c.words, row.size, fills);
    CHECK(d.Call<ASIOError>(kDisposeBuffers) == ASE_OK);
    g_fillCount = 0;
    CHECK(d.CallStd<ULONG>(kRelease) == 0);
}

// Frameworks reload the driver (Release, CoCreateInstance, init) and believe getSampleRate: the
// new object starts at the rate the host set on the one before, as hardware keeps it.
void RateKeptForNextObject() {
    Driver a = NewDriver();
    if (!a.self)
        return;
    double rate = 0;
    CHECK(a.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue);
    CHECK(a.Call<ASIOError>(kGetSampleRate, &rate) == ASE_OK && rate == 44100.0);
    CHECK(a.Call<ASIOError>(kSetSampleRate, 96000.0) == ASE_OK);  // before createBuffers
    CHECK(a.CallStd<ULONG>(kRelease) == 0);
    Driver b = NewDriver();
    if (!b.self)
        return;
    rate = 0;
    CHECK(b.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == ASIOTrue);
    CHECK(b.Call<ASIOError>(kGetSampleRate, &rate) == ASE_OK && rate == 96000.0);
    std::printf("the next object starts at %.0f Hz\n", rate);
    CHECK(b.CallStd<ULONG>(kRelease) == 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: host_behaviour_check path\\to\\feroxasio.dll [sim]\n");
        return 2;
    }
    ReportCrashes();
    const bool device = argc > 2 && std::strcmp(argv[2], "sim") == 0;
    const std::wstring path = WindowsPath(argv[1]);

    // Registered as regsvr32 would, so that COM finds it.
    HMODULE dll = LoadLibraryW(path.c_str());
    CHECK(dll != nullptr);
    if (!dll)
        return 1;
    auto registerServer = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
    CHECK(registerServer && registerServer() == S_OK);
    FreeLibrary(dll);

    CHECK(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ScanThroughCom(device);
    FactoryKeptAcrossUnload();
    if (device) {
        // The simulated DAC writes what each pin received here; it reads this when it loads.
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        g_capturePath = std::string(temp) + "feroxasio-host-behaviour.wav";
        _putenv(("FEROX_SIM_CAPTURE=" + g_capturePath).c_str());
        const UserSettingsAside aside;
        RateKeptForNextObject();
        for (const Session& row : kSessions)
            PlaySession(row);
        PlayingHost();
        _putenv("FEROX_SIM_CAPTURE=");
        DeleteFileA(g_capturePath.c_str());
        DeleteFileA((g_capturePath + ".txt").c_str());  // the pin report beside it
    }
    CoFreeUnusedLibrariesEx(0, 0);
    CoFreeUnusedLibrariesEx(0, 0);
    CoUninitialize();
    ScanThroughLoadLibrary(path, device);

    dll = LoadLibraryW(path.c_str());
    auto unregisterServer = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
    CHECK(unregisterServer && unregisterServer() == S_OK);
    FreeLibrary(dll);

    std::printf("%s: %d failure(s)\n", sizeof(void*) == 8 ? "64-bit host" : "32-bit host",
                g_checkFailures);
    return g_checkFailures == 0 ? 0 : 1;
}
