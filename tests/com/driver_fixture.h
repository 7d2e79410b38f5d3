// A driver object created the way hosts create it, and a host's callbacks that record calls.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "asio/asio.h"
#include "asio/driver_id.h"
#include "asio/pellinor.h"
#include "support/driver.h"

namespace ferox::test {

// What the recording host saw. One host at a time: the callbacks are plain functions.
struct HostLog {
    std::vector<double> rateChanges;
    std::vector<std::pair<AsioLong, AsioLong>> messages;  // selector, value
    AsioLong supportsTimeInfo = 1;
};
HostLog& Host();
ASIOCallbacks RecordingCallbacks();

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    ASIOPellinor& Object() { return *static_cast<ASIOPellinor*>(driver); }
    // Creates buffers for the given (isInput, channel) pairs.
    ASIOError Create(std::vector<ASIOBufferInfo>& infos, AsioLong size);
    void SetIoFormat(ASIOIoFormatType type);

    IASIO* driver = nullptr;
    ASIOCallbacks callbacks{};
};

}  // namespace ferox::test
