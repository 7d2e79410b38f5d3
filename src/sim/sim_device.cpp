// The simulated DAC behind the device seam: a model of the device's KS audio driver, of the
// SetupAPI view of its interfaces and of ksuser.dll's KsCreatePin.
//
// One lock guards the whole machine; a worker thread delivers late completions and, in real-time
// mode, plays the pins' buffers at the carrier rate. The worker runs only while a pin is open or a
// completion is due, and is joined when the last one goes: a host may unload the simulated-DAC
// DLL as soon as it has released the driver, and no thread may still run its code then. Completion
// is what the I/O manager does: OVERLAPPED::Internal gets the NTSTATUS, InternalHigh the byte
// count, and the event (its low tag bit stripped) is signalled.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/device.h"
#include "sim/sim.h"

namespace ferox::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005u);
constexpr LONG kStatusCancelled = static_cast<LONG>(0xC0000120u);
constexpr LONG kStatusDeviceNotConnected = static_cast<LONG>(0xC000009Du);
constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001u);

constexpr DWORD kErrorDeviceNotConnected = 1167;
constexpr DWORD kErrorNoMatch = 1169;
constexpr DWORD kErrorSetNotFound = 1170;
constexpr DWORD kErrorNotFound = 1168;
constexpr DWORD kErrorInsufficientResources = 1450;
constexpr ULONG kVendorModePcm = 0x10000;
constexpr ULONG kVendorModeDsd = 0x8000;
constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr DWORD kErrorNoSuchInterface = 0xE000020Bu;

struct StatusMap {
    DWORD error;
    LONG status;
};
constexpr StatusMap kStatusMap[] = {
    {ERROR_MORE_DATA, kStatusBufferOverflow},
    {ERROR_INSUFFICIENT_BUFFER, static_cast<LONG>(0xC0000023u)},
    {kErrorNoMatch, static_cast<LONG>(0xC0000272u)},
    {ERROR_INVALID_PARAMETER, static_cast<LONG>(0xC000000Du)},
    {ERROR_INVALID_FUNCTION, static_cast<LONG>(0xC0000010u)},
    {ERROR_NOT_SUPPORTED, static_cast<LONG>(0xC00000BBu)},
    {kErrorNotFound, static_cast<LONG>(0xC0000225u)},
    {kErrorSetNotFound, static_cast<LONG>(0xC0000230u)},
    {kErrorInvalidUserBuffer, static_cast<LONG>(0xC0000206u)},
    {ERROR_BAD_COMMAND, static_cast<LONG>(0xC0000184u)},
    {ERROR_OPERATION_ABORTED, kStatusCancelled},
    {kErrorInsufficientResources, static_cast<LONG>(0xC000009Au)},
    {ERROR_PATH_NOT_FOUND, static_cast<LONG>(0xC000003Au)},
    {ERROR_ACCESS_DENIED, static_cast<LONG>(0xC0000022u)},
    {ERROR_INVALID_HANDLE, static_cast<LONG>(0xC0000008u)},
    {kErrorDeviceNotConnected, kStatusDeviceNotConnected},
    {ERROR_GEN_FAILURE, kStatusUnsuccessful},
    {ERROR_NOACCESS, static_cast<LONG>(0xC0000005u)},
};

LONG StatusOf(DWORD error) {
    if (error == 0)
        return kStatusSuccess;
    for (const auto& m : kStatusMap) {
        if (m.error == error)
            return m.status;
    }
    return kStatusUnsuccessful;
}

DWORD ErrorOf(LONG status) {
    if (status == kStatusSuccess)
        return 0;
    for (const auto& m : kStatusMap) {
        if (m.status == status)
            return m.error;
    }
    return ERROR_GEN_FAILURE;
}

// Success and informational statuses let GetOverlappedResult succeed; warnings and errors fail.
bool Succeeded(LONG status) {
    return status >= 0;
}

HANDLE Untagged(HANDLE event) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) & ~ULONG_PTR{1});
}

constexpr ULONG_PTR kHandleBase = 0x5E100000u;
constexpr ULONG_PTR kHandleSpan = 0x01000000u;  // handle values are kHandleBase + 4n below it
constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

enum class Kind { InfoSet, Filter, Pin };

struct HandleObject {
    explicit HandleObject(Kind k) : kind(k) {}
    Kind kind;
    bool open = true;
    std::size_t iface = 0;             // Filter, Pin
    std::size_t pin = 0;               // Pin: index into Sim::pins
    GUID category{};                   // InfoSet: the category enumerated
    std::vector<std::size_t> members;  // InfoSet: interfaces
};

// A write the device holds: its data is in the buffer, its completion waits.
struct QueuedWrite {
    OVERLAPPED* ov;
    std::size_t size;
};

struct PinInstance {
    PinState state;
    HANDLE handle = nullptr;
    std::size_t iface = 0;
    double bytesPerSecond = 44100.0 * 8;
    double formatBytesPerSecond = 44100.0 * 8;  // as the creation format states it
    double fill = 0;                            // bytes in the device's buffer (real-time mode)
    double played = 0;                          // bytes played since the last STOP
    bool dry = true;                            // the buffer ran empty while running (counted once)
    Clock::time_point lastDrain = Clock::now();
    std::vector<QueuedWrite> queue;  // writes not yet completed, in order
    // The pace of the writes: when the latest arrived and when the latest completed (none
    // since the last arrival: nullopt), and the turnarounds in microsecond buckets.
    std::optional<Clock::time_point> lastWrite;
    std::optional<Clock::time_point> lastCompletion;
    std::vector<unsigned> turnaroundUs;
};

// Turnarounds longer than this share the last bucket; the largest is kept exactly.
constexpr std::size_t kTurnaroundBuckets = 20000;

struct Completion {
    Clock::time_point due;
    HANDLE handle;
    OVERLAPPED* ov;
    LONG status;
    ULONG_PTR information;
    void* out;  // reply copied here on completion
    Bytes reply;
};

struct Held {
    HANDLE handle;
    OVERLAPPED* ov;
    bool ignoreCancel;
};

struct ActiveFault {
    Match match;
    Fault fault;
    unsigned skipped = 0;
    unsigned applied = 0;
};

// What a device request came to: a status, a byte count and the bytes for the output buffer.
struct Answer {
    LONG status = kStatusSuccess;
    ULONG_PTR information = 0;
    Bytes reply;        // copied to the output buffer (at most its length)
    bool pend = false;  // a write waiting for room in real-time mode
};

DWORD WINAPI SimKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);

// Marks the time a thread spends inside the simulated device, whose allocations stand for the
// kernel's and are no business of the system's.
thread_local int t_deviceDepth = 0;
struct DeviceScope {
    DeviceScope() { ++t_deviceDepth; }
    ~DeviceScope() { --t_deviceDepth; }
    DeviceScope(const DeviceScope&) = delete;
    DeviceScope& operator=(const DeviceScope&) = delete;
};

class Sim final : public DeviceApi {
  public:
    Sim() { ResetLocked(DefaultMachine()); }

    // Called without `mutex` held, after anything that may have given the worker work.
    void EnsureWorker() {
        std::lock_guard order(workerMutex);
        if (worker.joinable())
            return;
        {
            std::lock_guard lock(mutex);
            if (!NeedsWorkerLocked())
                return;
            workerStop = false;
        }
        worker = std::thread([this] { Worker(); });
    }

    // Called without `mutex` held, after anything that may have taken the worker's last work.
    void RetireWorker() {
        std::lock_guard order(workerMutex);
        if (!worker.joinable())
            return;
        {
            std::lock_guard lock(mutex);
            if (NeedsWorkerLocked())
                return;
            workerStop = true;
            wake.notify_all();
        }
        worker.join();
    }

    bool NeedsWorkerLocked() const {
        if (!completions.empty())
            return true;
        for (const auto& p : pins) {
            if (p.state.open)
                return true;
        }
        return false;
    }

    // ---- control, called through the functions of sim.h
    std::mutex mutex;
    std::condition_variable wake;
    Machine machine;
    bool unplugged = false;
    bool quirk = false;
    WriteMode writeMode = WriteMode::Fast;
    DWORD bufferMs = 40;
    std::map<ULONG_PTR, HandleObject> handles;
    ULONG_PTR nextHandle = kHandleBase;
    std::vector<PinInstance> pins;
    std::vector<Completion> completions;
    std::vector<Held> held;
    std::vector<ActiveFault> faults;
    std::deque<Logged> log;  // the latest logLimit requests
    std::size_t logLimit = kUnbounded;
    Logged unlogged;  // where a request goes when the log keeps none
    Bytes captured;
    std::vector<ULONG> vendorModes;
    bool moduleLoaded = false;
    StreamObserver* observer = nullptr;
    bool memoryCapture = true;
    // The worker's start and join; taken before `mutex`, never while holding it.
    std::mutex workerMutex;
    std::thread worker;
    bool workerStop = false;  // under `mutex`

    void ResetLocked(const Machine& m) {
        machine = m;
        unplugged = false;
        quirk = false;
        writeMode = WriteMode::Fast;
        bufferMs = 40;
        // Forgotten handle values stay invalid: they are not given out again until a long run
        // of machines (a fuzzer's) has used up half the values.
        handles.clear();
        if (nextHandle - kHandleBase >= kHandleSpan / 2)
            nextHandle = kHandleBase;
        pins.clear();
        completions.clear();
        held.clear();
        faults.clear();
        log.clear();
        logLimit = kUnbounded;
        captured.clear();
        vendorModes.clear();
        moduleLoaded = false;
        memoryCapture = true;
    }

    void UnplugLocked() {
        unplugged = true;
        for (auto& p : pins) {
            for (auto& w : p.queue)
                Complete(w.ov, kStatusDeviceNotConnected, 0);
            p.queue.clear();
            p.state.writesPending = 0;
        }
        for (auto& h : held)
            Complete(h.ov, kStatusDeviceNotConnected, 0);
        held.clear();
        for (auto& c : completions) {
            c.status = kStatusDeviceNotConnected;
            c.information = 0;
            c.reply.clear();
            c.due = Clock::now();
        }
        wake.notify_all();
    }

    HandleObject* Find(HANDLE h) {
        auto it = handles.find(reinterpret_cast<ULONG_PTR>(h));
        return it == handles.end() || !it->second.open ? nullptr : &it->second;
    }

    HANDLE NewHandle(HandleObject object) {
        const ULONG_PTR value = nextHandle;
        nextHandle += 4;
        handles.emplace(value, std::move(object));
        return reinterpret_cast<HANDLE>(value);
    }

    static void Complete(OVERLAPPED* ov, LONG status, ULONG_PTR information) {
        if (ov == nullptr)
            return;
        ov->InternalHigh = information;
        ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
        if (ov->hEvent != nullptr)
            SetEvent(Untagged(ov->hEvent));
    }

    // The fault that applies to this request now, if any.
    const Fault* CheckFault(Op op, const Bytes& in, DWORD outSize, std::optional<ULONG> pinId) {
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

    // The entry stays valid for the request's whole call: the deque never moves its elements
    // and drops only the oldest.
    Logged& Record(Op op, Target target, HANDLE h) {
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

    // ---- property answers

    Answer Value(const Bytes& value, DWORD outSize, bool list, bool text) {
        Answer a;
        if (outSize == 0) {
            a.status = quirk && list ? static_cast<LONG>(0xC0000023u) : kStatusBufferOverflow;
            a.information = value.size();
            return a;
        }
        if (outSize >= value.size()) {
            a.reply = value;
            a.information = value.size();
            return a;
        }
        if (list && (outSize == sizeof(ULONG) || outSize == sizeof(KSMULTIPLE_ITEM))) {
            a.reply.assign(value.begin(), value.begin() + outSize);
            a.information = outSize;
            return a;
        }
        if (text) {
            a.reply.assign(value.begin(), value.begin() + outSize);
            a.status = kStatusBufferOverflow;
            a.information = outSize;
            return a;
        }
        a.status = StatusOf(ERROR_INSUFFICIENT_BUFFER);
        return a;
    }

    template <typename T>
    static Bytes BytesOf(const T& v) {
        Bytes b(sizeof(T));
        std::memcpy(b.data(), &v, sizeof(T));
        return b;
    }

    static Bytes MultiItem(const std::vector<Bytes>& items) {
        KSMULTIPLE_ITEM header{};
        header.Count = static_cast<ULONG>(items.size());
        Bytes b(sizeof(header));
        for (const auto& item : items)
            b.insert(b.end(), item.begin(), item.end());
        header.Size = static_cast<ULONG>(b.size());
        std::memcpy(b.data(), &header, sizeof(header));
        return b;
    }

    static Answer Error(DWORD error) {
        Answer a;
        a.status = StatusOf(error);
        return a;
    }

    Answer PinProperty(const Filter& filter, const KSPROPERTY& p, const Bytes& in, DWORD outSize) {
        if (p.Flags != KSPROPERTY_TYPE_GET)
            return Error(ERROR_INVALID_FUNCTION);
        if (p.Id == KSPROPERTY_PIN_CTYPES) {
            if (filter.rawPinCount)
                return Value(*filter.rawPinCount, outSize, false, false);
            return Value(BytesOf(static_cast<ULONG>(filter.pins.size())), outSize, false, false);
        }
        if (in.size() < sizeof(KSP_PIN))
            return Error(kErrorInvalidUserBuffer);
        KSP_PIN request;
        std::memcpy(&request, in.data(), sizeof(request));
        if (request.PinId >= filter.pins.size())
            return Error(ERROR_INVALID_PARAMETER);
        const Pin& pin = filter.pins[request.PinId];
        for (const auto& [id, raw] : pin.rawProperties) {
            if (id == p.Id) {
                const bool list = id == KSPROPERTY_PIN_DATARANGES ||
                                  id == KSPROPERTY_PIN_INTERFACES || id == KSPROPERTY_PIN_MEDIUMS;
                return Value(raw, outSize, list, id == KSPROPERTY_PIN_NAME);
            }
        }
        switch (p.Id) {
            case KSPROPERTY_PIN_COMMUNICATION:
                return Value(BytesOf(static_cast<ULONG>(pin.communication)), outSize, false, false);
            case KSPROPERTY_PIN_DATAFLOW:
                return Value(BytesOf(static_cast<ULONG>(pin.dataFlow)), outSize, false, false);
            case KSPROPERTY_PIN_CINSTANCES: {
                KSPIN_CINSTANCES c = pin.instances;
                c.CurrentCount = CurrentCount(IfaceOf(filter), request.PinId);
                return Value(BytesOf(c), outSize, false, false);
            }
            case KSPROPERTY_PIN_GLOBALCINSTANCES: {
                KSPIN_CINSTANCES c = pin.globalInstances;
                c.CurrentCount = CurrentCount(IfaceOf(filter), request.PinId);
                return Value(BytesOf(c), outSize, false, false);
            }
            case KSPROPERTY_PIN_CATEGORY:
                if (!pin.category)
                    return Error(kErrorNotFound);
                return Value(BytesOf(*pin.category), outSize, false, false);
            case KSPROPERTY_PIN_NAME: {
                if (!pin.name)
                    return Error(kErrorNotFound);
                Bytes b((pin.name->size() + 1) * sizeof(WCHAR), 0);
                std::memcpy(b.data(), pin.name->data(), pin.name->size() * sizeof(WCHAR));
                return Value(b, outSize, false, true);
            }
            case KSPROPERTY_PIN_INTERFACES: {
                std::vector<Bytes> items;
                for (const auto& i : pin.interfaces)
                    items.push_back(BytesOf(i));
                return Value(MultiItem(items), outSize, true, false);
            }
            case KSPROPERTY_PIN_MEDIUMS: {
                std::vector<Bytes> items;
                for (const auto& m : pin.mediums)
                    items.push_back(BytesOf(m));
                return Value(MultiItem(items), outSize, true, false);
            }
            case KSPROPERTY_PIN_DATARANGES:
            case KSPROPERTY_PIN_CONSTRAINEDDATARANGES:
                return Value(MultiItem(pin.dataRanges), outSize, true, false);
            default:
                return Error(kErrorNotFound);
        }
    }

    std::size_t IfaceOf(const Filter& filter) const {
        for (std::size_t i = 0; i < machine.interfaces.size(); ++i) {
            if (&machine.interfaces[i].filter == &filter)
                return i;
        }
        return machine.interfaces.size();
    }

    // Instances of one pin type of one device: every DAC has its own pin factories.
    ULONG CurrentCount(std::size_t iface, ULONG pinId) {
        ULONG n = 0;
        for (const auto& p : pins)
            n += p.state.open && p.iface == iface && p.state.pinId == pinId ? 1 : 0;
        return n;
    }

    Answer FilterProperty(const HandleObject& object, const Bytes& in, DWORD outSize) {
        KSPROPERTY p;
        std::memcpy(&p, in.data(), sizeof(p));
        const Filter& filter = machine.interfaces[object.iface].filter;
        if (p.Set == kKsPropSetIdPin)
            return PinProperty(filter, p, in, outSize);
        if (p.Set == kKsPropSetIdTopology) {
            if (p.Flags != KSPROPERTY_TYPE_GET)
                return Error(ERROR_INVALID_FUNCTION);
            if (p.Id != KSPROPERTY_TOPOLOGY_NODES)
                return Error(kErrorNotFound);
            std::vector<Bytes> items;
            for (const auto& n : filter.nodes)
                items.push_back(BytesOf(n));
            return Value(MultiItem(items), outSize, true, false);
        }
        return Error(kErrorSetNotFound);
    }

    void SetPinState(PinInstance& pin, KSSTATE state) {
        Drain(pin, Clock::now());
        if (state == KSSTATE_STOP) {
            for (auto& w : pin.queue) {
                Complete(w.ov, kStatusCancelled, 0);
                --pin.state.writesPending;
            }
            pin.queue.clear();
            pin.fill = 0;
            pin.played = 0;
            pin.state.position = {};
        }
        if (state == KSSTATE_RUN && pin.state.state != KSSTATE_RUN)
            pin.dry = pin.fill <= 0;
        pin.state.state = state;
        pin.lastDrain = Clock::now();
        wake.notify_all();
    }

    Answer PinHandleProperty(PinInstance& pin, const Bytes& in, DWORD outSize, LPVOID out) {
        KSPROPERTY p;
        std::memcpy(&p, in.data(), sizeof(p));
        if (p.Set == kKsPropSetIdConnection) {
            if (p.Id != KSPROPERTY_CONNECTION_STATE)
                return Error(kErrorNotFound);
            if (p.Flags == KSPROPERTY_TYPE_GET) {
                return Value(BytesOf(static_cast<ULONG>(pin.state.state)), outSize, false, false);
            }
            if (p.Flags != KSPROPERTY_TYPE_SET)
                return Error(ERROR_INVALID_FUNCTION);
            if (outSize < sizeof(ULONG) || out == nullptr)
                return Error(ERROR_INSUFFICIENT_BUFFER);
            ULONG state;
            std::memcpy(&state, out, sizeof(state));
            if (state > KSSTATE_RUN)
                return Error(ERROR_INVALID_PARAMETER);
            SetPinState(pin, static_cast<KSSTATE>(state));
            return Answer{};
        }
        if (p.Set == kKsPropSetIdAudio && p.Id == KSPROPERTY_AUDIO_LATENCY) {
            if (p.Flags != KSPROPERTY_TYPE_GET)
                return Error(ERROR_INVALID_FUNCTION);
            // What the device holds: its buffer in real-time mode, nothing in fast mode.
            KSTIME latency{};
            latency.Time = writeMode == WriteMode::RealTime ? LONGLONG{bufferMs} * 10000 : 0;
            latency.Numerator = 1;
            latency.Denominator = 1;
            return Value(BytesOf(latency), outSize, false, false);
        }
        if (p.Set == kKsPropSetIdAudio) {
            if (p.Id != KSPROPERTY_AUDIO_POSITION)
                return Error(kErrorNotFound);
            if (p.Flags != KSPROPERTY_TYPE_GET)
                return Error(ERROR_INVALID_FUNCTION);
            Drain(pin, Clock::now());
            return Value(BytesOf(pin.state.position), outSize, false, false);
        }
        return Error(kErrorSetNotFound);
    }

    // ---- streaming

    // Plays the buffer up to `now` (real-time mode) and completes each held write at the
    // moment no more than the buffer's depth of audio, counting it, was left to play. Timed by
    // the buffer, not by when this runs: a call that comes late (this process's threads are
    // scheduled like any other) plays and completes as the device would have.
    void Drain(PinInstance& pin, Clock::time_point now) {
        if (writeMode != WriteMode::RealTime)
            return;
        while (const auto at = CompletesAt(pin)) {
            if (*at > now)
                break;
            Play(pin, *at);
            const QueuedWrite w = pin.queue.front();
            pin.queue.erase(pin.queue.begin());
            Complete(w.ov, kStatusSuccess, w.size);
            pin.lastCompletion = Clock::now();
            --pin.state.writesPending;
        }
        Play(pin, now);
    }

    // When the first held write completes, if one is held and the buffer plays (or it is due
    // already).
    std::optional<Clock::time_point> CompletesAt(const PinInstance& pin) const {
        if (writeMode != WriteMode::RealTime || pin.queue.empty())
            return std::nullopt;
        double later = 0;  // the data of the writes behind it
        for (std::size_t k = 1; k < pin.queue.size(); ++k)
            later += static_cast<double>(pin.queue[k].size);
        // Half a byte of slack for rounding.
        const double over = pin.fill - later - pin.bytesPerSecond * bufferMs / 1000.0 - 0.5;
        if (over <= 0)
            return pin.lastDrain;
        if (pin.state.state != KSSTATE_RUN || pin.bytesPerSecond <= 0)
            return std::nullopt;
        return pin.lastDrain + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(over / pin.bytesPerSecond));
    }

    // The buffer plays from the last time it was played to `until` while the pin runs.
    static void Play(PinInstance& pin, Clock::time_point until) {
        if (until <= pin.lastDrain)
            return;
        if (pin.state.state == KSSTATE_RUN) {
            const double seconds = std::chrono::duration<double>(until - pin.lastDrain).count();
            const double due = seconds * pin.bytesPerSecond;
            const double take = std::min(due, pin.fill);
            pin.fill -= take;
            pin.played += take;
            pin.state.position.PlayOffset = std::min<ULONGLONG>(
                static_cast<ULONGLONG>(pin.played + 0.5), pin.state.position.WriteOffset);
            if (due > take && pin.fill <= 0) {
                if (!pin.dry)
                    ++pin.state.underruns;
                pin.dry = true;
            }
        }
        pin.lastDrain = until;
    }

    void Take(PinInstance& pin, const Bytes& data) {
        if (memoryCapture)
            captured.insert(captured.end(), data.begin(), data.end());
        if (observer != nullptr)
            observer->Received(pin.handle, data.data(), data.size());
        pin.state.bytesReceived += data.size();
        pin.state.position.WriteOffset += data.size();
        if (writeMode == WriteMode::RealTime) {
            pin.fill += static_cast<double>(data.size());
            if (!data.empty())
                pin.dry = false;
        } else {
            pin.state.position.PlayOffset = pin.state.position.WriteOffset;
        }
    }

    // A write arrived: the gap since the one before, and the turnaround when it followed a
    // completion with nothing pending.
    void Pace(PinInstance& pin) {
        const auto now = Clock::now();
        PinState& st = pin.state;
        ++st.writes;
        if (pin.lastWrite) {
            const double ms =
                std::chrono::duration<double, std::milli>(now - *pin.lastWrite).count();
            st.maxWriteGapMs = std::max(st.maxWriteGapMs, ms);
        }
        pin.lastWrite = now;
        if (pin.lastCompletion && pin.queue.empty()) {
            const double us =
                std::chrono::duration<double, std::micro>(now - *pin.lastCompletion).count();
            if (pin.turnaroundUs.empty())
                pin.turnaroundUs.assign(kTurnaroundBuckets, 0);
            ++pin.turnaroundUs[std::min(static_cast<std::size_t>(us), kTurnaroundBuckets - 1)];
            ++st.turnarounds;
            st.turnaroundMaxUs = std::max(st.turnaroundMaxUs, us);
        }
        pin.lastCompletion.reset();
    }

    static void FinishPace(PinInstance& pin) {
        PinState& st = pin.state;
        const auto rank = (static_cast<unsigned long long>(st.turnarounds) * 99 + 99) / 100;
        unsigned long long seen = 0;
        for (std::size_t us = 0; us < pin.turnaroundUs.size(); ++us) {
            seen += pin.turnaroundUs[us];
            if (seen >= rank) {
                // The bucket's upper edge, never above the largest seen.
                st.turnaroundP99Us = std::min(static_cast<double>(us + 1), st.turnaroundMaxUs);
                break;
            }
        }
        pin.turnaroundUs = {};
    }

    Answer Write(PinInstance& pin, LPVOID out, DWORD outSize, OVERLAPPED* ov) {
        if (ov == nullptr)
            return Error(ERROR_INVALID_PARAMETER);
        Pace(pin);
        if (out == nullptr || outSize < sizeof(KSSTREAM_HEADER)) {
            return Error(kErrorInvalidUserBuffer);
        }
        Bytes data;
        DWORD offset = 0;
        while (offset < outSize) {
            KSSTREAM_HEADER header;
            if (outSize - offset < sizeof(header))
                return Error(kErrorInvalidUserBuffer);
            std::memcpy(&header, static_cast<BYTE*>(out) + offset, sizeof(header));
            if (header.Size < sizeof(header) || header.Size % 8 != 0 ||
                header.Size > outSize - offset || header.DataUsed > header.FrameExtent) {
                return Error(kErrorInvalidUserBuffer);
            }
            if (header.DataUsed != 0 && header.Data == nullptr)
                return Error(ERROR_NOACCESS);
            const auto* bytes = static_cast<const BYTE*>(header.Data);
            data.insert(data.end(), bytes, bytes + header.DataUsed);
            offset += header.Size;
        }
        Answer a;
        a.information = data.size();
        if (writeMode == WriteMode::Fast) {
            Take(pin, data);
            pin.lastCompletion = Clock::now();
            return a;
        }
        // Taken as it arrives; it completes at once if the buffer holds no more than its depth
        // with it, else once it has played down to that.
        const auto now = Clock::now();
        Drain(pin, now);
        Take(pin, data);
        pin.queue.push_back(QueuedWrite{ov, data.size()});
        const auto at = CompletesAt(pin);
        if (pin.queue.size() == 1 && at && *at <= pin.lastDrain) {
            // Completed before the system could wait for it: no turnaround to time.
            pin.queue.clear();
            return a;
        }
        ++pin.state.writesPending;
        a.pend = true;
        return a;
    }

    // ---- the worker: late completions and real-time playing

    void Worker() {
        DeviceScope scope;
        std::unique_lock lock(mutex);
        while (!workerStop) {
            const auto now = Clock::now();
            for (auto it = completions.begin(); it != completions.end();) {
                if (it->due <= now) {
                    if (it->out != nullptr && !it->reply.empty()) {
                        std::memcpy(it->out, it->reply.data(), it->reply.size());
                    }
                    Complete(it->ov, it->status, it->information);
                    it = completions.erase(it);
                } else {
                    ++it;
                }
            }
            bool playing = false;
            auto until = now + std::chrono::hours(1);
            for (auto& p : pins) {
                if (!p.state.open)
                    continue;
                Drain(p, now);
                playing = playing || (writeMode == WriteMode::RealTime &&
                                      (p.state.state == KSSTATE_RUN || !p.queue.empty()));
                // A held write completes when it is due, not at the next tick.
                if (const auto at = CompletesAt(p))
                    until = std::min(until, *at);
            }
            for (const auto& c : completions)
                until = std::min(until, c.due);
            if (playing)
                until = std::min(until, now + std::chrono::milliseconds(1));
            wake.wait_until(lock, until);
        }
    }

    // ---- DeviceApi

    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::ClassDevs, Target::InfoSet, nullptr);
        l.flags = flags;
        if (const Fault* f = CheckFault(Op::ClassDevs, {}, 0, {})) {
            if (f->action == Action::Unplug) {
                UnplugLocked();
            } else if (f->action == Action::Fail) {
                l.result = f->error;
                SetLastError(f->error);
                return INVALID_HANDLE_VALUE;
            }
        }
        if (classGuid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
            l.result = ERROR_INVALID_PARAMETER;
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        HandleObject set(Kind::InfoSet);
        set.category = *classGuid;
        if (!unplugged || (flags & DIGCF_PRESENT) == 0) {
            for (std::size_t i = 0; i < machine.interfaces.size(); ++i) {
                for (const auto& r : machine.interfaces[i].categories) {
                    if (r.category == *classGuid)
                        set.members.push_back(i);
                }
            }
        }
        HANDLE h = NewHandle(std::move(set));
        l.handle = h;
        return h;
    }

    // A failure answered at once, as FALSE with the error; false when no fault applies.
    bool FailSetup(Op op, Logged& l) {
        if (const Fault* f = CheckFault(op, {}, 0, {})) {
            if (f->action == Action::Unplug) {
                UnplugLocked();
                return false;
            }
            if (f->action == Action::Fail) {
                l.result = f->error;
                SetLastError(f->error);
                return true;
            }
        }
        return false;
    }

    BOOL Refuse(Logged& l, DWORD error) {
        l.result = error;
        SetLastError(error);
        return FALSE;
    }

    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA, const GUID* cls,
                                     DWORD index, PSP_DEVICE_INTERFACE_DATA data) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::EnumInterfaces, Target::InfoSet, setHandle);
        if (FailSetup(Op::EnumInterfaces, l))
            return FALSE;
        HandleObject* set = Find(setHandle);
        if (set == nullptr || set->kind != Kind::InfoSet)
            return Refuse(l, ERROR_INVALID_HANDLE);
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            return Refuse(l, ERROR_INVALID_PARAMETER);
        }
        if (cls == nullptr || !(*cls == set->category) || index >= set->members.size()) {
            return Refuse(l, ERROR_NO_MORE_ITEMS);
        }
        const Interface& iface = machine.interfaces[set->members[index]];
        data->InterfaceClassGuid = set->category;
        data->Flags = 0;
        for (const auto& r : iface.categories) {
            if (r.category == set->category)
                data->Flags = r.flags;
        }
        data->Reserved = set->members[index] + 1;
        return TRUE;
    }

    const Interface* InterfaceOf(HandleObject* set, ULONG_PTR reserved) {
        if (set == nullptr || set->kind != Kind::InfoSet)
            return nullptr;
        if (reserved == 0 || reserved > machine.interfaces.size())
            return nullptr;
        return &machine.interfaces[reserved - 1];
    }

    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA devInfo) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::InterfaceDetail, Target::InfoSet, setHandle);
        if (FailSetup(Op::InterfaceDetail, l))
            return FALSE;
        HandleObject* set = Find(setHandle);
        if (set == nullptr)
            return Refuse(l, ERROR_INVALID_HANDLE);
        const Interface* iface = data == nullptr ? nullptr : InterfaceOf(set, data->Reserved);
        if (iface == nullptr)
            return Refuse(l, ERROR_INVALID_PARAMETER);
        const WString path = DevicePath(*iface, data->InterfaceClassGuid);
        const DWORD required =
            static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                               (path.size() + 1) * sizeof(WCHAR));
        if (devInfo != nullptr) {
            if (devInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
                return Refuse(l, kErrorInvalidUserBuffer);
            }
            devInfo->DevInst = static_cast<DWORD>(data->Reserved);
        }
        if (detail == nullptr) {
            if (detailSize != 0)
                return Refuse(l, kErrorInvalidUserBuffer);
            if (requiredSize != nullptr)
                *requiredSize = required;
            return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            return Refuse(l, kErrorInvalidUserBuffer);
        }
        if (requiredSize != nullptr)
            *requiredSize = required;
        if (detailSize < required)
            return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
        return TRUE;
    }

    BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, PWSTR id,
                                     DWORD idSize, PDWORD requiredSize) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::InstanceId, Target::InfoSet, setHandle);
        if (FailSetup(Op::InstanceId, l))
            return FALSE;
        HandleObject* set = Find(setHandle);
        if (set == nullptr)
            return Refuse(l, ERROR_INVALID_HANDLE);
        const Interface* iface = devInfo == nullptr ? nullptr : InterfaceOf(set, devInfo->DevInst);
        if (iface == nullptr)
            return Refuse(l, ERROR_INVALID_PARAMETER);
        const DWORD chars = static_cast<DWORD>(iface->instanceId.size() + 1);
        if (requiredSize != nullptr)
            *requiredSize = chars;
        if (id == nullptr || idSize < chars)
            return Refuse(l, ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(id, iface->instanceId.c_str(), chars * sizeof(WCHAR));
        return TRUE;
    }

    BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                        const GUID* aliasClass,
                                        PSP_DEVICE_INTERFACE_DATA alias) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::InterfaceAlias, Target::InfoSet, setHandle);
        if (FailSetup(Op::InterfaceAlias, l))
            return FALSE;
        HandleObject* set = Find(setHandle);
        if (set == nullptr)
            return Refuse(l, ERROR_INVALID_HANDLE);
        const Interface* iface = data == nullptr ? nullptr : InterfaceOf(set, data->Reserved);
        if (iface == nullptr || aliasClass == nullptr)
            return Refuse(l, ERROR_INVALID_PARAMETER);
        for (const auto& r : iface->categories) {
            if (!(r.category == *aliasClass))
                continue;
            if (alias == nullptr || alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
                return Refuse(l, kErrorInvalidUserBuffer);
            }
            alias->InterfaceClassGuid = r.category;
            alias->Flags = r.flags;
            alias->Reserved = data->Reserved;
            return TRUE;
        }
        return Refuse(l, kErrorNoSuchInterface);
    }

    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::DestroyInfoList, Target::InfoSet, setHandle);
        if (FailSetup(Op::DestroyInfoList, l))
            return FALSE;
        HandleObject* set = Find(setHandle);
        if (set == nullptr || set->kind != Kind::InfoSet)
            return Refuse(l, ERROR_INVALID_HANDLE);
        set->open = false;
        return TRUE;
    }

    static bool SamePath(const WString& a, LPCWSTR b) {
        std::size_t i = 0;
        for (; b[i] != 0; ++i) {
            if (i >= a.size())
                return false;
            WCHAR x = a[i], y = b[i];
            if (x >= 'A' && x <= 'Z')
                x = static_cast<WCHAR>(x + 0x20);
            if (y >= 'A' && y <= 'Z')
                y = static_cast<WCHAR>(y + 0x20);
            if (x != y)
                return false;
        }
        return i == a.size();
    }

    HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                       DWORD flags, HANDLE) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::CreateFile, Target::Filter, nullptr);
        if (path != nullptr)
            l.path = path;
        l.access = access;
        l.share = share;
        l.flags = flags;
        auto refuse = [&](DWORD error) {
            l.result = error;
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        };
        if (const Fault* f = CheckFault(Op::CreateFile, {}, 0, {})) {
            if (f->action == Action::Unplug) {
                UnplugLocked();
            } else if (f->action == Action::Fail) {
                return refuse(f->error);
            }
        }
        if (path == nullptr)
            return refuse(ERROR_INVALID_PARAMETER);
        for (std::size_t i = 0; i < machine.interfaces.size(); ++i) {
            const Interface& iface = machine.interfaces[i];
            for (const auto& r : iface.categories) {
                if (!SamePath(DevicePath(iface, r.category), path))
                    continue;
                if (unplugged)
                    return refuse(ERROR_FILE_NOT_FOUND);
                // Like a KS filter, it lets several clients open it; its pins are what is
                // limited.
                HandleObject filter(Kind::Filter);
                filter.iface = i;
                HANDLE h = NewHandle(std::move(filter));
                l.handle = h;
                return h;
            }
        }
        return refuse(ERROR_PATH_NOT_FOUND);
    }

    BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                         DWORD outSize, LPDWORD returned, LPOVERLAPPED ov) override {
        std::unique_lock lock(mutex);
        const Op op = code == IOCTL_KS_PROPERTY       ? Op::Property
                      : code == IOCTL_KS_WRITE_STREAM ? Op::WriteStream
                      : code == IOCTL_VENDOR_SET_MODE ? Op::VendorMode
                                                      : Op::OtherIoctl;
        HandleObject* object = Find(device);
        Logged& l = Record(op,
                           object == nullptr           ? Target::None
                           : object->kind == Kind::Pin ? Target::Pin
                                                       : Target::Filter,
                           device);
        l.code = code;
        if (in != nullptr)
            l.in.assign(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + inSize);
        l.outSize = outSize;
        l.overlapped = ov != nullptr;
        if (out != nullptr) {
            bool sent = op == Op::WriteStream;
            if (op == Op::Property && inSize >= sizeof(KSPROPERTY)) {
                KSPROPERTY p;
                std::memcpy(&p, in, sizeof(p));
                sent = p.Flags == KSPROPERTY_TYPE_SET;
            }
            if (sent)
                l.out.assign(static_cast<BYTE*>(out), static_cast<BYTE*>(out) + outSize);
        }
        const Bytes requestIn = l.in;

        auto finish = [&](DWORD error) {
            l.result = error;
            if (error != 0)
                SetLastError(error);
            return error == 0 ? TRUE : FALSE;
        };

        if (object == nullptr || object->kind == Kind::InfoSet) {
            if (IsSimHandle(device) || object != nullptr)
                return finish(ERROR_INVALID_HANDLE);
            return finish(ERROR_INVALID_HANDLE);
        }
        const Fault* fault = CheckFault(op, requestIn, outSize, {});
        if (fault != nullptr && fault->action == Action::Unplug) {
            UnplugLocked();
            fault = nullptr;
        }
        if (unplugged)
            return finish(kErrorDeviceNotConnected);
        if (fault != nullptr && fault->action == Action::Fail)
            return finish(fault->error);
        if (fault != nullptr && ov != nullptr) {
            ov->Internal = static_cast<ULONG_PTR>(kStatusPending);
            ov->InternalHigh = 0;
            if (fault->action == Action::NeverComplete) {
                held.push_back(Held{device, ov, fault->ignoreCancel});
                return finish(ERROR_IO_PENDING);
            }
            if (fault->action == Action::PendFail) {
                completions.push_back(
                    Completion{Clock::now() + std::chrono::milliseconds(fault->delayMs),
                               device,
                               ov,
                               StatusOf(fault->error),
                               0,
                               nullptr,
                               {}});
                wake.notify_all();
                return finish(ERROR_IO_PENDING);
            }
        }

        Answer a;
        PinInstance* pin = object->kind == Kind::Pin ? &pins[object->pin] : nullptr;
        if (op == Op::Property) {
            if (in == nullptr || inSize < sizeof(KSPROPERTY)) {
                a = Error(kErrorInvalidUserBuffer);
            } else if (pin != nullptr) {
                a = PinHandleProperty(*pin, requestIn, outSize, out);
            } else {
                a = FilterProperty(*object, requestIn, outSize);
            }
        } else if (op == Op::WriteStream) {
            a = pin == nullptr ? Error(ERROR_INVALID_FUNCTION) : Write(*pin, out, outSize, ov);
        } else if (op == Op::VendorMode) {
            if (pin == nullptr) {
                a = Error(ERROR_INVALID_FUNCTION);
            } else if (in == nullptr || inSize < sizeof(ULONG)) {
                a = Error(ERROR_INVALID_PARAMETER);
            } else {
                ULONG mode;
                std::memcpy(&mode, in, sizeof(mode));
                const std::vector<ULONG>& refused =
                    machine.interfaces[object->iface].filter.refusedModes;
                if (std::find(refused.begin(), refused.end(), mode) != refused.end()) {
                    a = Error(ERROR_NOT_SUPPORTED);
                } else {
                    vendorModes.push_back(mode);
                    // In DSD mode a carrier word holds 32 one-bit samples of a channel, and the
                    // device clocks them at 64 times the format's rate: twice the frames.
                    if (mode == kVendorModeDsd) {
                        pin->bytesPerSecond = pin->formatBytesPerSecond * 2;
                    } else if (mode == kVendorModePcm) {
                        pin->bytesPerSecond = pin->formatBytesPerSecond;
                    }
                    if (observer != nullptr)
                        observer->VendorMode(device, mode);
                }
            }
        } else {
            a = Error(ERROR_INVALID_FUNCTION);
        }

        if (a.pend) {
            // A write waiting for room: completed by Drain.
            ov->Internal = static_cast<ULONG_PTR>(kStatusPending);
            ov->InternalHigh = 0;
            wake.notify_all();
            return finish(ERROR_IO_PENDING);
        }
        const DWORD copy = static_cast<DWORD>(std::min<std::size_t>(a.reply.size(), outSize));
        if (fault != nullptr && fault->action == Action::Pend && ov != nullptr) {
            Completion c{Clock::now() + std::chrono::milliseconds(fault->delayMs),
                         device,
                         ov,
                         a.status,
                         a.information,
                         out,
                         Bytes(a.reply.begin(), a.reply.begin() + copy)};
            completions.push_back(std::move(c));
            wake.notify_all();
            return finish(ERROR_IO_PENDING);
        }
        if (copy != 0 && out != nullptr)
            std::memcpy(out, a.reply.data(), copy);
        if (op == Op::WriteStream && ov != nullptr) {
            // Writes always go pending; in fast mode the completion is already there.
            Complete(ov, a.status, a.information);
            return finish(Succeeded(a.status) ? ERROR_IO_PENDING : ErrorOf(a.status));
        }
        if (ov != nullptr)
            Complete(ov, a.status, a.information);
        const DWORD error = ErrorOf(a.status);
        const bool sizeReported = error == ERROR_MORE_DATA ||
                                  (quirk && error == ERROR_INSUFFICIENT_BUFFER && outSize == 0);
        if (returned != nullptr) {
            *returned = Succeeded(a.status) || sizeReported ? static_cast<DWORD>(a.information) : 0;
        }
        return finish(error);
    }

    BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED ov, LPDWORD transferred,
                             BOOL wait) override {
        if (!IsSimHandle(device))
            return ::GetOverlappedResult(device, ov, transferred, wait);
        for (;;) {
            if (static_cast<LONG>(ov->Internal) != kStatusPending)
                break;
            if (!wait || ov->hEvent == nullptr) {
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            WaitForSingleObject(Untagged(ov->hEvent), INFINITE);
        }
        std::lock_guard lock(mutex);  // pairs with the completing thread's writes
        const LONG status = static_cast<LONG>(ov->Internal);
        if (transferred != nullptr)
            *transferred = static_cast<DWORD>(ov->InternalHigh);
        if (Succeeded(status))
            return TRUE;
        SetLastError(ErrorOf(status));
        return FALSE;
    }

    BOOL CancelIoEx(HANDLE device, LPOVERLAPPED ov) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::CancelIo, Target::None, device);
        if (FailSetup(Op::CancelIo, l))
            return FALSE;
        if (Find(device) == nullptr)
            return Refuse(l, ERROR_INVALID_HANDLE);
        const bool any = CancelLocked(device, ov);
        if (!any)
            return Refuse(l, ERROR_NOT_FOUND);
        return TRUE;
    }

    bool CancelLocked(HANDLE device, LPOVERLAPPED ov) {
        bool any = false;
        for (auto it = held.begin(); it != held.end();) {
            if (it->handle == device && (ov == nullptr || it->ov == ov) && it->ignoreCancel) {
                any = true;  // found and marked cancelled; the driver just never completes it
                ++it;
            } else if (it->handle == device && (ov == nullptr || it->ov == ov)) {
                Complete(it->ov, kStatusCancelled, 0);
                it = held.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
        for (auto it = completions.begin(); it != completions.end();) {
            if (it->handle == device && (ov == nullptr || it->ov == ov)) {
                Complete(it->ov, kStatusCancelled, 0);
                it = completions.erase(it);
                any = true;
            } else {
                ++it;
            }
        }
        for (auto& p : pins) {
            if (p.handle != device)
                continue;
            for (auto it = p.queue.begin(); it != p.queue.end();) {
                if (ov == nullptr || it->ov == ov) {
                    Complete(it->ov, kStatusCancelled, 0);
                    --p.state.writesPending;
                    it = p.queue.erase(it);
                    any = true;
                } else {
                    ++it;
                }
            }
        }
        return any;
    }

    BOOL CloseHandle(HANDLE handle) override {
        if (!IsSimHandle(handle))
            return ::CloseHandle(handle);
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::CloseHandle, Target::None, handle);
        HandleObject* object = Find(handle);
        if (object == nullptr)
            return Refuse(l, ERROR_INVALID_HANDLE);
        l.target = object->kind == Kind::Pin      ? Target::Pin
                   : object->kind == Kind::Filter ? Target::Filter
                                                  : Target::InfoSet;
        if (FailSetup(Op::CloseHandle, l))
            return FALSE;
        CancelLocked(handle, nullptr);
        if (object->kind == Kind::Pin) {
            PinInstance& pin = pins[object->pin];
            pin.state.open = false;
            pin.state.state = KSSTATE_STOP;
            FinishPace(pin);
            if (observer != nullptr) {
                observer->PinFinished(handle, pin.state);
                observer->PinClosed(handle);
            }
        }
        object->open = false;
        return TRUE;
    }

    HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::LoadLibrary, Target::None, nullptr);
        if (name != nullptr)
            l.path = name;
        l.flags = flags;
        auto refuse = [&](DWORD error) -> HMODULE {
            l.result = error;
            SetLastError(error);
            return nullptr;
        };
        if (const Fault* f = CheckFault(Op::LoadLibrary, {}, 0, {})) {
            if (f->action == Action::Fail)
                return refuse(f->error);
        }
        if (file != nullptr)
            return refuse(ERROR_INVALID_PARAMETER);
        if (name == nullptr || !SamePath(WSTR("ksuser.dll"), name) || !machine.ksUserPresent) {
            return refuse(ERROR_MOD_NOT_FOUND);
        }
        moduleLoaded = true;
        return KsUserModule();
    }

    static HMODULE KsUserModule() {
        return reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x5E0F0000u));
    }

    FARPROC GetProcAddress(HMODULE module, LPCSTR name) override {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::GetProcAddress, Target::None, nullptr);
        if (name != nullptr)
            l.procName = name;
        auto refuse = [&](DWORD error) -> FARPROC {
            l.result = error;
            SetLastError(error);
            return nullptr;
        };
        if (const Fault* f = CheckFault(Op::GetProcAddress, {}, 0, {})) {
            if (f->action == Action::Fail)
                return refuse(f->error);
        }
        if (module != KsUserModule() || name == nullptr || std::strcmp(name, "KsCreatePin") != 0 ||
            !machine.ksCreatePinExported) {
            return refuse(ERROR_PROC_NOT_FOUND);
        }
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimKsCreatePin));
    }

    // ---- KsCreatePin

    bool Lists(const std::vector<KSIDENTIFIER>& list, const KSIDENTIFIER& wanted) {
        for (const auto& i : list) {
            if (i.Set == wanted.Set && i.Id == wanted.Id)
                return true;
        }
        return false;
    }

    // Whether the data format fits one of the pin's ranges; the carrier rate in *rate.
    static bool FormatFits(const Pin& pin, const BYTE* format, ULONG size, double* rate) {
        KSDATAFORMAT f;
        std::memcpy(&f, format, sizeof(f));
        WAVEFORMATEX w{};
        const bool wave = f.Specifier == kKsDataFormatSpecifierWaveFormatEx;
        if (wave) {
            if (size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX))
                return false;
            std::memcpy(&w, format + sizeof(KSDATAFORMAT), sizeof(w));
            if (size < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) + w.cbSize &&
                w.wFormatTag != WAVE_FORMAT_PCM) {
                return false;
            }
            GUID sub = kKsDataFormatSubtypeWaveFormatEx;
            if (w.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
                if (w.cbSize < 22)
                    return false;
                std::memcpy(&sub, format + sizeof(KSDATAFORMAT) + 24, sizeof(GUID));
            } else {
                sub.Data1 = w.wFormatTag;
            }
            if (!(sub == f.SubFormat))
                return false;
            // The device clocks frames of nChannels samples of wBitsPerSample bits at
            // nSamplesPerSec, whatever nBlockAlign and nAvgBytesPerSec claim.
            *rate = static_cast<double>(w.nSamplesPerSec) * w.nChannels * w.wBitsPerSample / 8;
        }
        for (const auto& r : pin.dataRanges) {
            if (r.size() < sizeof(KSDATARANGE_AUDIO))
                continue;
            KSDATARANGE_AUDIO range;
            std::memcpy(&range, r.data(), sizeof(range));
            const KSDATARANGE& d = range.DataRange;
            const GUID none{};
            if (!(d.MajorFormat == none || d.MajorFormat == f.MajorFormat))
                continue;
            if (!(d.SubFormat == none || d.SubFormat == f.SubFormat))
                continue;
            if (!(d.Specifier == none || d.Specifier == f.Specifier))
                continue;
            if (!wave)
                return true;
            if (w.nChannels == 0 || w.nChannels > range.MaximumChannels)
                continue;
            if (w.wBitsPerSample < range.MinimumBitsPerSample ||
                w.wBitsPerSample > range.MaximumBitsPerSample) {
                continue;
            }
            if (w.nSamplesPerSec < range.MinimumSampleFrequency ||
                w.nSamplesPerSec > range.MaximumSampleFrequency) {
                continue;
            }
            return true;
        }
        return false;
    }

    DWORD CreatePin(HANDLE filterHandle, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE out) {
        std::lock_guard lock(mutex);
        Logged& l = Record(Op::CreatePin, Target::Filter, filterHandle);
        l.access = access;
        auto refuse = [&](DWORD error) {
            l.result = error;
            if (out != nullptr)
                *out = INVALID_HANDLE_VALUE;
            return error;
        };
        if (connect == nullptr || out == nullptr)
            return refuse(ERROR_INVALID_PARAMETER);
        KSPIN_CONNECT c;
        std::memcpy(&c, connect, sizeof(c));
        const BYTE* format = reinterpret_cast<const BYTE*>(connect) + sizeof(KSPIN_CONNECT);
        ULONG formatSize;
        std::memcpy(&formatSize, format, sizeof(formatSize));
        if (formatSize < sizeof(KSDATAFORMAT) || formatSize > 0x10000) {
            l.in.assign(reinterpret_cast<const BYTE*>(connect),
                        reinterpret_cast<const BYTE*>(connect) + sizeof(KSPIN_CONNECT));
            return refuse(ERROR_INVALID_PARAMETER);
        }
        l.in.assign(reinterpret_cast<const BYTE*>(connect), format + formatSize);
        if (const Fault* f = CheckFault(Op::CreatePin, {}, 0, c.PinId)) {
            if (f->action == Action::Unplug) {
                UnplugLocked();
            } else if (f->action == Action::Fail) {
                return refuse(f->error);
            }
        }
        HandleObject* filter = Find(filterHandle);
        if (filter == nullptr || filter->kind != Kind::Filter)
            return refuse(ERROR_INVALID_HANDLE);
        if (unplugged)
            return refuse(kErrorDeviceNotConnected);
        const Filter& model = machine.interfaces[filter->iface].filter;
        if (c.PinId >= model.pins.size())
            return refuse(ERROR_INVALID_PARAMETER);
        const Pin& pin = model.pins[c.PinId];
        if (!Lists(pin.interfaces, c.Interface) || !Lists(pin.mediums, c.Medium)) {
            return refuse(kErrorNoMatch);
        }
        double rate = 44100.0 * 8;
        if (!FormatFits(pin, format, formatSize, &rate))
            return refuse(kErrorNoMatch);
        if (pin.dataFlow == KSPIN_DATAFLOW_IN && (access & GENERIC_WRITE) == 0) {
            return refuse(ERROR_ACCESS_DENIED);
        }
        if (CurrentCount(filter->iface, c.PinId) >= pin.instances.PossibleCount) {
            return refuse(kErrorInsufficientResources);
        }
        PinInstance instance;
        instance.state.pinId = c.PinId;
        instance.state.open = true;
        instance.state.connect = l.in;
        instance.iface = filter->iface;
        instance.bytesPerSecond = rate > 0 ? rate : 44100.0 * 8;
        instance.formatBytesPerSecond = instance.bytesPerSecond;
        HandleObject object(Kind::Pin);
        object.iface = filter->iface;
        object.pin = pins.size();
        HANDLE h = NewHandle(std::move(object));
        instance.handle = h;
        pins.push_back(std::move(instance));
        l.handle = h;
        *out = h;
        if (observer != nullptr)
            observer->PinCreated(h, format, formatSize);
        return ERROR_SUCCESS;
    }
};

Sim& TheSim() {
    // Never destroyed: its worker runs until the process ends.
    static Sim* sim = new Sim;
    return *sim;
}

DWORD WINAPI SimKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access,
                            PHANDLE pin) {
    DeviceScope scope;
    const DWORD result = TheSim().CreatePin(filter, connect, access, pin);
    TheSim().EnsureWorker();
    return result;
}

// What the system's binaries see as the device: every call enters the device's scope.
class ScopedDevice final : public DeviceApi {
  public:
    HDEVINFO SetupDiGetClassDevsW(const GUID* g, PCWSTR e, HWND p, DWORD f) override {
        DeviceScope scope;
        return TheSim().SetupDiGetClassDevsW(g, e, p, f);
    }
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO s, PSP_DEVINFO_DATA d, const GUID* g, DWORD i,
                                     PSP_DEVICE_INTERFACE_DATA o) override {
        DeviceScope scope;
        return TheSim().SetupDiEnumDeviceInterfaces(s, d, g, i, o);
    }
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W o, DWORD n, PDWORD r,
                                          PSP_DEVINFO_DATA i) override {
        DeviceScope scope;
        return TheSim().SetupDiGetDeviceInterfaceDetailW(s, d, o, n, r, i);
    }
    BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO s, PSP_DEVINFO_DATA d, PWSTR o, DWORD n,
                                     PDWORD r) override {
        DeviceScope scope;
        return TheSim().SetupDiGetDeviceInstanceIdW(s, d, o, n, r);
    }
    BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO s, PSP_DEVICE_INTERFACE_DATA d, const GUID* g,
                                        PSP_DEVICE_INTERFACE_DATA o) override {
        DeviceScope scope;
        return TheSim().SetupDiGetDeviceInterfaceAlias(s, d, g, o);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override {
        DeviceScope scope;
        return TheSim().SetupDiDestroyDeviceInfoList(s);
    }
    HANDLE CreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                       HANDLE t) override {
        DeviceScope scope;
        return TheSim().CreateFileW(p, a, s, sa, d, f, t);
    }
    BOOL DeviceIoControl(HANDLE h, DWORD c, LPVOID i, DWORD ni, LPVOID o, DWORD no, LPDWORD r,
                         LPOVERLAPPED ov) override {
        DeviceScope scope;
        const BOOL result = TheSim().DeviceIoControl(h, c, i, ni, o, no, r, ov);
        const DWORD error = GetLastError();
        TheSim().EnsureWorker();
        SetLastError(error);
        return result;
    }
    BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL w) override {
        DeviceScope scope;
        return TheSim().GetOverlappedResult(h, ov, n, w);
    }
    BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov) override {
        DeviceScope scope;
        return TheSim().CancelIoEx(h, ov);
    }
    BOOL CloseHandle(HANDLE h) override {
        DeviceScope scope;
        const BOOL result = TheSim().CloseHandle(h);
        const DWORD error = GetLastError();
        TheSim().RetireWorker();
        SetLastError(error);
        return result;
    }
    HMODULE LoadLibraryExW(LPCWSTR n, HANDLE h, DWORD f) override {
        DeviceScope scope;
        return TheSim().LoadLibraryExW(n, h, f);
    }
    FARPROC GetProcAddress(HMODULE m, LPCSTR n) override {
        DeviceScope scope;
        return TheSim().GetProcAddress(m, n);
    }
};

}  // namespace

// ---- sim.h

bool InDevice() {
    return t_deviceDepth > 0;
}

void Reset(const Machine& machine) {
    Sim& s = TheSim();
    {
        std::lock_guard lock(s.mutex);
        s.ResetLocked(machine);
    }
    s.RetireWorker();
}

void SetSizeQueryQuirk(bool on) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.quirk = on;
}

void SetWriteMode(WriteMode mode, DWORD bufferMs) {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.writeMode = mode;
    s.bufferMs = bufferMs;
    s.wake.notify_all();
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

void Unplug() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.UnplugLocked();
}

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

std::size_t OpenHandles() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    std::size_t n = 0;
    for (const auto& [value, object] : s.handles)
        n += object.open ? 1 : 0;
    return n;
}

bool WorkerRunning() {
    Sim& s = TheSim();
    std::lock_guard order(s.workerMutex);
    return s.worker.joinable();
}

bool IsSimHandle(HANDLE handle) {
    const auto value = reinterpret_cast<ULONG_PTR>(handle);
    return value >= kHandleBase && value < kHandleBase + kHandleSpan && value % 4 == 0;
}

WString DefaultPath() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    const Interface& iface = s.machine.interfaces.at(0);
    return DevicePath(iface, iface.categories.at(0).category);
}

}  // namespace ferox::sim

namespace ferox {

DeviceApi& Device() {
    static sim::ScopedDevice device;
    return device;
}

}  // namespace ferox
