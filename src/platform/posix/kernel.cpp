// Handles, events, threads, waits, last error, time, debug output and overlapped results.
//
// One mutex and one condition variable serve every waitable object: a signal wakes all waiters,
// which re-check their own objects. Simple, and the waits of the system are few.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/posix/internal.h"
#include "platform/posix/testing.h"

namespace ferox::posix::detail {
namespace {

struct Waitable : Object {
    using Object::Object;
    bool signalled = false;
};

struct Event final : Waitable {
    explicit Event(bool manual) : Waitable(Kind::Event), manualReset(manual) {}
    const bool manualReset;
};

struct Thread final : Waitable {
    Thread() : Waitable(Kind::Thread) {}
    DWORD exitCode = STILL_ACTIVE;
};

// Never destroyed: detached threads may still use it while the process exits.
struct Kernel {
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<ULONG_PTR, std::shared_ptr<Object>> handles;
    ULONG_PTR nextHandle = 0x100;  // values are never reused, so a stale handle stays invalid
    unsigned failEventAt = 0;      // countdown; 0 = no fault planned
    unsigned failThreadAt = 0;
    unsigned failWaitAt = 0;
    std::atomic<void (*)(HANDLE)> setEventHook{nullptr};
};

Kernel& K() {
    static Kernel* kernel = new Kernel;
    return *kernel;
}

std::atomic<DWORD> g_timeOffset{0};
std::atomic<DWORD> g_nextThreadId{4};
std::atomic<std::size_t> g_liveThreads{0};
std::atomic<void (*)()> g_threadExitHook{nullptr};

thread_local DWORD t_lastError = 0;
thread_local DWORD t_threadId = 0;

constexpr ULONG_PTR kTagBits = 3;

// True when the planned fault of this kind is due now. Called with the kernel mutex held.
bool FaultDue(unsigned& countdown) {
    if (countdown == 0)
        return false;
    return --countdown == 0;
}

// The current process as a wait target: never signalled.
bool IsCurrentProcess(HANDLE h) {
    return h == INVALID_HANDLE_VALUE;
}

// Whether the object is signalled; takes an auto-reset event's signal when it does.
bool TrySatisfy(Waitable& w, bool consume) {
    if (!w.signalled)
        return false;
    if (consume && w.kind == Object::Kind::Event && !static_cast<Event&>(w).manualReset) {
        w.signalled = false;
    }
    return true;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    const ULONG_PTR value = k.nextHandle;
    k.nextHandle += 4;
    k.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    auto it = k.handles.find(reinterpret_cast<ULONG_PTR>(handle) & ~kTagBits);
    return it == k.handles.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    return k.handles.erase(reinterpret_cast<ULONG_PTR>(handle) & ~kTagBits) != 0;
}

void SignalEvent(const std::shared_ptr<Object>& event) {
    Kernel& k = K();
    {
        std::lock_guard lock(k.mutex);
        static_cast<Event&>(*event).signalled = true;
    }
    k.changed.notify_all();
}

WCHAR FoldChar(WCHAR c) {
    if (c >= u'A' && c <= u'Z')
        return static_cast<WCHAR>(c + 0x20);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return static_cast<WCHAR>(c + 0x20);
    return c;
}

std::u16string Fold(std::u16string_view text) {
    std::u16string out(text);
    for (auto& c : out)
        c = FoldChar(c);
    return out;
}

std::u16string_view View(LPCWSTR text) {
    return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

namespace {

// The objects of one wait. Fixed in size: a wait allocates nothing, as on Windows, so tests can
// prove that a streaming loop allocates nothing either.
struct WaitSet {
    std::array<std::shared_ptr<Waitable>, MAXIMUM_WAIT_OBJECTS> items;
    std::size_t count = 0;
    std::size_t size() const { return count; }
    std::shared_ptr<Waitable>& operator[](std::size_t i) { return items[i]; }
    void push_back(std::shared_ptr<Waitable> w) { items[count++] = std::move(w); }
    auto begin() { return items.begin(); }
    auto end() { return items.begin() + static_cast<std::ptrdiff_t>(count); }
};

// Resolves wait targets; null entry = current process. False (with the error set) on a bad handle.
bool Resolve(DWORD count, const HANDLE* handles, WaitSet& out) {
    Kernel& k = K();
    for (DWORD i = 0; i < count; ++i) {
        if (IsCurrentProcess(handles[i])) {
            out.push_back(nullptr);
            continue;
        }
        auto it = k.handles.find(reinterpret_cast<ULONG_PTR>(handles[i]) & ~kTagBits);
        if (it == k.handles.end() || it->second->kind == Object::Kind::Key) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        out.push_back(std::static_pointer_cast<Waitable>(it->second));
    }
    return true;
}

// With the mutex held: the index the wait returns now, or -1.
long Poll(WaitSet& objects, bool waitAll) {
    if (!waitAll) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            if (objects[i] && TrySatisfy(*objects[i], true))
                return static_cast<long>(i);
        }
        return -1;
    }
    for (auto& o : objects) {
        if (!o || !o->signalled)
            return -1;
    }
    for (auto& o : objects)
        TrySatisfy(*o, true);
    return 0;
}

DWORD Wait(DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Kernel& k = K();
    std::unique_lock lock(k.mutex);
    WaitSet objects;
    if (!Resolve(count, handles, objects))
        return WAIT_FAILED;
    if (FaultDue(k.failWaitAt)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (waitAll) {
        for (std::size_t i = 0; i < objects.size(); ++i) {
            for (std::size_t j = i + 1; j < objects.size(); ++j) {
                if (objects[i] == objects[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
            }
        }
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const long index = Poll(objects, waitAll);
        if (index >= 0)
            return WAIT_OBJECT_0 + static_cast<DWORD>(index);
        if (milliseconds == INFINITE) {
            k.changed.wait(lock);
        } else if (k.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            const long last = Poll(objects, waitAll);
            return last >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(last) : WAIT_TIMEOUT;
        }
    }
}

std::shared_ptr<Event> LookupEvent(HANDLE handle) {
    auto object = LookupHandle(handle);
    if (!object || object->kind != Object::Kind::Event)
        return nullptr;
    return std::static_pointer_cast<Event>(object);
}

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    std::shared_ptr<Thread> thread;
    DWORD id;
};

void* ThreadMain(void* arg) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    t_threadId = start->id;
    const DWORD code = start->routine(start->parameter);
    if (auto hook = g_threadExitHook.load())
        hook();
    Kernel& k = K();
    {
        std::lock_guard lock(k.mutex);
        g_liveThreads.fetch_sub(1);
        start->thread->exitCode = code;
        start->thread->signalled = true;
    }
    k.changed.notify_all();
    return nullptr;
}

std::mutex& DebugMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<std::u16string>& DebugLines() {
    static auto* lines = new std::vector<std::u16string>;
    return *lines;
}

}  // namespace
}  // namespace ferox::posix::detail

using namespace ferox::posix::detail;

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD error) {
    t_lastError = error;
}

BOOL CloseHandle(HANDLE handle) {
    if (IsCurrentProcess(handle))
        return TRUE;
    if (RemoveHandle(handle))
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
    if (name != nullptr) {  // named events are not modelled
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    {
        Kernel& k = K();
        std::lock_guard lock(k.mutex);
        if (FaultDue(k.failEventAt)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    auto event = std::make_shared<Event>(manualReset != FALSE);
    event->signalled = initialState != FALSE;
    HANDLE h = InsertHandle(std::move(event));
    SetLastError(ERROR_SUCCESS);  // as Windows does for an unnamed event
    return h;
}

BOOL SetEvent(HANDLE handle) {
    Kernel& k = K();
    if (auto hook = k.setEventHook.load())
        hook(handle);
    auto event = LookupEvent(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(k.mutex);
        event->signalled = true;
    }
    k.changed.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = LookupEvent(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(K().mutex);
    event->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return Wait(1, &handle, false, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    return Wait(count, handles, waitAll != FALSE, milliseconds);
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId) {
    if (flags != 0 || start == nullptr) {  // suspended starts are not modelled
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    {
        Kernel& k = K();
        std::lock_guard lock(k.mutex);
        if (FaultDue(k.failThreadAt)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    auto thread = std::make_shared<Thread>();
    const DWORD id = g_nextThreadId.fetch_add(4);
    auto* init = new ThreadStart{start, parameter, thread, id};

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attr, std::max<SIZE_T>(stackSize, 65536));
    // The handle exists before the thread runs, so the routine may wait on it.
    HANDLE h = InsertHandle(thread);
    pthread_t t;
    g_liveThreads.fetch_add(1);
    const int rc = pthread_create(&t, &attr, ThreadMain, init);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        g_liveThreads.fetch_sub(1);
        delete init;
        RemoveHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = id;
    return h;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto object = LookupHandle(handle);
    if (!object || object->kind != Object::Kind::Thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(K().mutex);
    *exitCode = static_cast<Thread&>(*object).exitCode;
    return TRUE;
}

DWORD GetCurrentThreadId() {
    if (t_threadId == 0)
        t_threadId = g_nextThreadId.fetch_add(4);
    return t_threadId;
}

namespace {
thread_local int t_priority = THREAD_PRIORITY_NORMAL;
std::mutex& PriorityMutex() {
    static std::mutex m;
    return m;
}
std::vector<std::pair<DWORD, int>>& PriorityLog() {
    static std::vector<std::pair<DWORD, int>> log;
    return log;
}
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}  // namespace

HANDLE GetCurrentThread() {
    return kCurrentThread;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    const bool valid = (priority >= -2 && priority <= 2) || priority == -15 || priority == 15;
    if (thread != kCurrentThread || !valid) {
        SetLastError(thread != kCurrentThread ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t_priority = priority;
    std::lock_guard lock(PriorityMutex());
    PriorityLog().emplace_back(GetCurrentThreadId(), priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    return t_priority;
}

HANDLE GetCurrentProcess() {
    return INVALID_HANDLE_VALUE;
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

BOOL SwitchToThread() {
    std::this_thread::yield();
    return TRUE;
}

LONG InterlockedIncrement(LONG volatile* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(LONG volatile* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;  // the value found, whether or not it was replaced
}

DWORD timeGetTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms) + g_timeOffset.load(std::memory_order_relaxed);
}

void OutputDebugStringW(LPCWSTR text) {
    if (text == nullptr)
        return;
    std::lock_guard lock(DebugMutex());
    DebugLines().emplace_back(text);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    // The request's owner completes it from another thread: status last, then the event.
    auto status = [&] {
        return static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
    };
    if (status() == STATUS_PENDING) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // One wait, as Windows: a request still pending after its event fired counts as done.
        HANDLE target = overlapped->hEvent != nullptr ? overlapped->hEvent : file;
        target = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(target) & ~ULONG_PTR{1});
        if (WaitForSingleObject(target, INFINITE) == WAIT_FAILED)
            return FALSE;
    }
    *transferred = static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_ACQUIRE));
    const NTSTATUS s = status();
    if (s < 0) {  // an error or a warning
        SetLastError(RtlNtStatusToDosError(s));
        return FALSE;
    }
    return TRUE;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
    struct Entry {
        NTSTATUS status;
        ULONG error;
    };
    static constexpr Entry kTable[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_NO_MATCH, ERROR_NO_MATCH},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
        {STATUS_PROPSET_NOT_FOUND, ERROR_SET_NOT_FOUND},
        {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_INSUFFICIENT_RESOURCES},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    };
    for (const auto& e : kTable) {
        if (e.status == status)
            return e.error;
    }
    // Statuses that carry a Win32 code pass it through.
    const ULONG high = static_cast<ULONG>(status) >> 16;
    if (high == 0xC001u || high == 0xC007u || high == 0x8007u)
        return static_cast<ULONG>(status) & 0xFFFFu;
    return 317;  // ERROR_MR_MID_NOT_FOUND: no mapping
}

namespace ferox::posix {

std::size_t OpenHandleCount() {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    return k.handles.size();
}

std::size_t LiveThreadCount() {
    return g_liveThreads.load();
}

void SetThreadExitHook(void (*hook)()) {
    g_threadExitHook.store(hook);
}

void SetBeforeSetEventHook(void (*hook)(HANDLE event)) {
    K().setEventHook.store(hook);
}

void FailNth(Fault fault, unsigned n) {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    (fault == Fault::CreateEvent ? k.failEventAt
     : fault == Fault::Wait      ? k.failWaitAt
                                 : k.failThreadAt) = n;
}

void ResetFaults() {
    Kernel& k = K();
    std::lock_guard lock(k.mutex);
    k.failEventAt = 0;
    k.failThreadAt = 0;
    k.failWaitAt = 0;
}

void SetTimeOffset(DWORD milliseconds) {
    g_timeOffset.store(milliseconds);
}

std::vector<std::pair<DWORD, int>> TakeThreadPriorityLog() {
    std::lock_guard lock(PriorityMutex());
    std::vector<std::pair<DWORD, int>> out;
    out.swap(PriorityLog());
    return out;
}

std::vector<std::u16string> TakeDebugOutput() {
    std::lock_guard lock(DebugMutex());
    std::vector<std::u16string> out;
    out.swap(DebugLines());
    return out;
}

}  // namespace ferox::posix
