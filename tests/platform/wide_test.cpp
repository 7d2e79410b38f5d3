#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform/wide.h"
#include "support/win32_util.h"

namespace {

using ferox::FormatW;
using ferox::test::Ascii;

// Formats into a roomy buffer and returns the ASCII view.
template <typename... Args>
std::string F(const WCHAR* format, Args... args) {
    WCHAR out[512];
    const int n = FormatW(out, 512, format, args...);
    EXPECT_EQ(static_cast<std::size_t>(n), ferox::WideLength(out));
    return Ascii(out);
}

TEST(FormatW, IntegersFollowC) {
    // The trace's result form: the prefix counts in the width and is dropped for 0.
    EXPECT_EQ(F(WSTR("%#08x"), 0x80004005u), "0x80004005");
    EXPECT_EQ(F(WSTR("%#08x"), 6), "0x000006");
    EXPECT_EQ(F(WSTR("%#08x"), 0), "00000000");
    EXPECT_EQ(F(WSTR("%#X|%X"), 255, 0xDEADBEEFu), "0XFF|DEADBEEF");
    EXPECT_EQ(F(WSTR("%#10x|%#-8x|"), 0x1f, 0x1f), "      0x1f|0x1f    |");
    EXPECT_EQ(F(WSTR("0x%08x"), 0xABC), "0x00000abc");
    // An HRESULT is a signed 32-bit value; %x shows its bits.
    EXPECT_EQ(F(WSTR("%#08x"), static_cast<HRESULT>(E_OUTOFMEMORY)), "0x8007000e");

    EXPECT_EQ(F(WSTR("%d|%i|%d"), -5, 17, 0), "-5|17|0");
    EXPECT_EQ(F(WSTR("%d"), INT_MIN), "-2147483648");
    EXPECT_EQ(F(WSTR("%u"), 0xFFFFFFFFu), "4294967295");
    EXPECT_EQ(F(WSTR("%+d %+d|% d|% d"), 5, -5, 5, -5), "+5 -5| 5|-5");
    EXPECT_EQ(F(WSTR("%+u"), 5), "5");  // sign flags are for signed conversions only
    EXPECT_EQ(F(WSTR("%05d|%6d|"), -42, -42), "-0042|   -42|");
    EXPECT_EQ(F(WSTR("%-6d|%-06d|"), 42, 42), "42    |42    |");  // - wins over 0

    EXPECT_EQ(F(WSTR("%.3d|%.3d"), 7, -7), "007|-007");
    EXPECT_EQ(F(WSTR("%8.3d|"), 7), "     007|");
    EXPECT_EQ(F(WSTR("%08.3d|"), 7), "     007|");  // a precision switches the 0 flag off
    EXPECT_EQ(F(WSTR("[%.0d][%3.0d][%.0d]"), 0, 0, 3), "[][   ][3]");
    EXPECT_EQ(F(WSTR("%#.4x"), 0xA), "0x000a");
}

TEST(FormatW, LengthModifiersAndStarArguments) {
    EXPECT_EQ(F(WSTR("%lld"), static_cast<long long>(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(F(WSTR("%llx"), 0x123456789ABCDEF0ull), "123456789abcdef0");
    EXPECT_EQ(F(WSTR("%llu"), 18446744073709551615ull), "18446744073709551615");
    EXPECT_EQ(F(WSTR("%zu"), static_cast<std::size_t>(12345)), "12345");
    EXPECT_EQ(F(WSTR("%hd|%hx|%hhu"), 65535, 0x12345, 0x1FF), "-1|2345|255");
    // l is ignored: the argument is a 32-bit value on every platform.
    EXPECT_EQ(F(WSTR("%lu %ld %lx"), 4000000000u, -3, 0x10), "4000000000 -3 10");
    // A 64-bit argument in the middle keeps the arguments after it in place.
    EXPECT_EQ(F(WSTR("%d %lld %d"), 1, 1ll << 40, 3), "1 1099511627776 3");

    EXPECT_EQ(F(WSTR("%*d|%*d|"), 5, 42, -5, 42), "   42|42   |");  // negative: left-justified
    EXPECT_EQ(F(WSTR("%.*s|"), 2, WSTR("abcdef")), "ab|");
    EXPECT_EQ(F(WSTR("%.*s|"), -1, WSTR("abc")), "abc|");  // a negative precision is none
    EXPECT_EQ(F(WSTR("%*.*d|"), 6, 3, 5), "   005|");
}

TEST(FormatW, StringsCharactersPointersAndUnknownConversions) {
    EXPECT_EQ(F(WSTR("%s Enter"), WSTR("CKsPin::SetState()")), "CKsPin::SetState() Enter");
    EXPECT_EQ(F(WSTR("%ls|%ws|%S|%hs"), WSTR("a"), WSTR("b"), "narrow", "also"), "a|b|narrow|also");
    EXPECT_EQ(F(WSTR("%5s|%-5s|"), WSTR("ab"), WSTR("cd")), "   ab|cd   |");
    EXPECT_EQ(F(WSTR("%.2s|%.2S|%.10s|[%s]"), WSTR("abcdef"), "uvwxyz", WSTR("abc"), WSTR("")),
              "ab|uv|abc|[]");
    const auto* none = static_cast<const WCHAR*>(nullptr);
    EXPECT_EQ(F(WSTR("%s|%S|%8s|%.3s|"), none, static_cast<const char*>(nullptr), none, none),
              "(null)|(null)|  (null)|(nu|");

    EXPECT_EQ(F(WSTR("%c%c|%3c|%-3c|"), WSTR('o'), WSTR('k'), WSTR('a'), WSTR('b')), "ok|  a|b  |");
    EXPECT_EQ(F(WSTR("%C%hc|100%%"), 'n', 'a'), "na|100%");
    const std::string zeros(sizeof(void*) * 2, '0');
    EXPECT_EQ(F(WSTR("%p"), static_cast<void*>(nullptr)), zeros);
    EXPECT_EQ(F(WSTR("%p"), reinterpret_cast<void*>(std::uintptr_t{0xAB12})),
              zeros.substr(4) + "AB12");
    // Unknown conversions are copied as written.
    EXPECT_EQ(F(WSTR("a%qb|%-5q|end%")), "a%qb|%-5q|end%");
}

TEST(FormatW, NonAsciiCharactersPassThrough) {
    const WCHAR name[] = {0x00E9, 0x4E2D, 0xD83D, 0xDE00, 0};  // é, 中, a surrogate pair
    WCHAR out[16];
    EXPECT_EQ(FormatW(out, 16, WSTR("<%s>"), name), 6);
    const WCHAR expected[] = {u'<', 0x00E9, 0x4E2D, 0xD83D, 0xDE00, u'>', 0};
    EXPECT_EQ(std::basic_string<WCHAR>(out), expected);
    // Narrow strings are taken byte by byte, so Latin-1 bytes keep their value.
    EXPECT_EQ(FormatW(out, 16, WSTR("%S"), "\xE9"), 1);
    EXPECT_EQ(static_cast<unsigned>(out[0]), 0xE9u);
}

TEST(FormatW, CutsAtCapacityAndAlwaysTerminates) {
    WCHAR out[8];
    // The result is the length the whole output would have.
    EXPECT_EQ(FormatW(out, 5, WSTR("abcdefgh")), 8);
    EXPECT_EQ(Ascii(out), "abcd");
    EXPECT_EQ(FormatW(out, 5, WSTR("%#08x"), 6), 8);
    EXPECT_EQ(Ascii(out), "0x00");
    EXPECT_EQ(FormatW(out, 5, WSTR("%s"), WSTR("abcd")), 4);
    EXPECT_EQ(Ascii(out), "abcd");
    EXPECT_EQ(FormatW(out, 1, WSTR("abc")), 3);
    EXPECT_EQ(out[0], 0);
    out[0] = WSTR('x');
    EXPECT_EQ(FormatW(out, 0, WSTR("abc")), 3);  // nothing written at all
    EXPECT_EQ(out[0], WSTR('x'));

    // At the trace line length.
    std::basic_string<WCHAR> longText(399, WSTR('a'));
    for (int i = 0; i < 399; ++i)
        longText[i] = static_cast<WCHAR>(u'a' + i % 26);
    WCHAR line[260 + 4];
    std::fill(std::begin(line), std::end(line), WSTR('#'));
    EXPECT_EQ(FormatW(line, 260, WSTR("%s Leave"), longText.c_str()), 399 + 6);
    EXPECT_EQ(std::basic_string<WCHAR>(line), longText.substr(0, 259));
    EXPECT_EQ(line[260], WSTR('#'));  // nothing past the capacity
}

TEST(WideStrings, LengthCopyCompareAndPrefix) {
    EXPECT_EQ(ferox::WideLength(nullptr), 0u);
    EXPECT_EQ(ferox::WideLength(WSTR("")), 0u);
    EXPECT_EQ(ferox::WideLength(WSTR("abc")), 3u);
    WCHAR out[4] = {1, 1, 1, 1};
    EXPECT_EQ(ferox::WideCopy(out, 4, WSTR("abcdef")), 3u);
    EXPECT_EQ(Ascii(out), "abc");
    EXPECT_EQ(ferox::WideCopy(out, 4, WSTR("ab")), 2u);
    EXPECT_EQ(Ascii(out), "ab");
    EXPECT_EQ(ferox::WideCopy(out, 4, nullptr), 0u);
    EXPECT_EQ(out[0], 0);
    out[0] = 7;
    EXPECT_EQ(ferox::WideCopy(out, 0, WSTR("ab")), 0u);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(ferox::WideCopyNarrow(out, 4, "wxyz"), 3u);
    EXPECT_EQ(Ascii(out), "wxy");

    // By code unit, unsigned; null sorts before empty.
    EXPECT_EQ(ferox::WideCompare(WSTR("abc"), WSTR("abc")), 0);
    EXPECT_LT(ferox::WideCompare(WSTR("ab"), WSTR("abc")), 0);
    EXPECT_GT(ferox::WideCompare(WSTR("abd"), WSTR("abc")), 0);
    EXPECT_LT(ferox::WideCompare(WSTR("B"), WSTR("a")), 0);
    const WCHAR high[] = {0xFF01, 0};
    EXPECT_GT(ferox::WideCompare(high, WSTR("z")), 0);
    EXPECT_EQ(ferox::WideCompare(nullptr, nullptr), 0);
    EXPECT_LT(ferox::WideCompare(nullptr, WSTR("")), 0);
    EXPECT_GT(ferox::WideCompare(WSTR(""), nullptr), 0);

    // Without case: ASCII letters only ('[' sits between 'Z' and 'a'; É and é differ).
    EXPECT_EQ(ferox::WideCompareNoCase(WSTR("\\\\?\\USB#VID_5A4E"), WSTR("\\\\?\\usb#vid_5a4e")),
              0);
    EXPECT_NE(ferox::WideCompareNoCase(WSTR("abc"), WSTR("abd")), 0);
    EXPECT_LT(ferox::WideCompareNoCase(WSTR("ABC"), WSTR("abcd")), 0);
    EXPECT_NE(ferox::WideCompareNoCase(WSTR("["), WSTR("{")), 0);
    const WCHAR upperE[] = {0x00C9, 0}, lowerE[] = {0x00E9, 0};
    EXPECT_NE(ferox::WideCompareNoCase(upperE, lowerE), 0);

    const WCHAR* id = WSTR("USB\\VID_5A4E&PID_0C31&MI_00\\7&1F2B6C1&0&0000");
    const WCHAR* prefix = WSTR("USB\\VID_5A4E&PID_0C31");
    EXPECT_TRUE(ferox::WideStartsWith(id, prefix));
    EXPECT_FALSE(ferox::WideStartsWith(id, WSTR("usb\\vid_5a4e&pid_0c31")));
    EXPECT_TRUE(ferox::WideStartsWithNoCase(id, WSTR("usb\\vid_5a4e&pid_0c31")));
    EXPECT_FALSE(ferox::WideStartsWithNoCase(WSTR("USB\\VID_5A4E&PID_0C3"), prefix));
    EXPECT_FALSE(ferox::WideStartsWithNoCase(WSTR("USB\\VID_5A4F&PID_0C31"), prefix));
    EXPECT_TRUE(ferox::WideStartsWith(id, WSTR("")));
    EXPECT_FALSE(ferox::WideStartsWith(nullptr, WSTR("")));
    EXPECT_FALSE(ferox::WideStartsWithNoCase(id, nullptr));
}

}  // namespace
