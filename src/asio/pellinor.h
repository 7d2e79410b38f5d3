// ASIOPellinor: the driver object behind the IASIO face that hosts call.
#pragma once

#include <atomic>
#include <cstdint>

#include "asio/asio.h"
#include "asio/convert.h"
#include "asio/settings.h"
#include "asio/switch_stamp.h"
#include "com/unknown.h"
#include "platform/ks.h"

namespace ferox {

class CKsAudPin;
class CKsAudRenFilter;

// When the streaming thread saw each write come back and when it had sent the next one, in
// steady-clock nanoseconds: the diagnostic's view of a stream. Only the streaming thread writes
// it, into room given beforehand; it is read once the stream is over.
struct StreamProbe {
    static constexpr int kCapacity = 8192;
    long long wokeNs[kCapacity];
    long long sentNs[kCapacity];
    std::atomic<int> count{0};
};

// One write request of the stream: the header the device reads and the request's completion.
struct StreamPacket {
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
};

// What the settings window shows of the driver, read on the host's thread.
struct DriverStatus {
    enum class Dac { Present, NotFound, InUse };
    Dac dac = Dac::NotFound;
    bool streaming = false;  // this host's stream runs
    double sampleRate = 0;
    bool dsd = false;
    AsioLong bufferSize = 0;  // host samples: the stream's, or the size offered
    double outputLatencyMs = 0;
    unsigned lateSwitches = 0;  // since the stream started
    unsigned overloads = 0;     // times the device ran out of queued audio, this stream
    AsioLong margin = 0;        // the user's safety margin in ms (0: minimal)
};

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
    // The last release may come from inside a callback, on the streaming thread, which cannot
    // wait for its own end: the thread then deletes the object once its stream is over. The
    // settings window holds a reference while it is open: the host's last release lets the DAC
    // go and closes the window, which deletes the object as it returns.
    ULONG STDMETHODCALLTYPE InnerRelease() override;

    ASIOBool ASIO_METHOD init(void* sysHandle) override;
    void ASIO_METHOD getDriverName(char* name) override;
    AsioLong ASIO_METHOD getDriverVersion() override;
    void ASIO_METHOD getErrorMessage(char* string) override;
    ASIOError ASIO_METHOD start() override;
    ASIOError ASIO_METHOD stop() override;
    ASIOError ASIO_METHOD getChannels(AsioLong* numInputChannels,
                                      AsioLong* numOutputChannels) override;
    ASIOError ASIO_METHOD getLatencies(AsioLong* inputLatency, AsioLong* outputLatency) override;
    ASIOError ASIO_METHOD getBufferSize(AsioLong* minSize, AsioLong* maxSize,
                                        AsioLong* preferredSize, AsioLong* granularity) override;
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
    void FillWaveFormat(WAVEFORMATEXTENSIBLE* wfx, ASIOSampleRate sampleRate) const;

    // Timings of the next streams go there (null: none kept).
    void SetStreamProbe(StreamProbe* probe) { m_pProbe.store(probe); }
    // For the settings window. ReadStatus asks the device whether it is there, and whether
    // another program plays it, when this host does not.
    DriverStatus ReadStatus();
    // A choice the window stored: offered from now on (a running stream hears of it through
    // the settings watch, as of a change made elsewhere).
    void BufferSizeSaved(AsioLong size) { m_offeredSize.store(size); }
    // Whether the host has let go of the object while a window holds it: the window closes.
    bool HostHasLeft() const { return m_hostLeft.load(); }
    // Whether the end of the latest stream and its silent tail, which go on after stop, are
    // over within `ms`. On a host thread.
    bool WaitStreamOver(DWORD ms);
    // For an object that only looks at the DAC: the rates it sets are not kept for the user.
    void KeepNoRates() { m_keepsRates = false; }

    static constexpr int kStreamPackets = 16;
    // Writes in flight at most while the host plays: two packets stay free for the halves the
    // host filled before stop, which always go.
    static constexpr int kMaxWritesDeep = kStreamPackets - 2;
    static constexpr DWORD kStreamSlotBytes = 16384;
    // Largest half a stream data slot carries, in 32-bit words.
    static constexpr AsioLong kMaxBufferWords = kStreamSlotBytes / 8;

  private:
    // What the streaming thread is asked to do next: play on, end, or end this pin and play on
    // with a new one (a rate change, or start called from a callback).
    enum class StreamRequest { Run, Stop, Restart };

    bool IsDsd() const { return m_ioFormatType.load() == kASIODSDFormat; }
    void SetErrorMessage(const char* text);

    // What the writes of a stream point the device at (engine.cpp).
    struct StreamMemory;

    // Streaming engine.
    static DWORD WINAPI StreamThread(LPVOID self);
    // False without memory for it; a stream that left its memory to the device gets new.
    bool HaveStreamMemory();
    // The event that says the thread is done with the object; null once it deleted the object.
    HANDLE RunStream();
    // Plays one pin until stop, restart or device failure, then closes it; true on failure.
    bool PlayPin(CKsAudPin* pin);
    // The render pin for the current rate and mode, running; null with the error text set.
    CKsAudPin* OpenRenderPin(ASIOError* error);
    // OpenRenderPin, and the stream's memory for it: null (and *error) when either cannot be had.
    CKsAudPin* OpenStreamPin(ASIOError* error);
    bool IsStreamThread() const;
    // Calls the host for the half m_bufferIndex names; false when no callback was made (the
    // stream is stopping or the buffers are gone).
    bool doBufferSwitch();
    void FillSlot(BYTE* slot, AsioLong half, AsioLong n, bool dsd) const;
    // The output latency getLatencies answers now, in the host's samples.
    AsioLong OutputLatency() const;
    // Halves kept queued at the device while the host fills one, for the margin and the
    // half's length (at least 1).
    int QueuedHalves(AsioLong words, double rate, bool dsd) const;
    // Keeps the latency a pin tells, if it is believable.
    void KeepDeviceLatency(CKsAudPin* pin);
    // Learns the device's latency from a pin made for the purpose, once per object, when no
    // pin has told it yet.
    void LearnDeviceLatency();
    // Sends the message if the host says it takes it; whether it was sent.
    bool TellHost(AsioLong selector);
    // Sends kAsioLatenciesChanged when the output latency differs from what the host last read.
    void TellLatencies();
    // Whether the open filter (if any) has a pin for the format; safe against init replacing
    // the filter on the streaming thread.
    bool FilterTakes(const WAVEFORMATEX* pwfx);
    // Deletes a filter once no host thread is still asking it.
    void DeleteFilter(CKsAudRenFilter* filter);
    // Carrier bytes the device took, in the host's samples of the current mode.
    std::uint64_t HostSamples(ULONGLONG bytes) const;
    // Returns once no streaming thread uses the object any more, whatever the device does (the
    // thread may still be in its exit); on the streaming thread itself it only asks the stream
    // to end.
    void EndStream();
    // Whether the streaming thread is done with the object within `ms`: it said so, or it no
    // longer exists (ended by the process's exit, which never lets it say so).
    bool StreamEnded(DWORD ms);
    // Returns once no callback of the stream can come and every half the host filled is at the
    // device: the end of stream and the silent tail may still be going on.
    void EndCallbacks();
    // A fresh start's halves: the host's pre-fill of half 1 goes first.
    void PrepareHalves();
    // Forgets the host's halves not sent, and silences its buffers while they are the stream's.
    void DropHostHalves();
    // Stores the rate a host set for the next objects, on a thread that may wait.
    void KeepRate();
    void CloseStreamHandles();
    // The user's stored size as it is now, on the watch's thread or a host's: a change is
    // offered from now on and left for the stream to tell.
    void ReadSettings();
    static void SettingsKeyChanged(void* self) { static_cast<ASIOPellinor*>(self)->ReadSettings(); }
    // On the streaming thread, at a zero-time look: the host whose stream runs at another size
    // than the changed one is asked to rebuild, once per change.
    void TellSizeChange();
    // The host let go of the object while the settings window holds it: no callback follows,
    // the DAC is let go, and the window closes.
    void HostLeft();

    std::atomic<std::int32_t> m_ioFormatType{kASIOPCMFormat};
    std::atomic<double> m_sampleRate{44100.0};
    // Measured by the first start off the streaming thread; the rule's until then.
    std::atomic<ConvertChoice> m_convertChoice{RuleConvertChoice()};
    // Points at m_callbackTable while buffers exist: hosts may pass a table that lives on
    // their stack, so the driver keeps its own copy.
    std::atomic<ASIOCallbacks*> m_callbacks{nullptr};
    ASIOCallbacks m_callbackTable{};
    ASIOTime m_asioTime{};
    // Time-info flags raised by host threads, merged into m_asioTime by the next switch.
    std::atomic<std::uint32_t> m_pendingTimeFlags{0};
    // Position and time of the latest switch, what getSamplePosition answers; 0/0 from a start
    // until its first switch, kept after the stream ends.
    SwitchStamp m_systemTime;
    std::int32_t* m_inputBuffers[2] = {nullptr, nullptr};
    std::atomic<std::int32_t*> m_outputBuffers[2] = {nullptr, nullptr};
    AsioLong m_inputChannels[2] = {0, 0};
    AsioLong m_outputChannels[2] = {0, 0};
    std::atomic<AsioLong> m_bufferSize{1024};
    // What getBufferSize offers, in words: the user's choice, or the host's latest own size.
    std::atomic<AsioLong> m_offeredSize{1024};
    // The user's choice as last read, so a change is told only once.
    std::atomic<AsioLong> m_storedSize{1024};
    // The user's safety margin in ms as last read, and the one the latency and the next stream
    // use (taken at init and start, so a change never moves a running stream's latency).
    std::atomic<AsioLong> m_userMargin{10};
    std::atomic<AsioLong> m_margin{10};
    // Halves between the host's switch and the device's part for the running stream's latency;
    // -1 without a stream.
    std::atomic<int> m_streamHalves{-1};
    bool m_keepsRates = true;
    // A PCM rate the host set and the user's settings have not stored yet; 0 for none.
    std::atomic<double> m_rateToKeep{0};
    // The host calls outputReady: its half goes to the device once filled, not a half later.
    std::atomic<bool> m_outputReadyUsed{false};
    // The host said the half of the latest switch is filled.
    std::atomic<bool> m_halfReady{false};
    // Someone waits for the stream's end (a start, init, the last release): the silent tail is
    // cut short once every half of the host is at the device.
    std::atomic<bool> m_hurryTail{false};
    // Switches since the stream started: the sample position a switch tells is this many halves.
    std::uint64_t m_switchCount = 0;
    // The host's halves not yet at the device (-1: none): one it is done with, and the one of
    // the latest switch, which it may use until the next switch returns or it calls
    // outputReady. Carried from a pin to the one a restart opens, while the buffers they name
    // are the same (m_halvesGeneration of m_buffersMade).
    AsioLong m_finalHalf = -1;
    AsioLong m_fillingHalf = -1;
    unsigned m_halvesGeneration = 0;
    // The stream still owns the host's halves: its end sends or silences them.
    bool m_halvesOpen = false;
    std::atomic<unsigned> m_buffersMade{0};  // counts createBuffers and disposeBuffers
    bool m_latencyLearned = false;           // a pin was made to learn the device's latency
    // The stored size changed and no stream has looked at it since: kept across stops, so a
    // change is never lost.
    std::atomic<bool> m_sizeChanged{false};
    SettingsWatch m_settingsWatch;  // started by the first start
    // What the device holds beyond the host's buffer, in 100 ns units, as its render pin last
    // told it; 0 until a pin answered.
    std::atomic<LONGLONG> m_deviceLatency{0};
    std::atomic<AsioLong> m_numInputs{0};
    std::atomic<AsioLong> m_numOutputs{0};
    AsioLong m_bufferIndex = 0;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_timeInfoMode{false};
    std::atomic<bool> m_timeCodeRead{false};
    char m_errorMessage[128] = {};
    std::atomic<CKsAudRenFilter*> m_pFilter{nullptr};
    // Host threads asking m_pFilter about formats right now: a replaced filter waits for them.
    std::atomic<int> m_filterUsers{0};
    // The output latency the host last read, or was last told of; -1 before it asked.
    std::atomic<AsioLong> m_latencyReported{-1};
    // A filter replaced by init on the streaming thread while its pin still played: the thread
    // deletes it once the pin is closed.
    CKsAudRenFilter* m_pRetiredFilter = nullptr;
    std::atomic<CKsAudPin*> m_pRenderPin{nullptr};

    // The stream belongs to the object, so two drivers in one process cannot share it.
    std::atomic<StreamRequest> m_streamRequest{StreamRequest::Stop};
    std::atomic<DWORD> m_streamThreadId{0};
    std::atomic<bool> m_deleteAfterStream{false};
    HANDLE m_hStreamThread = nullptr;
    // Wakes the streaming thread: a stop, a restart, or a half the host said is ready.
    HANDLE m_hStopEvent = nullptr;
    // Set by the streaming thread once no further callback can come from this stream.
    HANDLE m_hCallbacksOver = nullptr;
    // Set by the streaming thread once it is done with the object. Its handle is no sign of
    // that: a thread's exit waits for the writes it sent that the device still holds.
    HANDLE m_hStreamDone = nullptr;
    std::atomic<ULONGLONG> m_bytesTaken{0};  // carrier bytes the device took this stream
    // Writes that came back more than twice a half's length after the one before, this stream.
    std::atomic<unsigned> m_lateSwitches{0};
    std::atomic<unsigned> m_overloads{0};       // the device ran dry of queued writes, this stream
    std::atomic<void*> m_panelWindow{nullptr};  // the settings window while it is open
    std::atomic<int> m_panelsOpen{0};           // windows, each holding a reference
    std::atomic<bool> m_hostLeft{false};        // only windows hold the object
    // Made at the first start and kept for the next ones, unless the device kept a write.
    StreamMemory* m_pStream = nullptr;
    std::atomic<StreamProbe*> m_pProbe{nullptr};
};

CUnknown* CreateDriverInstance(IUnknown* pUnkOuter, HRESULT* phr);

}  // namespace ferox
