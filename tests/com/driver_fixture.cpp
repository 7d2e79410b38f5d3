#include "com/driver_fixture.h"

#include "asio/settings.h"
#include "platform/alloc.h"

namespace ferox::test {

HostLog& Host() {
    static HostLog log;
    return log;
}

namespace {
void ASIO_CALLBACK OnBufferSwitch(AsioLong, ASIOBool) {}
void ASIO_CALLBACK OnRateChange(ASIOSampleRate rate) {
    Host().rateChanges.push_back(rate);
}
AsioLong ASIO_CALLBACK OnMessage(AsioLong selector, AsioLong value, void*, double*) {
    Host().messages.emplace_back(selector, value);
    return selector == kAsioSupportsTimeInfo ? Host().supportsTimeInfo : 0;
}
ASIOTime* ASIO_CALLBACK OnBufferSwitchTimeInfo(ASIOTime*, AsioLong, ASIOBool) {
    return nullptr;
}
}  // namespace

ASIOCallbacks RecordingCallbacks() {
    return {&OnBufferSwitch, &OnRateChange, &OnMessage, &OnBufferSwitchTimeInfo};
}

void DriverTest::SetUp() {
    // From the user's defaults: a rate an earlier case set is kept for the next object (under
    // Wine every case of the program shares the prefix's registry).
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
    Host() = HostLog{};
    alloc_test::Reset();
    callbacks = RecordingCallbacks();
    driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
}

void DriverTest::TearDown() {
    alloc_test::Reset();
    if (driver) {
        EXPECT_EQ(driver->Release(), 0u);
    }
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

ASIOError DriverTest::Create(std::vector<ASIOBufferInfo>& infos, AsioLong size) {
    return driver->createBuffers(infos.data(), static_cast<AsioLong>(infos.size()), size,
                                 &callbacks);
}

void DriverTest::SetIoFormat(ASIOIoFormatType type) {
    ASIOIoFormat format{};
    format.FormatType = type;
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
}

}  // namespace ferox::test
