// The simulated DAC behind the device seam: a model of the device's KS audio driver, of the
// SetupAPI view of its interfaces and of ksuser.dll's KsCreatePin.
//
// One lock guards the whole machine; a worker thread delivers late completions and, in real-time
// mode, plays the pins' buffers at the carrier rate. The worker runs only while a pin is open or a
// completion is due, and is joined when the last one goes: a host may unload the simulated-DAC
// DLL as soon as it has released the driver, and no thread may still run its code then. Completion
// is what the I/O manager does: OVERLAPPED::Internal gets the NTSTATUS, InternalHigh the byte
// count, and the event (its low tag bit stripped) is signalled.
#include "sim/sim_device.h"
#ifndef _WIN32
#include "platform/posix/testing.h"
#endif

namespace ferox::sim::internal {

void Sim::ResetLocked(const Machine& m) {
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

void Sim::UnplugLocked() {
    unplugged = true;
    for (auto& [value, object] : handles) {
        if (object.kind != Kind::InfoSet)
            object.gone = true;
    }
    const auto now = Clock::now();
    for (auto& p : pins) {
        if (!p.gone)
            Drain(p, now);  // what it played up to the unplug; nothing after
        p.gone = true;
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

HandleObject* Sim::Find(HANDLE h) {
    auto it = handles.find(reinterpret_cast<ULONG_PTR>(h));
    return it == handles.end() || !it->second.open ? nullptr : &it->second;
}

HANDLE Sim::NewHandle(HandleObject object) {
    const ULONG_PTR value = nextHandle;
    nextHandle += 4;
    handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

void Sim::Complete(OVERLAPPED* ov, LONG status, ULONG_PTR information) {
    if (ov == nullptr)
        return;
    ov->InternalHigh = information;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    if (ov->hEvent != nullptr)
        SetEvent(Untagged(ov->hEvent));
}

bool Sim::SamePath(const WString& a, LPCWSTR b) {
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

HANDLE Sim::CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                        DWORD flags, HANDLE) {
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

BOOL Sim::DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                          DWORD outSize, LPDWORD returned, LPOVERLAPPED ov) {
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
    if (fault != nullptr && fault->action == Action::Block) {
        // Handled in the caller's own thread, as a KS driver that does not pend does: nothing
        // the caller does meanwhile reaches it.
        const auto blockFor = std::chrono::milliseconds(fault->delayMs);
        lock.unlock();
        std::this_thread::sleep_for(blockFor);
        lock.lock();
        fault = nullptr;
        object = Find(device);
        if (object == nullptr)
            return finish(ERROR_INVALID_HANDLE);
    }
    if (unplugged || object->gone)
        return finish(kErrorDeviceNotConnected);
    if (fault != nullptr && fault->action == Action::Fail)
        return finish(fault->error);
    if (fault != nullptr && ov != nullptr) {
        ov->Internal = static_cast<ULONG_PTR>(kStatusPending);
        ov->InternalHigh = 0;
        if (fault->action == Action::NeverComplete) {
            held.push_back(Held{GetCurrentThreadId(), device, ov, op == Op::WriteStream,
                                fault->ignoreCancel, fault->ignoreStop, fault->closeEndsIt});
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
                if (vendorModes.size() > logLimit)
                    vendorModes.erase(vendorModes.begin());
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
    const bool sizeReported =
        error == ERROR_MORE_DATA || (quirk && error == ERROR_INSUFFICIENT_BUFFER && outSize == 0);
    if (returned != nullptr) {
        *returned = Succeeded(a.status) || sizeReported ? static_cast<DWORD>(a.information) : 0;
    }
    return finish(error);
}

BOOL Sim::GetOverlappedResult(HANDLE device, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait) {
    if (!IsSimHandle(device))
        return ::GetOverlappedResult(device, ov, transferred, wait);
    for (;;) {
        {
            // The worker may be completing it right now.
            std::lock_guard lock(mutex);
            if (static_cast<LONG>(ov->Internal) != kStatusPending)
                break;
        }
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

BOOL Sim::CancelIoEx(HANDLE device, LPOVERLAPPED ov) {
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

bool Sim::CancelLocked(HANDLE device, LPOVERLAPPED ov, bool closing) {
    bool any = false;
    for (auto it = held.begin(); it != held.end();) {
        const bool deaf = it->ignoreCancel && !(closing && it->closeEndsIt);
        if (it->handle == device && (ov == nullptr || it->ov == ov) && deaf) {
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

BOOL Sim::CloseHandle(HANDLE handle) {
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
    CancelLocked(handle, nullptr, true);
    if (object->kind == Kind::Pin) {
        PinInstance& pin = pins[object->pin];
        pin.state.open = false;
        pin.state.state = KSSTATE_STOP;
        StopHeldWrites(handle);  // a pin closes through its stop state
        FinishPace(pin);
        if (observer != nullptr) {
            observer->PinFinished(handle, pin.state);
            observer->PinClosed(handle);
        }
    }
    object->open = false;
    if (logLimit != kUnbounded)
        ForgetClosedLocked();
    return TRUE;
}

void Sim::ForgetClosedLocked() {
    std::erase_if(handles, [](const auto& entry) { return !entry.second.open; });
    // Pin records are indexed by the handles that name them: only a machine without an open pin
    // can drop them all.
    if (std::none_of(pins.begin(), pins.end(), [](const PinInstance& p) { return p.state.open; }))
        pins.clear();
}

HMODULE Sim::LoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
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
    constexpr DWORD kSearchFlags = 0x00001F00u;  // LOAD_LIBRARY_SEARCH_*
    if (file != nullptr || ((flags & kSearchFlags) != 0 && !machine.loadSearchFlags))
        return refuse(ERROR_INVALID_PARAMETER);
    WCHAR system[MAX_PATH] = {};
    const UINT folder = GetSystemDirectoryW(system, MAX_PATH);
    const WString fullPath =
        folder != 0 && folder < MAX_PATH ? WString(system) + WSTR("\\ksuser.dll") : WString();
    const bool named = name != nullptr && (SamePath(WSTR("ksuser.dll"), name) ||
                                           (!fullPath.empty() && SamePath(fullPath, name)));
    if (!named || !machine.ksUserPresent) {
        return refuse(ERROR_MOD_NOT_FOUND);
    }
    moduleLoaded = true;
    return KsUserModule();
}

HMODULE Sim::KsUserModule() {
    return reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x5E0F0000u));
}

FARPROC Sim::GetProcAddress(HMODULE module, LPCSTR name) {
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

void Sim::ThreadExiting() {
    const DWORD thread = GetCurrentThreadId();
    std::unique_lock lock(mutex);
    auto mine = [&] {
        return std::any_of(held.begin(), held.end(),
                           [&](const Held& h) { return h.thread == thread; });
    };
    if (!mine())
        return;
    for (auto it = held.begin(); it != held.end();) {
        if (it->thread == thread && !it->ignoreCancel) {
            Complete(it->ov, kStatusCancelled, 0);
            it = held.erase(it);
        } else {
            ++it;
        }
    }
    // Whatever takes the rest back (CompleteHeld, Reset, an unplug, the pin's stop) does so under
    // the lock; a short poll sees it.
    const auto until = Clock::now() + kThreadExitHold;
    while (mine() && Clock::now() < until) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lock.lock();
    }
}

Sim& TheSim() {
    // Never destroyed: its worker runs until the process ends.
    static Sim* sim = [] {
        auto* s = new Sim;
#ifndef _WIN32
        posix::SetThreadExitHook([] { TheSim().ThreadExiting(); });
#endif
        return s;
    }();
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

}  // namespace ferox::sim::internal

namespace ferox::sim {

using namespace internal;

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

void Unplug() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.UnplugLocked();
}

void Replug() {
    Sim& s = TheSim();
    std::lock_guard lock(s.mutex);
    s.unplugged = false;
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
