#include "asio/pellinor.h"

#include <cstdio>
#include <cstring>

#include "asio/driver_id.h"
#include "asio/settings.h"
#include "ks/audio_filter.h"
#include "platform/module_thread.h"

namespace ferox {

namespace {
constexpr char kDriverName[] = "Pellinor ASIO 1.03";
}  // namespace

CUnknown* CreateDriverInstance(IUnknown* pUnkOuter, HRESULT* phr) {
    return new ASIOPellinor(pUnkOuter, phr);
}

ASIOPellinor::ASIOPellinor(IUnknown* pUnkOuter, HRESULT* phr)
    : CUnknown(WSTR("ASIOPellinor"), pUnkOuter, phr), m_bufferSize(UserBufferSize()) {
    m_offeredSize.store(m_bufferSize.load());
    m_storedSize.store(m_bufferSize.load());
    m_userMargin.store(UserMargin());
    m_margin.store(m_userMargin.load());
    // As a hardware driver's would, the DAC keeps the rate the last host set.
    if (const double rate = UserSampleRate(); rate > 0)
        m_sampleRate.store(rate);
}

ASIOPellinor::~ASIOPellinor() {
    m_settingsWatch.Stop();
    EndStream();
    // A rate set from a callback by a host that then released the object there: its stream is
    // over, whichever thread this is.
    KeepRate();
    disposeBuffers();
    // Deleted by its own streaming thread, whose stream is over: only the handles are left.
    if (IsStreamThread())
        CloseStreamHandles();
    // At the process's exit the device's handles are left to Windows: closing them asks the
    // device, whose own threads are gone.
    if (!ProcessEnding()) {
        delete m_pRetiredFilter;
        delete m_pFilter.load();
    }
    Free(m_pStream);
}

ULONG STDMETHODCALLTYPE ASIOPellinor::InnerRelease() {
    const LONG n = m_refCount.fetch_sub(1) - 1;
    if (n > 0 && n == m_panelsOpen.load() && !m_hostLeft.exchange(true)) {
        // The window's reference is all that is left. Held while this runs, so that the window
        // closing meanwhile cannot delete the object under it.
        m_refCount.fetch_add(1);
        HostLeft();
        InnerRelease();
        return 0;  // to the host, the object is gone
    }
    if (n != 0)
        return static_cast<ULONG>(n);
    // Guards against a reference taken and dropped again while the object goes.
    m_refCount.store(1);
    if (!IsStreamThread()) {
        delete this;
        return 0;
    }
    m_callbacks.store(nullptr);  // the host is gone: no callback follows
    stop();
    m_deleteAfterStream.store(true);
    return 0;
}

void ASIOPellinor::HostLeft() {
    m_callbacks.store(nullptr);
    if (IsStreamThread()) {
        // This thread cannot wait for its own stream: the window's release ends it.
        stop();
    } else {
        // The DAC is free for whatever the host opens next: the stream's tail, which plays the
        // filter's pin, is over before the filter goes.
        EndStream();
        disposeBuffers();
        DeleteFilter(m_pFilter.exchange(nullptr));
    }
#ifdef _WIN32
    if (HWND window = static_cast<HWND>(m_panelWindow.load()))
        PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
#endif
}

bool ASIOPellinor::TellHost(AsioLong selector) {
    ASIOCallbacks* callbacks = m_callbacks.load();
    if (!callbacks || !callbacks->asioMessage ||
        !callbacks->asioMessage(kAsioSelectorSupported, selector, nullptr, nullptr)) {
        return false;
    }
    callbacks->asioMessage(selector, 0, nullptr, nullptr);
    return true;
}

HRESULT STDMETHODCALLTYPE ASIOPellinor::InnerQueryInterface(REFIID riid, void** ppv) {
    // Hosts ask for the class identifier itself: IASIO has no interface identifier of its own.
    if (IsEqualGUID(riid, kClsidFeroxAsio))
        return ReturnInterface(static_cast<IASIO*>(this), ppv);
    return CUnknown::InnerQueryInterface(riid, ppv);
}

void ASIOPellinor::SetErrorMessage(const char* text) {
    std::snprintf(m_errorMessage, sizeof m_errorMessage, "%s", text);
}

void ASIO_METHOD ASIOPellinor::getDriverName(char* name) {
    if (name)
        std::memcpy(name, kDriverName, sizeof kDriverName);
}

AsioLong ASIO_METHOD ASIOPellinor::getDriverVersion() {
    return 2;
}

void ASIO_METHOD ASIOPellinor::getErrorMessage(char* string) {
    if (string)
        std::memcpy(string, m_errorMessage, std::strlen(m_errorMessage) + 1);
}

ASIOError ASIO_METHOD ASIOPellinor::getChannels(AsioLong* numInputChannels,
                                                AsioLong* numOutputChannels) {
    if (!numInputChannels || !numOutputChannels)
        return ASE_InvalidParameter;
    *numInputChannels = 2;
    *numOutputChannels = 2;
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) {
    if (!inputLatency || !outputLatency)
        return ASE_InvalidParameter;
    // In the host's samples: what one half holds, and on output also what the device holds
    // beyond it.
    *inputLatency = IsDsd() ? m_bufferSize.load() << 5 : m_bufferSize.load();
    LearnDeviceLatency();
    *outputLatency = OutputLatency();
    m_latencyReported.store(*outputLatency);
    return ASE_OK;
}

AsioLong ASIOPellinor::OutputLatency() const {
    const bool dsd = IsDsd();
    const AsioLong words = m_bufferSize.load();
    const double rate = m_sampleRate.load();
    // The halves queued at the device while the host fills one, and the one it filled before,
    // which waits in its buffer for the next switch unless it says outputReady.
    int halves = m_streamHalves.load();
    if (halves < 0)
        halves = QueuedHalves(words, rate, dsd) + (m_outputReadyUsed.load() ? 0 : 1);
    const AsioLong size = dsd ? words << 5 : words;
    const double device = static_cast<double>(m_deviceLatency.load()) * 1e-7 * rate;
    return size * halves + static_cast<AsioLong>(device + 0.5);
}

void ASIOPellinor::TellLatencies() {
    // Hosts restart their audio on this message: only a value they read and that moved counts.
    const AsioLong now = OutputLatency();
    const AsioLong read = m_latencyReported.load();
    if (read < 0 || read == now)
        return;
    m_latencyReported.store(now);
    TellHost(kAsioLatenciesChanged);
}

ASIOError ASIO_METHOD ASIOPellinor::getBufferSize(AsioLong* minSize, AsioLong* maxSize,
                                                  AsioLong* preferredSize, AsioLong* granularity) {
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return ASE_InvalidParameter;
    // In DSD mode a word carries 32 one-bit samples.
    const AsioLong size = IsDsd() ? m_offeredSize.load() << 5 : m_offeredSize.load();
    *minSize = size;
    *maxSize = size;
    *preferredSize = size;
    *granularity = 0;
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::getClockSources(ASIOClockSource* clocks, AsioLong* numSources) {
    if (!numSources)
        return ASE_InvalidParameter;
    if (*numSources >= 1) {
        if (!clocks)
            return ASE_InvalidParameter;
        *clocks = ASIOClockSource{};
        clocks->index = 0;
        clocks->associatedChannel = -1;
        clocks->associatedGroup = -1;
        clocks->isCurrentSource = ASIOTrue;
        std::snprintf(clocks->name, sizeof clocks->name, "Internal");
    }
    *numSources = 1;
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::setClockSource(AsioLong reference) {
    if (reference != 0)
        return ASE_NotPresent;
    m_pendingTimeFlags.fetch_or(kClockSourceChanged);
    return ASE_OK;
}

ASIOError ASIO_METHOD ASIOPellinor::getChannelInfo(ASIOChannelInfo* info) {
    if (!info)
        return ASE_InvalidParameter;
    if (info->channel < 0 || info->channel >= 2)
        return ASE_InvalidParameter;
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    info->type = IsDsd() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    const bool input = info->isInput != 0;
    const AsioLong count = input ? m_numInputs.load() : m_numOutputs.load();
    const AsioLong* channels = input ? m_inputChannels : m_outputChannels;
    for (AsioLong i = 0; i < count; ++i) {
        if (channels[i] == info->channel)
            info->isActive = ASIOTrue;
    }
    std::snprintf(info->name, sizeof info->name, " channel %d", static_cast<int>(info->channel));
    return ASE_OK;
}

#ifndef _WIN32
// The settings window is a Windows one (settings_window.cpp).
ASIOError ASIO_METHOD ASIOPellinor::controlPanel() {
    return ASE_NotPresent;
}
#endif

ASIOError ASIO_METHOD ASIOPellinor::future(AsioLong selector, void* opt) {
    switch (selector) {
        case kAsioEnableTimeCodeRead:
            m_timeCodeRead.store(true);
            return ASE_SUCCESS;
        case kAsioDisableTimeCodeRead:
            m_timeCodeRead.store(false);
            return ASE_SUCCESS;
        case kAsioSetInputMonitor:
        case kAsioCanInputMonitor:
        case kAsioCanTimeInfo:
        case kAsioCanTimeCode:
        case kAsioCanReportOverload:
            return ASE_SUCCESS;
        case kAsioSetIoFormat:
            if (!opt)
                return ASE_InvalidParameter;
            {
                const std::int32_t type = static_cast<ASIOIoFormat*>(opt)->FormatType;
                // The device was told the mode when the stream started and keeps it to its end.
                if (type != m_ioFormatType.load() && m_streamRequest.load() != StreamRequest::Stop)
                    return ASE_InvalidMode;
                m_ioFormatType.store(type);
                return ASE_SUCCESS;
            }
        case kAsioGetIoFormat:
            if (!opt)
                return ASE_InvalidParameter;
            static_cast<ASIOIoFormat*>(opt)->FormatType = m_ioFormatType.load();
            return ASE_SUCCESS;
        case kAsioCanDoIoFormat:
            if (!opt)
                return ASE_InvalidParameter;
            return ASE_SUCCESS;
        default:
            return ASE_NotPresent;
    }
}

ASIOError ASIO_METHOD ASIOPellinor::outputReady() {
    // From now on the host's half goes to the device as soon as it says so. Said from a
    // callback, the streaming thread sees it as the callback returns; from elsewhere it is woken.
    m_outputReadyUsed.store(true);
    m_halfReady.store(true);
    if (!IsStreamThread() && m_streamRequest.load() == StreamRequest::Run && m_hStopEvent)
        SetEvent(m_hStopEvent);
    return ASE_OK;
}

}  // namespace ferox
