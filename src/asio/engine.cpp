// The streaming engine's host side: start opens the render pin and starts the streaming thread
// (stream_loop.cpp), stop ends the host's part of the stream at once, and whatever frees what the
// thread uses waits for its end.

#include "asio/pellinor.h"
#include "asio/settings.h"
#include "asio/stream_memory.h"
#include "common/trace.h"
#include "ks/audio_filter.h"
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

constexpr DWORD kThreadEndGraceMs = 250;

// ASIOSamples and ASIOTimeStamp: a 64-bit count as two 32-bit halves.
template <typename HiLo>
void StoreSplit(HiLo* out, std::uint64_t value) {
    out->hi = static_cast<AsioULong>(value >> 32);
    out->lo = static_cast<AsioULong>(value);
}

}  // namespace

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
    KeepDeviceLatency(pin);
    *error = ASE_OK;
    return pin;
}

void ASIOPellinor::KeepDeviceLatency(CKsAudPin* pin) {
    // Kept from the last pin that answered: hosts ask for latencies when no pin exists.
    KSTIME latency{};
    if (SUCCEEDED(pin->GetLatency(&latency)) && latency.Denominator != 0 && latency.Time >= 0 &&
        latency.Time <= kMaxDeviceLatency) {
        const double t =
            static_cast<double>(latency.Time) * latency.Numerator / latency.Denominator;
        if (t <= static_cast<double>(kMaxDeviceLatency))
            m_deviceLatency.store(static_cast<LONGLONG>(t));
    }
}

void ASIOPellinor::LearnDeviceLatency() {
    // Hosts take the latencies once, before their first start: the device's part must be in
    // them then. A DAC another program plays gives no pin; its part comes with the first start.
    if (m_latencyLearned || m_deviceLatency.load() != 0 || IsStreamThread() ||
        m_streamRequest.load() != StreamRequest::Stop || m_hStreamThread)
        return;
    m_latencyLearned = true;
    m_filterUsers.fetch_add(1);
    if (CKsAudRenFilter* filter = m_pFilter.load()) {
        WAVEFORMATEXTENSIBLE wfx;
        FillWaveFormat(&wfx);
        if (CKsAudPin* pin = filter->CreateRenderPin(&wfx.Format, FALSE)) {
            KeepDeviceLatency(pin);
            pin->ClosePin();
        }
    }
    m_filterUsers.fetch_sub(1);
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
        PrepareHalves();
        m_hurryTail.store(false);
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
    m_margin.store(m_userMargin.load());

    PrepareHalves();
    m_started.store(false);
    ASIOError error = ASE_OK;
    CKsAudPin* pin = OpenStreamPin(&error);
    if (!pin)
        return error;
    // The host may have taken the latencies before any pin could tell the device's part.
    TellLatencies();

    m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hStreamDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hCallbacksOver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_pRenderPin.store(pin);
    m_streamRequest.store(StreamRequest::Run);
    m_bytesTaken.store(0);
    m_lateSwitches.store(0);
    m_overloads.store(0);
    m_hurryTail.store(false);
    m_started.store(true);  // before the thread: its priming switches must reach the host
    if (m_hStopEvent && m_hStreamDone && m_hCallbacksOver) {
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
    KeepRate();
    if (m_hStopEvent)
        SetEvent(m_hStopEvent);
    if (!m_hStreamThread)
        return ASE_OK;
    // The end of stream and the silent tail go on without the host; whatever would free what
    // the thread uses waits for its end (EndStream).
    const HANDLE ends[] = {m_hCallbacksOver, m_hStreamDone, m_hStreamThread};
    // A thread already done (a stream the device ended) leaves nothing open behind it.
    if (WaitForMultipleObjects(3, ends, FALSE, kStopWaitMs) != WAIT_TIMEOUT && StreamEnded(0))
        CloseStreamHandles();
    return ASE_OK;
}

void ASIOPellinor::EndCallbacks() {
    stop();
    if (IsStreamThread())
        return;
    while (m_hStreamThread) {
        const HANDLE ends[] = {m_hCallbacksOver, m_hStreamDone, m_hStreamThread};
        const DWORD w = WaitForMultipleObjects(3, ends, FALSE, kStopWaitMs);
        if (w != WAIT_TIMEOUT && StreamEnded(0))
            CloseStreamHandles();
        else if (w == WAIT_OBJECT_0)
            return;
    }
}

bool ASIOPellinor::WaitStreamOver(DWORD ms) {
    if (!m_hStreamThread || IsStreamThread())
        return !m_hStreamThread;
    const HANDLE ends[] = {m_hStreamDone, m_hStreamThread};
    return WaitForMultipleObjects(2, ends, FALSE, ms) < WAIT_OBJECT_0 + 2;
}

void ASIOPellinor::PrepareHalves() {
    // The host filled half 1 before start: it is the first audio, and the first switch asks for
    // half 0 while it plays.
    m_systemTime.Publish(0, 0);
    m_switchCount = 0;
    m_bufferIndex = 0;
    m_finalHalf = 1;
    m_fillingHalf = -1;
    m_halvesOpen = true;
    m_halvesGeneration = m_buffersMade.load();
}

void ASIOPellinor::EndStream() {
    stop();
    if (IsStreamThread())
        return;
    m_hurryTail.store(true);
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
    if (m_hCallbacksOver)
        CloseHandle(m_hCallbacksOver);
    m_hStreamThread = nullptr;
    m_hStopEvent = nullptr;
    m_hStreamDone = nullptr;
    m_hCallbacksOver = nullptr;
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

void ASIOPellinor::ReadSettings() {
    m_userMargin.store(UserMargin());
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

}  // namespace ferox
