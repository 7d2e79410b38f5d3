// A host for driving the driver against the simulated DAC: fills every half it is handed with
// numbered words, records every callback, and answers the driver's questions as configured.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "asio/asio.h"
#include "asio/driver_id.h"
#include "asio/pellinor.h"
#include "support/driver.h"
#include "sim/sim.h"

namespace ferox::test {

struct Switch {
    AsioLong index;
    bool timeInfo;
    AsioULong flags;           // time info flags, when timeInfo
    ASIOSamples position;      // time info sample position
    ASIOTimeStamp systemTime;  // time info system time
    ASIOSamples timeCode;      // time code samples
    DWORD thread = 0;          // the calling thread and its priority
    int priority = 0;
};

// One host per process at a time: ASIO callbacks carry no context.
class TestHost {
  public:
    static TestHost& Get();
    void Reset();
    ASIOCallbacks Callbacks();

    // Configuration, set before createBuffers.
    AsioLong supportsTimeInfo = 0;
    AsioLong supportsReset = 1;
    int channels = 2;                      // output channels the host fills
    AsioLong words = 0;                    // words per half
    std::vector<std::int32_t*> halves[2];  // [half][channel] start of each half
    bool fillDsdPattern = false;           // bytes 01 02 03 04 in every word
    std::atomic<int> sleepInSwitchMs{0};
    bool timeInfoCallback = true;  // false: the table's bufferSwitchTimeInfo is null
    // Calls back into the driver, as hosts do: inside switch k (1-based), and in the answer to a
    // reset request. Run on the streaming thread.
    std::function<void(int k)> inSwitch;
    std::function<void()> inReset;

    // What happened.
    std::atomic<int> switches{0};
    std::atomic<int> resetRequests{0};
    std::atomic<int> rateChanges{0};
    std::atomic<int> latencyChanges{0};
    std::atomic<int> overloads{0};
    std::vector<Switch> log();  // a copy
    // Fills half 1 as the standard has hosts do before start: fill 0.
    void PreFill();
    // The word the host wrote at fill k (1-based; 0 the pre-fill), channel c, word i.
    static std::int32_t Word(int k, int c, AsioLong i) {
        // Never 0, so no fill reads as silence.
        return static_cast<std::int32_t>(0x40000000 | ((k & 0x3fff) << 16) | (c << 15) |
                                         (i & 0x7fff));
    }

    // Waits until at least `count` switches happened; false after `timeout`.
    bool WaitSwitches(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    void OnSwitch(AsioLong index, bool timeInfo, const ASIOTime* time);
    AsioLong OnMessage(AsioLong selector, AsioLong value);

  private:
    void Fill(AsioLong index, int k);
    std::mutex mutex_;
    std::vector<Switch> log_;
};

// Sets the io format through future().
void SetIoFormat(IASIO* driver, ASIOIoFormatType type);

// Creates `outputs` output buffers (channels 0, 1) of `size` host samples and records the halves
// in the host.
ASIOError CreateOutputs(IASIO* driver, int outputs, AsioLong size);
// The same with the output entries listed as given: the host fills entry e with Word(k, e, i).
ASIOError CreateOutputChannels(IASIO* driver, const std::vector<AsioLong>& channels, AsioLong size);

// Waits until the driver's stream has ended and the simulated DAC has no pin open (the end of
// stream and the silent tail go on after stop returns); false after `timeout`.
bool WaitStreamEnd(IASIO* driver, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A driver made as hosts make it, against a fresh simulated DAC in fast mode and a fresh host.
// Afterwards the last reference must destroy it and leave nothing open in the device.
class DriverStreamTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    IASIO* driver = nullptr;
};

}  // namespace ferox::test
