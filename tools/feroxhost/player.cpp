#include "player.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host.h"

namespace ferox::host {
namespace {

// What the callbacks share with the main thread. ASIO callbacks carry no context pointer, so
// a host has exactly one of these.
struct Player {
    Source* source = nullptr;
    bool dsd = false;
    AsioLong bufferSize = 0;  // host samples a half
    AsioLong outputs = 0;
    void* halves[2][2] = {};            // [output][half]
    std::vector<std::uint8_t> scratch;  // the right side when the driver offers one output
    HANDLE done = nullptr;
    std::atomic<std::uint64_t> unitsPlayed{0};
    std::atomic<unsigned> switches{0};
    std::atomic<unsigned> late{0};
    std::atomic<unsigned> overloads{0};  // dropouts the driver told
    std::atomic<unsigned> silentFills{0};
    std::atomic<bool> resetRequested{false};
    std::atomic<double> maxIntervalMs{0};
    LARGE_INTEGER frequency{};
    LARGE_INTEGER first{}, last{};
};
Player* g_player = nullptr;
HANDLE g_interrupt = nullptr;

void FillHalf(AsioLong index) {
    Player& p = *g_player;
    const std::size_t units =
        p.dsd ? static_cast<std::size_t>(p.bufferSize) / 8 : static_cast<std::size_t>(p.bufferSize);
    const std::size_t unitBytes = p.dsd ? 1 : 4;
    void* left = p.halves[0][index];
    void* right = p.outputs > 1 ? p.halves[1][index] : p.scratch.data();
    const std::size_t got = p.source->Fill(left, right, units);
    // The rest of a half after the end is silence, in the stream's own kind.
    const int silence = p.dsd ? kDsdSilenceByte : 0;
    std::memset(static_cast<std::uint8_t*>(left) + got * unitBytes, silence,
                (units - got) * unitBytes);
    std::memset(static_cast<std::uint8_t*>(right) + got * unitBytes, silence,
                (units - got) * unitBytes);
    p.unitsPlayed.fetch_add(got);
    // Every half filled before stop goes out: stop once two halves of silence follow the end,
    // so the DAC plays the last sample and what it holds after it is silence.
    if (got == 0 && p.silentFills.fetch_add(1) + 1 >= 2)
        SetEvent(p.done);
}

void Fill(AsioLong index) {
    Player& p = *g_player;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const unsigned n = p.switches.load();
    // The first switches come back to back (the driver primes both halves): the pace is
    // measured from the first switch that waited for the device.
    constexpr unsigned kPriming = 3;
    if (n == kPriming)
        p.first = now;
    if (n > 0) {
        const double ms = 1000.0 * static_cast<double>(now.QuadPart - p.last.QuadPart) /
                          static_cast<double>(p.frequency.QuadPart);
        if (ms > p.maxIntervalMs.load())
            p.maxIntervalMs.store(ms);
        // Late against the stream's own pace so far: the driver's clock sets the pace, not ours.
        if (n > kPriming + 4) {
            const double pace = 1000.0 * static_cast<double>(p.last.QuadPart - p.first.QuadPart) /
                                static_cast<double>(p.frequency.QuadPart) / (n - 1 - kPriming);
            if (ms > 2 * pace)
                p.late.fetch_add(1);
        }
    }
    p.last = now;
    p.switches.store(n + 1);
    if (index == 0 || index == 1)
        FillHalf(index);
}

void ASIO_CALLBACK OnBufferSwitch(AsioLong index, ASIOBool) {
    Fill(index);
}

ASIOTime* ASIO_CALLBACK OnBufferSwitchTimeInfo(ASIOTime* params, AsioLong index, ASIOBool) {
    Fill(index);
    return params;
}

void ASIO_CALLBACK OnSampleRateChanged(ASIOSampleRate) {}

AsioLong ASIO_CALLBACK OnMessage(AsioLong selector, AsioLong value, void*, double*) {
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioEngineVersion ||
                           value == kAsioSupportsTimeInfo || value == kAsioResyncRequest ||
                           value == kAsioOverload
                       ? 1
                       : 0;
        case kAsioOverload:
            g_player->overloads.fetch_add(1);
            return 1;
        case kAsioEngineVersion:
            return 2;
        case kAsioSupportsTimeInfo:
            return 1;
        case kAsioResetRequest:
            // The driver lost its device or must be set up anew: this run is over.
            g_player->resetRequested.store(true);
            SetEvent(g_player->done);
            return 1;
        default:
            return 0;
    }
}

BOOL WINAPI OnConsoleCtrl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        SetEvent(g_interrupt);
        return TRUE;
    }
    return FALSE;
}

// The simulated DAC's report of the latest pin (a file of name=value lines), when the driver
// is the simulated-DAC build: where it goes, as the simulator decides it.
std::string DeviceReportPath() {
    const char* report = std::getenv("FEROX_SIM_REPORT");
    if (report && *report)
        return report;
    const char* capture = std::getenv("FEROX_SIM_CAPTURE");
    return capture && *capture ? std::string(capture) + ".txt" : std::string();
}

struct DeviceReport {
    bool read = false;
    unsigned long underruns = 0;
    double maxGapMs = 0;
};

DeviceReport ReadDeviceReport(const std::string& path) {
    DeviceReport r;
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (!f)
        return r;
    char line[128];
    bool underruns = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "underruns=", 10) == 0) {
            r.underruns = std::strtoul(line + 10, nullptr, 10);
            underruns = true;
        } else if (std::strncmp(line, "max_gap_ms=", 11) == 0) {
            r.maxGapMs = std::strtod(line + 11, nullptr);
        }
    }
    std::fclose(f);
    r.read = underruns;
    return r;
}

struct Handle {
    HANDLE h;
    ~Handle() {
        if (h)
            CloseHandle(h);
    }
};

}  // namespace

int Play(const std::wstring& requested, Source& source, const AudioInfo& info, const char* what) {
    const bool dsd = info.encoding == Encoding::Dsd;
    std::printf("playing %s: %s, %u Hz, %u channel%s, %.2f s\n", what, dsd ? "DSD" : "PCM",
                info.sampleRate, info.channels, info.channels == 1 ? "" : "s", info.Seconds());
    Com com;
    DriverRef ref;
    std::string name;
    if (!CreateDriver(requested, ref, &name))
        return kExitFailure;
    IASIO* a = ref.asio;
    if (!Init(a, name))
        return kExitFailure;

    if (dsd ? !SetIoFormat(a, kASIODSDFormat) : false) {
        return Error("driver '%s' refuses DSD (kAsioSetIoFormat)", name.c_str());
    }
    if (!dsd)
        SetIoFormat(a, kASIOPCMFormat);  // drivers without io formats are PCM anyway
    const double rate = info.sampleRate;
    ASIOError e = a->canSampleRate(rate);
    if (e != ASE_OK) {
        return Error("driver '%s' refuses the sample rate %u Hz%s (%s)", name.c_str(),
                     info.sampleRate, dsd ? " in DSD mode" : "", ErrorText(e));
    }
    e = a->setSampleRate(rate);
    if (e != ASE_OK) {
        return Error("driver '%s' cannot switch to %u Hz (%s)", name.c_str(), info.sampleRate,
                     ErrorText(e));
    }
    AsioLong inputs = 0, outputs = 0;
    if (a->getChannels(&inputs, &outputs) != ASE_OK || outputs < 1) {
        return Error("driver '%s' offers no output channels", name.c_str());
    }
    outputs = outputs > 1 ? 2 : 1;
    const ASIOSampleType wanted = dsd ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    for (AsioLong c = 0; c < outputs; ++c) {
        ASIOChannelInfo ci{};
        ci.channel = c;
        ci.isInput = ASIOFalse;
        if (a->getChannelInfo(&ci) != ASE_OK || ci.type != wanted) {
            return Error("driver '%s' wants %s samples on output %ld; feroxhost writes %s",
                         name.c_str(), SampleTypeName(ci.type), static_cast<long>(c),
                         SampleTypeName(wanted));
        }
    }
    AsioLong mn = 0, mx = 0, pref = 0, gran = 0;
    if (a->getBufferSize(&mn, &mx, &pref, &gran) != ASE_OK || pref <= 0 || (dsd && pref % 8)) {
        return Error("driver '%s' reports no usable buffer size", name.c_str());
    }

    Player player;
    player.source = &source;
    player.dsd = dsd;
    player.bufferSize = pref;
    player.outputs = outputs;
    player.scratch.resize(static_cast<std::size_t>(pref) * 4);
    QueryPerformanceFrequency(&player.frequency);
    Handle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Handle interrupt{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    player.done = done.h;
    g_player = &player;
    g_interrupt = interrupt.h;

    ASIOBufferInfo buffers[2] = {};
    for (AsioLong c = 0; c < outputs; ++c) {
        buffers[c].isInput = ASIOFalse;
        buffers[c].channelNum = c;
    }
    ASIOCallbacks callbacks{&OnBufferSwitch, &OnSampleRateChanged, &OnMessage,
                            &OnBufferSwitchTimeInfo};
    e = a->createBuffers(buffers, outputs, pref, &callbacks);
    if (e != ASE_OK) {
        return Error("driver '%s' could not create buffers of %ld samples (%s)", name.c_str(),
                     static_cast<long>(pref), ErrorText(e));
    }
    for (AsioLong c = 0; c < outputs; ++c) {
        player.halves[c][0] = buffers[c].buffers[0];
        player.halves[c][1] = buffers[c].buffers[1];
    }
    SetConsoleCtrlHandler(&OnConsoleCtrl, TRUE);
    // A report left by an earlier run must not pass for this one's.
    const std::string reportPath = DeviceReportPath();
    if (!reportPath.empty())
        std::remove(reportPath.c_str());
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    // As the ASIO standard has a host do: half 1 is filled before start, and is the first audio.
    FillHalf(1);
    e = a->start();
    if (e != ASE_OK) {
        char text[128] = {};
        a->getErrorMessage(text);
        a->disposeBuffers();
        const std::string what = std::string("did not start (") + ErrorText(e) + ")";
        return DriverFailure(name, what.c_str(), text);
    }

    const double unitsPerSecond = dsd ? info.sampleRate / 8.0 : info.sampleRate;
    const double total = info.Seconds();
    HANDLE waits[2] = {done.h, interrupt.h};
    bool interrupted = false, stalled = false;
    unsigned seen = 0;
    DWORD quiet = 0;
    for (;;) {
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, 250);
        const double at = static_cast<double>(player.unitsPlayed.load()) / unitsPerSecond;
        std::printf("\r  %7.2f s / %.2f s   buffer switches %u   late %u ", at, total,
                    player.switches.load(), player.late.load());
        std::fflush(stdout);
        if (w == WAIT_OBJECT_0)
            break;
        if (w == WAIT_OBJECT_0 + 1) {
            interrupted = true;
            break;
        }
        // A driver that stopped calling back would hold the host forever.
        const unsigned now = player.switches.load();
        quiet = now == seen ? quiet + 250 : 0;
        seen = now;
        if (quiet >= 5000) {
            stalled = true;
            break;
        }
    }
    std::printf("\n");
    a->stop();
    QueryPerformanceCounter(&t1);
    a->disposeBuffers();
    SetConsoleCtrlHandler(&OnConsoleCtrl, FALSE);
    g_player = nullptr;
    // The last reference: the stream is over and the device has closed its pin.
    ref.asio->Release();
    ref.asio = nullptr;
    const DeviceReport device = ReadDeviceReport(reportPath);

    const double wall = static_cast<double>(t1.QuadPart - t0.QuadPart) /
                        static_cast<double>(player.frequency.QuadPart);
    const double played = static_cast<double>(player.unitsPlayed.load()) / unitsPerSecond;
    const unsigned switches = player.switches.load();
    const double halfMs = 1000.0 * pref / (dsd ? rate : rate);
    char underruns[96] = "";
    if (device.read) {
        std::snprintf(underruns, sizeof underruns,
                      "; device: %lu underruns, largest gap between writes %.1f ms",
                      device.underruns, device.maxGapMs);
    }
    std::printf(
        "summary: played %.2f s of %.2f s in %.2f s; %u buffer switches, %u dropouts told, %u "
        "late; largest interval %.1f ms (a half holds %.1f ms of audio)%s\n",
        played, total, wall, switches, player.overloads.load(), player.late.load(),
        player.maxIntervalMs.load(), halfMs, underruns);
    if (device.read && device.underruns > 0) {
        std::printf("the DAC ran out of audio %lu time%s (heard as clicks or gaps)\n",
                    device.underruns, device.underruns == 1 ? "" : "s");
        PrintHint(
            "raise the safety margin ('feroxhost config margin 20') or choose a larger buffer "
            "('feroxhost config buffer 2048'), and close programs that load the computer");
    }
    if (interrupted) {
        std::printf("stopped by Ctrl+C\n");
        return kExitInterrupted;
    }
    if (player.resetRequested.load()) {
        Error("driver '%s' asked for a reset: the device was lost or changed", name.c_str());
        PrintHint(
            "the DAC was unplugged, switched off or taken by another program while "
            "playing: reconnect it and play again");
        return kExitFailure;
    }
    if (stalled) {
        Error("driver '%s' stopped calling back", name.c_str());
        PrintHint("the DAC stopped taking audio: unplug and replug it, then play again");
        return kExitFailure;
    }
    return 0;
}

}  // namespace ferox::host
