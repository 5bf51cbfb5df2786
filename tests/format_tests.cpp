// The three wide formatters: exact results at the edges of their buffers,
// and the CRT's meaning of %s / %S / %hs in wide formats.
#include <gtest/gtest.h>

#include <string>

#include "common/wide_format.h"

namespace {

const WCHAR kGuard = 0x5A5A;

TEST(WideFormatTests, BoundedFormatterFitsOrLeavesAnEmptyString)
{
    struct Case {
        size_t units;
        const WCHAR* text;
        int expected;
    } cases[] = {
        {8, L"abc", 3},
        {8, L"abcdefg", 7},    // 7 units and the terminator fill the buffer
        {8, L"abcdefgh", -1},  // one too many
        {1, L"", 0},
        {1, L"a", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "units " << c.units << " text length " << wcslen(c.text));
        WCHAR out[16];
        wmemset(out, kGuard, 16);
        EXPECT_EQ(c.expected, FormatBounded(out, c.units, L"%s", c.text));
        EXPECT_EQ(c.expected < 0 ? std::wstring() : std::wstring(c.text), out);
        EXPECT_EQ(kGuard, out[c.units]);
    }
    WCHAR big[FORMAT_TEXT_UNITS + 1];
    big[FORMAT_TEXT_UNITS] = kGuard;
    EXPECT_EQ(1023, FormatText1024(big, L"%s", std::wstring(1023, L'x').c_str()));
    EXPECT_EQ(-1, FormatText1024(big, L"%s", std::wstring(1024, L'x').c_str()));
    EXPECT_EQ(L'\0', big[0]);
    EXPECT_EQ(kGuard, big[FORMAT_TEXT_UNITS]);
}

TEST(WideFormatTests, TruncatingFormatterKeepsWhatFitsAndSaysItCut)
{
    WCHAR out[9];
    wmemset(out, kGuard, 9);
    EXPECT_EQ(7, FormatTruncating(out, 8, L"%s", L"abcdefg"));
    EXPECT_STREQ(L"abcdefg", out);
    EXPECT_GT(0, FormatTruncating(out, 8, L"%s", L"abcdefgh"));
    EXPECT_STREQ(L"abcdefg", out);
    EXPECT_EQ(kGuard, out[8]);
    EXPECT_EQ(0, FormatTruncating(out, 8, L"%s", L""));
}

TEST(WideFormatTests, CuttingFormatterReportsCutAndBadSize)
{
    WCHAR out[6];
    EXPECT_EQ(kFormatOk, FormatCutting(out, 6, L"%S", "abc"));
    EXPECT_STREQ(L"abc", out);
    EXPECT_EQ(kFormatCut, FormatCutting(out, 6, L"Version %S", "2.1.0.0"));
    EXPECT_STREQ(L"Versi", out);
    EXPECT_EQ(kFormatBadSize, FormatCutting(out, 0, L"x"));
}

TEST(WideFormatTests, WindowsConversions)
{
    WCHAR out[128];
    ASSERT_GT(FormatBounded(out, 128, L"%s|%S|%hs|%08X|%08x|%I64u|%u|%d", L"wide", "narrow", "hs",
                            0xBEEFu, 0xb7u, 18446744073709551615ull, 4294967295u, -5), 0);
    EXPECT_STREQ(L"wide|narrow|hs|0000BEEF|000000b7|18446744073709551615|4294967295|-5", out);
}

}  // namespace
