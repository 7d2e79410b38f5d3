// The host-sequence explorer: random sequences of what hosts do, from their own thread and from
// inside bufferSwitch and asioMessage, interleaved with what the DAC does, against the driver and
// the real-time simulated DAC. After every step the driver is held to what the host was told.
//
//   explorer [--seconds N | --minutes N] [--seed N]
// --seed N replays that one sequence (the seed every failure prints); otherwise sequences run
// until the time is up.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "asio/asio.h"
#include "asio/pellinor.h"
#include "asio/settings.h"
#include "platform/alloc.h"
#include "platform/posix/testing.h"
#include "sim/sim.h"
#include "support/driver.h"

namespace ferox::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

template <typename Pred>
bool WaitUntil(Pred pred, int ms) {
    const auto deadline = Clock::now() + milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

DWORD PinRate(const sim::PinState& pin) {
    DWORD rate = 0;
    const std::size_t at = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + 4;
    if (pin.connect.size() >= at + 4)
        std::memcpy(&rate, pin.connect.data() + at, 4);
    return rate;
}

// With EXPLORER_TRACE set, what happens as it happens, stamped: steps, fills, what the device
// heard.
void Say(const char* format, ...) {
    if (!std::getenv("EXPLORER_TRACE"))
        return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::printf("%8.3f %s\n",
                std::chrono::duration<double>(Clock::now().time_since_epoch()).count(), text);
}

// Each fill of the host carries its number in the first word of every output's half; the
// device's writes must carry them in order, none twice.
constexpr std::uint32_t kFillTag = 0x5A000000u;

std::uint32_t FillNumber(std::uint32_t word, bool dsd) {
    // A DSD stream reverses each word's bytes on its way to the device.
    if (dsd)
        word = (word >> 24) | ((word >> 8) & 0xff00u) | ((word << 8) & 0xff0000u) | (word << 24);
    return (word & 0xff000000u) == kFillTag ? word & 0xffffffu : 0;
}

// Watches what the device takes (under the simulator's lock: it keeps to itself).
struct FillWatch : sim::StreamObserver {
    std::atomic<std::uint32_t> last{0};      // the latest fill number heard
    std::atomic<std::uint32_t> disorder{0};  // a number heard after a later one: the two
    std::atomic<std::uint32_t> disorderAfter{0};
    std::atomic<std::uint32_t> want{0};  // a fill that must be heard: a start's pre-fill
    std::atomic<bool> heardWant{false};
    // Writes pending at the device, as the simulator last told a switch; the most since start.
    std::map<HANDLE, bool> dsd;  // each pin's mode, as the device was told it
    void PinCreated(HANDLE pin, const BYTE*, ULONG) override { dsd[pin] = false; }
    void VendorMode(HANDLE pin, ULONG mode) override {
        if (mode == 0x8000 || mode == 0x10000)
            dsd[pin] = mode == 0x8000;
    }
    void PinClosed(HANDLE pin) override { dsd.erase(pin); }
    void Received(HANDLE pin, const BYTE* data, std::size_t size) override {
        if (size < 8)
            return;
        std::uint32_t frame[2];
        std::memcpy(frame, data, 8);
        const bool mode = dsd[pin];
        std::uint32_t n = FillNumber(frame[0], mode);
        if (n == 0)
            n = FillNumber(frame[1], mode);  // a lone right channel
        if (n == 0)
            return;
        const std::uint32_t before = last.exchange(n);
        if (n == want.load())
            heardWant = true;
        Say("  heard %u", n);
        if (n <= before && disorder.load() == 0) {
            disorderAfter = before;
            disorder = n;
        }
    }
};

// What the callbacks do next, armed by the host thread.
enum class InSwitch { None, Stop, StopStart, Rate, Position, Dispose, Init, Release };
// How the host answers a reset request.
enum class Answer { None, Stop, Dispose, Rebuild };

struct Host {
    std::atomic<IASIO*> driver{nullptr};
    bool timeInfo = false;
    std::mt19937_64 rng;  // the host thread's
    std::vector<std::string> steps;
    int violations = 0;
    std::uint64_t seed = 0;

    // The host's model, shared with its callbacks.
    std::atomic<bool> running{false};
    std::atomic<bool> buffers{false};
    std::atomic<int> generation{0};  // bumped by every start and restart the host asks for
    std::atomic<long> switches{0};
    std::atomic<long> resets{0};
    std::atomic<int> busy{0};  // callbacks inside the driver now
    Answer answer = Answer::None;
    // Held by the host thread for each of its steps, and by a reset answer: they never run at
    // once (a host does not race its own calls).
    std::recursive_mutex model;
    std::vector<ASIOBufferInfo> infos;  // as asked of the latest createBuffers
    // The output halves of the buffers the host has, empty without any.
    std::vector<std::array<void*, 2>> outputs;
    AsioLong size = 64;
    AsioLong stored = kDefaultBufferSize;  // the user's buffer size as last saved
    std::atomic<AsioLong> builtWords{0};   // the stream's words a half, as the buffers were made
    ASIOCallbacks callbacks{};

    std::atomic<InSwitch> armed{InSwitch::None};
    std::atomic<bool> armedDone{false};
    double armedRate = 48000;
    std::atomic<bool> releasePending{false};

    // Drawn for each sequence: what the host does beside the usual.
    bool prefill = false;      // fills half 1 before each start it makes after its own stop
    bool outputReady = false;  // says outputReady after each fill
    std::atomic<AsioLong> margin{kDefaultMargin};  // the user's, as last saved
    std::atomic<AsioLong> marginAtStart{kDefaultMargin};
    // A reset request the host ignored: the stream it left may play on, unknown to its model.
    std::atomic<bool> resetIgnored{false};
    std::atomic<std::uint32_t> fills{0};  // the latest fill number written
    // The host stopped the stream itself (or has not started one): half 1 is its to fill.
    std::atomic<bool> stoppedByHost{true};
    // Nothing since the last start took halves from the stream on purpose (a failure, a reset,
    // a callback that ended or rebuilt it): every half filled before stop must reach the device.
    std::atomic<bool> clean{false};
    std::atomic<unsigned> mostPending{0};  // writes at the device seen inside the switches
    std::atomic<long> switchesAtStart{0};
    std::atomic<int> generationAtStart{0};
    std::atomic<std::uint32_t> fillsAtStart{0};
    std::atomic<std::uint32_t> prefilled{0};  // the latest start's pre-fill, 0 for none
    FillWatch* watch = nullptr;

    // The generation whose new stream the position was last seen to start over in.
    int restartSeen = 0;
    std::uint64_t lastPosition = 0;

    void Violation(const char* what, const std::string& detail = {}) {
        ++violations;
        std::printf("VIOLATION (seed %llu, step %zu): %s %s\n",
                    static_cast<unsigned long long>(seed), steps.size(), what, detail.c_str());
        for (std::size_t i = 0; i < steps.size(); ++i)
            std::printf("  %zu %s\n", i + 1, steps[i].c_str());
        std::fflush(stdout);
    }
};

Host* g_host = nullptr;

// Runs `call` and holds it to a bound.
template <typename F>
auto Timed(const char* name, int boundMs, F&& call) {
    const auto t0 = Clock::now();
    auto result = call();
    const auto spent = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    if (spent > boundMs)
        g_host->Violation("call over its bound:",
                          name + std::string(" ") + std::to_string(spent) + " ms");
    return result;
}

// Writes the next fill number into half `index` of every output.
void Tag(Host& h, AsioLong index) {
    if (h.outputs.empty())
        return;
    const std::uint32_t word = kFillTag | (h.fills.fetch_add(1) + 1);
    Say("  fill %u in half %d", word & 0xffffffu, static_cast<int>(index));
    for (const auto& halves : h.outputs)
        std::memcpy(halves[index], &word, sizeof word);
}

ASIOError Start(Host& h) {
    h.generation.fetch_add(1);
    // What a new stream starts from; a start while one plays changes nothing.
    if (!h.running) {
        h.fillsAtStart = h.fills.load();
        h.prefilled = 0;
        if (h.prefill && h.stoppedByHost && h.buffers && !h.outputs.empty()) {
            h.watch->heardWant = false;
            h.watch->want = h.fills.load() + 1;
            Tag(h, 1);
            h.prefilled = h.fills.load();
        }
        h.stoppedByHost = false;
        h.clean = true;
        h.mostPending = 0;
        h.switchesAtStart = h.switches.load();
        h.generationAtStart = h.generation.load();
        h.marginAtStart = h.margin.load();
    }
    const long resets = h.resets.load();
    const ASIOError e = h.driver.load()->start();
    // A reset request may come at once, before start has returned (a size saved before the
    // start is told then): its answer decides what runs.
    if (h.resets.load() == resets)
        h.running = e == ASE_OK;
    return e;
}

ASIOError MakeBuffers(Host& h) {
    const ASIOError e = h.driver.load()->createBuffers(
        h.infos.data(), static_cast<AsioLong>(h.infos.size()), h.size, &h.callbacks);
    if (e == ASE_InvalidMode)
        return e;  // refused before anything changed
    h.running = false;
    h.buffers = e == ASE_OK;
    h.outputs.clear();
    if (e == ASE_OK) {
        for (const ASIOBufferInfo& info : h.infos) {
            if (!info.isInput)
                h.outputs.push_back({info.buffers[0], info.buffers[1]});
        }
        // As hosts that use it do: asked once, to learn that the driver takes it.
        if (h.outputReady)
            h.driver.load()->outputReady();
        ASIOIoFormat format{};
        h.driver.load()->future(kAsioGetIoFormat, &format);
        h.builtWords = format.FormatType == kASIODSDFormat ? h.size / 32 : h.size;
    }
    return e;
}

// The host's model once it has let go; its buffers are filled until the last Release returns, as
// a host's callbacks fill whatever comes before.
void Released(Host& h) {
    h.driver = nullptr;
    h.running = false;
    h.buffers = false;
}

void DoInSwitch(Host& h) {
    const InSwitch what = h.armed.exchange(InSwitch::None);
    if (what == InSwitch::None)
        return;
    if (what != InSwitch::Position && what != InSwitch::Rate)
        h.clean = false;
    IASIO* d = h.driver;
    switch (what) {
        case InSwitch::Stop:
            d->stop();
            h.running = false;
            break;
        case InSwitch::StopStart:
            d->stop();
            Start(h);
            break;
        case InSwitch::Rate:
            h.generation.fetch_add(1);
            d->setSampleRate(h.armedRate);
            break;
        case InSwitch::Position: {
            ASIOSamples pos{};
            ASIOTimeStamp stamp{};
            d->getSamplePosition(&pos, &stamp);
            break;
        }
        case InSwitch::Dispose:
            d->disposeBuffers();
            h.running = false;
            h.buffers = false;
            h.outputs.clear();
            break;
        case InSwitch::Init:
            d->init(nullptr);
            h.running = false;
            break;
        case InSwitch::Release:
            if (!h.releasePending.exchange(false))
                break;
            Released(h);
            d->stop();
            d->disposeBuffers();
            d->Release();
            h.outputs.clear();
            break;
        case InSwitch::None:
            break;
    }
    h.armedDone = true;
}

void ASIO_CALLBACK OnSwitch(AsioLong index, ASIOBool) {
    Host& h = *g_host;
    h.busy.fetch_add(1);
    if (index == 0 || index == 1)
        Tag(h, index);
    if (IASIO* d = h.driver.load(); d && h.outputReady)
        d->outputReady();
    // Once the device's buffer is full, the writes at it at a switch are what the margin keeps.
    if (h.switches.load() - h.switchesAtStart.load() > 40) {
        for (const sim::PinState& p : sim::Pins()) {
            if (p.open && p.writesPending > h.mostPending.load())
                h.mostPending = p.writesPending;
        }
    }
    h.switches.fetch_add(1);
    DoInSwitch(h);
    h.busy.fetch_sub(1);
}

ASIOTime* ASIO_CALLBACK OnSwitchTimeInfo(ASIOTime*, AsioLong index, ASIOBool direct) {
    OnSwitch(index, direct);
    return nullptr;
}

void ASIO_CALLBACK OnRate(ASIOSampleRate) {}

AsioLong ASIO_CALLBACK OnMessage(AsioLong selector, AsioLong value, void*, double*) {
    Host& h = *g_host;
    switch (selector) {
        case kAsioSelectorSupported:
            return value == kAsioResetRequest || value == kAsioLatenciesChanged ||
                   value == kAsioSupportsTimeInfo;
        case kAsioSupportsTimeInfo:
            return h.timeInfo ? 1 : 0;
        case kAsioResetRequest: {
            Say("  reset request");
            h.busy.fetch_add(1);
            h.resets.fetch_add(1);
            h.clean = false;
            // A host in the middle of its own call answers no reset then, as one that posts
            // its answer to the thread making that call would find it out of date.
            const std::unique_lock<std::recursive_mutex> model(h.model, std::try_to_lock);
            if (h.answer == Answer::None || !model)
                h.resetIgnored = true;
            if (!model) {
                h.running = false;
                h.busy.fetch_sub(1);
                return 1;
            }
            IASIO* d = h.driver;
            if (d && h.answer != Answer::None)
                d->stop();
            if (d && (h.answer == Answer::Dispose || h.answer == Answer::Rebuild)) {
                d->disposeBuffers();
                h.buffers = false;
                h.outputs.clear();
            }
            h.running = false;
            if (d && h.answer == Answer::Rebuild && MakeBuffers(h) == ASE_OK)
                Start(h);
            h.busy.fetch_sub(1);
            return 1;
        }
        default:
            return 0;
    }
}

// A second program that takes the DAC while this host is not looking.
struct OtherClient {
    IASIO* driver = nullptr;
    static void ASIO_CALLBACK Switch(AsioLong, ASIOBool) {}
    static void ASIO_CALLBACK Rate(ASIOSampleRate) {}
    static AsioLong ASIO_CALLBACK Message(AsioLong, AsioLong, void*, double*) { return 0; }
    ASIOCallbacks callbacks{&Switch, &Rate, &Message, nullptr};
    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    void Take() {
        if (driver)
            return;
        driver = CreateDriver();
        if (driver && driver->init(nullptr) == ASIOTrue &&
            driver->createBuffers(infos, 2, 256, &callbacks) == ASE_OK) {
            driver->start();
        }
    }
    void LetGo() {
        if (!driver)
            return;
        driver->Release();
        driver = nullptr;
    }
};

const double kRates[] = {44100, 48000, 88200, 96000, 192000, 22050, 0, NAN, 2822400, 5644800};
const AsioLong kSizes[] = {64, 128, 256, 512, 1024, 2048, 4096};

class Explorer {
  public:
    explicit Explorer(std::uint64_t seed) {
        h_.seed = seed;
        h_.rng.seed(seed);
        g_host = &h_;
    }

    // One sequence; the number of steps it took.
    int Run() {
        sim::Reset();
        sim::SetWriteMode(sim::WriteMode::RealTime, 20);
        sim::SetMemoryCapture(false);
        sim::SetLogLimit(256);
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
        const std::size_t threads0 = posix::LiveThreadCount();
        const std::size_t handles0 = posix::OpenHandleCount();
        const long blocks0 = alloc_test::Live();

        h_.callbacks = {&OnSwitch, &OnRate, &OnMessage, &OnSwitchTimeInfo};
        h_.answer = static_cast<Answer>(h_.rng() % 4);
        h_.timeInfo = h_.rng() % 2 == 0;
        h_.prefill = Pick(2) == 0;
        h_.outputReady = Pick(2) == 0;
        const AsioLong margin = kMarginChoices[Pick(std::size(kMarginChoices))];
        h_.margin = margin;
        SetUserMargin(margin);
        sim::SetStreamObserver(&watch_);
        h_.watch = &watch_;
        h_.driver = CreateDriver();
        Step("create, reset answer " + std::to_string(static_cast<int>(h_.answer)) + ", margin " +
             std::to_string(margin) + " ms" + (h_.prefill ? ", pre-fills" : "") +
             (h_.outputReady ? ", says outputReady" : ""));
        if (!h_.driver) {
            h_.Violation("no driver");
            return 1;
        }
        // Most hosts begin the usual way; the rest start anywhere.
        if (Pick(5) != 0) {
            Step("init -> " + std::to_string(h_.driver.load()->init(nullptr)));
            h_.infos = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
            h_.size = kSizes[Pick(4)];
            Step("createBuffers size " + std::to_string(h_.size) + " -> " +
                 std::to_string(MakeBuffers(h_)));
        }
        const int length = 8 + static_cast<int>(h_.rng() % 32);
        for (int i = 0; i < length && h_.driver; ++i) {
            // A reset answer in progress finishes first: hosts do not race their own calls.
            WaitUntil([&] { return h_.busy.load() == 0; }, 3000);
            const long resets = h_.resets.load();
            const std::lock_guard<std::recursive_mutex> model(h_.model);
            OneStep();
            if (h_.driver)
                Check(resets);
        }
        Finish();
        other_.LetGo();
        sim::SetStreamObserver(nullptr);
        if (watch_.disorder.load() != 0)
            h_.Violation("a fill reached the device out of order or twice:",
                         std::to_string(watch_.disorder.load()) + " after " +
                             std::to_string(watch_.disorderAfter.load()));
        sim::ClearFaults();
        RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
        // Nothing of the driver left: objects, threads, handles, blocks, device handles.
        const bool clean = WaitUntil(
            [&] {
                return DllCanUnloadNow() == S_OK && sim::OpenHandles() == 0 &&
                       posix::LiveThreadCount() <= threads0 && !sim::WorkerRunning() &&
                       posix::OpenHandleCount() <= handles0 && alloc_test::Live() <= blocks0;
            },
            5000);
        if (!clean) {
            h_.Violation("left behind:",
                         "objects " + std::to_string(DllCanUnloadNow() != S_OK) + " sim handles " +
                             std::to_string(sim::OpenHandles()) + " threads " +
                             std::to_string(posix::LiveThreadCount() - threads0) + " handles " +
                             std::to_string(posix::OpenHandleCount() - handles0) + " blocks " +
                             std::to_string(alloc_test::Live() - blocks0));
        }
        return static_cast<int>(h_.steps.size());
    }

    int violations() const { return h_.violations; }

  private:
    void Step(std::string s) {
        Say("%s", s.c_str());
        h_.steps.push_back(std::move(s));
    }
    std::uint64_t Pick(std::uint64_t n) { return h_.rng() % n; }
    double Rate() { return kRates[Pick(std::size(kRates))]; }

    void OneStep() {
        IASIO* d = h_.driver;
        const auto pick = Pick(100);
        if (pick < 8) {
            const ASIOBool ok = Timed("init", 4000, [&] { return d->init(nullptr); });
            h_.running = false;
            Step("init -> " + std::to_string(ok));
        } else if (pick < 18) {
            h_.infos.clear();
            const auto shape = Pick(6);
            const std::vector<std::vector<int>> shapes = {{0, 1}, {1, 0}, {0}, {1}, {}, {0, 1}};
            for (int c : shapes[shape])
                h_.infos.push_back({ASIOFalse, c, {}});
            if (Pick(3) == 0)
                h_.infos.push_back({ASIOTrue, 0, {}});
            h_.size = kSizes[Pick(std::size(kSizes))];
            const ASIOError e = Timed("createBuffers", 4000, [&] { return MakeBuffers(h_); });
            Step("createBuffers shape " + std::to_string(shape) + " size " +
                 std::to_string(h_.size) + " -> " + std::to_string(e));
        } else if (pick < 34) {
            const bool buffers = h_.buffers;
            // Right after the host's own stop, a start waits for the halves still at the device
            // (the margin's, the last two fills, the device's 20 ms), not for the silent tail.
            int bound = 4000;
            if (h_.stoppedByHost && h_.clean && h_.buffers) {
                ASIOSampleRate rate = 0;
                d->getSampleRate(&rate);
                ASIOIoFormat format{};
                d->future(kAsioGetIoFormat, &format);
                const double halfMs = BufferMilliseconds(h_.builtWords.load(), rate,
                                                         format.FormatType == kASIODSDFormat);
                bound = 270 + static_cast<int>((MarginHalves(halfMs) + 2) * halfMs);
            }
            const ASIOError e = Timed("start", bound, [&] { return Start(h_); });
            if (!buffers && e != ASE_NotPresent)
                h_.Violation("start without buffers answered", std::to_string(e));
            Step("start -> " + std::to_string(e));
        } else if (pick < 42) {
            const bool whole = h_.running && h_.clean;
            ASIOSampleRate rate = 0;
            d->getSampleRate(&rate);
            ASIOIoFormat format{};
            d->future(kAsioGetIoFormat, &format);
            const bool dsd = format.FormatType == kASIODSDFormat;
            // No further callback once a half is over (a callback in progress finishes first);
            // the rest is the machine's noise.
            const int bound =
                250 + static_cast<int>(BufferMilliseconds(h_.builtWords.load(), rate, dsd));
            Timed("stop", bound, [&] { return d->stop(); });
            h_.running = false;
            h_.stoppedByHost = true;
            Step("stop");
            // Every half the host filled before stop is at the device when stop returns.
            if (whole && h_.clean && h_.prefilled.load() != 0 && !watch_.heardWant.load())
                h_.Violation("the host's pre-fill never reached the device");
            if (whole && h_.clean && h_.fills.load() != h_.fillsAtStart &&
                watch_.last.load() != h_.fills.load())
                h_.Violation("stop returned before the host's last fills reached the device:",
                             "heard " + std::to_string(watch_.last.load()) + " of " +
                                 std::to_string(h_.fills.load()));
            // Nothing plays once stop returned.
            const long s = h_.switches.load();
            std::this_thread::sleep_for(milliseconds(30));
            if (h_.switches.load() != s)
                h_.Violation("switches after stop returned");
        } else if (pick < 56) {
            const int times = Pick(3) == 0 ? 2 : 1;
            for (int t = 0; t < times; ++t) {
                ASIOSampleRate before = 0;
                d->getSampleRate(&before);
                const double rate = Rate();
                const ASIOError e =
                    Timed("setSampleRate", 4000, [&] { return d->setSampleRate(rate); });
                ASIOSampleRate after = 0;
                d->getSampleRate(&after);
                // A stream plays on at a new rate with a new count, also for a host that was
                // told of a reset and ignored it (its model no longer says running).
                if (after != before)
                    h_.generation.fetch_add(1);
                if (e != ASE_OK && after != before)
                    h_.Violation("a refused rate changed the rate");
                Step("setSampleRate " + std::to_string(rate) + " -> " + std::to_string(e));
            }
        } else if (pick < 61) {
            ASIOIoFormat format{};
            format.FormatType = Pick(2) == 0 ? kASIOPCMFormat : kASIODSDFormat;
            const ASIOError e = d->future(kAsioSetIoFormat, &format);
            Step("setIoFormat " + std::to_string(format.FormatType) + " -> " + std::to_string(e));
        } else if (pick < 65) {
            Timed("disposeBuffers", 4000, [&] { return d->disposeBuffers(); });
            h_.running = false;
            h_.buffers = false;
            h_.outputs.clear();
            Step("disposeBuffers");
        } else if (pick < 72) {
            Position("getSamplePosition");
        } else if (pick < 84) {
            Arm(static_cast<InSwitch>(1 + Pick(6)));
        } else if (pick < 88) {
            UserEvent();
        } else {
            DeviceEvent();
        }
    }

    // What the settings window does beside the host: a status read (every second while open),
    // or a new size saved (by the window, feroxhost, or the user deleting the key).
    void UserEvent() {
        IASIO* d = h_.driver;
        if (Pick(2) == 0) {
            const DriverStatus s = Timed(
                "status read", 2000, [&] { return static_cast<ASIOPellinor*>(d)->ReadStatus(); });
            Step(std::string("window: status read, streaming ") + (s.streaming ? "yes" : "no"));
            return;
        }
        const AsioLong size =
            Pick(4) == 0 ? 0 : kBufferSizeChoices[Pick(std::size(kBufferSizeChoices))];
        if (size == 0) {
            RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
            h_.margin = kDefaultMargin;
        } else
            SetUserBufferSize(size);
        const AsioLong now = size == 0 ? kDefaultBufferSize : size;
        Step("user: buffer size " +
             (size == 0 ? std::string("key deleted") : std::to_string(size)));
        const AsioLong words = h_.builtWords.load();
        const bool changed = now != h_.stored;
        h_.stored = now;
        // A playing host whose stream runs at another size hears of a change once, soon.
        if (h_.running && changed && words != now) {
            const long r = h_.resets.load();
            if (!WaitUntil([&] { return h_.resets.load() != r; }, 1500) && h_.running &&
                h_.driver) {
                h_.Violation("a saved size was not told to the playing host");
            }
            WaitUntil([&] { return h_.busy.load() == 0; }, 3000);
        }
    }

    void Position(const char* name) {
        ASIOSamples pos{};
        ASIOTimeStamp stamp{};
        Timed(name, 100, [&] { return h_.driver.load()->getSamplePosition(&pos, &stamp); });
        const std::uint64_t p = (static_cast<std::uint64_t>(pos.hi) << 32) | pos.lo;
        // A restart the host asked for takes effect when the driver has opened the new pin, not
        // when the call returns: reads in between still see the old stream. So after any such
        // request the count may start over once, however late.
        const int g = h_.generation.load();
        if (p < h_.lastPosition) {
            if (g == h_.restartSeen)
                h_.Violation("sample position went back within a stream:",
                             std::to_string(h_.lastPosition) + " -> " + std::to_string(p));
            h_.restartSeen = g;
        }
        h_.lastPosition = p;
        Step(std::string(name) + " " + std::to_string(p));
    }

    void Arm(InSwitch what) {
        h_.armedRate = Rate();
        h_.armedDone = false;
        h_.armed = what;
        Step("in the next switch: " + std::to_string(static_cast<int>(what)) +
             (what == InSwitch::Rate ? " rate " + std::to_string(h_.armedRate) : ""));
        // The host thread waits for it: its own calls do not race its callbacks.
        if (!WaitUntil([&] { return h_.armedDone.load(); }, h_.running ? 1500 : 20)) {
            h_.armed = InSwitch::None;
            WaitUntil([&] { return h_.busy.load() == 0; }, 3000);
            Step("  (no switch came)");
        }
    }

    void DeviceEvent() {
        h_.clean = false;
        switch (Pick(6)) {
            case 0: {
                sim::Match m{};
                m.op = sim::Op::WriteStream;
                sim::InjectFault(m, {sim::Action::Fail, ERROR_GEN_FAILURE, 0, 0, 4});
                Step("device: four writes fail");
                AwaitDevice();
                break;
            }
            case 1: {
                sim::Match m{};
                m.op = sim::Op::VendorMode;
                sim::InjectFault(m, {sim::Action::Fail, ERROR_NOT_SUPPORTED, 0, 0, 1});
                Step("device: refuses the next mode");
                break;
            }
            case 2:
                sim::Unplug();
                Step("device: unplugged");
                AwaitDevice();
                break;
            case 3:
                sim::Replug();
                Step("device: plugged in");
                break;
            case 4:
                other_.Take();
                Step("other client takes the DAC");
                break;
            default:
                other_.LetGo();
                Step("other client lets go");
                break;
        }
    }

    // A playing stream hears of a failed device by a reset request, soon.
    // A failure meant for a stream that is not there is taken back: it would fail a later one
    // while the host thread is busy elsewhere, and the host would race its own answer.
    void AwaitDevice() {
        if (h_.running) {
            const long r = h_.resets.load();
            WaitUntil([&] { return h_.resets.load() != r; }, 1500);
            WaitUntil([&] { return h_.busy.load() == 0; }, 3000);
        }
        sim::ClearFaults();
    }

    // `r`: the reset requests before the step. One the step brought (a start answered at once)
    // may still be rebuilding the stream.
    void Check(long r) {
        IASIO* d = h_.driver;
        if (!h_.running)
            return;
        // Told it plays: switches come, or the host hears why not.
        const long s = h_.switches.load();
        if (!WaitUntil([&] { return h_.switches.load() > s + 2 || h_.resets.load() != r; }, 1500)) {
            if (h_.running && h_.driver)
                h_.Violation("told it plays, but no switch and no reset request for 1.5 s");
            return;
        }
        WaitUntil([&] { return h_.busy.load() == 0; }, 3000);
        if (h_.resets.load() != r || other_.driver || !h_.running)
            return;
        CheckLatency();
        // While switches come the pin plays at the rate and in the mode the host was told.
        ASIOSampleRate rate = 0;
        d->getSampleRate(&rate);
        ASIOIoFormat format{};
        d->future(kAsioGetIoFormat, &format);
        const double carrier = format.FormatType == kASIODSDFormat ? rate / 64 : rate;
        int open = 0;
        DWORD pinRate = 0;
        for (const sim::PinState& p : sim::Pins()) {
            if (p.open) {
                ++open;
                pinRate = PinRate(p);
            }
        }
        const std::vector<ULONG> modes = sim::VendorModes();
        ULONG mode = 0;
        for (ULONG m : modes) {
            if (m != 0x8002)
                mode = m;
        }
        const ULONG expectedMode = format.FormatType == kASIODSDFormat ? 0x8000 : 0x10000;
        // A restart asked for since may be opening its pin: the next switches settle it.
        if ((open != 1 || pinRate != static_cast<DWORD>(carrier) || mode != expectedMode) &&
            h_.running) {
            h_.Violation("switches arrive, but the device plays otherwise:",
                         "open pins " + std::to_string(open) + " pin rate " +
                             std::to_string(pinRate) + " told " + std::to_string(carrier) +
                             " mode " + std::to_string(mode));
        }
    }

    // What getLatencies answers while playing is what is queued when the host fills a half: the
    // halves whose length covers the margin (one write at least; at most 14 packets in flight,
    // one of them the ready host's), the half it filled before unless it says outputReady, and
    // the device's own part (the simulated DAC's 20 ms). No more writes than that at the device.
    // The halves whose length covers the margin of the latest start: one write at least, at most
    // 14 packets in flight, one of them the ready host's.
    int MarginHalves(double halfMs) const {
        const bool ready = h_.outputReady;
        int halves = ready ? 0 : 1;
        if (h_.marginAtStart > 0)
            halves =
                std::max(1, static_cast<int>(std::ceil(h_.marginAtStart.load() / halfMs - 1e-9)));
        return std::min(halves, ready ? 13 : 14);
    }

    void CheckLatency() {
        IASIO* d = h_.driver;
        ASIOIoFormat format{};
        d->future(kAsioGetIoFormat, &format);
        if (format.FormatType == kASIODSDFormat || !h_.clean || h_.resetIgnored ||
            h_.generation.load() != h_.generationAtStart)
            return;
        ASIOSampleRate rate = 0;
        d->getSampleRate(&rate);
        const AsioLong size = h_.builtWords.load();
        const bool ready = h_.outputReady;
        const int halves = MarginHalves(size * 1000.0 / rate);
        AsioLong in = 0, out = 0;
        d->getLatencies(&in, &out);
        const AsioLong expected =
            (halves + (ready ? 0 : 1)) * size + static_cast<AsioLong>(0.02 * rate + 0.5);
        const unsigned pending = h_.mostPending.load();
        if ((out != expected || pending > static_cast<unsigned>(std::max(halves, 1))) && h_.clean &&
            h_.running && h_.generation.load() == h_.generationAtStart) {
            h_.Violation("the latency told is not what is queued:",
                         std::to_string(out) + " against " + std::to_string(expected) + ", " +
                             std::to_string(pending) + " writes at the device");
        }
    }

    void Finish() {
        if (!h_.driver)
            return;
        if (h_.running && Pick(2) == 0) {
            h_.releasePending = true;
            Arm(InSwitch::Release);
            if (!h_.releasePending.exchange(false))
                return;  // released inside the switch
        }
        IASIO* d = h_.driver;
        Released(h_);
        const ULONG left = Timed("Release", 4000, [&] { return d->Release(); });
        h_.outputs.clear();
        Step("Release -> " + std::to_string(left));
        if (left != 0)
            h_.Violation("the last Release left references");
    }

    Host h_;
    OtherClient other_;
    FillWatch watch_;
};

}  // namespace
}  // namespace ferox::test

int main(int argc, char** argv) {
    double seconds = 30;
    bool replay = false;
    std::uint64_t seed = static_cast<std::uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count() & 0xffffffff);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (a == "--minutes") {
            seconds = std::atof(argv[i + 1]) * 60;
        } else if (a == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
            replay = true;
        }
    }
    std::printf("explorer: seeds from %llu\n", static_cast<unsigned long long>(seed));
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    long sequences = 0, steps = 0, violations = 0;
    do {
        ferox::test::Explorer explorer(seed + static_cast<std::uint64_t>(sequences));
        steps += explorer.Run();
        violations += explorer.violations();
        ++sequences;
    } while (!replay && std::chrono::steady_clock::now() < end);
    std::printf("explorer: %ld sequences, %ld steps, %ld violations\n", sequences, steps,
                violations);
    return violations == 0 ? 0 : 1;
}
