#include <gtest/gtest.h>

#include "common/wide_format.h"

TEST(FormatTests, Placeholder)
{
    WCHAR out[8];
    EXPECT_EQ(3, FormatBounded(out, 8, L"%s", L"abc"));
}
