// The settings the user chose in the registry: the buffer size hosts are offered, the margin and
// the kept rate, and what is ignored.
#include <cmath>
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

std::vector<BYTE> Dword(DWORD v) {
    std::vector<BYTE> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

bool KeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void DeleteSettings() {
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
}

void StoreValue(const WCHAR* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
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
    const Bad bad[] = {
        {"zero", REG_DWORD, Dword(0)},
        {"not a power of two", REG_DWORD, Dword(1000)},
        {"above the slot", REG_DWORD, Dword(4096)},
        {"below the smallest", REG_DWORD, Dword(32)},
        {"negative", REG_DWORD, Dword(0xFFFFFF00u)},
        {"text", REG_SZ, {'2', 0, '5', 0, '6', 0, 0, 0}},
        {"short", REG_BINARY, {0x00, 0x01}},
        {"long", REG_BINARY, {0x00, 0x01, 0, 0, 0, 0, 0, 0}},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        TraceLines().clear();
        StoreValue(kBufferSizeValue, b.type, b.data.data(), static_cast<DWORD>(b.data.size()));
        EXPECT_EQ(Offered(), 1024);
        EXPECT_TRUE(Traced("BufferSize in HKCU\\Software\\feroxasio ignored"));
    }
}

// A margin or kept rate the driver would act on wrongly: a value of another type, size or range
// taken, the wrong answer when none is stored, or a read that creates the key.
TEST_F(SettingsTest, MarginAndKeptRateTakeOnlyValidValues) {
    struct Row {
        const char* what;
        const WCHAR* name;  // null: the key is missing
        DWORD type;
        std::vector<BYTE> data;
        AsioLong margin;
        double rate;
        bool ignored;  // traced as ignored
    };
    const Row rows[] = {
        {"no key", nullptr, 0, {}, kDefaultMargin, 0, false},
        {"minimal margin", kMarginValue, REG_DWORD, Dword(0), 0, 0, false},
        {"largest margin", kMarginValue, REG_DWORD, Dword(40), 40, 0, false},
        {"margin not a choice", kMarginValue, REG_DWORD, Dword(15), kDefaultMargin, 0, true},
        {"negative margin", kMarginValue, REG_DWORD, Dword(0xFFFFFFFBu), kDefaultMargin, 0, true},
        {"margin as text", kMarginValue, REG_SZ, {'5', 0, 0, 0}, kDefaultMargin, 0, true},
        {"short margin", kMarginValue, REG_BINARY, {5, 0}, kDefaultMargin, 0, true},
        {"lowest rate", kSampleRateValue, REG_DWORD, Dword(8000), kDefaultMargin, 8000, false},
        {"highest rate", kSampleRateValue, REG_DWORD, Dword(768000), kDefaultMargin, 768000, false},
        {"rate below", kSampleRateValue, REG_DWORD, Dword(7999), kDefaultMargin, 0, true},
        {"rate above", kSampleRateValue, REG_DWORD, Dword(768001), kDefaultMargin, 0, true},
        {"rate zero", kSampleRateValue, REG_DWORD, Dword(0), kDefaultMargin, 0, true},
        {"long rate",
         kSampleRateValue,
         REG_BINARY,
         {0x44, 0xAC, 0, 0, 0, 0, 0, 0},
         kDefaultMargin,
         0,
         true},
        {"rate as text", kSampleRateValue, REG_SZ, {'4', 0, '8', 0, 0, 0}, kDefaultMargin, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        DeleteSettings();
        TraceLines().clear();
        if (r.name)
            StoreValue(r.name, r.type, r.data.data(), static_cast<DWORD>(r.data.size()));
        EXPECT_EQ(UserMargin(), r.margin);
        EXPECT_EQ(UserSampleRate(), r.rate);
        EXPECT_EQ(KeyExists(), r.name != nullptr);
        const bool margin = r.name == kMarginValue;
        EXPECT_EQ(Traced("Margin in HKCU\\Software\\feroxasio ignored"), r.ignored && margin);
        EXPECT_EQ(Traced("SampleRate in HKCU\\Software\\feroxasio ignored"), r.ignored && !margin);
    }
    for (AsioLong ms : kMarginChoices) {
        ASSERT_EQ(SetUserMargin(ms), ERROR_SUCCESS);
        EXPECT_EQ(UserMargin(), ms);
    }
    for (double rate : {44100.0, 768000.0, 8000.0}) {
        ASSERT_EQ(SetUserSampleRate(rate), ERROR_SUCCESS);
        EXPECT_EQ(UserSampleRate(), rate);
    }
}

TEST_F(SettingsTest, OnlyChoicesAreStored) {
    for (AsioLong size : {0, 32, 100, 4096, -64})
        EXPECT_EQ(SetUserBufferSize(size), ERROR_INVALID_PARAMETER);
    for (AsioLong ms : {1, 15, 41, 100, -5})
        EXPECT_EQ(SetUserMargin(ms), ERROR_INVALID_PARAMETER);
    for (double rate : {0.0, 7999.0, 768001.0, 44100.5, -44100.0, std::nan("")})
        EXPECT_EQ(SetUserSampleRate(rate), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(KeyExists());
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

// What the window lists: the default marked on another margin would mislead the user.
TEST(MarginChoiceText, TheMinimalAndTheDefaultAreNamed) {
    const struct {
        AsioLong ms;
        const char* text;
    } rows[] = {{0, "minimal (one write)"}, {5, "5 ms"}, {10, "10 ms - default"}, {40, "40 ms"}};
    for (const auto& r : rows) {
        WCHAR text[64];
        DescribeMarginChoice(text, 64, r.ms);
        const std::basic_string<WCHAR> want(r.text, r.text + std::strlen(r.text));
        EXPECT_EQ(std::basic_string<WCHAR>(text), want) << r.text;
    }
}

}  // namespace
}  // namespace ferox::test
