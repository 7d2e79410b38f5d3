#include "sim/host_faults.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "sim/sim_device.h"

namespace ferox::sim {

namespace {

// A plain positive number (no "inf", no junk) up to `most`.
bool ParseNumber(const std::string& text, double most, double* value) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno == ERANGE || !std::isfinite(v) || !(v > 0) || v > most)
        return false;
    *value = v;
    return true;
}

}  // namespace

std::optional<HostFaults> ParseHostFaults(const char* spec, std::string* error, Machine base) {
    HostFaults out{std::move(base), {}};
    const std::string list = spec ? spec : "";
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        const std::string item = list.substr(at, comma - at);
        at = comma + 1;
        const std::size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        double number = 0;
        if (item == "absent") {
            out.machine.interfaces.clear();
        } else if (item == "busy") {
            for (Interface& i : out.machine.interfaces) {
                for (Pin& p : i.filter.pins)
                    p.heldElsewhere = p.instances.PossibleCount;
            }
        } else if (item == "no-dsd") {
            for (Interface& i : out.machine.interfaces)
                i.filter.refusedModes.push_back(kVendorModeDsd);
        } else if (name == "slow" &&
                   (eq == std::string::npos || ParseNumber(value, 10000, &number))) {
            Fault f;
            f.action = Action::Pend;
            f.delayMs = eq == std::string::npos ? 100 : static_cast<DWORD>(number);
            f.times = 0;
            out.faults.emplace_back(Match{Op::WriteStream}, f);
        } else if (name == "unplug-after" && ParseNumber(value, 86400, &number)) {
            Fault f;
            f.action = Action::Unplug;
            f.afterMs = static_cast<DWORD>(std::max(1.0, number * 1000));
            out.faults.emplace_back(Match{Op::WriteStream}, f);
        } else if (!item.empty()) {
            *error = item;
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace ferox::sim
