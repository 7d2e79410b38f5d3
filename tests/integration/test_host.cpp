#include "integration/test_host.h"

#include <thread>

#include "asio/settings.h"

namespace ferox::test {

namespace {
void ASIO_CALLBACK BufferSwitch(AsioLong index, ASIOBool) {
    TestHost::Get().OnSwitch(index, false, nullptr);
}
void ASIO_CALLBACK RateChanged(ASIOSampleRate) {
    TestHost::Get().rateChanges.fetch_add(1);
}
AsioLong ASIO_CALLBACK Message(AsioLong selector, AsioLong value, void*, double*) {
    return TestHost::Get().OnMessage(selector, value);
}
ASIOTime* ASIO_CALLBACK BufferSwitchTimeInfo(ASIOTime* time, AsioLong index, ASIOBool) {
    TestHost::Get().OnSwitch(index, true, time);
    return nullptr;
}
}  // namespace

TestHost& TestHost::Get() {
    static TestHost host;
    return host;
}

void TestHost::Reset() {
    supportsTimeInfo = 0;
    supportsReset = 1;
    channels = 2;
    words = 0;
    halves[0].clear();
    halves[1].clear();
    fillDsdPattern = false;
    sleepInSwitchMs = 0;
    timeInfoCallback = true;
    inSwitch = nullptr;
    inReset = nullptr;
    switches = 0;
    resetRequests = 0;
    rateChanges = 0;
    latencyChanges = 0;
    overloads = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    log_.reserve(1 << 16);  // the host allocates nothing while streaming either
}

ASIOCallbacks TestHost::Callbacks() {
    return {&BufferSwitch, &RateChanged, &Message,
            timeInfoCallback ? &BufferSwitchTimeInfo : nullptr};
}

std::vector<Switch> TestHost::log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

bool TestHost::WaitSwitches(int count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (switches.load() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TestHost::Fill(AsioLong index, int k) {
    for (std::size_t c = 0; c < halves[index].size(); ++c) {
        std::int32_t* half = halves[index][c];
        for (AsioLong i = 0; i < words; ++i) {
            half[i] = fillDsdPattern ? 0x04030201 : Word(k, static_cast<int>(c), i);
        }
    }
}

void TestHost::PreFill() {
    Fill(1, 0);
}

void TestHost::OnSwitch(AsioLong index, bool timeInfo, const ASIOTime* time) {
    const int k = switches.load() + 1;
    Fill(index, k);
    Switch s{index, timeInfo, 0, {}, {}, {}};
    s.thread = GetCurrentThreadId();
    s.priority = GetThreadPriority(GetCurrentThread());
    if (time) {
        s.flags = time->timeInfo.flags;
        s.position = time->timeInfo.samplePosition;
        s.systemTime = time->timeInfo.systemTime;
        s.timeCode = time->timeCode.timeCodeSamples;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (log_.size() < log_.capacity())
            log_.push_back(s);
    }
    if (const int ms = sleepInSwitchMs.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    switches.fetch_add(1);
    if (inSwitch)
        inSwitch(k);
}

AsioLong TestHost::OnMessage(AsioLong selector, AsioLong value) {
    switch (selector) {
        case kAsioSupportsTimeInfo:
            return supportsTimeInfo;
        case kAsioSelectorSupported:
            return value == kAsioResetRequest
                       ? supportsReset
                       : value == kAsioLatenciesChanged || value == kAsioOverload;
        case kAsioOverload:
            overloads.fetch_add(1);
            return 1;
        case kAsioResetRequest:
            resetRequests.fetch_add(1);
            if (inReset)
                inReset();
            return 1;
        case kAsioLatenciesChanged:
            latencyChanges.fetch_add(1);
            return 1;
        default:
            return 0;
    }
}

void DriverStreamTest::SetUp() {
    // Every test starts from the user's defaults: a rate a test set is kept for the next object.
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
    sim::Reset();
    sim::SetWriteMode(sim::WriteMode::Fast);
    TestHost::Get().Reset();
    driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
}

void DriverStreamTest::TearDown() {
    if (driver) {
        EXPECT_EQ(driver->Release(), 0u);
    }
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(sim::OpenHandles(), 0u);
}

void SetIoFormat(IASIO* driver, ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    driver->future(kAsioSetIoFormat, &format);
}

ASIOError CreateOutputs(IASIO* driver, int outputs, AsioLong size) {
    std::vector<AsioLong> channels;
    for (int c = 0; c < outputs; ++c)
        channels.push_back(c);
    return CreateOutputChannels(driver, channels, size);
}

ASIOError CreateOutputChannels(IASIO* driver, const std::vector<AsioLong>& channels,
                               AsioLong size) {
    TestHost& host = TestHost::Get();
    std::vector<ASIOBufferInfo> infos;
    for (AsioLong c : channels)
        infos.push_back({ASIOFalse, c, {nullptr, nullptr}});
    static ASIOCallbacks callbacks;
    callbacks = host.Callbacks();
    const ASIOError e =
        driver->createBuffers(infos.data(), static_cast<AsioLong>(infos.size()), size, &callbacks);
    if (e != ASE_OK)
        return e;
    ASIOIoFormat format{};
    driver->future(kAsioGetIoFormat, &format);
    host.words = format.FormatType == kASIODSDFormat ? size / 32 : size;
    for (int h = 0; h < 2; ++h) {
        host.halves[h].clear();
        for (const ASIOBufferInfo& info : infos) {
            host.halves[h].push_back(static_cast<std::int32_t*>(info.buffers[h]));
        }
    }
    host.PreFill();
    return ASE_OK;
}

bool WaitStreamEnd(IASIO* driver, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!static_cast<ASIOPellinor*>(driver)->WaitStreamOver(static_cast<DWORD>(timeout.count())))
        return false;
    for (;;) {
        bool open = false;
        for (const sim::PinState& p : sim::Pins())
            open = open || p.open;
        if (!open)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace ferox::test
