// Fault injection: which request fails, and how.
#include "sim/sim_device.h"

namespace ferox::sim::internal {

const Fault* Sim::CheckFault(Op op, const Bytes& in, DWORD outSize, std::optional<ULONG> pinId) {
    for (auto& f : faults) {
        const Match& m = f.match;
        if (m.op != op)
            continue;
        if (op == Op::Property) {
            KSPROPERTY p{};
            if (in.size() >= sizeof(p))
                std::memcpy(&p, in.data(), sizeof(p));
            if (m.set && !(*m.set == p.Set))
                continue;
            if (m.id && *m.id != p.Id)
                continue;
            if (m.sizeQuery && *m.sizeQuery != (outSize == 0))
                continue;
            if (m.pinId) {
                if (in.size() < sizeof(KSP_PIN))
                    continue;
                KSP_PIN pp;
                std::memcpy(&pp, in.data(), sizeof(pp));
                if (pp.PinId != *m.pinId)
                    continue;
            }
        } else if (m.pinId && (!pinId || *pinId != *m.pinId)) {
            continue;
        }
        if (f.fault.afterMs != 0) {
            const auto now = Clock::now();
            if (!f.first)
                f.first = now;
            if (now - *f.first < std::chrono::milliseconds(f.fault.afterMs))
                continue;
        }
        if (f.skipped < f.fault.skip) {
            ++f.skipped;
            continue;
        }
        if (f.fault.times != 0 && f.applied >= f.fault.times)
            continue;
        ++f.applied;
        return &f.fault;
    }
    return nullptr;
}

}  // namespace ferox::sim::internal

namespace ferox::sim {

using namespace internal;

void InjectFault(const Match& match, const Fault& fault) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    ActiveFault f;
    f.match = match;
    f.fault = fault;
    s.faults.push_back(f);
}

void ClearFaults() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
}

void CompleteHeld(LONG status) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    for (auto& h : s.held)
        Sim::Complete(h.ov, status, 0);
    s.held.clear();
}

std::size_t HeldRequests() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    return s.held.size();
}

}  // namespace ferox::sim
