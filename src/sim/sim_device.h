// The simulated device's state, shared by the files that model its parts: the device model
// (ks_model.cpp), the SetupAPI view, the stream port, faults, the request log and the I/O
// manager's part (sim_device.cpp). One lock guards the whole machine.
#pragma once

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

namespace ferox::sim::internal {

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

inline LONG StatusOf(DWORD error) {
    if (error == 0)
        return kStatusSuccess;
    for (const auto& m : kStatusMap) {
        if (m.error == error)
            return m.status;
    }
    return kStatusUnsuccessful;
}

inline DWORD ErrorOf(LONG status) {
    if (status == kStatusSuccess)
        return 0;
    for (const auto& m : kStatusMap) {
        if (m.status == status)
            return m.error;
    }
    return ERROR_GEN_FAILURE;
}

// Success and informational statuses let GetOverlappedResult succeed; warnings and errors fail.
inline bool Succeeded(LONG status) {
    return status >= 0;
}

inline HANDLE Untagged(HANDLE event) {
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
    bool gone = false;                 // Filter, Pin: opened before an unplug, dead for good
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
    bool gone = false;  // created before an unplug: no longer counts, plays or completes
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
    DWORD thread;  // the thread that sent it: its exit waits for it
    HANDLE handle;
    OVERLAPPED* ov;
    bool write;  // IOCTL_KS_WRITE_STREAM: the pin's stop state gives it back
    bool ignoreCancel;
    bool ignoreStop;
    bool closeEndsIt;
};

struct ActiveFault {
    Match match;
    Fault fault;
    unsigned skipped = 0;
    unsigned applied = 0;
    std::optional<Clock::time_point> first;  // of the matching requests (afterMs)
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
inline thread_local int t_deviceDepth = 0;
struct DeviceScope {
    DeviceScope() { ++t_deviceDepth; }
    ~DeviceScope() { --t_deviceDepth; }
    DeviceScope(const DeviceScope&) = delete;
    DeviceScope& operator=(const DeviceScope&) = delete;
};

class Sim final : public DeviceApi {
  public:
    Sim() { ResetLocked(EnvironmentProfile().machine); }

    // A thread of the system ends: as Windows does for I/O sent on a handle without a completion
    // port, its requests the device holds are cancelled, and the exit waits for those that
    // ignore the cancel, up to kThreadExitHoldMs (Windows: about five minutes).
    void ThreadExiting();
    static constexpr auto kThreadExitHold = std::chrono::milliseconds(10000);

    // Called without `mutex` held, after anything that may have given the worker work.
    void EnsureWorker();

    // Called without `mutex` held, after anything that may have taken the worker's last work.
    void RetireWorker();
    bool NeedsWorkerLocked() const;

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

    void ResetLocked(const Machine& m);
    void UnplugLocked();
    HandleObject* Find(HANDLE h);
    HANDLE NewHandle(HandleObject object);
    static void Complete(OVERLAPPED* ov, LONG status, ULONG_PTR information);

    // The fault that applies to this request now, if any.
    const Fault* CheckFault(Op op, const Bytes& in, DWORD outSize, std::optional<ULONG> pinId);

    // The entry stays valid for the request's whole call: the deque never moves its elements
    // and drops only the oldest.
    Logged& Record(Op op, Target target, HANDLE h);

    // ---- the device model: properties and pin creation (ks_model.cpp)

    Answer Value(const Bytes& value, DWORD outSize, bool list, bool text);
    template <typename T>
    static Bytes BytesOf(const T& v) {
        Bytes b(sizeof(T));
        std::memcpy(b.data(), &v, sizeof(T));
        return b;
    }

    static Bytes MultiItem(const std::vector<Bytes>& items);
    static Answer Error(DWORD error);
    Answer PinProperty(const Filter& filter, const KSPROPERTY& p, const Bytes& in, DWORD outSize);
    std::size_t IfaceOf(const Filter& filter) const;

    // Instances of one pin type of one device: every DAC has its own pin factories.
    ULONG CurrentCount(std::size_t iface, ULONG pinId);
    Answer FilterProperty(const HandleObject& object, const Bytes& in, DWORD outSize);
    // A stopped pin gives its writes back, those held by a fault too unless it ignores the stop.
    void SetPinState(PinInstance& pin, KSSTATE state);
    void StopHeldWrites(HANDLE pinHandle);
    Answer PinHandleProperty(PinInstance& pin, const Bytes& in, DWORD outSize, LPVOID out);

    // ---- the stream port (stream_port.cpp)

    // Plays the buffer up to `now` (real-time mode) and completes each held write at the
    // moment no more than the buffer's depth of audio, counting it, was left to play. Timed by
    // the buffer, not by when this runs: a call that comes late (this process's threads are
    // scheduled like any other) plays and completes as the device would have.
    void Drain(PinInstance& pin, Clock::time_point now);

    // When the first held write completes, if one is held and the buffer plays (or it is due
    // already).
    std::optional<Clock::time_point> CompletesAt(const PinInstance& pin) const;

    // The buffer plays from the last time it was played to `until` while the pin runs.
    static void Play(PinInstance& pin, Clock::time_point until);
    void Take(PinInstance& pin, const Bytes& data);

    // A write arrived: the gap since the one before, and the turnaround when it followed a
    // completion with nothing pending.
    void Pace(PinInstance& pin);
    static void FinishPace(PinInstance& pin);
    Answer Write(PinInstance& pin, LPVOID out, DWORD outSize, OVERLAPPED* ov);

    // ---- the worker: late completions and real-time playing

    void Worker();

    // ---- DeviceApi: the SetupAPI view (setupapi_view.cpp)

    HDEVINFO SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR, HWND, DWORD flags) override;

    // A failure answered at once, as FALSE with the error; false when no fault applies.
    bool FailSetup(Op op, Logged& l);
    BOOL Refuse(Logged& l, DWORD error);
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA, const GUID* cls,
                                     DWORD index, PSP_DEVICE_INTERFACE_DATA data) override;
    const Interface* InterfaceOf(HandleObject* set, ULONG_PTR reserved);
    BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA devInfo) override;
    BOOL SetupDiGetDeviceInstanceIdW(HDEVINFO setHandle, PSP_DEVINFO_DATA devInfo, PWSTR id,
                                     DWORD idSize, PDWORD requiredSize) override;
    BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                        const GUID* aliasClass,
                                        PSP_DEVICE_INTERFACE_DATA alias) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) override;
    // ---- DeviceApi: handles, requests, completion and cancellation (sim_device.cpp)
    static bool SamePath(const WString& a, LPCWSTR b);
    HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                       DWORD flags, HANDLE) override;
    BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                         DWORD outSize, LPDWORD returned, LPOVERLAPPED ov) override;
    BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED ov, LPDWORD transferred,
                             BOOL wait) override;
    BOOL CancelIoEx(HANDLE device, LPOVERLAPPED ov) override;
    // Gives back what CancelIoEx (or, `closing`, the close of the handle) reaches.
    bool CancelLocked(HANDLE device, LPOVERLAPPED ov, bool closing = false);
    BOOL CloseHandle(HANDLE handle) override;
    // With a bounded log nobody reads the history: closed handles and pins are forgotten.
    void ForgetClosedLocked();
    HMODULE LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) override;
    static HMODULE KsUserModule();
    FARPROC GetProcAddress(HMODULE module, LPCSTR name) override;

    // ---- KsCreatePin (ks_model.cpp)

    bool Lists(const std::vector<KSIDENTIFIER>& list, const KSIDENTIFIER& wanted);

    // Whether the data format fits one of the pin's ranges; the carrier rate in *rate.
    static bool FormatFits(const Pin& pin, const BYTE* format, ULONG size, double* rate);
    DWORD CreatePin(HANDLE filterHandle, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE out);
};

Sim& TheSim();

}  // namespace ferox::sim::internal
