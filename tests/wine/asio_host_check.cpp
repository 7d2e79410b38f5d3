// A host as MSVC builds them: loads feroxasio.dll, takes the class factory from its export and
// calls every IASIO operation through the vtable with the host's calling conventions
// (IUnknown __stdcall, IASIO __thiscall on i386), checking the answers. Proves the ABI.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "asio/asio.h"
#include "asio/driver_id.h"
#include "wine/host_check.h"

namespace {

AsioLong g_messages = 0;
double g_rateSeen = 0;
volatile LONG g_switches = 0;
void __cdecl OnSwitch(AsioLong, ASIOBool) {
    InterlockedIncrement(&g_switches);
}
void __cdecl OnRate(ASIOSampleRate r) {
    g_rateSeen = r;
}
AsioLong __cdecl OnMessage(AsioLong, AsioLong, void*, double*) {
    ++g_messages;
    return 0;
}
ASIOTime* __cdecl OnSwitchTime(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: asio_host_check path\\to\\feroxasio.dll [sim]\n");
        return 2;
    }
    // The simulated-DAC build has its DAC; the production build under Wine has none.
    const bool device = argc > 2 && std::strcmp(argv[2], "sim") == 0;
    HMODULE dll = LoadLibraryW(WindowsPath(argv[1]).c_str());
    if (!dll) {
        std::printf("cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    using GetClassObject = HRESULT(__stdcall*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    using CanUnload = HRESULT(__stdcall*)();
    auto canUnload = reinterpret_cast<CanUnload>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
    CHECK(getClassObject && canUnload);
    if (!getClassObject || !canUnload)
        return 1;
    // From the defaults; the rates set below are kept by the driver, and taken back after.
    const UserSettingsAside aside;

    void* p = CreateFromExports(dll);
    if (!p)
        return 1;
    Driver d{p};

    CHECK(d.CallStd<ULONG>(kAddRef) == 2);
    CHECK(d.CallStd<ULONG>(kRelease) == 1);
    void* again = nullptr;
    CHECK(d.CallStd<HRESULT>(kQueryInterface, &ferox::kClsidFeroxAsio, &again) == S_OK);
    CHECK(again == p);
    d.CallStd<ULONG>(kRelease);

    char name[32] = {};
    d.Call<void>(kGetDriverName, name);
    CHECK(std::strcmp(name, "Pellinor ASIO 1.03") == 0);
    CHECK(d.Call<AsioLong>(kGetDriverVersion) == 2);
    CHECK(d.Call<ASIOBool>(kInit, static_cast<void*>(nullptr)) == (device ? ASIOTrue : ASIOFalse));
    char text[128] = {};
    d.Call<void>(kGetErrorMessage, text);
    CHECK(std::strcmp(text, device ? "" : "ASIO Pellinor Driver Enum Failure!") == 0);

    AsioLong in = 0, out = 0;
    CHECK(d.Call<ASIOError>(kGetChannels, &in, &out) == ASE_OK && in == 2 && out == 2);
    // Output: two halves for the default margin at 44.1 kHz, and the 40 ms the simulated DAC holds.
    CHECK(d.Call<ASIOError>(kGetLatencies, &in, &out) == ASE_OK && in == 1024 &&
          out == 2 * 1024 + (device ? 1764 : 0));
    AsioLong mn = 0, mx = 0, pref = 0, gran = -1;
    CHECK(d.Call<ASIOError>(kGetBufferSize, &mn, &mx, &pref, &gran) == ASE_OK);
    CHECK(mn == 1024 && mx == 1024 && pref == 1024 && gran == 0);

    // Doubles travel on the stack: a convention mismatch shows here first.
    CHECK(d.Call<ASIOError>(kCanSampleRate, 96000.0) == ASE_OK);
    CHECK(d.Call<ASIOError>(kCanSampleRate, std::nan("")) == ASE_NoClock);
    CHECK(d.Call<ASIOError>(kSetSampleRate, 48000.0) == ASE_OK);
    double rate = 0;
    CHECK(d.Call<ASIOError>(kGetSampleRate, &rate) == ASE_OK && rate == 48000.0);

    ASIOClockSource clock{};
    AsioLong count = 1;
    CHECK(d.Call<ASIOError>(kGetClockSources, &clock, &count) == ASE_OK && count == 1);
    CHECK(std::strcmp(clock.name, "Internal") == 0 && clock.isCurrentSource == ASIOTrue);
    CHECK(d.Call<ASIOError>(kSetClockSource, AsioLong{0}) == ASE_OK);
    CHECK(d.Call<ASIOError>(kSetClockSource, AsioLong{3}) == ASE_NotPresent);

    ASIOChannelInfo info{};
    info.channel = 1;
    CHECK(d.Call<ASIOError>(kGetChannelInfo, &info) == ASE_OK);
    CHECK(info.type == ASIOSTInt32LSB && std::strcmp(info.name, " channel 1") == 0);

    ASIOBufferInfo buffers[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{&OnSwitch, &OnRate, &OnMessage, &OnSwitchTime};
    CHECK(d.Call<ASIOError>(kCreateBuffers, buffers, AsioLong{2}, AsioLong{512}, &callbacks) ==
          ASE_OK);
    CHECK(buffers[0].buffers[0] && buffers[1].buffers[1]);
    CHECK(static_cast<char*>(buffers[0].buffers[1]) - static_cast<char*>(buffers[0].buffers[0]) ==
          2048);
    CHECK(g_messages == 4);
    // The host's own rate is no change under it: no sampleRateDidChange.
    CHECK(d.Call<ASIOError>(kSetSampleRate, 44100.0) == ASE_OK && g_rateSeen == 0);
    CHECK(d.Call<ASIOError>(kGetSampleRate, &rate) == ASE_OK && rate == 44100.0);

    ASIOSamples pos{1, 1};
    ASIOTimeStamp stamp{1, 1};
    CHECK(d.Call<ASIOError>(kGetSamplePosition, &pos, &stamp) == ASE_OK);
    CHECK(pos.lo == 0 && stamp.lo == 0);
    if (device) {
        // The driver's thread calls the host's __cdecl callbacks.
        CHECK(d.Call<ASIOError>(kStart) == ASE_OK);
        for (int i = 0; i < 500 && g_switches < 8; ++i)
            Sleep(10);
        CHECK(g_switches >= 8);
        CHECK(d.Call<ASIOError>(kGetSamplePosition, &pos, &stamp) == ASE_OK);
        CHECK(pos.lo > 0 && stamp.lo != 0);
    } else {
        CHECK(d.Call<ASIOError>(kStart) == ASE_NotPresent);
    }
    CHECK(d.Call<ASIOError>(kStop) == ASE_OK);
    // controlPanel opens the settings window, modal: settings_window_check drives it.
    ASIOIoFormat format{};
    format.FormatType = kASIODSDFormat;
    const struct {
        AsioLong selector;
        void* opt;
        ASIOError answer;
    } futures[] = {
        {kAsioTransport, nullptr, ASE_NotPresent},
        // Hosts count xruns only from a driver that says it tells them.
        {kAsioCanReportOverload, nullptr, ASE_SUCCESS},
        {kAsioSetIoFormat, &format, ASE_SUCCESS},
    };
    for (const auto& f : futures) {
        const ASIOError answer = d.Call<ASIOError>(kFuture, f.selector, f.opt);
        if (answer != f.answer)
            std::printf("future(%#lx) answered %ld\n", static_cast<unsigned long>(f.selector),
                        static_cast<long>(answer));
        CHECK(answer == f.answer);
    }
    CHECK(d.Call<ASIOError>(kGetBufferSize, &mn, &mx, &pref, &gran) == ASE_OK && pref == 16384);
    CHECK(d.Call<ASIOError>(kOutputReady) == ASE_OK);
    CHECK(d.Call<ASIOError>(kDisposeBuffers) == ASE_OK);

    CHECK(canUnload() == S_FALSE);
    CHECK(d.CallStd<ULONG>(kRelease) == 0);
    CHECK(canUnload() == S_OK);
    FreeLibrary(dll);

    std::printf("%s: %d failure(s)\n", sizeof(void*) == 8 ? "64-bit host" : "32-bit host",
                g_checkFailures);
    return g_checkFailures == 0 ? 0 : 1;
}
