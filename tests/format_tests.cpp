// The three wide formatters: exact results at the edges of their buffers.
#include <gtest/gtest.h>

#include "common/wide_format.h"

namespace {

TEST(WideFormatTests, ResultsAtTheEdgeOfTheBuffer)
{
    enum Formatter { kBounded, kTruncating, kCutting };
    // `result`: a count, -1 (any negative when truncating), or a FormatCutStatus.
    struct Case { Formatter formatter; size_t units; const WCHAR* text; int result; const WCHAR* out; } cases[] = {
        {kBounded, 8, L"abcdefg", 7, L"abcdefg"},  // 7 units and the terminator fill the buffer
        {kBounded, 8, L"abcdefgh", -1, L""},       // one too many: no text at all
        {kBounded, 1, L"", 0, L""},
        {kBounded, 1, L"a", -1, L""},
        {kTruncating, 8, L"abcdefgh", -1, L"abcdefg"},  // keeps what fits
        {kCutting, 6, L"abc", kFormatOk, L"abc"},
        {kCutting, 6, L"Version 2.1", kFormatCut, L"Versi"},
        {kCutting, 0, L"x", kFormatBadSize, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        WCHAR out[16];
        wmemset(out, 0x5A5A, 16);
        int result = c.formatter == kBounded      ? FormatBounded(out, c.units, L"%s", c.text)
                     : c.formatter == kTruncating ? FormatTruncating(out, c.units, L"%s", c.text)
                                                  : FormatCutting(out, c.units, L"%s", c.text);
        EXPECT_EQ(c.result, c.formatter == kTruncating && result < 0 ? -1 : result);
        if (c.out != nullptr) {
            EXPECT_STREQ(c.out, out);
        }
        EXPECT_EQ(0x5A5A, out[c.units]);
    }
}

}  // namespace
