// The DAC is pulled while playing and plugged back in: the host hears of it, re-initialises as
// hosts do, cannot open the driver while the DAC is away and plays again, bit-exact, once it is
// back, in the same process and with nothing of the old device left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "integration/test_host.h"
#include "platform/alloc.h"
#include "sim/sim.h"
#include "support/win32_util.h"
#ifdef __linux__
#include <dirent.h>
#endif

namespace ferox::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr char kEnumFailure[] = "ASIO Pellinor Driver Enum Failure!";
constexpr char kNoPins[] = "ASIO Pellinor No pins available for rendering";
constexpr AsioLong kWords = 128;

bool WaitUntil(const std::function<bool()>& done, milliseconds timeout = milliseconds(10000)) {
    const auto deadline = steady_clock::now() + timeout;
    while (!done()) {
        if (steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Threads of the process, where the system tells.
std::optional<int> ThreadCount() {
#ifdef __linux__
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return std::nullopt;
    int n = 0;
    while (const dirent* e = readdir(dir))
        n += e->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return n;
#else
    return std::nullopt;
#endif
}

std::string ErrorText(IASIO* driver) {
    char text[128] = {};
    driver->getErrorMessage(text);
    return text;
}

std::uint32_t WordAt(const sim::Bytes& b, std::size_t byte) {
    std::uint32_t w;
    std::memcpy(&w, b.data() + byte, 4);
    return w;
}

// What the device took since the capture was cleared: the host's pre-fill and fills 1, 2, ...
// whole and in order, then silence only; at least `fills` of them.
void ExpectFillsThenSilence(int fills) {
    const sim::Bytes captured = sim::Captured();
    const std::size_t writeBytes = kWords * 8;
    ASSERT_EQ(captured.size() % writeBytes, 0u);
    std::size_t k = 0;
    for (; k < captured.size() / writeBytes; ++k) {
        const std::size_t base = k * writeBytes;
        if (WordAt(captured, base) == 0)
            break;
        for (AsioLong i = 0; i < kWords; ++i) {
            const std::size_t at = base + static_cast<std::size_t>(i) * 8;
            ASSERT_EQ(WordAt(captured, at),
                      static_cast<std::uint32_t>(TestHost::Word(int(k), 0, i)))
                << "write " << k << " word " << i;
            ASSERT_EQ(WordAt(captured, at + 4),
                      static_cast<std::uint32_t>(TestHost::Word(int(k), 1, i)));
        }
    }
    EXPECT_GE(k, static_cast<std::size_t>(fills));
    for (std::size_t at = k * writeBytes; at < captured.size(); at += 4)
        ASSERT_EQ(WordAt(captured, at), 0u) << at;
}

// The DAC plays in real time, as a USB DAC does; every test starts and ends with nothing of the
// driver alive: no object, handle, thread or allocation.
class ReplugTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::Reset();
        sim::SetWriteMode(sim::WriteMode::RealTime, 20);
        TestHost::Get().Reset();
        handles_ = OpenHandleCount();
        // ThreadSanitizer starts a thread of its own with the first thread made: not ours.
        std::thread([] {}).join();
        // A thread of an earlier test may still be on its way out.
        threads_ = ThreadCount();
        for (int i = 0; threads_ && i < 100; ++i) {
            std::this_thread::sleep_for(milliseconds(5));
            const std::optional<int> now = ThreadCount();
            if (now >= threads_)
                break;
            threads_ = now;
        }
        live_ = alloc_test::Live();
    }
    void TearDown() override {
        if (driver) {
            EXPECT_EQ(driver->Release(), 0u);
        }
        EXPECT_TRUE(WaitUntil([] { return DllCanUnloadNow() == S_OK; }));
        EXPECT_EQ(sim::OpenHandles(), 0u);
        for (const sim::PinState& p : sim::Pins())
            EXPECT_FALSE(p.open);
        EXPECT_FALSE(sim::WorkerRunning());
        if (handles_) {
            EXPECT_EQ(OpenHandleCount(), handles_);
        }
        if (threads_) {
            EXPECT_TRUE(WaitUntil([this] { return ThreadCount() <= threads_; }))
                << *ThreadCount() << " threads, " << *threads_ << " before";
        }
        EXPECT_EQ(alloc_test::Live(), live_);
        sim::Reset();
    }

    // Plays until the DAC is pulled; returns once the host was asked for a reset.
    void PlayThenUnplug() {
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASSERT_EQ(CreateOutputs(driver, 2, kWords), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(TestHost::Get().WaitSwitches(20));
        sim::Unplug();
        ASSERT_TRUE(WaitUntil([] { return TestHost::Get().resetRequests.load() == 1; }));
        // The stream let go of the dead pin by itself.
        ASSERT_TRUE(WaitUntil([] { return !sim::Pins().back().open; }));
    }

    // A fresh start on buffers the host has: plays `fills` fills bit-exact, then stops.
    void PlayBitExact(int fills) {
        TestHost& host = TestHost::Get();
        host.switches = 0;
        sim::ClearCapture();
        host.PreFill();
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(host.WaitSwitches(fills + 3));
        EXPECT_EQ(driver->stop(), ASE_OK);
        ExpectFillsThenSilence(fills);
        EXPECT_EQ(host.resetRequests.load(), 1);  // the one of the unplug
    }

    IASIO* driver = nullptr;

  private:
    std::optional<std::size_t> handles_;
    std::optional<int> threads_;
    long live_ = 0;
};

// The host that answers by throwing the driver away and loading it again, later, from its own
// thread: the new driver cannot open a DAC that is away, and plays once it is back.
TEST_F(ReplugTest, NewDriverObjectFailsWhileTheDacIsAwayAndPlaysOnceItIsBack) {
    driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    PlayThenUnplug();
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    driver = nullptr;
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
    EXPECT_EQ(sim::OpenHandles(), 0u);

    for (int attempt = 0; attempt < 2; ++attempt) {
        driver = CreateDriver();
        ASSERT_NE(driver, nullptr);
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        EXPECT_EQ(ErrorText(driver), kEnumFailure);
        EXPECT_EQ(driver->Release(), 0u);
        driver = nullptr;
    }
    EXPECT_EQ(sim::OpenHandles(), 0u);

    sim::Replug();
    driver = CreateDriver();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    ASSERT_EQ(CreateOutputs(driver, 2, kWords), ASE_OK);
    PlayBitExact(30);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// The simple host: it stops and disposes inside its answer, on the streaming thread, then calls
// init again on the same object until the DAC is back. The dead filter goes with the first init
// that finds the new one.
TEST_F(ReplugTest, SameObjectReinitialisedAfterAnAnswerInsideTheCallback) {
    driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    IASIO* const d = driver;
    std::atomic<bool> answered{false};
    TestHost::Get().inReset = [d, &answered] {
        EXPECT_EQ(d->stop(), ASE_OK);
        EXPECT_EQ(d->disposeBuffers(), ASE_OK);
        answered = true;
    };
    PlayThenUnplug();
    ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
    TestHost::Get().inReset = nullptr;

    // The first init also closes what is left of the ended stream; the ones after it add
    // nothing.
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(ErrorText(driver), kEnumFailure);
    const std::optional<std::size_t> handles = OpenHandleCount();
    const long live = alloc_test::Live();
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(driver->init(nullptr), ASIOFalse);
        EXPECT_EQ(ErrorText(driver), kEnumFailure);
    }
    EXPECT_EQ(OpenHandleCount(), handles);
    EXPECT_EQ(alloc_test::Live(), live);
    EXPECT_EQ(sim::OpenHandles(), 1u);  // the dead filter, kept as a failed init keeps it

    sim::Replug();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(sim::OpenHandles(), 1u);  // the new filter only
    ASSERT_EQ(CreateOutputs(driver, 2, kWords), ASE_OK);
    PlayBitExact(30);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

// A host that only starts again, without init: the filter it opened is dead even with the DAC
// back, so start fails cleanly (no pin, no thread, the reason told); init then recovers, and the
// buffers the host still has play.
TEST_F(ReplugTest, StartWithoutInitOnTheDeadFilterFailsCleanlyAndInitRecovers) {
    driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    PlayThenUnplug();
    EXPECT_EQ(driver->stop(), ASE_OK);
    sim::Replug();

    const std::optional<std::size_t> handles = OpenHandleCount();
    const std::optional<int> threads = ThreadCount();
    const std::size_t pins = sim::Pins().size();
    EXPECT_EQ(driver->start(), ASE_NotPresent);
    EXPECT_EQ(ErrorText(driver), kNoPins);
    EXPECT_EQ(driver->start(), ASE_NotPresent);  // and again: nothing of the first is left over
    EXPECT_EQ(sim::Pins().size(), pins);
    EXPECT_EQ(OpenHandleCount(), handles);
    EXPECT_LE(ThreadCount(), threads);
    EXPECT_EQ(sim::OpenHandles(), 1u);
    EXPECT_EQ(driver->stop(), ASE_OK);

    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    PlayBitExact(30);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

}  // namespace
}  // namespace ferox::test
