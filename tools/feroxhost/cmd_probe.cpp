// probe: what a driver says about itself, its buffer sizes, channels and rates in PCM and DSD.
#include <utility>
#include <vector>

#include "commands.h"

namespace ferox::host {
namespace {

int Probe(const Args& args) {
    const std::wstring requested = args.rest.empty() ? std::wstring() : Widen(args.rest[0]);
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

}  // namespace

const Command kProbeCommand{"probe", "probe [NAME]", 0, 0, 1, &Probe};

}  // namespace ferox::host
