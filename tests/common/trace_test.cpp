#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/trace.h"
#include "support/win32_util.h"

namespace {

using Lines = std::vector<std::pair<int, std::string>>;
Lines g_lines;

void Collect(int level, const WCHAR* line) {
    g_lines.emplace_back(level, ferox::test::Ascii(line));
}

void SetTraceVariable(const char* value) {
#ifdef _WIN32
    _putenv((std::string("FEROX_TRACE=") + (value ? value : "")).c_str());
#else
    value ? setenv("FEROX_TRACE", value, 1) : unsetenv("FEROX_TRACE");
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
};

// Levels 1 up to the threshold are emitted; Enter and Leave are level 6.
TEST_F(TraceTest, EmitsLevelsFromOneUpToTheThreshold) {
    auto emitEveryKind = [] {
        for (int level = 0; level <= 7; ++level)
            ferox::Trace(level, WSTR("level %d"), level);
        ferox::TraceEnter(WSTR("CKsPin::SetState()"));
        ferox::TraceLeave(WSTR("CKsPin::SetState()"));
        ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), E_FAIL);
    };
    EXPECT_EQ(ferox::TraceLevel(), 0);
    emitEveryKind();
    EXPECT_TRUE(g_lines.empty());
    EXPECT_FALSE(ferox::TraceEnabled(1));

    ferox::SetTraceLevel(5);
    emitEveryKind();
    EXPECT_EQ(
        g_lines,
        (Lines{{1, "level 1"}, {2, "level 2"}, {3, "level 3"}, {4, "level 4"}, {5, "level 5"}}));
    EXPECT_TRUE(ferox::TraceEnabled(5));
    EXPECT_FALSE(ferox::TraceEnabled(6));
    EXPECT_FALSE(ferox::TraceEnabled(0));

    g_lines.clear();
    ferox::SetTraceLevel(6);
    ferox::TraceEnter(WSTR("CKsPin::SetState()"));
    ferox::TraceLeave(WSTR("CKsPin::SetState()"));
    for (HRESULT hr : {E_FAIL, S_OK, S_FALSE})
        ferox::TraceLeaveResult(WSTR("CKsPin::SetState"), hr);
    ferox::Trace(5, WSTR("Successfully instantiated Render Pin.  Handle = 0x%08x"), 0x1A4);
    ferox::Trace(1, WSTR("%s failed: %S"), WSTR("CKsFilter::Instantiate"), "no device");
    EXPECT_EQ(g_lines, (Lines{
                           {6, "CKsPin::SetState() Enter"},
                           {6, "CKsPin::SetState() Leave"},
                           {6, "CKsPin::SetState Leave, returning 0x80004005"},
                           {6, "CKsPin::SetState Leave, returning 00000000"},
                           {6, "CKsPin::SetState Leave, returning 0x000001"},
                           {5, "Successfully instantiated Render Pin.  Handle = 0x000001a4"},
                           {1, "CKsFilter::Instantiate failed: no device"},
                       }));
}

TEST_F(TraceTest, CutsLinesAt259Characters) {
    ferox::SetTraceLevel(6);
    ferox::Trace(1, WSTR("%s"), std::basic_string<WCHAR>(300, WSTR('n')).c_str());
    ferox::TraceLeaveResult(std::basic_string<WCHAR>(250, WSTR('m')).c_str(), E_FAIL);
    EXPECT_EQ(g_lines,
              (Lines{{1, std::string(259, 'n')}, {6, std::string(250, 'm') + " Leave, r"}}));
}

TEST_F(TraceTest, EnvironmentSetsTheThresholdFromOneToSix) {
    for (const char* value : {"1", "2", "3", "4", "5", "6"}) {
        ferox::SetTraceLevel(0);
        SetTraceVariable(value);
        EXPECT_EQ(ferox::TraceInitFromEnvironment(), value[0] - '0') << value;
        EXPECT_EQ(ferox::TraceLevel(), value[0] - '0') << value;
    }
    for (const char* value :
         {"0", "7", "12", "-1", " 3", "3 ", "x", "six", static_cast<const char*>(nullptr)}) {
        ferox::SetTraceLevel(4);
        SetTraceVariable(value);
        EXPECT_EQ(ferox::TraceInitFromEnvironment(), 0) << (value ? value : "unset");
        EXPECT_EQ(ferox::TraceLevel(), 0) << (value ? value : "unset");
    }
}

}  // namespace
