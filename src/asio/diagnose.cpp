// The diagnostic: the DAC as the driver's KS client finds it, with the device's raw replies, then
// the driver itself as a host meets it, streaming silence while the engine's pace is timed.
#include "asio/diagnose.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "asio/diagnose_report.h"
#include "asio/driver_id.h"
#include "asio/pellinor.h"
#include "ks/audio_filter.h"
#include "ks/enum_filters.h"
#include "platform/device.h"
#include "platform/wide.h"

namespace ferox {

namespace {

using diagnose::HrText;
using diagnose::json;

constexpr double kDsd64 = 2822400.0;
constexpr double kPcmRates[] = {44100,  48000,  88200,  96000,  176400,
                                192000, 352800, 384000, 705600, 768000};
constexpr double kDsdRates[] = {kDsd64, kDsd64 * 2, kDsd64 * 4, kDsd64 * 8};

// ---- the driver as a host meets it

// A silent host: the driver's buffers start zeroed (PCM silence) or are filled with DSD's idle
// pattern once; nothing is written at the switches.
void ASIO_CALLBACK OnSwitch(AsioLong, ASIOBool) {}
void ASIO_CALLBACK OnRate(ASIOSampleRate) {}
AsioLong ASIO_CALLBACK OnMessage(AsioLong, AsioLong, void*, double*) {
    return 0;
}
ASIOTime* ASIO_CALLBACK OnSwitchTimeInfo(ASIOTime* params, AsioLong, ASIOBool) {
    return params;
}

void SetIoFormat(IASIO* driver, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    driver->future(kAsioSetIoFormat, &format);
}

json Spread(std::vector<double> v) {
    if (v.empty())
        return nullptr;
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<std::size_t>(q * (v.size() - 1) + 0.5))];
    };
    const auto round3 = [](double x) { return static_cast<double>(std::llround(x * 1000)) / 1000; };
    return {{"min", round3(v.front())},
            {"median", round3(at(0.5))},
            {"p99", round3(at(0.99))},
            {"max", round3(v.back())}};
}

// The half's length over the mean completion interval, once the writes that only filled the
// DAC's buffer (those back at once) are past: a mean, so a stall the DAC makes up for does not
// count as pace. 0 when too few writes came back.
double Pace(const StreamProbe& probe, int n, double halfMs) {
    int first = 1;
    while (first < n && (probe.wokeNs[first] - probe.wokeNs[first - 1]) / 1e6 < halfMs / 4)
        ++first;
    const int spans = n - first;
    if (spans < 8)
        return 0;
    const double ms = static_cast<double>(probe.wokeNs[n - 1] - probe.wokeNs[first - 1]) / 1e6;
    return ms > 0 ? halfMs * spans / ms : 0;
}

// Ends the stream and withdraws the probe on every way out, an exception's too: a stream left
// playing would write into the probe once it is freed.
struct StreamGuard {
    IASIO* const driver;
    ASIOPellinor* const engine;
    StreamGuard(IASIO* d, ASIOPellinor* e) : driver(d), engine(e) {}
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
    ~StreamGuard() {
        driver->stop();
        engine->SetStreamProbe(nullptr);
        driver->disposeBuffers();
    }
};

struct ReleaseDriver {
    void operator()(IASIO* driver) const { driver->Release(); }
};

json Stream(IASIO* driver, ASIOPellinor* engine, bool dsd, DWORD streamMs, bool busy,
            double* pace) {
    const double rate = dsd ? kDsd64 : 44100.0;
    json s;
    s["mode"] = dsd ? "dsd" : "pcm";
    s["rate"] = rate;
    if (busy) {
        s["skipped"] = "another program holds the DAC";
        return s;
    }
    SetIoFormat(driver, dsd ? kASIODSDFormat : kASIOPCMFormat);
    if (driver->setSampleRate(rate) != ASE_OK) {
        s["skipped"] = "the driver refuses the rate";
        return s;
    }
    AsioLong minSize = 0, maxSize = 0, size = 0, granularity = 0;
    driver->getBufferSize(&minSize, &maxSize, &size, &granularity);
    s["buffer_size"] = size;
    s["half_ms"] = static_cast<double>(std::llround(size / rate * 1e6)) / 1000;
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {nullptr, nullptr}},
                               {ASIOFalse, 1, {nullptr, nullptr}}};
    ASIOCallbacks callbacks{&OnSwitch, &OnRate, &OnMessage, &OnSwitchTimeInfo};
    const auto probe = std::make_unique<StreamProbe>();
    ASIOError e = driver->createBuffers(infos, 2, size, &callbacks);
    if (e != ASE_OK) {
        s["skipped"] = "createBuffers answered " + std::to_string(e);
        return s;
    }
    const StreamGuard guard{driver, engine};
    if (dsd) {
        for (auto& info : infos) {
            for (void* half : info.buffers)
                std::memset(half, 0x69, static_cast<std::size_t>(size) / 8);
        }
    }
    engine->SetStreamProbe(probe.get());
    e = driver->start();
    s["start"] = e;
    if (e != ASE_OK) {
        char message[128] = {};
        driver->getErrorMessage(message);
        s["error"] = message;
        s["skipped"] = std::strstr(message, "in use") ? "another program holds the DAC"
                                                      : "the driver could not start";
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(streamMs));
        driver->stop();
    }
    engine->SetStreamProbe(nullptr);
    AsioLong in = 0, out = 0;
    driver->getLatencies(&in, &out);
    s["latencies"] = {{"input", in}, {"output", out}};
    driver->disposeBuffers();
    const int n = probe->count.load();
    s["writes"] = n;
    std::vector<double> intervals, turnarounds;
    for (int k = 0; k < n; ++k) {
        turnarounds.push_back(static_cast<double>(probe->sentNs[k] - probe->wokeNs[k]) / 1e3);
        if (k > 0)
            intervals.push_back(static_cast<double>(probe->wokeNs[k] - probe->wokeNs[k - 1]) / 1e6);
    }
    s["interval_ms"] = Spread(intervals);
    *pace = Pace(*probe, n, size / rate * 1000);
    s["turnaround_us"] = Spread(turnarounds);
    return s;
}

json DriverChecks(IASIO* driver, ASIOPellinor* engine, DWORD streamMs, bool busy, json* streams,
                  double* pcmPace) {
    json d;
    char name[64] = {};
    driver->getDriverName(name);
    d["name"] = name;
    d["version"] = driver->getDriverVersion();
    const bool ok = driver->init(nullptr) == ASIOTrue;
    d["init"] = ok;
    char message[128] = {};
    driver->getErrorMessage(message);
    d["error_message"] = message;
    AsioLong in = 0, out = 0;
    driver->getLatencies(&in, &out);
    d["latencies_before_start"] = {{"input", in}, {"output", out}};
    for (const bool dsd : {false, true}) {
        SetIoFormat(driver, dsd ? kASIODSDFormat : kASIOPCMFormat);
        json rates = json::array();
        for (const double r :
             dsd ? std::vector<double>(std::begin(kDsdRates), std::end(kDsdRates))
                 : std::vector<double>(std::begin(kPcmRates), std::end(kPcmRates))) {
            if (driver->canSampleRate(r) == ASE_OK)
                rates.push_back(r);
        }
        d["rates"][dsd ? "dsd" : "pcm"] = rates;
    }
    SetIoFormat(driver, kASIOPCMFormat);
    *streams = json::array();
    for (const bool dsd : {false, true}) {
        if (ok && streamMs > 0) {
            double pace = 0;
            streams->push_back(Stream(driver, engine, dsd, streamMs, busy, &pace));
            if (!dsd)
                *pcmPace = pace;
            continue;
        }
        const char* why = streamMs == 0 ? "not asked for"
                          : busy        ? "another program holds the DAC"
                                        : "the driver could not open the DAC";
        streams->push_back(
            {{"mode", dsd ? "dsd" : "pcm"}, {"rate", dsd ? kDsd64 : 44100.0}, {"skipped", why}});
    }
    return d;
}

}  // namespace

std::string Diagnose(const DiagnoseOptions& options) {
    json report;
    report["format"] = "feroxasio-report/1";
    HRESULT hr = S_OK;
    CUnknown* object = CreateDriverInstance(nullptr, &hr);
    IASIO* driver = nullptr;
    if (object && SUCCEEDED(hr)) {
        object->InnerAddRef();
        object->InnerQueryInterface(kClsidFeroxAsio, reinterpret_cast<void**>(&driver));
        object->InnerRelease();
    } else {
        delete object;
    }
    if (!driver) {
        report["error"] = "the driver object could not be made: " + HrText(hr);
        return report.dump(2);
    }
    const std::unique_ptr<IASIO, ReleaseDriver> held(driver);
    auto* engine = static_cast<ASIOPellinor*>(driver);
    // The doctor looks and changes nothing: the rates it tries are not the user's.
    engine->KeepNoRates();
    WAVEFORMATEXTENSIBLE wfx;
    engine->FillWaveFormat(&wfx, 44100.0);
    bool busy = false;
    report["device"] = diagnose::DeviceChecks(&wfx.Format, &busy);
    json streams;
    double pcmPace = 0;
    report["driver"] = DriverChecks(driver, engine, options.streamMs, busy, &streams, &pcmPace);
    report["streams"] = streams;
    // What a simulated DAC needs to keep this device's pace: how fast it takes writes, against
    // the half's length, and how much it holds.
    json pace;
    if (pcmPace > 0)
        pace["ratio"] = static_cast<double>(std::llround(pcmPace * 100)) / 100;
    const json& latency =
        report["device"].value("render_pin", json::object()).value("latency", json::object());
    if (latency.contains("hns"))
        pace["buffer_ms"] = std::llround(latency["hns"].get<double>() / 10000);
    report["pace"] = pace;
    return report.dump(2);
}

}  // namespace ferox