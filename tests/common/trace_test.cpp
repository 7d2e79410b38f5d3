#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "platform/wide.h"

namespace {

std::string Text(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text)
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::vector<std::pair<int, std::string>> g_lines;

void Collect(int level, const WCHAR* line) {
    g_lines.emplace_back(level, Text(line));
}

void SetTraceVariable(const char* value) {
#ifdef _WIN32
    const std::string assignment = std::string("FEROX_TRACE=") + (value ? value : "");
    _putenv(assignment.c_str());
#else
    if (value != nullptr) {
        setenv("FEROX_TRACE", value, 1);
    } else {
        unsetenv("FEROX_TRACE");
    }
#endif
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        ferox::SetTraceLevel(0);
        ferox::trace_test::SetSink(&Collect);
    }
    void TearDown() override {
        ferox::trace_test::SetSink(nullptr);
        ferox::SetTraceLevel(0);
        SetTraceVariable(nullptr);
    }

    static void EmitEveryKind() {
        for (int level = 0; level <= 7; ++level)
            ferox::Trace(level, WSTR("level %d"), level);
        ferox::TraceEnter(WSTR("CKsPin::SetState()"));
        ferox::TraceLeave(WSTR("CKsPin::SetState()"));
        ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), S_OK);
    }
};

TEST_F(TraceTest, ThresholdZeroEmitsNothing) {
    EXPECT_EQ(ferox::TraceLevel(), 0);
    EmitEveryKind();
    EXPECT_TRUE(g_lines.empty());
    EXPECT_FALSE(ferox::TraceEnabled(1));
}

TEST_F(TraceTest, EmitsLevelsFromOneUpToTheThreshold) {
    ferox::SetTraceLevel(4);
    EmitEveryKind();
    const std::vector<std::pair<int, std::string>> expected = {
        {1, "level 1"}, {2, "level 2"}, {3, "level 3"}, {4, "level 4"}};
    EXPECT_EQ(g_lines, expected);
    EXPECT_TRUE(ferox::TraceEnabled(4));
    EXPECT_FALSE(ferox::TraceEnabled(5));
    EXPECT_FALSE(ferox::TraceEnabled(0));
}

TEST_F(TraceTest, EnterAndLeaveFormsAreLevelSix) {
    ferox::SetTraceLevel(5);
    ferox::TraceEnter(WSTR("CKsPin::SetState()"));
    ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), E_FAIL);
    EXPECT_TRUE(g_lines.empty());

    ferox::SetTraceLevel(6);
    ferox::TraceEnter(WSTR("CKsPin::SetState()"));
    ferox::TraceLeave(WSTR("CKsPin::SetState()"));
    ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), E_FAIL);
    ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), S_OK);
    ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), S_FALSE);
    const std::vector<std::pair<int, std::string>> expected = {
        {6, "CKsPin::SetState() Enter"},
        {6, "CKsPin::SetState() Leave"},
        {6, "CKsPin::SetState Leave, returning 0x80004005"},
        {6, "CKsPin::SetState Leave, returning 00000000"},
        {6, "CKsPin::SetState Leave, returning 0x000001"},
    };
    EXPECT_EQ(g_lines, expected);
}

TEST_F(TraceTest, FormatsItsArguments) {
    ferox::SetTraceLevel(5);
    ferox::Trace(5, WSTR("Successfully instantiated Render Pin.  Handle = 0x%08x"), 0x1A4);
    ferox::Trace(1, WSTR("%s failed: %S"), WSTR("CKsFilter::Instantiate"), "no device");
    const std::vector<std::pair<int, std::string>> expected = {
        {5, "Successfully instantiated Render Pin.  Handle = 0x000001a4"},
        {1, "CKsFilter::Instantiate failed: no device"},
    };
    EXPECT_EQ(g_lines, expected);
}

TEST_F(TraceTest, CutsLinesAt259Characters) {
    ferox::SetTraceLevel(1);
    std::basic_string<WCHAR> name(300, WSTR('n'));
    ferox::Trace(1, WSTR("%s"), name.c_str());
    ferox::TraceEnter(name.c_str());  // above the threshold: not emitted
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second, std::string(259, 'n'));

    g_lines.clear();
    ferox::SetTraceLevel(6);
    ferox::TraceLeaveResult(std::basic_string<WCHAR>(250, WSTR('m')).c_str(), E_FAIL);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].second, std::string(250, 'm') + " Leave, r");
}

TEST_F(TraceTest, EnvironmentSetsTheThresholdFromOneToSix) {
    for (const char* value : {"1", "2", "3", "4", "5", "6"}) {
        ferox::SetTraceLevel(0);
        SetTraceVariable(value);
        EXPECT_EQ(ferox::TraceInitFromEnvironment(), value[0] - '0') << value;
        EXPECT_EQ(ferox::TraceLevel(), value[0] - '0') << value;
    }
    for (const char* value : {"0", "7", "12", "-1", " 3", "3 ", "x", "six"}) {
        ferox::SetTraceLevel(4);
        SetTraceVariable(value);
        EXPECT_EQ(ferox::TraceInitFromEnvironment(), 0) << value;
        EXPECT_EQ(ferox::TraceLevel(), 0) << value;
    }
    ferox::SetTraceLevel(4);
    SetTraceVariable(nullptr);
    EXPECT_EQ(ferox::TraceInitFromEnvironment(), 0);
    EXPECT_EQ(ferox::TraceLevel(), 0);
}

}  // namespace
