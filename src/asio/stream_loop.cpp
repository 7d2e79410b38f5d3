// The streaming thread: keeps the writes the safety margin asks for in flight at the render pin,
// hands it every half the host fills, once and in order, and calls the host back as the device
// takes them.

#include <algorithm>
#include <utility>
#include <chrono>
#include <cmath>

#include "asio/convert.h"
#include "asio/pellinor.h"
#include "asio/priority.h"
#include "asio/settings.h"
#include "asio/stream_memory.h"
#include "common/trace.h"
#include "ks/audio_filter.h"
#include "platform/device.h"
#include "platform/module_thread.h"

namespace ferox {

namespace {

// How long a device may take to give a write back after each way of asking for it.
constexpr DWORD kGiveBackWaitMs = 500;
// Writes that fail in a row before the device counts as gone.
constexpr int kMaxWriteFailures = 4;
// Silent halves written after the end of stream, so the DAC plays out what it holds.
constexpr int kSilentTail = 16;

long long SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::uint64_t SystemTimeNow() {
    // timeGetTime has millisecond resolution; the stamp is in nanoseconds.
    return static_cast<std::uint64_t>(timeGetTime()) * 1000000u;
}

template <typename HiLo>
void StoreSplit(HiLo* out, std::uint64_t value) {
    out->hi = static_cast<AsioULong>(value >> 32);
    out->lo = static_cast<AsioULong>(value);
}

}  // namespace

int ASIOPellinor::QueuedHalves(AsioLong words, double rate, bool dsd) const {
    const bool ready = m_outputReadyUsed.load();
    const AsioLong margin = m_margin.load();
    // Minimal: one write in flight; a host that says when its half is done fills it while the
    // device has only its own buffer.
    int halves = ready ? 0 : 1;
    const double halfMs = BufferMilliseconds(words, rate, dsd);
    if (margin > 0 && halfMs > 0)
        halves = std::max(1, static_cast<int>(std::ceil(margin / halfMs - 1e-9)));
    return std::min(halves, kMaxWritesDeep - (ready ? 1 : 0));
}

void ASIOPellinor::DropHostHalves() {
    m_finalHalf = m_fillingHalf = -1;
    // Once only: after that the buffers are the host's again, to fill for its next start.
    if (!std::exchange(m_halvesOpen, false))
        return;
    // A host that does not fill its buffers before the next start sends silence then, not what
    // it played last: its half 1 is the first audio of a start.
    if (m_callbacks.load() && m_halvesGeneration == m_buffersMade.load()) {
        const AsioLong n = m_bufferSize.load();
        for (AsioLong i = 0; i < m_numOutputs.load(); ++i)
            FillSilence(reinterpret_cast<std::uint32_t*>(m_outputBuffers[i].load()), n, IsDsd());
    }
}

bool ASIOPellinor::doBufferSwitch() {
    ASIOCallbacks* callbacks = m_callbacks.load();
    if (!m_started.load() || !callbacks || m_streamRequest.load() != StreamRequest::Run)
        return false;
    const std::uint64_t now = SystemTimeNow();
    // The first switch of a stream is at 0; each one a half further.
    const std::uint64_t half = static_cast<std::uint64_t>(m_bufferSize.load()) << (IsDsd() ? 5 : 0);
    const std::uint64_t position = m_switchCount * half;
    ++m_switchCount;
    m_systemTime.Publish(position, now);
    m_halfReady.store(false);
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
    return true;
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
                ResetEvent(m_hCallbacksOver);
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
        if (!m_streamRequest.compare_exchange_strong(restart, StreamRequest::Run)) {
            DropHostHalves();  // stopped while the new pin opened: nothing can send them
            break;
        }
        // Same buffers, new pin: the host's switches go on after a short gap, and the halves it
        // filled meanwhile go first.
        ASIOError error = ASE_OK;
        pin = OpenStreamPin(&error);
        if (!pin) {
            // The host was told it plays: it hears that it does not, with the error text set.
            // A rate changed meanwhile gets its own try.
            StreamRequest run = StreamRequest::Run;
            m_streamRequest.compare_exchange_strong(run, StreamRequest::Stop);
            DropHostHalves();
            failed = true;
            continue;
        }
        m_pRenderPin.store(pin);
        m_started.store(true);
        TellLatencies();
    }
    SetEvent(m_hCallbacksOver);
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
    const bool ready = m_outputReadyUsed.load();
    // Writes in flight while the host fills a half, and at most.
    const int queued = QueuedHalves(n, m_sampleRate.load(), dsd);
    const int deep = queued + (ready ? 1 : 0);
    m_streamHalves.store(queued + (ready ? 0 : 1));
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
    // The host's halves are read only while they are the buffers they were filled in.
    auto hostHalves = [&] {
        return m_callbacks.load() && m_halvesGeneration == m_buffersMade.load();
    };
    if (!hostHalves())
        m_finalHalf = m_fillingHalf = -1;

    bool busy[kStreamPackets] = {};      // awaiting its event
    bool accepted[kStreamPackets] = {};  // the device took the request
    DWORD sentAt[kStreamPackets] = {};   // timeGetTime of the write
    int inFlight = 0;
    int failures = 0;
    bool deviceFailed = !eventsOk;
    int slot = 0;
    long long sentNs = 0;  // when the latest write went, for the probe
    // Sends half h (-1: silence) on a free packet; a write refused at once is marked done at
    // once, so no wait hangs on a request the device never took.
    auto submit = [&](AsioLong half) {
        int r = 0;
        while (busy[r])
            ++r;
        slot = (slot + 1) % kStreamPackets;
        BYTE* data = mem.Slot(slot);
        if (half >= 0)
            FillSlot(data, half, n, dsd);
        else
            FillSilence(reinterpret_cast<std::uint32_t*>(data), n, dsd);
        StreamPacket& p = mem.packets[r];
        p.header.Data = data;
        busy[r] = true;
        sentAt[r] = timeGetTime();
        ++inFlight;
        accepted[r] = SUCCEEDED(pin->WriteData(&p.header, &p.overlapped));
        if (!accepted[r])
            SetEvent(events[r]);
        if (m_pProbe.load())
            sentNs = SteadyNs();
    };
    // Judges the write of packet r once its event came.
    auto completed = [&](int r) {
        DWORD done = 0;
        if (accepted[r] && device.GetOverlappedResult(pin->GetHandle(), &mem.packets[r].overlapped,
                                                      &done, FALSE)) {
            m_bytesTaken.fetch_add(mem.packets[r].header.DataUsed);
            failures = 0;
        } else if (++failures >= kMaxWriteFailures) {
            deviceFailed = true;
        }
        busy[r] = false;
        accepted[r] = false;
        --inFlight;
    };
    // A host may stop, dispose or recreate its buffers inside any switch: after that the
    // buffers the stream was started with are not read again.
    auto playing = [&] { return m_streamRequest.load() == StreamRequest::Run; };
    // Sends what the host is done with while the queue has room, and asks for the next half
    // while the device holds no more than the margin.
    auto pump = [&] {
        while (!deviceFailed) {
            if (m_fillingHalf >= 0 && m_finalHalf < 0 && m_halfReady.exchange(false)) {
                m_finalHalf = m_fillingHalf;
                m_fillingHalf = -1;
            }
            if (m_finalHalf >= 0 && inFlight < std::max(deep, 1) && hostHalves()) {
                submit(m_finalHalf);
                m_finalHalf = -1;
                continue;
            }
            if (m_finalHalf >= 0 || inFlight > queued || !playing())
                return;
            const AsioLong half = m_bufferIndex;
            if (!doBufferSwitch())
                return;
            // The half of the switch before is the host's no more.
            m_finalHalf = m_fillingHalf;
            m_fillingHalf = half;
        }
    };

    if (!deviceFailed)
        pump();

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
    int overloadTold = -1;  // whether the host takes the message; -1 until asked

    while (!deviceFailed && playing()) {
        const DWORD w = WaitForMultipleObjects(kStreamPackets + 1, events, FALSE, stallWaitMs);
        if (w == WAIT_OBJECT_0 + kStreamPackets) {
            // A stop, a restart, or a half the host said is ready: the request and the halves
            // tell which.
            ResetEvent(m_hStopEvent);
            pump();
            continue;
        }
        if (w >= WAIT_OBJECT_0 + kStreamPackets) {
            deviceFailed = true;
            break;
        }
        StreamProbe* probe = m_pProbe.load();
        const long long woke = probe ? SteadyNs() : 0;
        const DWORD back = timeGetTime();
        const DWORD gap = back - lastWrite;
        if (gap > lateMs)
            m_lateSwitches.fetch_add(1);
        lastWrite = back;
        // Ran dry: this wake came later than the writes in flight last, so the device was left
        // with nothing of ours (timed, not asked: under Wine every look at an event is a trip
        // through the wineserver).
        const int before = inFlight;
        const bool overload =
            carrierRate &&
            gap > static_cast<DWORD>(before + 1) * 1000u * static_cast<DWORD>(n) / carrierRate + 1;
        completed(static_cast<int>(w - WAIT_OBJECT_0));
        // A device that keeps one write while it gives later ones back has failed as surely as
        // one that takes none.
        for (int r = 0; r < kStreamPackets; ++r)
            deviceFailed = deviceFailed || (busy[r] && back - sentAt[r] > stallWaitMs);
        sentNs = 0;
        pump();
        if (probe) {
            const int k = probe->count.load();
            if (k < StreamProbe::kCapacity) {
                probe->wokeNs[k] = woke;
                probe->sentNs[k] = sentNs ? sentNs : SteadyNs();
                probe->count.store(k + 1);
            }
        }
        if (overload && playing()) {
            m_overloads.fetch_add(1);
            ASIOCallbacks* callbacks = m_callbacks.load();
            if (overloadTold < 0 && callbacks && callbacks->asioMessage)
                overloadTold =
                    callbacks->asioMessage(kAsioSelectorSupported, kAsioOverload, nullptr, nullptr)
                        ? 1
                        : 0;
            if (overloadTold > 0 && callbacks && playing())
                callbacks->asioMessage(kAsioOverload, 0, nullptr, nullptr);
        }
        if (m_sizeChanged.load() && playing())
            TellSizeChange();
    }

    // Every half the host filled before its stop goes to the device before stop returns; a
    // restart carries them to the next pin.
    const bool restart = m_streamRequest.load() == StreamRequest::Restart;
    if (!restart) {
        for (AsioLong* half : {&m_finalHalf, &m_fillingHalf}) {
            if (*half >= 0 && !deviceFailed && hostHalves())
                submit(*half);
            *half = -1;
        }
        DropHostHalves();
        if (!deviceFailed)
            SetEvent(m_hCallbacksOver);
    }
    m_streamHalves.store(-1);

    // End of stream: the device hears it, then plays out a run of silence, owned by this
    // thread alone. Each wait is bounded, so a device that stopped answering cannot hold it.
    pin->SetVendorMode(kVendorModeEndOfStream);
    const DWORD drainWaitMs = 250 + periodsMs;
    // A restart goes straight on with a new pin; a stream that never wrote has nothing to end.
    // Cut short for whoever waits for the end: the halves in flight still play.
    const bool drain = inFlight > 0 && !restart;
    for (int d = 0; d < kSilentTail && drain && eventsOk && !deviceFailed && !m_hurryTail.load();
         ++d) {
        const DWORD w = WaitForMultipleObjects(kStreamPackets, events, FALSE, drainWaitMs);
        if (w >= WAIT_OBJECT_0 + kStreamPackets)
            break;
        completed(static_cast<int>(w - WAIT_OBJECT_0));
        if (deviceFailed)
            break;
        submit(-1);
    }
    // Nothing may stay in flight on memory the next stream reuses. Writes still out get their
    // time, then each way a device gives writes back is tried in turn, each bounded: a cancel,
    // the stop state, the close of the pin (closing the last handle cancels what is left).
    // True while a write is still out after at most `waitMs` in all.
    auto stillOut = [&](DWORD waitMs) {
        const DWORD t0 = timeGetTime();
        bool out = false;
        for (int r = 0; r < kStreamPackets; ++r) {
            if (!busy[r])
                continue;
            const DWORD spent = timeGetTime() - t0;
            if (WaitForSingleObject(events[r], spent < waitMs ? waitMs - spent : 0) ==
                WAIT_OBJECT_0) {
                busy[r] = false;
            } else {
                out = true;
            }
        }
        return out;
    };
    bool held = stillOut(drainWaitMs);
    if (held) {
        for (int r = 0; r < kStreamPackets; ++r) {
            if (busy[r])
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
        if (held && busy[i]) {
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
