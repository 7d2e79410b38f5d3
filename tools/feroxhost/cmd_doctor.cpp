// doctor: the whole chain from a host to the DAC, one check a line, changing nothing. The
// registration and the ASIO list come first (doctor_registry.cpp); the device checks run inside
// the driver DLL (its FeroxDiagnose export), through the driver's own KS client, and are judged
// here, with the report written at the end.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "asio/driver_id.h"
#include "doctor_checks.h"

namespace ferox::host {
namespace {

using namespace doctor;

// ---- the device, through the driver DLL

using FeroxReportSink = void(WINAPI*)(void* context, const char* json, DWORD length);
using FeroxDiagnoseFn = HRESULT(WINAPI*)(DWORD streamMs, FeroxReportSink sink, void* context);

void WINAPI Collect(void* context, const char* text, DWORD length) {
    static_cast<std::string*>(context)->assign(text, length);
}

std::string RangeText(const json& r) {
    if (!r.contains("rates") || !r.contains("bits") || r["rates"].size() != 2 ||
        r["bits"].size() != 2)
        return "format " + r.value("sub", std::string("?"));
    return Format("%u ch, %u-%u bit, %u-%u Hz", r.value("max_channels", 0u),
                  r["bits"][0].get<unsigned>(), r["bits"][1].get<unsigned>(),
                  r["rates"][0].get<unsigned>(), r["rates"][1].get<unsigned>());
}

void CheckDevice(Checks& checks, const json& d) {
    const json& device = d.value("device", json::object());
    if (!device.value("found", false)) {
        checks.Fail("device",
                    "DAC not found: no audio interface with a render alias has the USB id "
                    "VID_5A4E&PID_0C31",
                    "plug the DAC in and switch it on; Device Manager should list it under "
                    "Sound, video and game controllers");
        return;
    }
    for (const auto& i : device.value("interfaces", json::array())) {
        if (i.value("dac", false)) {
            checks.Ok("device", "DAC found: " + i.value("instance", std::string()) +
                                    ", render alias " + i.value("render_alias", std::string()) +
                                    ", " + i.value("path", std::string()));
        }
    }
    const json& filter = device.value("filter", json::object());
    if (!filter.value("opened", false)) {
        bool busy = false;
        for (const auto& t : filter.value("open_tries", json::array()))
            busy = busy || t.value("busy", false);
        if (busy) {
            checks.Warn("device",
                        "the DAC's filter could not be opened: another program holds the DAC",
                        "close the program that plays through the DAC and run doctor again");
        } else {
            checks.Fail(
                "device",
                "the DAC's filter did not open (" + filter.value("result", std::string()) + ")",
                "unplug and replug the DAC; if it stays, reinstall its USB audio driver");
        }
        return;
    }
    checks.Ok("device", "filter opened, " +
                            std::to_string(device.value("pins", json::array()).size()) +
                            " pin types");
    for (const auto& p : device.value("pins", json::array())) {
        std::string ranges;
        for (const auto& r : p.value("data_ranges", json::array()))
            ranges += (ranges.empty() ? "" : "; ") + RangeText(r);
        const json inst = p.value("instances", json::object());
        checks.Ok("device", Format("pin %u \"%s\": communication %u, data flow %u, instances %u "
                                   "possible %u in use; %s",
                                   p.value("id", 0u), p.value("name", std::string()).c_str(),
                                   p.value("communication", 0u), p.value("dataflow", 0u),
                                   inst.value("possible", 0u), inst.value("current", 0u),
                                   ranges.empty() ? "no data ranges" : ranges.c_str()));
    }
    const json& pin = device.value("render_pin", json::object());
    if (!pin.value("created", false)) {
        if (pin.value("busy", false)) {
            checks.Warn("device", "no render pin at 44.1 kHz: another program holds the DAC",
                        "close the program that plays through the DAC and run doctor again");
        } else {
            checks.Fail("device", "the DAC made no render pin for 32-bit stereo at 44.1 kHz",
                        "the DAC's USB audio driver does not offer the format the driver plays; "
                        "update the DAC's firmware or driver");
        }
        return;
    }
    checks.Ok("device", Format("render pin %u made at 44.1 kHz", pin.value("pin", 0u)));
    const json& latency = pin.value("latency", json::object());
    if (latency.contains("hns")) {
        checks.Ok("device",
                  Format("latency property: %.1f ms", latency["hns"].get<double>() / 10000));
    } else {
        checks.Warn(
            "device",
            "the DAC does not tell its latency (" + latency.value("result", std::string()) + ")",
            "nothing to fix: hosts are told the buffer's latency only, so their timing "
            "may be early by the DAC's own delay");
    }
    const json& position = pin.value("position", json::object());
    if (position.value("result", std::string()) == "0x00000000") {
        checks.Ok("device", "position property answers");
    } else {
        checks.Warn("device",
                    "the position property fails (" + position.value("result", std::string()) + ")",
                    "nothing to fix for playing; report it with the --report file");
    }
    const json& vendor = pin.value("vendor", json::object());
    const json pcm = vendor.value("pcm", json::object());
    const json dsd = vendor.value("dsd", json::object());
    if (pcm.value("accepted", false)) {
        checks.Ok("device", "PCM mode request accepted");
    } else {
        checks.Fail(
            "device",
            "the DAC refused the PCM mode request (" + pcm.value("result", std::string()) + ")",
            "the driver cannot play on this DAC; update its firmware, then report it with the "
            "--report file");
    }
    if (dsd.value("accepted", false)) {
        checks.Ok("device", "DSD mode request accepted");
    } else {
        checks.Warn(
            "device",
            "the DAC refused the DSD mode request (" + dsd.value("result", std::string()) +
                "): DSD cannot play",
            "play PCM, or let the player convert DSD to PCM; a firmware update may add DSD");
    }
    const json& driver = d.value("driver", json::object());
    if (driver.contains("rates")) {
        const auto& rates = driver["rates"];
        checks.Ok("driver",
                  Format("rates the driver accepts: PCM %d of 10, DSD %d of 4 (DSD64 to DSD512)",
                         static_cast<int>(rates.value("pcm", json::array()).size()),
                         static_cast<int>(rates.value("dsd", json::array()).size())));
    }
    for (const auto& s : d.value("streams", json::array())) {
        const std::string name =
            s.value("mode", std::string()) == "dsd" ? "DSD64 stream" : "44.1 kHz PCM stream";
        if (s.contains("skipped")) {
            const std::string why = s.value("skipped", std::string());
            const std::string error = s.value("error", std::string());
            const bool dsdRefused =
                s.value("mode", std::string()) == "dsd" && !pin.value("vendor", json::object())
                                                                .value("dsd", json::object())
                                                                .value("accepted", true);
            if (why == "not asked for")
                checks.Ok("stream", name + " skipped: --seconds 0");
            else if (dsdRefused)
                checks.Warn("stream", name + " skipped: the DAC refuses DSD",
                            "play PCM, or let the player convert DSD to PCM");
            else if (why.find("another program") != std::string::npos)
                checks.Warn("stream", name + " skipped: " + why,
                            "close the program that plays through the DAC and run doctor again");
            else
                checks.Fail("stream",
                            name + " skipped: " + why + (error.empty() ? "" : " (" + error + ")"),
                            "see the lines above for what the DAC refused");
            continue;
        }
        const json& iv = s.value("interval_ms", json::object());
        const json& ta = s.value("turnaround_us", json::object());
        if (!iv.is_object() || iv.empty()) {
            checks.Fail("stream", name + ": no write came back",
                        "unplug and replug the DAC, then run doctor again");
            continue;
        }
        const double half = s.value("half_ms", 0.0);
        const double median = iv.value("median", 0.0);
        const std::string text = Format(
            "%s: %d writes, completion interval min %.2f / median %.2f / p99 %.2f / max %.2f ms "
            "against a half of %.2f ms; driver turnaround median %.0f / p99 %.0f / max %.0f us",
            name.c_str(), s.value("writes", 0), iv.value("min", 0.0), median, iv.value("p99", 0.0),
            iv.value("max", 0.0), half, ta.value("median", 0.0), ta.value("p99", 0.0),
            ta.value("max", 0.0));
        // A write may come back late by what the DAC holds beyond the half (its latency, when
        // it tells it; else a half) before the DAC runs dry: that is a dropout a user hears. The
        // driver's turnaround eats into the same reserve.
        const double headroom =
            latency.contains("hns") ? latency["hns"].get<double>() / 10000 : half;
        if (iv.value("max", 0.0) > half + headroom || ta.value("p99", 0.0) > headroom * 500) {
            checks.Warn("stream", text,
                        "writes came back later than the DAC could wait, or the driver was slow to "
                        "send: expect dropouts; close busy programs or raise the buffer size "
                        "(feroxhost config buffer N)");
        } else if (median < half * 0.9 || median > half * 1.1) {
            checks.Warn("stream", text,
                        "the DAC takes data at another pace than its rate; report it with the "
                        "--report file");
        } else {
            checks.Ok("stream", text);
        }
    }
}

int Doctor(const Args& args) {
    Checks checks;
    json report;
    report["doctor"] = {{"bits", kOwnBits}};
    const std::wstring dll = CheckRegistry(checks, report);
    json device;
    if (dll.empty()) {
        checks.Fail("device",
                    "device checks not run: no usable driver DLL registered for " +
                        std::to_string(kOwnBits) + "-bit hosts",
                    "mend the registration above first");
    } else {
        // Kept loaded to the end: a thread of the driver may still be on its way out.
        const HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        const auto diagnose = module ? reinterpret_cast<FeroxDiagnoseFn>(reinterpret_cast<void*>(
                                           GetProcAddress(module, "FeroxDiagnose")))
                                     : nullptr;
        std::string text;
        HRESULT hr = E_FAIL;
        if (!module) {
            checks.Fail("device",
                        Format("the driver DLL does not load (error %lu)", GetLastError()),
                        "reinstall the driver");
        } else if (!diagnose) {
            checks.Fail(
                "device",
                "the driver DLL has no diagnostic entry point: it is older than this feroxhost",
                "install the same release of the driver and feroxhost");
        } else if (FAILED(hr =
                              diagnose(static_cast<DWORD>(args.seconds * 1000), &Collect, &text))) {
            checks.Fail(
                "device",
                Format("the driver's diagnostic failed (0x%08lX)", static_cast<unsigned long>(hr)),
                "run doctor again; if it stays, report it");
        } else {
            device = json::parse(text, nullptr, false);
            if (device.is_discarded() || !device.is_object()) {
                checks.Fail("device", "the driver's diagnostic gave no report", "report it");
            } else {
                // A report of another release may differ in its types: it ends the checks, not
                // the program.
                try {
                    CheckDevice(checks, device);
                } catch (const json::exception& e) {
                    checks.Fail("device",
                                std::string("the driver's report could not be read: ") + e.what(),
                                "install the same release of the driver and feroxhost");
                }
                for (auto& [key, value] : device.items())
                    report[key] = value;
            }
        }
    }
    const int code = checks.ExitCode();
    report["doctor"]["checks"] = checks.List();
    report["doctor"]["exit"] = code;
    std::printf("doctor: %s\n", code == 0   ? "all is well"
                                : code == 1 ? "warnings above"
                                            : "failures above");
    if (!args.report.empty()) {
        std::ofstream out(args.report, std::ios::binary | std::ios::trunc);
        out << report.dump(2) << "\n";
        out.close();
        if (!out) {
            std::fprintf(stderr, "feroxhost: cannot write the report to %s\n", args.report.c_str());
            return 2;
        }
        std::printf("report: %s\n", args.report.c_str());
    }
    return code;
}

}  // namespace

const Command kDoctorCommand{
    "doctor",
    "doctor [--report FILE] [--seconds N]   (checks the chain; changes nothing)",
    kOptionReport | kOptionSeconds,
    0,
    0,
    &Doctor};

}  // namespace ferox::host