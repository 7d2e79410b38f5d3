// What the system sent: the request log, the captured stream, the vendor modes and the pins.
#include "sim/sim_device.h"

namespace ferox::sim::internal {

Logged& Sim::Record(Op op, Target target, HANDLE h) {
    Logged* entry = &unlogged;
    if (logLimit != 0) {
        log.emplace_back();
        while (log.size() > logLimit)
            log.pop_front();
        entry = &log.back();
    }
    Logged& l = *entry;
    l = Logged{};
    l.op = op;
    l.target = target;
    l.handle = h;
    return l;
}

}  // namespace ferox::sim::internal

namespace ferox::sim {

using namespace internal;

std::vector<Logged> Log() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    return {s.log.begin(), s.log.end()};
}

std::vector<Logged> Log(Op op) {
    std::vector<Logged> out;
    for (auto& l : Log()) {
        if (l.op == op)
            out.push_back(std::move(l));
    }
    return out;
}

void SetLogLimit(std::size_t entries) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.logLimit = entries;
    while (s.log.size() > entries)
        s.log.pop_front();
    if (s.vendorModes.size() > entries)
        s.vendorModes.erase(s.vendorModes.begin(),
                            s.vendorModes.end() - static_cast<std::ptrdiff_t>(entries));
    if (entries != kUnbounded)
        s.ForgetClosedLocked();
}

void ClearLog() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.log.clear();
}

Bytes Captured() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    return s.captured;
}

void ClearCapture() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.captured.clear();
}

std::vector<ULONG> VendorModes() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    return s.vendorModes;
}

void SetStreamObserver(StreamObserver* observer) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.observer = observer;
}

void SetMemoryCapture(bool on) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.memoryCapture = on;
}

std::vector<PinState> Pins() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    std::vector<PinState> out;
    for (auto& p : s.pins) {
        s.Drain(p, Clock::now());
        out.push_back(p.state);
    }
    return out;
}

}  // namespace ferox::sim
