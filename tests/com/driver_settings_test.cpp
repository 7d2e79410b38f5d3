// The buffer size the user chose in the registry: what hosts are offered, and what is ignored.
#include <cstring>
#include <string>
#include <vector>

#include "asio/settings.h"
#include "com/driver_fixture.h"
#include "common/trace.h"

namespace ferox::test {
namespace {

std::vector<std::basic_string<WCHAR>>& TraceLines() {
    static std::vector<std::basic_string<WCHAR>> lines;
    return lines;
}
void Collect(int, const WCHAR* line) {
    TraceLines().emplace_back(line);
}

void DeleteSettings() {
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
}

void StoreValue(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, kBufferSizeValue, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The settings live in the user's registry; under Wine that is the prefix the host checks share
// while they run alongside, so these cases keep to the stand-in (feroxhost's config check covers
// the real registry).
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "the Wine prefix's registry is shared with concurrent host checks";
#endif
        DeleteSettings();
        TraceLines().clear();
        SetTraceLevel(kTraceNotice);
        trace_test::SetSink(&Collect);
    }
    void TearDown() override {
        trace_test::SetSink(nullptr);
        SetTraceLevel(0);
        DeleteSettings();
    }

    // What a new driver object offers: min, max, preferred (all equal), and granularity 0.
    AsioLong Offered(bool dsd = false) {
        IASIO* driver = CreateDriver();
        EXPECT_NE(driver, nullptr);
        if (!driver)
            return -1;
        if (dsd) {
            ASIOIoFormat format{};
            format.FormatType = kASIODSDFormat;
            driver->future(kAsioSetIoFormat, &format);
        }
        AsioLong mn = 0, mx = 0, pref = 0, gran = -1;
        EXPECT_EQ(driver->getBufferSize(&mn, &mx, &pref, &gran), ASE_OK);
        EXPECT_EQ(mn, pref);
        EXPECT_EQ(mx, pref);
        EXPECT_EQ(gran, 0);
        driver->Release();
        return pref;
    }

    bool Traced(const char* text) {
        std::basic_string<WCHAR> wanted(text, text + std::char_traits<char>::length(text));
        for (const auto& line : TraceLines()) {
            if (line.find(wanted) != std::basic_string<WCHAR>::npos)
                return true;
        }
        return false;
    }
};

TEST_F(SettingsTest, WithoutASettingTheDefaultIsOffered) {
    EXPECT_EQ(Offered(), 1024);
    EXPECT_EQ(Offered(true), 32768);
    EXPECT_FALSE(Traced("BufferSize"));
}

TEST_F(SettingsTest, EveryChoiceIsOfferedInSamplesAndDsdSamples) {
    for (AsioLong size : kBufferSizeChoices) {
        ASSERT_EQ(SetUserBufferSize(size), ERROR_SUCCESS);
        EXPECT_EQ(UserBufferSize(), size);
        EXPECT_EQ(Offered(), size);
        EXPECT_EQ(Offered(true), size * 32);
    }
}

// The host's own size wins once buffers exist, as with the default.
TEST_F(SettingsTest, CreateBuffersStillSetsTheSize) {
    ASSERT_EQ(SetUserBufferSize(256), ERROR_SUCCESS);
    IASIO* driver = CreateDriver();
    ASSERT_NE(driver, nullptr);
    ASIOCallbacks callbacks = RecordingCallbacks();
    ASIOBufferInfo infos[1] = {{ASIOFalse, 0, {}}};
    ASSERT_EQ(driver->createBuffers(infos, 1, 512, &callbacks), ASE_OK);
    AsioLong mn = 0, mx = 0, pref = 0, gran = -1;
    driver->getBufferSize(&mn, &mx, &pref, &gran);
    EXPECT_EQ(pref, 512);
    driver->disposeBuffers();
    driver->Release();
}

TEST_F(SettingsTest, ValuesThatAreNotAChoiceAreIgnoredAndTraced) {
    struct Bad {
        const char* what;
        DWORD type;
        std::vector<BYTE> data;
    };
    auto dword = [](DWORD v) {
        std::vector<BYTE> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    };
    const Bad bad[] = {
        {"zero", REG_DWORD, dword(0)},
        {"not a power of two", REG_DWORD, dword(1000)},
        {"above the slot", REG_DWORD, dword(4096)},
        {"below the smallest", REG_DWORD, dword(32)},
        {"negative", REG_DWORD, dword(0xFFFFFF00u)},
        {"text", REG_SZ, {'2', 0, '5', 0, '6', 0, 0, 0}},
        {"short", REG_BINARY, {0x00, 0x01}},
        {"long", REG_BINARY, {0x00, 0x01, 0, 0, 0, 0, 0, 0}},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        TraceLines().clear();
        StoreValue(b.type, b.data.data(), static_cast<DWORD>(b.data.size()));
        EXPECT_EQ(Offered(), 1024);
        EXPECT_TRUE(Traced("BufferSize in HKCU\\Software\\feroxasio ignored"));
    }
}

TEST_F(SettingsTest, OnlyChoicesAreStored) {
    for (AsioLong size : {0, 32, 100, 4096, -64})
        EXPECT_EQ(SetUserBufferSize(size), ERROR_INVALID_PARAMETER);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace ferox::test

namespace ferox::test {
namespace {

// What the settings window lists: a wrong unit in DSD mode or a wrong rate name misleads the user.
TEST(BufferChoiceText, LengthAtTheRateAndTheMeaningInTheOtherMode) {
    struct Row {
        AsioLong size;
        double rate;
        bool dsd;
        const char* text;
    };
    const Row rows[] = {
        {256, 44100, false, "256 samples: 5.8 ms at 44.1 kHz (DSD: 8192 samples)"},
        {1024, 48000, false, "1024 samples: 21.3 ms at 48 kHz (DSD: 32768 samples) - default"},
        {2048, 768000, false, "2048 samples: 2.7 ms at 768 kHz (DSD: 65536 samples)"},
        {1024, 2822400, true, "1024: 32768 DSD samples, 11.6 ms at DSD64 - default"},
        {64, 3072000, true, "64: 2048 DSD samples, 0.7 ms at 3.072 MHz"},
    };
    for (const Row& r : rows) {
        WCHAR text[128];
        DescribeBufferChoice(text, 128, r.size, r.rate, r.dsd);
        const std::basic_string<WCHAR> want(r.text, r.text + std::strlen(r.text));
        EXPECT_EQ(std::basic_string<WCHAR>(text), want) << r.text;
    }
}

}  // namespace
}  // namespace ferox::test
