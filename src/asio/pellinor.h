// ASIOPellinor: the driver object behind the IASIO face that hosts call.
#pragma once

#include <atomic>
#include <cstdint>

#include "asio/asio.h"
#include "com/unknown.h"
#include "platform/ks.h"

namespace ferox {

class ASIOPellinor : public IASIO, public CUnknown {
public:
    ASIOPellinor(IUnknown* pUnkOuter, HRESULT* phr);
    ~ASIOPellinor() override;

    // The IASIO face's IUnknown belongs to the owner (the outer object when aggregated).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        return m_pOwner->QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_pOwner->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_pOwner->Release(); }
    HRESULT STDMETHODCALLTYPE InnerQueryInterface(REFIID riid, void** ppv) override;

    ASIOBool ASIO_METHOD init(void* sysHandle) override;
    void ASIO_METHOD getDriverName(char* name) override;
    AsioLong ASIO_METHOD getDriverVersion() override;
    void ASIO_METHOD getErrorMessage(char* string) override;
    ASIOError ASIO_METHOD start() override;
    ASIOError ASIO_METHOD stop() override;
    ASIOError ASIO_METHOD getChannels(AsioLong* numInputChannels, AsioLong* numOutputChannels) override;
    ASIOError ASIO_METHOD getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) override;
    ASIOError ASIO_METHOD getBufferSize(AsioLong* minSize, AsioLong* maxSize, AsioLong* preferredSize,
                                        AsioLong* granularity) override;
    ASIOError ASIO_METHOD canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError ASIO_METHOD getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError ASIO_METHOD setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError ASIO_METHOD getClockSources(ASIOClockSource* clocks, AsioLong* numSources) override;
    ASIOError ASIO_METHOD setClockSource(AsioLong reference) override;
    ASIOError ASIO_METHOD getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError ASIO_METHOD getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError ASIO_METHOD createBuffers(ASIOBufferInfo* bufferInfos, AsioLong numChannels,
                                        AsioLong bufferSize, ASIOCallbacks* callbacks) override;
    ASIOError ASIO_METHOD disposeBuffers() override;
    ASIOError ASIO_METHOD controlPanel() override;
    ASIOError ASIO_METHOD future(AsioLong selector, void* opt) override;
    ASIOError ASIO_METHOD outputReady() override;

    // The record handed to the render pin at start: 32-bit stereo PCM at the carrier rate.
    void FillWaveFormat(WAVEFORMATEXTENSIBLE* wfx) const;

    // Largest half a stream data slot carries, in 32-bit words.
    static constexpr AsioLong kMaxBufferWords = 2048;

private:
    bool IsDsd() const { return m_ioFormatType.load() == kASIODSDFormat; }
    void SetErrorMessage(const char* text);

    std::atomic<std::int32_t> m_ioFormatType{kASIOPCMFormat};
    std::atomic<double> m_sampleRate{44100.0};
    // Points at m_callbackTable while buffers exist: hosts may pass a table that lives on
    // their stack, so the driver keeps its own copy.
    std::atomic<ASIOCallbacks*> m_callbacks{nullptr};
    ASIOCallbacks m_callbackTable{};
    ASIOTime m_asioTime{};
    // Time-info flags raised by host threads, merged into m_asioTime by the next switch.
    std::atomic<std::uint32_t> m_pendingTimeFlags{0};
    std::atomic<std::uint64_t> m_systemTime{0};  // hi:lo of the latest switch, written whole
    std::int32_t* m_inputBuffers[2] = {nullptr, nullptr};
    std::atomic<std::int32_t*> m_outputBuffers[2] = {nullptr, nullptr};
    AsioLong m_inputChannels[2] = {0, 0};
    AsioLong m_outputChannels[2] = {0, 0};
    std::atomic<AsioLong> m_bufferSize{1024};
    const AsioLong m_inputLatency = 1024;
    const AsioLong m_outputLatency = 0;
    std::atomic<AsioLong> m_numInputs{0};
    std::atomic<AsioLong> m_numOutputs{0};
    AsioLong m_bufferIndex = 0;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_timeInfoMode{false};
    std::atomic<bool> m_timeCodeRead{false};
    char m_errorMessage[128] = {};
};

CUnknown* CreateDriverInstance(IUnknown* pUnkOuter, HRESULT* phr);

}  // namespace ferox
