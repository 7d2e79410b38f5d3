// The streaming engine: one thread per start hands the host's buffer halves to the render pin,
// one write at a time, and calls the host back for every write the device has taken.

#include <chrono>

#include "asio/convert.h"
#include "asio/pellinor.h"
#include "asio/priority.h"
#include "common/trace.h"
#include "ks/audio_filter.h"
#include "platform/device.h"
#include "platform/module_thread.h"

namespace ferox {

namespace {

constexpr char kNoPins[] = "ASIO Pellinor No pins available for rendering";
constexpr char kPinWontRun[] = "ASIO Pellinor Render Pin refused to run";
constexpr char kNoThread[] = "ASIO Pellinor Could not start the stream";
constexpr char kDsdRefused[] = "ASIO Pellinor Device refused DSD mode";
constexpr char kPcmRefused[] = "ASIO Pellinor Device refused PCM mode";
constexpr char kNoMemory[] = "ASIO Pellinor Out of memory";

constexpr char kDacBusy[] = "ASIO Pellinor DAC in use by another program";

constexpr DWORD kStopWaitMs = 1000;
constexpr DWORD kThreadEndGraceMs = 250;
// How long a device may take to give a write back after each way of asking for it.
constexpr DWORD kGiveBackWaitMs = 500;
// A device that claims to hold more than a second of audio is not believed (100 ns units).
constexpr LONGLONG kMaxDeviceLatency = 10000000;
// Writes that fail in a row before the device counts as gone.
constexpr int kMaxWriteFailures = 4;

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint64_t SystemTimeNow() {
    // timeGetTime has millisecond resolution; the stamp is in nanoseconds.
    return static_cast<std::uint64_t>(timeGetTime()) * 1000000u;
}

// ASIOSamples and ASIOTimeStamp: a 64-bit count as two 32-bit halves.
template <typename HiLo>
void StoreSplit(HiLo* out, std::uint64_t value) {
    out->hi = static_cast<AsioULong>(value >> 32);
    out->lo = static_cast<AsioULong>(value);
}

}  // namespace

struct ASIOPellinor::StreamMemory : KsHeld {
    StreamPacket packets[kStreamPackets];
    HANDLE events[kStreamPackets];  // auto-reset, one for each packet
    // A silent half in the stream's mode, for a side whose channel the host left inactive.
    std::int32_t silence[kMaxBufferWords];
    // The slots, line-aligned within: the conversion's wide stores never split a cache line.
    BYTE space[kStreamPackets * kStreamSlotBytes + 63];

    BYTE* Slot(int s) {
        const auto at = (reinterpret_cast<ULONG_PTR>(space) + 63) & ~ULONG_PTR{63};
        return reinterpret_cast<BYTE*>(at) + static_cast<std::size_t>(s) * kStreamSlotBytes;
    }
};

bool ASIOPellinor::HaveStreamMemory() {
    if (m_pStream == nullptr) {
        m_pStream = static_cast<StreamMemory*>(Allocate(sizeof(StreamMemory)));
        if (m_pStream == nullptr)
            return false;
        m_pStream->nextHeld = nullptr;
        for (HANDLE& e : m_pStream->events)
            e = nullptr;
    }
    return true;
}

CKsAudPin* ASIOPellinor::OpenStreamPin(ASIOError* error) {
    CKsAudPin* pin = OpenRenderPin(error);
    if (pin && !HaveStreamMemory()) {
        pin->ClosePin();
        SetErrorMessage(kNoMemory);
        *error = ASE_NoMemory;
        return nullptr;
    }
    return pin;
}

bool ASIOPellinor::IsStreamThread() const {
    return m_streamThreadId.load() == GetCurrentThreadId();
}

CKsAudPin* ASIOPellinor::OpenRenderPin(ASIOError* error) {
    *error = ASE_NotPresent;
    CKsAudRenFilter* filter = m_pFilter.load();
    if (!filter) {
        SetErrorMessage(kNoPins);
        return nullptr;
    }
    WAVEFORMATEXTENSIBLE wfx;
    FillWaveFormat(&wfx);
    CKsAudPin* pin = filter->CreateRenderPin(&wfx.Format, FALSE);
    if (!pin) {
        SetErrorMessage(filter->RenderPinBusy(&wfx.Format) ? kDacBusy : kNoPins);
        return nullptr;
    }
    // The format says PCM in both modes; the device learns the mode from this value. A device
    // that did not take it would play DSD bits as PCM: full-scale noise.
    const HRESULT mode = pin->SetVendorMode(IsDsd() ? kVendorModeDsd : kVendorModePcm);
    if (FAILED(mode)) {
        pin->ClosePin();
        if (mode == E_OUTOFMEMORY) {
            SetErrorMessage(kNoMemory);
            *error = ASE_NoMemory;
            return nullptr;
        }
        SetErrorMessage(IsDsd() ? kDsdRefused : kPcmRefused);
        *error = ASE_HWMalfunction;
        return nullptr;
    }
    if (IsDsd())
        pin->SetFormat(&wfx.Format);
    if (FAILED(pin->SetState(KSSTATE_RUN))) {
        pin->ClosePin();
        SetErrorMessage(kPinWontRun);
        *error = ASE_HWMalfunction;
        return nullptr;
    }
    // Kept from the last pin that answered: hosts ask for latencies when no pin exists.
    KSTIME latency{};
    if (SUCCEEDED(pin->GetLatency(&latency)) && latency.Denominator != 0 && latency.Time >= 0 &&
        latency.Time <= kMaxDeviceLatency) {
        const double t =
            static_cast<double>(latency.Time) * latency.Numerator / latency.Denominator;
        if (t <= static_cast<double>(kMaxDeviceLatency))
            m_deviceLatency.store(static_cast<LONGLONG>(t));
    }
    *error = ASE_OK;
    return pin;
}

ASIOError ASIO_METHOD ASIOPellinor::start() {
    if (!m_callbacks.load())
        return ASE_NotPresent;
    if (IsStreamThread()) {
        // Called from a callback: this thread cannot wait for its own stream to end, so it
        // opens the new pin itself once the current one is closed.
        if (m_streamRequest.load() == StreamRequest::Run)
            return ASE_OK;
        if (!m_pFilter.load()) {
            SetErrorMessage(kNoPins);
            return ASE_NotPresent;
        }
        if (m_pRenderPin.load() || m_streamRequest.load() == StreamRequest::Restart) {
            m_streamRequest.store(StreamRequest::Restart);
            return ASE_OK;
        }
        // Between two streams (answering a reset request): the pin is opened here, so a host
        // that restarts on every reset hears at once that the DAC cannot play, instead of
        // going round with it. The thread plays this pin once the callback has returned.
        ASIOError error = ASE_OK;
        CKsAudPin* pin = OpenStreamPin(&error);
        if (!pin)
            return error;
        m_systemTime.Publish(0, 0);
        m_bufferIndex = 0;
        m_pRenderPin.store(pin);
        m_streamRequest.store(StreamRequest::Run);
        m_started.store(true);
        TellLatencies();
        return ASE_OK;
    }
    // Already streaming, or restarting on its own: the request tells, m_started is false while
    // a restart opens its pin.
    if (m_hStreamThread && m_streamRequest.load() != StreamRequest::Stop &&
        WaitForSingleObject(m_hStreamDone, 0) == WAIT_TIMEOUT) {
        return ASE_OK;
    }
    // A stream that ended on its own, or is still finishing, goes first.
    EndStream();
    // Here, with no stream of this object running to disturb it or to wait for it.
    if (!m_convertChoice.load().measured)
        m_convertChoice.store(MeasureConvertChoice());
    // From now on every change of the settings reaches this object, whoever made it; one made
    // since the object last read them is told to this stream.
    m_settingsWatch.Start(&ASIOPellinor::SettingsKeyChanged, this);
    ReadSettings();

    m_systemTime.Publish(0, 0);
    m_bufferIndex = 0;
    m_started.store(false);
    ASIOError error = ASE_OK;
    CKsAudPin* pin = OpenStreamPin(&error);
    if (!pin)
        return error;
    // The host may have taken the latencies before any pin could tell the device's part.
    TellLatencies();

    m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hStreamDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_pRenderPin.store(pin);
    m_streamRequest.store(StreamRequest::Run);
    m_bytesTaken.store(0);
    m_lateSwitches.store(0);
    m_started.store(true);  // before the thread: its priming switches must reach the host
    if (m_hStopEvent && m_hStreamDone) {
        m_hStreamThread = CreateThread(nullptr, 0, &ASIOPellinor::StreamThread, this, 0, nullptr);
    }
    if (!m_hStreamThread) {
        m_started.store(false);
        m_streamRequest.store(StreamRequest::Stop);
        m_pRenderPin.store(nullptr);
        pin->ClosePin();
        CloseStreamHandles();
        SetErrorMessage(kNoThread);
        return ASE_NoMemory;
    }
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::stop() {
    m_started.store(false);
    m_streamRequest.store(StreamRequest::Stop);
    // From a callback: the thread ends its stream once the callback has returned.
    if (IsStreamThread())
        return ASE_OK;
    if (m_hStopEvent)
        SetEvent(m_hStopEvent);
    // A thread that has not finished by then finishes its drain on its own; whatever would free
    // what it uses waits for it (EndStream).
    if (m_hStreamThread && StreamEnded(kStopWaitMs))
        CloseStreamHandles();
    return ASE_OK;
}

void ASIOPellinor::EndStream() {
    stop();
    if (IsStreamThread())
        return;
    while (m_hStreamThread) {
        if (StreamEnded(kStopWaitMs))
            CloseStreamHandles();
    }
}

bool ASIOPellinor::StreamEnded(DWORD ms) {
    // The done event first: a thread that said so and then ended is an ordinary end.
    const HANDLE ends[] = {m_hStreamDone, m_hStreamThread};
    const DWORD w = WaitForMultipleObjects(2, ends, FALSE, ms);
    if (w == WAIT_OBJECT_0)
        return true;
    if (w != WAIT_OBJECT_0 + 1)
        return false;
    // Ended without a word, mid-stream (by the process's exit, as a rule): its pin is still open
    // and its writes may be out.
    Trace(kTraceError, WSTR("ASIOPellinor: the streaming thread ended without finishing"));
    if (CKsAudPin* pin = m_pRenderPin.exchange(nullptr); pin && !ProcessEnding())
        pin->ClosePin();
    if (m_pStream)
        CKsIrpTarget::LeaveToDevice(m_pStream);
    m_pStream = nullptr;
    m_started.store(false);
    m_streamRequest.store(StreamRequest::Stop);
    m_streamThreadId.store(0);
    return true;
}

void ASIOPellinor::CloseStreamHandles() {
    if (m_hStreamThread) {
        // A thread done with the object ends at once, unless its exit waits for writes the
        // device keeps: then it is left to end on its own.
        if (!IsStreamThread())
            WaitForSingleObject(m_hStreamThread, kThreadEndGraceMs);
        CloseHandle(m_hStreamThread);
    }
    if (m_hStopEvent)
        CloseHandle(m_hStopEvent);
    if (m_hStreamDone)
        CloseHandle(m_hStreamDone);
    m_hStreamThread = nullptr;
    m_hStopEvent = nullptr;
    m_hStreamDone = nullptr;
}

std::uint64_t ASIOPellinor::HostSamples(ULONGLONG bytes) const {
    // Hosts count in their own samples: a carrier frame (8 bytes) is one PCM frame, or 32 DSD
    // samples per channel.
    const ULONGLONG frames = bytes / 8;
    return IsDsd() ? frames * 32 : frames;
}

ASIOError ASIO_METHOD ASIOPellinor::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    // What the latest switch told the host: asking the pin would race with the streaming thread
    // closing it, and cost a device request on the host's audio thread.
    const SwitchStamp::Pair latest = m_systemTime.Read();
    StoreSplit(sPos, latest.position);
    StoreSplit(tStamp, latest.time);
    return ASE_OK;
}

void ASIOPellinor::doBufferSwitch() {
    ASIOCallbacks* callbacks = m_callbacks.load();
    if (!m_started.load() || !callbacks || m_streamRequest.load() != StreamRequest::Run)
        return;
    const std::uint64_t now = SystemTimeNow();
    // The engine's own count: asking the pin would cost a request on this thread.
    const std::uint64_t position = HostSamples(m_bytesTaken.load());
    m_systemTime.Publish(position, now);
    if (m_timeInfoMode.load()) {
        AsioTimeInfo& ti = m_asioTime.timeInfo;
        const std::uint32_t raised = m_pendingTimeFlags.exchange(0);
        ti.flags |= raised;
        if (raised & kSampleRateChanged)
            ti.sampleRate = m_sampleRate.load();
        StoreSplit(&ti.samplePosition, position);
        StoreSplit(&ti.systemTime, now);
        if (m_timeCodeRead.load()) {
            // The rate the same record tells the host, so code and rate always agree.
            const double ahead = static_cast<double>(ti.samplePosition.lo) + ti.sampleRate * 600;
            m_asioTime.timeCode.timeCodeSamples.hi = 0;
            m_asioTime.timeCode.timeCodeSamples.lo =
                static_cast<AsioULong>(static_cast<std::uint64_t>(ahead));
        }
        if (callbacks->bufferSwitchTimeInfo) {
            callbacks->bufferSwitchTimeInfo(&m_asioTime, m_bufferIndex, ASIOFalse);
        } else if (callbacks->bufferSwitch) {
            // Asked for time info but gave no callback for it: it still gets its switches.
            callbacks->bufferSwitch(m_bufferIndex, ASIOFalse);
        }
        ti.flags &= ~static_cast<AsioULong>(kSampleRateChanged | kClockSourceChanged);
    } else if (callbacks->bufferSwitch) {
        callbacks->bufferSwitch(m_bufferIndex, ASIOFalse);
    }
    m_bufferIndex = m_bufferIndex == 0 ? 1 : 0;
}

void ASIOPellinor::ReadSettings() {
    const AsioLong stored = UserBufferSize();
    if (stored == m_storedSize.exchange(stored))
        return;
    m_offeredSize.store(stored);
    m_sizeChanged.store(true);
}

void ASIOPellinor::TellSizeChange() {
    // Like a switch, the answer may stop, dispose or release here on this thread.
    if (m_sizeChanged.exchange(false) && m_offeredSize.load() != m_bufferSize.load())
        TellHost(kAsioResetRequest);
}

void ASIOPellinor::FillSlot(BYTE* slot, AsioLong half, AsioLong n, bool dsd) const {
    auto* out = reinterpret_cast<std::uint32_t*>(slot);
    const AsioLong outputs = m_numOutputs.load();
    // Left is channel 0 and right channel 1, in whatever order the host listed them.
    const std::int32_t* side[2] = {nullptr, nullptr};
    for (AsioLong i = 0; i < outputs && half >= 0; ++i) {
        const AsioLong c = m_outputChannels[i];
        if (!side[c])
            side[c] = m_outputBuffers[i].load() + half * n;
    }
    if (!side[0] && !side[1]) {
        FillSilence(out, n, dsd);
        return;
    }
    // A lone channel 0 plays on both sides (mono players rely on it); a lone channel 1 is the
    // right speaker only.
    const std::int32_t* left = side[0] ? side[0] : m_pStream->silence;
    const std::int32_t* right = side[1] ? side[1] : side[0];
    ConvertHalf(out, left, right, n, dsd, m_convertChoice.load().For(dsd));
}

DWORD WINAPI ASIOPellinor::StreamThread(LPVOID self) {
    // The object may be released, and the DLL let go, before this thread has returned.
    const HMODULE module = HoldOwnModule();
    HANDLE done = nullptr;
    {
        const CBaseObject counted(WSTR("stream thread"));  // DllCanUnloadNow sees it
        done = static_cast<ASIOPellinor*>(self)->RunStream();
    }
    // Whoever waits may free the object now, while this thread's exit may still wait for
    // writes the device keeps.
    SayDoneAndExit(done, module);
    return 0;
}

HANDLE ASIOPellinor::RunStream() {
    m_streamThreadId.store(GetCurrentThreadId());
    // Raised for the whole thread, restarts and drains included; put back as the thread leaves.
    const ProAudioPriority priority;
    CKsAudPin* pin = m_pRenderPin.load();
    bool failed = false;
    for (;;) {
        if (pin) {
            m_bytesTaken.store(0);
            failed = PlayPin(pin);
        }
        if (CKsAudRenFilter* retired = m_pRetiredFilter) {
            m_pRetiredFilter = nullptr;
            DeleteFilter(retired);
        }
        // A host that can recover is told once nothing of the stream is in use: it may stop,
        // dispose, start again or release in its answer, here on this thread.
        if (failed && !m_deleteAfterStream.load())
            TellHost(kAsioResetRequest);
        failed = false;
        // A pin its answer started plays next, unless it was stopped or restarted again.
        if (CKsAudPin* next = m_pRenderPin.load()) {
            if (m_streamRequest.load() == StreamRequest::Run && !m_deleteAfterStream.load()) {
                pin = next;
                continue;
            }
            m_started.store(false);
            m_pRenderPin.store(nullptr);
            next->ClosePin();
        }
        if (m_deleteAfterStream.load())
            break;
        ResetEvent(m_hStopEvent);
        StreamRequest restart = StreamRequest::Restart;
        if (!m_streamRequest.compare_exchange_strong(restart, StreamRequest::Run))
            break;
        // Same buffers, new pin: the host's switches go on after a short gap.
        ASIOError error = ASE_OK;
        pin = OpenStreamPin(&error);
        if (!pin) {
            // The host was told it plays: it hears that it does not, with the error text set.
            // A rate changed meanwhile gets its own try.
            StreamRequest run = StreamRequest::Run;
            m_streamRequest.compare_exchange_strong(run, StreamRequest::Stop);
            failed = true;
            continue;
        }
        m_systemTime.Publish(0, 0);
        m_bufferIndex = 0;
        m_pRenderPin.store(pin);
        m_started.store(true);
        TellLatencies();
    }
    if (m_deleteAfterStream.load()) {
        // Released from a callback: nothing else may touch the object any more.
        delete this;
        return nullptr;
    }
    m_streamThreadId.store(0);
    return m_hStreamDone;
}

bool ASIOPellinor::PlayPin(CKsAudPin* const pin) {
    const AsioLong n = m_bufferSize.load();
    const ULONG bytes = static_cast<ULONG>(n) * 8;
    // Taken once: the conversion and the closing silence belong to the mode the device was told.
    const bool dsd = IsDsd();
    DeviceApi& device = Device();
    StreamMemory& mem = *m_pStream;

    // Packet events first, the stop event last: a wait's index names the packet that completed.
    HANDLE events[kStreamPackets + 1] = {};
    bool eventsOk = true;
    for (int i = 0; i < kStreamPackets; ++i) {
        StreamPacket& p = mem.packets[i];
        p = StreamPacket{};
        events[i] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        mem.events[i] = events[i];
        eventsOk = eventsOk && events[i];
        p.header.Size = sizeof(KSSTREAM_HEADER);
        p.header.PresentationTime.Numerator = 1;
        p.header.PresentationTime.Denominator = 1;
        p.header.FrameExtent = bytes;
        p.header.DataUsed = bytes;
        p.header.Data = mem.Slot(0);
        p.overlapped.hEvent = events[i];
    }
    events[kStreamPackets] = m_hStopEvent;
    // Silent words convert to themselves: zeros in PCM, the idle pattern in DSD.
    FillSilence(reinterpret_cast<std::uint32_t*>(mem.silence), n / 2, dsd);
    if (n % 2 != 0)
        mem.silence[n - 1] = static_cast<std::int32_t>(dsd ? 0xAAAAAAAAu : 0u);

    bool submitted[kStreamPackets] = {};
    int failures = 0;
    bool deviceFailed = !eventsOk;
    // Submits packet r with slot s; a write refused at once is marked done at once, so no wait
    // hangs on a request the device never took.
    auto submit = [&](int r, int s) {
        StreamPacket& p = mem.packets[r];
        p.header.Data = mem.Slot(s);
        submitted[r] = SUCCEEDED(pin->WriteData(&p.header, &p.overlapped));
        if (!submitted[r])
            SetEvent(events[r]);
    };
    // Judges the write of packet r once its event came.
    auto completed = [&](int r) {
        DWORD done = 0;
        if (submitted[r] && device.GetOverlappedResult(pin->GetHandle(), &mem.packets[r].overlapped,
                                                       &done, FALSE)) {
            m_bytesTaken.fetch_add(mem.packets[r].header.DataUsed);
            failures = 0;
        } else if (++failures >= kMaxWriteFailures) {
            deviceFailed = true;
        }
        submitted[r] = false;
    };

    int slot = 0;
    // The write of packet r came back: judge it, then send the packet again with the next slot
    // holding half h (-1: silence). False once the device counts as failed.
    auto resubmit = [&](int r, AsioLong half) {
        completed(r);
        if (deviceFailed)
            return false;
        slot = (slot + 1) % kStreamPackets;
        FillSlot(mem.Slot(slot), half, n, dsd);
        submit(r, slot);
        return true;
    };
    // A host may stop, dispose or recreate its buffers inside any switch: after that the
    // buffers the stream was started with are not read again.
    auto playing = [&] { return m_streamRequest.load() == StreamRequest::Run; };

    if (!deviceFailed) {
        doBufferSwitch();  // the host fills half 0
        if (playing())
            doBufferSwitch();  // and half 1
        if (playing()) {
            // Every fill of the host reaches the device once and in order: half 0 goes first.
            slot = 1;
            FillSlot(mem.Slot(slot), 0, n, dsd);
            submit(0, slot);
            doBufferSwitch();
        }
    }

    WAVEFORMATEXTENSIBLE wfx;
    FillWaveFormat(&wfx);
    const DWORD carrierRate = wfx.Format.nSamplesPerSec;
    const DWORD periodsMs = carrierRate ? 4000u * static_cast<DWORD>(n) / carrierRate : 0;
    // A device that takes no write for this long has stopped playing: the host hears of it as
    // of a device gone, instead of waiting in silence.
    const DWORD stallWaitMs = kStopWaitMs + periodsMs;
    // Late: more than two halves' length after the one before (plus the clock's millisecond).
    const DWORD lateMs = carrierRate ? 2000u * static_cast<DWORD>(n) / carrierRate + 1 : 0;
    DWORD lastWrite = timeGetTime();
    while (!deviceFailed && playing()) {
        const DWORD w = WaitForMultipleObjects(kStreamPackets + 1, events, FALSE, stallWaitMs);
        if (w == WAIT_OBJECT_0 + kStreamPackets) {
            // Set for a stop, or late by a host thread whose restart this thread already made:
            // only the request tells which.
            ResetEvent(m_hStopEvent);
            continue;
        }
        if (w >= WAIT_OBJECT_0 + kStreamPackets) {
            deviceFailed = true;
            break;
        }
        StreamProbe* probe = m_pProbe.load();
        const long long woke = probe ? SteadyNs() : 0;
        const DWORD back = timeGetTime();
        if (back - lastWrite > lateMs)
            m_lateSwitches.fetch_add(1);
        lastWrite = back;
        if (!resubmit(static_cast<int>(w - WAIT_OBJECT_0), m_bufferIndex))
            break;
        if (probe) {
            const int k = probe->count.load();
            if (k < StreamProbe::kCapacity) {
                probe->wokeNs[k] = woke;
                probe->sentNs[k] = SteadyNs();
                probe->count.store(k + 1);
            }
        }
        doBufferSwitch();
        if (m_sizeChanged.load() && playing())
            TellSizeChange();
    }

    // End of stream: the device hears it, then plays out a run of silence. Each wait is bounded,
    // so a device that stopped answering cannot hold the thread.
    pin->SetVendorMode(kVendorModeEndOfStream);
    const DWORD drainWaitMs = 250 + periodsMs;
    // A restart goes straight on with a new pin; a stream that never wrote has nothing to end.
    bool inFlight = false;
    for (bool s : submitted)
        inFlight = inFlight || s;
    const bool drain = inFlight && m_streamRequest.load() != StreamRequest::Restart;
    for (int d = 0; d < kStreamPackets && drain && eventsOk && !deviceFailed; ++d) {
        const DWORD w = WaitForMultipleObjects(kStreamPackets, events, FALSE, drainWaitMs);
        if (w >= WAIT_OBJECT_0 + kStreamPackets ||
            !resubmit(static_cast<int>(w - WAIT_OBJECT_0), -1))
            break;
    }
    // Nothing may stay in flight on memory the next stream reuses. Writes still out get their
    // time, then each way a device gives writes back is tried in turn, each bounded: a cancel,
    // the stop state, the close of the pin (closing the last handle cancels what is left).
    // True while a write is still out after at most `waitMs` in all.
    auto stillOut = [&](DWORD waitMs) {
        const DWORD t0 = timeGetTime();
        bool out = false;
        for (int r = 0; r < kStreamPackets; ++r) {
            if (!submitted[r])
                continue;
            const DWORD spent = timeGetTime() - t0;
            if (WaitForSingleObject(events[r], spent < waitMs ? waitMs - spent : 0) ==
                WAIT_OBJECT_0) {
                submitted[r] = false;
            } else {
                out = true;
            }
        }
        return out;
    };
    bool held = stillOut(drainWaitMs);
    if (held) {
        for (int r = 0; r < kStreamPackets; ++r) {
            if (submitted[r])
                device.CancelIoEx(pin->GetHandle(), &mem.packets[r].overlapped);
        }
        held = stillOut(kGiveBackWaitMs);
    }
    const bool stopNow = held;
    if (stopNow) {
        pin->SetState(KSSTATE_STOP);
        held = stillOut(kGiveBackWaitMs);
    }
    pin->ClosePin(!stopNow);
    if (held)
        held = stillOut(kGiveBackWaitMs);
    m_pRenderPin.store(nullptr);
    int kept = 0;
    for (int i = 0; i < kStreamPackets; ++i) {
        // A write the device still holds signals its event when it ends, if ever.
        if (held && submitted[i]) {
            ++kept;
        } else if (events[i]) {
            CloseHandle(events[i]);
            mem.events[i] = nullptr;
        }
    }
    if (held) {
        // The device may still write to the packets and slots: they are its for good, and the
        // next stream gets memory of its own.
        CKsIrpTarget::LeaveToDevice(m_pStream);
        m_pStream = nullptr;
        Trace(kTraceError,
              WSTR("ASIOPellinor::PlayPin %d writes left to the device after a cancel, a stop "
                   "and a close: %u bytes of stream memory and %d events kept for good"),
              kept, static_cast<unsigned>(sizeof(StreamMemory)), kept);
    }
    // The stream is over, unless a restart was asked for.
    StreamRequest run = StreamRequest::Run;
    m_streamRequest.compare_exchange_strong(run, StreamRequest::Stop);
    m_started.store(false);
    return deviceFailed;
}

}  // namespace ferox
