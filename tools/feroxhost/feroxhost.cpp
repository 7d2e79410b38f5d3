// feroxhost: a console ASIO host. Finds drivers as hosts do (the ASIO list in the registry,
// COM activation under the driver's class identifier), reports what a driver says about itself
// and plays WAV, DSF and DFF files or a test tone through it.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "asio/asio.h"
#include "asio/settings.h"
#include "audio_files.h"
#include "driver_list.h"
#include "panel.h"

using namespace ferox::host;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;
constexpr wchar_t kDefaultDriver[] = L"ASIO ferox Driver";
constexpr std::uint32_t kDsd64 = 2822400;

int Usage() {
    std::fprintf(
        stderr,
        "usage: feroxhost list\n"
        "       feroxhost probe [NAME]\n"
        "       feroxhost play [--driver NAME] FILE      (WAV 16/24/32-bit PCM, DSF, DFF)\n"
        "       feroxhost tone [--driver NAME] [--dsd] [--rate HZ] [SECONDS]\n"
        "       feroxhost config                         (this user's driver settings)\n"
        "       feroxhost config buffer N                (N: 64, 128, 256, 512, 1024 or 2048)\n"
        "       feroxhost panel [NAME]                   (the driver's settings window)\n");
    return kExitUsage;
}

template <typename... A>
int Error(const char* format, A... args) {
    std::fprintf(stderr, "feroxhost: ");
    std::fprintf(stderr, format, args...);
    std::fprintf(stderr, "\n");
    return kExitFailure;
}

const char* SampleTypeName(ASIOSampleType t) {
    switch (t) {
        case ASIOSTInt16LSB:
            return "Int16LSB";
        case ASIOSTInt24LSB:
            return "Int24LSB";
        case ASIOSTInt32LSB:
            return "Int32LSB";
        case ASIOSTFloat32LSB:
            return "Float32LSB";
        case ASIOSTFloat64LSB:
            return "Float64LSB";
        case ASIOSTInt32LSB24:
            return "Int32LSB24";
        case ASIOSTInt16MSB:
            return "Int16MSB";
        case ASIOSTInt32MSB:
            return "Int32MSB";
        case ASIOSTDSDInt8LSB1:
            return "DSDInt8LSB1";
        case ASIOSTDSDInt8MSB1:
            return "DSDInt8MSB1";
        case ASIOSTDSDInt8NER8:
            return "DSDInt8NER8";
        default:
            return "other";
    }
}

const char* ErrorText(ASIOError e) {
    switch (e) {
        case ASE_OK:
            return "ASE_OK";
        case ASE_SUCCESS:
            return "ASE_SUCCESS";
        case ASE_NotPresent:
            return "ASE_NotPresent";
        case ASE_HWMalfunction:
            return "ASE_HWMalfunction";
        case ASE_InvalidParameter:
            return "ASE_InvalidParameter";
        case ASE_InvalidMode:
            return "ASE_InvalidMode";
        case ASE_SPNotAdvancing:
            return "ASE_SPNotAdvancing";
        case ASE_NoClock:
            return "ASE_NoClock";
        case ASE_NoMemory:
            return "ASE_NoMemory";
        default:
            return "unknown result";
    }
}

// ---- finding and creating a driver

int List() {
    const auto drivers = InstalledDrivers();
    if (drivers.empty()) {
        std::printf(
            "No ASIO drivers are installed (HKLM\\SOFTWARE\\ASIO has no entries in this "
            "%d-bit view).\n",
            static_cast<int>(sizeof(void*) * 8));
        return 0;
    }
    std::printf("ASIO drivers (%d-bit view):\n", static_cast<int>(sizeof(void*) * 8));
    for (const auto& d : drivers) {
        std::printf("%s\n", Narrow(d.key).c_str());
        std::printf("  CLSID        %s%s\n", Narrow(d.clsidText).c_str(),
                    d.clsidValid ? "" : "  (not a class identifier)");
        std::printf("  Description  %s\n", Narrow(d.description).c_str());
        std::printf(
            "  DLL          %s  (%s)\n",
            d.dllPath.empty() ? "(not registered under HKCR\\CLSID)" : Narrow(d.dllPath).c_str(),
            d.dllExists ? "present" : "MISSING");
    }
    return 0;
}

struct Com {
    Com() { ok = SUCCEEDED(CoInitialize(nullptr)); }
    ~Com() {
        if (ok)
            CoUninitialize();
    }
    bool ok;
};

struct DriverRef {
    IASIO* asio = nullptr;
    ~DriverRef() {
        if (asio)
            asio->Release();
    }
};

// Chooses the entry by name (or the default) and creates the driver; prints why not.
bool CreateDriver(const std::wstring& requested, DriverRef& ref, std::string* name) {
    const auto drivers = InstalledDrivers();
    if (drivers.empty()) {
        Error("no ASIO drivers are installed; register one with regsvr32 (see 'feroxhost list')");
        return false;
    }
    const InstalledDriver* d = nullptr;
    if (!requested.empty()) {
        d = FindDriver(drivers, requested);
        if (!d) {
            Error("no ASIO driver named '%s' is installed; see 'feroxhost list'",
                  Narrow(requested).c_str());
            return false;
        }
    } else {
        d = FindDriver(drivers, kDefaultDriver);
        if (!d && drivers.size() == 1)
            d = &drivers[0];
        if (!d) {
            Error("several ASIO drivers are installed; choose one by name (see 'feroxhost list')");
            return false;
        }
    }
    *name = Narrow(d->key);
    if (!d->clsidValid) {
        Error("driver '%s' has no valid CLSID in the registry ('%s')", name->c_str(),
              Narrow(d->clsidText).c_str());
        return false;
    }
    // Hosts ask for the driver's interface under its own class identifier.
    const HRESULT hr = CoCreateInstance(d->clsid, nullptr, CLSCTX_INPROC_SERVER, d->clsid,
                                        reinterpret_cast<void**>(&ref.asio));
    if (FAILED(hr) || !ref.asio) {
        const char* why = hr == REGDB_E_CLASSNOTREG ? "its class is not registered"
                          : hr == HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) ||
                                  hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                              ? "its DLL cannot be found or loaded"
                              : "COM activation failed";
        Error("cannot create driver '%s': %s (0x%08lX; DLL %s)", name->c_str(), why,
              static_cast<unsigned long>(hr),
              d->dllPath.empty() ? "not registered" : Narrow(d->dllPath).c_str());
        ref.asio = nullptr;
        return false;
    }
    return true;
}

bool Init(IASIO* asio, const std::string& name) {
    if (asio->init(GetConsoleWindow()) == ASIOTrue)
        return true;
    char text[128] = {};
    asio->getErrorMessage(text);
    Error("driver '%s' did not initialise: %s", name.c_str(), text[0] ? text : "(no message)");
    return false;
}

bool SetIoFormat(IASIO* asio, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    if (asio->future(kAsioCanDoIoFormat, &format) != ASE_SUCCESS)
        return false;
    return asio->future(kAsioSetIoFormat, &format) == ASE_SUCCESS;
}

// ---- settings

void PrintBufferSetting() {
    const AsioLong n = ferox::UserBufferSize();
    std::printf("buffer        %ld samples a half (DSD: %ld words, %ld DSD samples)%s\n",
                static_cast<long>(n), static_cast<long>(n), static_cast<long>(n) * 32,
                n == ferox::kDefaultBufferSize ? ", the default" : "");
}

int Config(const std::vector<std::string>& args) {
    if (args.empty()) {
        std::printf("settings of this user (HKEY_CURRENT_USER\\Software\\feroxasio)\n");
        PrintBufferSetting();
        return 0;
    }
    if (args.size() != 2 || args[0] != "buffer")
        return Usage();
    char* end = nullptr;
    const long n = std::strtol(args[1].c_str(), &end, 10);
    if (end == args[1].c_str() || *end || !ferox::IsBufferSizeChoice(static_cast<AsioLong>(n))) {
        std::fprintf(stderr,
                     "feroxhost: the buffer size must be one of 64, 128, 256, 512, 1024 or 2048 "
                     "(not '%s')\n",
                     args[1].c_str());
        return kExitUsage;
    }
    const LONG rc = ferox::SetUserBufferSize(static_cast<AsioLong>(n));
    if (rc != ERROR_SUCCESS)
        return Error("cannot write HKEY_CURRENT_USER\\Software\\feroxasio (error %ld)", rc);
    PrintBufferSetting();
    std::printf("hosts that are playing are asked to start again with it\n");
    return 0;
}

// ---- panel

int Panel(const std::wstring& requested) {
    Com com;
    DriverRef ref;
    std::string name;
    if (!CreateDriver(requested, ref, &name))
        return kExitFailure;
    // As a host loads it: initialised, so the window can tell the DAC's state. Without the DAC
    // the window still opens and says so.
    Init(ref.asio, name);
    return ShowPanel(ref.asio, name.c_str());
}

// ---- probe

int Probe(const std::wstring& requested) {
    Com com;
    DriverRef ref;
    std::string name;
    if (!CreateDriver(requested, ref, &name))
        return kExitFailure;
    IASIO* a = ref.asio;
    char driverName[33] = {};
    a->getDriverName(driverName);
    std::printf("driver        %s (entry '%s')\n", driverName, name.c_str());
    std::printf("version       %ld\n", static_cast<long>(a->getDriverVersion()));
    if (!Init(a, name))
        return kExitFailure;
    std::printf("init          ok\n");
    PrintBufferSetting();

    AsioLong inputs = 0, outputs = 0;
    if (a->getChannels(&inputs, &outputs) == ASE_OK) {
        std::printf("channels      %ld in, %ld out\n", static_cast<long>(inputs),
                    static_cast<long>(outputs));
    }
    AsioLong inLatency = 0, outLatency = 0;
    if (a->getLatencies(&inLatency, &outLatency) == ASE_OK) {
        std::printf("latencies     %ld in, %ld out (samples)\n", static_cast<long>(inLatency),
                    static_cast<long>(outLatency));
    }
    ASIOClockSource clocks[8] = {};
    AsioLong clockCount = 8;
    if (a->getClockSources(clocks, &clockCount) == ASE_OK) {
        for (AsioLong i = 0; i < clockCount && i < 8; ++i) {
            std::printf("clock         %ld '%s'%s\n", static_cast<long>(clocks[i].index),
                        clocks[i].name, clocks[i].isCurrentSource ? " (current)" : "");
        }
    }
    ASIOSampleRate current = 0;
    if (a->getSampleRate(&current) == ASE_OK)
        std::printf("sample rate   %.0f Hz\n", current);

    ASIOIoFormat format{};
    std::printf(
        "io formats    PCM %s, DSD %s",
        [&] {
            format.FormatType = kASIOPCMFormat;
            return a->future(kAsioCanDoIoFormat, &format) == ASE_SUCCESS ? "yes" : "no";
        }(),
        [&] {
            format.FormatType = kASIODSDFormat;
            return a->future(kAsioCanDoIoFormat, &format) == ASE_SUCCESS ? "yes" : "no";
        }());
    format.FormatType = kASIOFormatInvalid;
    if (a->future(kAsioGetIoFormat, &format) == ASE_SUCCESS) {
        std::printf(", current %s", format.FormatType == kASIODSDFormat ? "DSD" : "PCM");
    }
    std::printf("\n");

    struct Mode {
        const char* label;
        ASIOIoFormatType type;
        std::vector<std::pair<const char*, double>> rates;
    };
    const Mode modes[] = {
        {"PCM",
         kASIOPCMFormat,
         {{"44.1k", 44100},
          {"48k", 48000},
          {"88.2k", 88200},
          {"96k", 96000},
          {"176.4k", 176400},
          {"192k", 192000},
          {"352.8k", 352800},
          {"384k", 384000},
          {"705.6k", 705600},
          {"768k", 768000}}},
        {"DSD",
         kASIODSDFormat,
         {{"DSD64", kDsd64},
          {"DSD128", 2.0 * kDsd64},
          {"DSD256", 4.0 * kDsd64},
          {"DSD512", 8.0 * kDsd64}}},
    };
    for (const Mode& m : modes) {
        if (!SetIoFormat(a, m.type)) {
            if (m.type == kASIODSDFormat)
                std::printf("DSD           not accepted\n");
            continue;
        }
        AsioLong mn = 0, mx = 0, pref = 0, gran = 0;
        if (a->getBufferSize(&mn, &mx, &pref, &gran) == ASE_OK) {
            std::printf("%s buffers   min %ld, max %ld, preferred %ld, granularity %ld\n", m.label,
                        static_cast<long>(mn), static_cast<long>(mx), static_cast<long>(pref),
                        static_cast<long>(gran));
        }
        for (int input = 1; input >= 0; --input) {
            const AsioLong count = input ? inputs : outputs;
            for (AsioLong c = 0; c < count; ++c) {
                ASIOChannelInfo info{};
                info.channel = c;
                info.isInput = input ? ASIOTrue : ASIOFalse;
                if (a->getChannelInfo(&info) != ASE_OK)
                    continue;
                std::printf("%s %-6s %ld '%s' group %ld, %s\n", m.label, input ? "in" : "out",
                            static_cast<long>(c), info.name, static_cast<long>(info.channelGroup),
                            SampleTypeName(info.type));
            }
        }
        std::printf("%s rates    ", m.label);
        for (const auto& [label, rate] : m.rates) {
            std::printf(" %s %s", label, a->canSampleRate(rate) == ASE_OK ? "yes" : "no");
        }
        std::printf("\n");
    }
    SetIoFormat(a, kASIOPCMFormat);
    return 0;
}

// ---- playing

// What feeds the driver: a file or a generated tone, in the driver's units (PCM frames,
// or DSD bytes a channel).
class Source {
  public:
    virtual ~Source() = default;
    virtual std::size_t Fill(void* left, void* right, std::size_t units) = 0;
};

class FileFeed final : public Source {
  public:
    explicit FileFeed(AudioReader& r) : m_reader(r) {}
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        if (m_reader.Info().encoding == Encoding::Pcm) {
            return m_reader.ReadPcm(static_cast<std::int32_t*>(left),
                                    static_cast<std::int32_t*>(right), units);
        }
        return m_reader.ReadDsd(static_cast<std::uint8_t*>(left), static_cast<std::uint8_t*>(right),
                                units);
    }

  private:
    AudioReader& m_reader;
};

class ToneFeed final : public Source {
  public:
    ToneFeed(bool dsd, std::uint64_t units)
        : m_dsd(dsd), m_left(units), m_pcm(44100), m_dsdTone(kDsd64) {}
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(units, m_left));
        if (m_dsd) {
            m_dsdTone.Next(static_cast<std::uint8_t*>(left), static_cast<std::uint8_t*>(right), n);
        } else {
            m_pcm.Next(static_cast<std::int32_t*>(left), static_cast<std::int32_t*>(right), n);
        }
        m_left -= n;
        return n;
    }

  private:
    bool m_dsd;
    std::uint64_t m_left;
    PcmTone m_pcm;
    DsdTone m_dsdTone;
};

// A tone at any rate for long runs: 50 ms of it made once and played in a loop, so that making
// it (a modulator step for every DSD bit) costs the streaming callbacks nothing.
class LoopedToneFeed final : public Source {
  public:
    LoopedToneFeed(bool dsd, std::uint32_t rate, std::uint64_t units)
        : m_left(units), m_unitBytes(dsd ? 1 : 4) {
        const std::size_t loop = std::max<std::size_t>(1, (dsd ? rate / 8 : rate) / 20);
        m_loop[0].resize(loop * m_unitBytes);
        m_loop[1].resize(loop * m_unitBytes);
        if (dsd) {
            DsdTone(rate).Next(m_loop[0].data(), m_loop[1].data(), loop);
        } else {
            PcmTone(rate).Next(reinterpret_cast<std::int32_t*>(m_loop[0].data()),
                               reinterpret_cast<std::int32_t*>(m_loop[1].data()), loop);
        }
    }
    std::size_t Fill(void* left, void* right, std::size_t units) override {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(units, m_left));
        const std::size_t loopUnits = m_loop[0].size() / m_unitBytes;
        void* out[2] = {left, right};
        for (std::size_t done = 0; done < n;) {
            const std::size_t step = std::min(n - done, loopUnits - m_at);
            for (int c = 0; c < 2; ++c) {
                std::memcpy(static_cast<std::uint8_t*>(out[c]) + done * m_unitBytes,
                            m_loop[c].data() + m_at * m_unitBytes, step * m_unitBytes);
            }
            done += step;
            m_at = (m_at + step) % loopUnits;
        }
        m_left -= n;
        return n;
    }

  private:
    std::uint64_t m_left;
    std::size_t m_unitBytes;
    std::vector<std::uint8_t> m_loop[2];
    std::size_t m_at = 0;
};

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
    std::atomic<unsigned> silentFills{0};
    std::atomic<bool> resetRequested{false};
    std::atomic<double> maxIntervalMs{0};
    LARGE_INTEGER frequency{};
    LARGE_INTEGER first{}, last{};
};
Player* g_player = nullptr;
HANDLE g_interrupt = nullptr;

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
    if (index != 0 && index != 1)
        return;

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
    // The driver hands a half to the device only after the next two switches: stop once two
    // halves of silence follow the end, and every sample has gone out.
    if (got == 0 && p.silentFills.fetch_add(1) + 1 >= 2)
        SetEvent(p.done);
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
                           value == kAsioSupportsTimeInfo || value == kAsioResyncRequest
                       ? 1
                       : 0;
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
    e = a->start();
    if (e != ASE_OK) {
        char text[128] = {};
        a->getErrorMessage(text);
        a->disposeBuffers();
        return Error("driver '%s' did not start (%s): %s", name.c_str(), ErrorText(e),
                     text[0] ? text : "(no message)");
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
        "summary: played %.2f s of %.2f s in %.2f s; %u buffer switches, %u late; "
        "largest interval %.1f ms (a half holds %.1f ms of audio)%s\n",
        played, total, wall, switches, player.late.load(), player.maxIntervalMs.load(), halfMs,
        underruns);
    if (interrupted) {
        std::printf("stopped by Ctrl+C\n");
        return kExitInterrupted;
    }
    if (player.resetRequested.load()) {
        return Error("driver '%s' asked for a reset: the device was lost or changed", name.c_str());
    }
    if (stalled)
        return Error("driver '%s' stopped calling back", name.c_str());
    return 0;
}

int PlayFile(const std::wstring& driver, const std::string& path) {
    FileSource file;
    std::string why;
    if (!file.Open(path, &why))
        return Error("cannot open '%s': %s", path.c_str(), why.c_str());
    AudioReader reader;
    const AudioStatus s = reader.Open(file);
    if (!s.ok()) {
        return Error("cannot play '%s': %s: %s", path.c_str(), ErrorName(s.error),
                     s.message.c_str());
    }
    if (reader.Info().frames == 0)
        return Error("'%s' holds no audio", path.c_str());
    FileFeed feed(reader);
    const int rc = Play(driver, feed, reader.Info(), path.c_str());
    if (rc == 0 && !reader.Status().ok()) {
        return Error("reading '%s' failed: %s", path.c_str(), reader.Status().message.c_str());
    }
    return rc;
}

int Tone(const std::wstring& driver, bool dsd, double seconds, std::uint32_t rate) {
    AudioInfo info;
    info.encoding = dsd ? Encoding::Dsd : Encoding::Pcm;
    info.sampleRate = rate ? rate : dsd ? kDsd64 : 44100;
    info.channels = 2;
    info.bitsPerSample = dsd ? 1 : 32;
    info.frames = static_cast<std::uint64_t>(seconds * info.sampleRate) / 8 * 8;
    const std::uint64_t units = dsd ? info.frames / 8 : info.frames;
    if (rate) {
        LoopedToneFeed feed(dsd, info.sampleRate, units);
        return Play(driver, feed, info, dsd ? "DSD test tone" : "PCM test tone");
    }
    ToneFeed feed(dsd, units);
    return Play(driver, feed, info, dsd ? "DSD64 test tone" : "44.1 kHz test tone");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    const std::string cmd = argv[1];
    std::wstring driver;
    bool dsd = false;
    unsigned long rate = 0;
    std::vector<std::string> rest;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--driver") {
            if (++i >= argc)
                return Usage();
            driver = Widen(argv[i]);
        } else if (arg == "--dsd") {
            dsd = true;
        } else if (arg == "--rate") {
            char* end = nullptr;
            rate = ++i < argc ? std::strtoul(argv[i], &end, 10) : 0;
            if (!end || *end || rate < 8000 || rate > 50000000) {
                std::fprintf(stderr, "feroxhost: --rate takes a sample rate in Hz\n");
                return kExitUsage;
            }
        } else if (arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
            std::fprintf(stderr, "feroxhost: unknown option '%s'\n", arg.c_str());
            return Usage();
        } else {
            rest.push_back(arg);
        }
    }
    if (cmd == "list" && rest.empty() && driver.empty() && !dsd && !rate)
        return List();
    if (cmd == "probe" && rest.size() <= 1 && driver.empty() && !dsd && !rate) {
        return Probe(rest.empty() ? std::wstring() : Widen(rest[0]));
    }
    if (cmd == "panel" && rest.size() <= 1 && driver.empty() && !dsd && !rate)
        return Panel(rest.empty() ? std::wstring() : Widen(rest[0]));
    if (cmd == "config" && driver.empty() && !dsd && !rate)
        return Config(rest);
    if (cmd == "play" && rest.size() == 1 && !dsd && !rate)
        return PlayFile(driver, rest[0]);
    if (cmd == "tone" && rest.size() <= 1) {
        double seconds = 3;
        if (!rest.empty()) {
            char* end = nullptr;
            seconds = std::strtod(rest[0].c_str(), &end);
            if (end == rest[0].c_str() || *end || !(seconds > 0 && seconds <= 3600)) {
                std::fprintf(stderr,
                             "feroxhost: SECONDS must be a number above 0 and at most 3600\n");
                return kExitUsage;
            }
        }
        return Tone(driver, dsd, seconds, static_cast<std::uint32_t>(rate));
    }
    return Usage();
}
